// Cost per value of next32, next64 and the stream's uniform for every method, called through its
// descriptor slot as users of a stream call it, beside the standard library's Mersenne Twisters;
// and the cost of creating and initialising a stream per method.
//
// Every method is also set against an independent implementation of its algorithm: a library
// where one exists (library_generators.h: Random123, pcg-cpp, the standard library, the RDRAND
// intrinsic), otherwise a plain reference written from the published algorithm
// (reference_generators.h, whose Threefry and MT19937-64 are first checked against the published
// answers). Each method's first outputs must equal its counterpart's for the same seed and key
// (any difference aborts the benchmark); then the cost of `next64` through the descriptor slot is
// measured against the counterpart's in turns in the same run, and the ratio goes to the summary.
#include <benchmark/benchmark.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "common/bench_summary.h"
#include "common/paired_timing.h"
#include "host/reference_host.h"
#include "library_generators.h"
#include "random/engine.h"
#include "random/method_list.h"
#include "random/stream.h"
#include "reference_generators.h"

namespace {

// Hands out the same zero-filled block again and again, so stream creation is measured without
// the host's bookkeeping of millions of blocks.
struct RecyclingAllocator {
  HostAllocator allocator{&kOps, this};
  alignas(16) unsigned char block[sizeof(rng::RandomStream)];
  static void* allocate(HostAllocator* a, uint64_t size, uint32_t) {
    auto* self = static_cast<RecyclingAllocator*>(a->hostPrivate);
    if (size > sizeof self->block) return nullptr;
    std::memset(self->block, 0, size);
    return self->block;
  }
  static void release(HostAllocator*, void*) {}
  static constexpr HostAllocatorOps kOps = {&allocate, &release};
};

refhost::ReferenceHost& host() {
  static refhost::ReferenceHost instance([] {
    refhost::HostConfig config;
    config.logFile = nullptr;
    return config;
  }());
  return instance;
}

rng::RandomStream* streamFor(const char* method, RecyclingAllocator& allocator) {
  std::string name = method;
  host().setNameValueText(u"OSENV.RUX_RNG_METHOD", std::u16string(name.begin(), name.end()));
  return rng::createStream(&allocator.allocator, 12345, 0);
}

enum class Draw { k32, k64, kUniform };

void drawBenchmark(benchmark::State& state, const char* method, Draw draw) {
  RecyclingAllocator allocator;
  rng::RandomStream* stream = streamFor(method, allocator);
  const rng::MethodOperations& ops = stream->descriptor->ops;
  void* s = stream->state;
  for (auto _ : state) {
    switch (draw) {
      case Draw::k32:
        benchmark::DoNotOptimize(ops.next32(s));
        break;
      case Draw::k64:
        benchmark::DoNotOptimize(ops.next64(s));
        break;
      case Draw::kUniform:
        benchmark::DoNotOptimize(stream->uniform(s));
        break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void createBenchmark(benchmark::State& state, const char* method) {
  RecyclingAllocator allocator;
  std::string name = method;
  host().setNameValueText(u"OSENV.RUX_RNG_METHOD", std::u16string(name.begin(), name.end()));
  uint64_t seed = 1;
  for (auto _ : state) benchmark::DoNotOptimize(rng::createStream(&allocator.allocator, seed++, 0));
  state.SetItemsProcessed(state.iterations());
}

void stdMt19937(benchmark::State& state) {
  std::mt19937 engine(5489);
  for (auto _ : state) benchmark::DoNotOptimize(engine());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(stdMt19937);

void stdMt19937_64(benchmark::State& state) {
  std::mt19937_64 engine(5489);
  for (auto _ : state) benchmark::DoNotOptimize(engine());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(stdMt19937_64);

void stdUniformMt19937_64(benchmark::State& state) {
  std::mt19937_64 engine(5489);
  std::uniform_real_distribution<double> uniform;
  for (auto _ : state) benchmark::DoNotOptimize(uniform(engine));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(stdUniformMt19937_64);

// ---- the methods against their references ---------------------------------------------------

[[noreturn]] void mismatch(const char* what) {
  std::fprintf(stderr, "\n*** bench_random: %s ***\n\n", what);
  std::abort();
}

// The references must first reproduce the published answers, or agreeing with them proves
// nothing.
void checkReferencesAgainstPublishedAnswers() {
  {
    const uint32_t zero[2] = {0, 0};
    uint32_t out[2];
    reference::threefry2x32(zero, zero, out);
    if (out[0] != 0x6B200159u || out[1] != 0x99BA4EFEu) {
      mismatch("reference Threefry-2x32-20 does not give the published zero answer");
    }
  }
  {
    const uint64_t zero[2] = {0, 0};
    uint64_t out[2];
    reference::threefry2x64(zero, zero, out);
    if (out[0] != 0xC2B6E3A8C2C69865ull || out[1] != 0x6F81ED42F350084Dull) {
      mismatch("reference Threefry-2x64-20 does not give the published zero answer");
    }
  }
  {
    const uint64_t zero[4] = {0, 0, 0, 0};
    uint64_t out[4];
    reference::threefry4x64(zero, zero, out);
    if (out[0] != 0x09218EBDE6C85537ull || out[1] != 0x55941F5266D86105ull ||
        out[2] != 0x4BD25E16282434DCull || out[3] != 0xEE29EC846BD2E40Bull) {
      mismatch("reference Threefry-4x64-20 does not give the published zero answer");
    }
  }
  {
    reference::MersenneTwister64 mt(5489);
    if (mt.next64() != 14514284786278117030ull) {
      mismatch("reference MT19937-64 does not give the published first output for seed 5489");
    }
  }
  {
    // The counter-mode draw: seed 1 gives key (1, finaliser(2)); the first two words are those
    // of counter (1, 0).
    reference::Threefry2x32Generator fry(1);
    if (fry.next64() != (uint64_t{0x826B67FDu} << 32 | 0x6DCDC2BBu)) {
      mismatch("reference Threefry-2x32 generator does not give the known first draws for seed 1");
    }
  }
}

// A method's stream, seeded through its `seed32` slot and keyed through its `key64` slot (key 0:
// left alone), so that the reference can be set up from the same two numbers.
struct MethodUnderTest {
  RecyclingAllocator allocator;
  rng::RandomStream* stream = nullptr;

  MethodUnderTest(const char* method, uint32_t seed, uint64_t key) {
    stream = streamFor(method, allocator);
    if (!stream || std::strcmp(stream->descriptor->name, method) != 0) {
      mismatch((std::string("cannot select method ") + method).c_str());
    }
    const rng::MethodOperations& ops = stream->descriptor->ops;
    ops.seed32(stream->state, seed);
    if (key != 0) ops.key64(stream->state, key);
  }
  uint64_t next64() { return stream->descriptor->ops.next64(stream->state); }
};

constexpr uint32_t kSeed = 20261208;
constexpr uint64_t kKey = 0x9E3779B97F4A7C15ull;

template <typename Reference>
void crossCheck(const char* method, uint64_t key, Reference reference) {
  MethodUnderTest ours(method, kSeed, key);
  // Enough draws to cross many blocks of the counter-based methods and two regenerations of MT64.
  for (int i = 0; i < 1000; ++i) {
    const uint64_t expected = reference.next64();
    const uint64_t got = ours.next64();
    if (got != expected) {
      char text[256];
      std::snprintf(text, sizeof text,
                    "%s next64 number %d is 0x%016" PRIX64 ", its reference gives 0x%016" PRIX64
                    " (seed %u, key 0x%" PRIX64 ")",
                    method, i + 1, got, expected, kSeed, key);
      mismatch(text);
    }
  }
}

void crossCheckMethods() {
  for (uint64_t key : {uint64_t{0}, kKey}) {
    reference::Threefry2x32Generator fry2x32(kSeed);
    reference::Threefry2x64Generator fry2x64(kSeed);
    reference::Threefry4x64Generator fry4x64(kSeed);
    if (key != 0) {
      // The 32-bit method keys with the low half of a 64-bit key.
      fry2x32.mixStream(static_cast<uint32_t>(key));
      fry2x64.mixStream(key);
      fry4x64.mixStream(key);
    }
    crossCheck("FRY2X32", key, fry2x32);
    crossCheck("FRY2X64", key, fry2x64);
    crossCheck("FRY4X64", key, fry4x64);
  }
  // MT64 keys rehash the whole state with the engine's own word hash, not a published step:
  // the seeding alone is compared.
  crossCheck("MT64", 0, reference::MersenneTwister64(kSeed));
}

// The published reference codes are libraries of plain functions, called from another
// translation unit: that is the reference the goal is set against, so the generator's next64 is
// called through a function the compiler may not inline, as the engine's slot is. The same
// reference inlined into the measuring loop is reported beside it, for information.
template <typename Generator>
struct CalledOutOfLine {
  Generator generator;
  [[gnu::noinline]] uint64_t next64() { return generator.next64(); }
};

// The same generator called through a function pointer the compiler cannot see through, the
// way the engine's slot is called: where a method's draw compiles to the same instructions as
// its counterpart's, this ratio sits at 1 and the gap to the direct call is the call itself.
template <typename Generator>
struct CalledThroughPointer {
  Generator generator;
  uint64_t (*volatile draw)(void*) = &drawOf;
  static uint64_t drawOf(void* self) { return static_cast<Generator*>(self)->next64(); }
  uint64_t next64() { return draw(&generator); }
};

template <typename Reference>
bench::PairedCost costAgainst(const char* method, uint64_t key, Reference reference) {
  MethodUnderTest ours(method, kSeed, key);
  // A program drawing in a loop fetches the slot and the state once, as drawBenchmark does;
  // through the stream each call would reload both (the call may write any memory).
  const rng::Next64Operation next64 = ours.stream->descriptor->ops.next64;
  void* const state = ours.stream->state;
  uint64_t sink = 0;
  constexpr int kRounds = 61;
  constexpr size_t kCalls = 20000;
  bench::PairedCost cost = bench::measurePaired(
      [&](size_t) { sink ^= next64(state); }, [&](size_t) { sink ^= reference.next64(); },
      kRounds, kCalls);
  benchmark::DoNotOptimize(sink);
  return cost;
}

// One method beside its independent implementation (`library` names it in the summary rows):
// first its stream is checked against the implementation's, then the cost of `next64` through
// the descriptor slot is set against the implementation's, called out of line (the goal: the
// slot is an indirect call, so the fair counterpart is a call too) and inlined into the loop
// (for information: what a program that compiles the generator in would pay).
template <typename Generator>
void compareMethod(const char* method, const char* library, uint64_t key,
                   const Generator& generator) {
  if (std::strcmp(method, "RDRAND") != 0) crossCheck(method, key, generator);
  bench::PairedCost called = costAgainst(method, key, CalledOutOfLine<Generator>{generator});
  bench::PairedCost inlined = costAgainst(method, key, generator);
  bench::PairedCost pointer = costAgainst(method, key, CalledThroughPointer<Generator>{generator});
  std::fprintf(stderr,
               "%-8s next64: %6.2f ns through the descriptor slot; %s %6.2f ns called, "
               "%6.2f ns inlined, %6.2f ns through a pointer\n",
               method, called.oursNs, library, called.referenceNs, inlined.referenceNs,
               pointer.referenceNs);
  const std::string row = std::string("random: ") + method + " next64 vs " + library;
  bench::reportRatio(row + " (called)", 1.1, called.ratio());
  bench::reportRatio(row + " inlined", 0, inlined.ratio());
  bench::reportRatio(row + " via pointer", 0, pointer.ratio());
}

void compareWithIndependentImplementations() {
  checkReferencesAgainstPublishedAnswers();
  crossCheckMethods();
  using Seeding = library::Mersenne32::Seeding;
  compareMethod("FRY2X32", "Random123", 0, library::Threefry<r123::Threefry2x32>(kSeed));
  compareMethod("FRY2X64", "Random123", 0, library::Threefry<r123::Threefry2x64>(kSeed));
  compareMethod("FRY4X64", "Random123", 0, library::Threefry<r123::Threefry4x64>(kSeed));
  compareMethod("MH3", "plain reference", 0, reference::MurmurIterate(kSeed));
  compareMethod("MT1998", "std::mt19937", 0, library::Mersenne32(kSeed, Seeding::k1998));
  compareMethod("MT32", "std::mt19937", 0, library::Mersenne32(kSeed, Seeding::k2002));
  compareMethod("MT64", "std::mt19937_64", 0, library::Mersenne64(kSeed));
  // kSeed has non-zero low 13 bits, so MTHYBRID seeds the 1998 way.
  compareMethod("MTHYBRID", "std::mt19937", 0, library::Mersenne32(kSeed, Seeding::k1998));
  compareMethod("PCG32I", "pcg-cpp", 0, library::Pcg<uint32_t>(kSeed));
  compareMethod("PCG64I", "pcg-cpp", 0, library::Pcg<uint64_t>(kSeed));
  compareMethod("RANUNI", "std LCG", 0, library::Lehmer(kSeed));
  compareMethod("RDRAND", "_rdrand64_step", 0, library::Rdrand());
  // Key 1: with key 0 the subtract-key sequence would repeat its seed.
  compareMethod("SUBKEY32", "plain reference", 1, reference::SubtractKey<uint32_t>(kSeed, 1));
  compareMethod("SUBKEY64", "plain reference", 1, reference::SubtractKey<uint64_t>(kSeed, 1));
  compareMethod("XOR1024", "plain reference", 0, reference::Xorshift1024Star(kSeed));
  compareMethod("XOR128", "plain reference", 0, reference::Xorshift128PlusKeptSum(kSeed));
  compareMethod("XOR4096", "plain reference", 0, reference::Xorshift4096Star(kSeed));
  compareMethod("XOR64", "plain reference", 0, reference::Xorshift64Star(kSeed));
  compareMethod("XORGENS", "plain reference", 0, reference::Xorgens4096(kSeed));
}

}  // namespace

int main(int argc, char** argv) {
  refhost::ActiveHostScope active(host());
  rng::bindRuntime(host().runtime());
  for (const rng::MethodEntry& method : rng::kMethods) {
    const std::string name = method.name;
    benchmark::RegisterBenchmark(("next32/" + name).c_str(), drawBenchmark, method.name, Draw::k32);
    benchmark::RegisterBenchmark(("next64/" + name).c_str(), drawBenchmark, method.name, Draw::k64);
    benchmark::RegisterBenchmark(("uniform/" + name).c_str(), drawBenchmark, method.name,
                                 Draw::kUniform);
    benchmark::RegisterBenchmark(("createStream/" + name).c_str(), createBenchmark, method.name);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  compareWithIndependentImplementations();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
