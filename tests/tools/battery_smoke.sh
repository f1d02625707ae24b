#!/usr/bin/env bash
# A quick pass through the battery pipeline (rngtool --raw into dieharder, the result table):
# two quick dieharder tests on two good methods, which must not fail, and on SUBKEY32 (an
# arithmetic sequence), which must fail them. A pipeline that fed dieharder nothing, or
# a parser that read nothing, would fail one side or the other.
#   battery_smoke.sh RNGTOOL SOURCE_DIR WORK_DIR
set -euo pipefail
rngtool=${1:?rngtool} source_dir=${2:?source dir} work=${3:?work dir}
rm -rf "$work"
RNGTOOL=$rngtool BATTERY_OUT=$work BATTERY_TESTS="0 100" BATTERY_TIMEOUT=60 \
  "$source_dir/scripts/run-battery.sh" MT64 FRY2X32 SUBKEY32 > "$work.log" 2>&1 ||
  { cat "$work.log"; exit 1; }
status=0
while IFS=$'\t' read -r method passed weak failed timeout seconds failed_tests weak_tests; do
  [ "$method" = method ] && continue
  echo "$method: passed $passed, weak $weak, failed $failed, timed out $timeout"
  if [ "$timeout" -ne 0 ] || [ $((passed + weak + failed)) -lt 2 ]; then
    echo "  expected both tests to run"; status=1
  elif [ "$method" = SUBKEY32 ] && [ "$failed" -lt 2 ]; then
    echo "  an arithmetic sequence must fail both tests"; status=1
  elif [ "$method" != SUBKEY32 ] && [ "$failed" -ne 0 ]; then
    echo "  failed: $failed_tests"; status=1
  fi
done < "$work/battery.tsv"
exit $status
