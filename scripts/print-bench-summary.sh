#!/usr/bin/env bash
# Prints the summary rows (measure TAB goal TAB measured) as a table. A goal of 0 marks a row
# that informs only; such a row whose name ends in its unit, "(count)", "(ms)" or "(s)", is a
# quantity and shows no ratio sign. Exits 0 either way: timings are reported, never asserted.
set -euo pipefail
file=${1:?usage: print-bench-summary.sh ROWS}
echo
echo "== summary (ratio = ours / reference, measured in this run)"
awk -F'\t' '
  BEGIN { printf "%-64s %8s %10s  %s\n", "measured", "goal", "ratio", "holds"; held = 0; total = 0 }
  {
    if ($2 + 0 > 0) {
      total++; ok = ($3 + 0 <= $2 + 0); held += ok
      printf "%-64s %7.2fx %9.2fx  %s\n", $1, $2, $3, ok ? "yes" : "NO"
    } else if ($1 ~ /\((count|ms|s)\)$/) {
      # A quantity with its unit in the name (operations, milliseconds): no ratio sign.
      printf "%-64s %8s %10.2f  %s\n", $1, "-", $3, "(informs)"
    } else {
      printf "%-64s %8s %9.2fx  %s\n", $1, "-", $3, "(informs)"
    }
  }
  END { printf "\n%d of %d goals hold.\n", held, total }' "$file"
