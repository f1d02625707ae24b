#!/usr/bin/env bash
# Runs every benchmark program that the bench build produced.
set -euo pipefail
build=${1:-build-bench}
shopt -s nullglob
found=0
for b in "$build"/bin/bench_*; do
  found=1
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.05
done
[ $found -eq 1 ] || echo "no benchmarks built"
