#!/usr/bin/env bash
# Runs each libFuzzer program of a fuzz build in turn, from its seed corpus, and prints one line
# per fuzzer: executions, executions per second, coverage (libFuzzer's cov and ft).
#
# scripts/run-fuzzers.sh BUILD SECONDS [NAME...]     (no NAME: every fuzzer with a corpus)
# FUZZ_RUNS=N runs each for N executions instead of SECONDS.
# New inputs go to BUILD/fuzz-corpus/NAME (the seed corpus in tests/ is only read); a crash,
# leak, timeout or failed check leaves its input in BUILD/fuzz-artifacts/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
seconds=$2
shift 2
corpora=tests/fuzz/corpus
if [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for d in "$corpora"/*/; do names+=("$(basename "$d")"); done
fi

summary=()
failed=0
mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
for name in "${names[@]}"; do
  program=$build/bin/fuzz_$name
  [ -x "$program" ] || { echo "fuzz: $program was not built"; exit 2; }
  [ -d "$corpora/$name" ] || { echo "fuzz: no seed corpus $corpora/$name"; exit 2; }
  work=$build/fuzz-corpus/$name
  mkdir -p "$work"
  args=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$build/fuzz-artifacts/$name-")
  if [ -n "${FUZZ_RUNS:-}" ]; then args+=(-runs="$FUZZ_RUNS"); else args+=(-max_total_time="$seconds"); fi
  [ -f "tests/fuzz/$name.dict" ] && args+=(-dict="tests/fuzz/$name.dict")
  # Per-fuzzer flags, one a line (for example -max_len=2048).
  if [ -f "tests/fuzz/$name.options" ]; then
    while read -r flag; do [ -n "$flag" ] && args+=("$flag"); done < "tests/fuzz/$name.options"
  fi
  log=$build/fuzz-logs/$name.log
  echo "== fuzz_$name ${args[*]} $work $corpora/$name"
  status=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    nice -n 10 "$program" "${args[@]}" "$work" "$corpora/$name" > "$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
  if [ $status -ne 0 ]; then
    failed=1
    echo "fuzz_$name FAILED (exit $status); log $log:"
    grep -E -A2 'ERROR|SUMMARY|check failed|Test unit written|interrupted' "$log" | head -40 || true
  fi
  summary+=("$(printf '%-14s %12s execs %8s exec/s  %s%s' "$name" "${runs:-?}" "${speed:-?}" "${cov:-cov: ?}" \
                      "$([ $status -ne 0 ] && echo '  FAILED' || true)")")
done
echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $failed
