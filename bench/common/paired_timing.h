// Ratio of two costs measured in the same run on a shared machine: the two workloads take turns
// in short rounds, each round timed on this thread's CPU clock, and each side's cost is the median
// of its rounds. Taking turns lets both sides see the same load and cache weather; the CPU clock
// leaves out the time other processes hold the core; the median shrugs off the odd disturbed
// round without picking the luckiest one.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace bench {

inline double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct PairedCost {
  double oursNs = 0;       // median nanoseconds per call of ours
  double referenceNs = 0;  // the same for the reference
  double ratio() const { return referenceNs > 0 ? oursNs / referenceNs : 0; }
};

// ours(i) and reference(i) each do one call for index i. i counts up across every round of
// both sides, so neither side is handed inputs the other has just warmed up; with inputs spread
// evenly over their range, both sides see the same mix. rounds pairs of `calls` calls each.
template <typename Ours, typename Reference>
PairedCost measurePaired(Ours&& ours, Reference&& reference, int rounds, size_t calls) {
  std::vector<double> oursRounds, referenceRounds;
  size_t next = 0;
  auto timeRound = [&](auto& body, std::vector<double>& into) {
    const double start = threadCpuSeconds();
    for (size_t i = 0; i < calls; ++i) body(next + i);
    into.push_back((threadCpuSeconds() - start) * 1e9 / static_cast<double>(calls));
    next += calls;
  };
  // One untimed round each warms caches and lazily built state.
  timeRound(ours, oursRounds);
  timeRound(reference, referenceRounds);
  oursRounds.clear();
  referenceRounds.clear();
  for (int round = 0; round < rounds; ++round) {
    // Alternate which side goes first, so neither always inherits the other's cache state.
    if (round % 2 == 0) {
      timeRound(ours, oursRounds);
      timeRound(reference, referenceRounds);
    } else {
      timeRound(reference, referenceRounds);
      timeRound(ours, oursRounds);
    }
  }
  auto median = [](std::vector<double>& values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
  };
  return {median(oursRounds), median(referenceRounds)};
}

}  // namespace bench
