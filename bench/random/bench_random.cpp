// Cost per value of next32, next64 and the stream's uniform for every method, called through its
// descriptor slot as users of a stream call it, beside the standard library's Mersenne Twisters;
// and the cost of creating and initialising a stream per method.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "host/reference_host.h"
#include "random/engine.h"
#include "random/method_list.h"
#include "random/stream.h"

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
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
