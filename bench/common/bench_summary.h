// One row of the summary table that `make bench` prints at its end. Each benchmark program that
// checks a goal appends its rows to the file named by BENCH_SUMMARY (set by
// scripts/run-benchmarks.sh); run on its own, without that variable, the row goes to stderr.
//
// A row: what is measured, the goal ratio (0 when the row only informs), the ratio measured in
// this run. Ratios are "cost of ours / cost of the reference", so a goal holds when measured <= goal.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace bench {

inline void reportRatio(std::string_view what, double goal, double measured) {
  const char* path = std::getenv("BENCH_SUMMARY");
  FILE* out = path != nullptr && *path != '\0' ? std::fopen(path, "a") : nullptr;
  FILE* sink = out != nullptr ? out : stderr;
  std::fprintf(sink, "%.*s\t%.3f\t%.3f\n", static_cast<int>(what.size()), what.data(), goal, measured);
  if (out != nullptr) std::fclose(out);
}

}  // namespace bench
