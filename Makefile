# Front end for the CMake/Ninja build. Every target first makes sure the Debian packages are there.
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
CMAKE_ARGS ?=
JOBS       ?= 2
FUZZ_BUILD ?= build-fuzz
# make fuzz: each fuzzer runs FUZZ_SECONDS (or FUZZ_RUNS executions); FUZZERS picks some by name.
FUZZ_SECONDS ?= 60
FUZZ_RUNS  ?=
FUZZERS    ?=

.PHONY: all setup configure test run bench battery sanitize fuzz fuzz-smoke clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

setup:
	@scripts/setup.sh

configure: setup
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The tour needs mdhost and the two packages it loads, nothing else: the tests and tools are
# built by `make` and `make test`.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target mdhost objfuncs secfuncs
	scripts/run-main.sh $(BUILD)

bench: setup
	@test -f $(BUILD)-bench/build.ninja || cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DRUX_BENCHMARKS=ON
	cmake --build $(BUILD)-bench -j $(JOBS)
	scripts/run-benchmarks.sh $(BUILD)-bench

# The dieharder battery on every random method through rngtool (about 15 minutes; not in CI,
# where the battery_smoke test runs two quick tests). METHODS picks some; see docs/random.md.
METHODS ?=
battery: configure
	cmake --build $(BUILD) -j $(JOBS) --target rngtool
	RNGTOOL=$(BUILD)/bin/rngtool BATTERY_OUT=$(BUILD)/battery scripts/run-battery.sh $(METHODS)

sanitize: setup
	@test -f $(SAN_BUILD)/build.ninja || cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRUX_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# The fuzzers need clang's libFuzzer: a build of their own (every library instrumented, address
# and undefined-behaviour sanitizers on). See docs/fuzzing.md.
fuzz: setup
	@test -f $(FUZZ_BUILD)/build.ninja || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRUX_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	FUZZ_RUNS=$(FUZZ_RUNS) scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZERS)

# A few seconds per fuzzer, for CI: enough to catch a target that crashes on its corpus or soon after.
fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=3 FUZZ_RUNS=

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(BUILD)-bench $(FUZZ_BUILD)
