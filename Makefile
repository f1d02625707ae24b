# Front end for the CMake/Ninja build. Every target first makes sure the Debian packages are there.
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
CMAKE_ARGS ?=
JOBS       ?= 2

.PHONY: all setup configure test run bench sanitize clean

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

sanitize: setup
	@test -f $(SAN_BUILD)/build.ninja || cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRUX_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(BUILD)-bench
