#!/usr/bin/env bash
# Runs every benchmark program that the bench build produced, then prints one summary table of
# the goal ratios they checked (rows written through bench/common/bench_summary.h).
set -euo pipefail
build=${1:-build-bench}
shopt -s nullglob
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
export BENCH_SUMMARY=$summary
found=0
for b in "$build"/bin/bench_*; do
  found=1
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.05
done
[ $found -eq 1 ] || { echo "no benchmarks built"; exit 0; }
scripts/print-bench-summary.sh "$summary"
