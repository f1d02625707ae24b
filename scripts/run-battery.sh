#!/usr/bin/env bash
# Runs the dieharder battery on the random engine's methods through `rngtool --raw` and writes a
# table: method, assessments passed / weak / failed, tests stopped at their limit, CPU seconds.
# See docs/random.md for the settings and for what each family is expected to show.
#
#   scripts/run-battery.sh [METHOD...]          (default: all nineteen methods)
#
# Environment:
#   RNGTOOL          the rngtool to use (default build/bin/rngtool)
#   BATTERY_OUT      folder for the raw dieharder output and the tables (default build/battery)
#   BATTERY_TESTS    dieharder test numbers (default: the subset below)
#   BATTERY_TIMEOUT  CPU seconds one test may use (rngtool and dieharder each) before it is
#                    stopped and counted as stopped (default 120); CPU time rather than wall
#                    time, so a busy machine does not cut tests short. A test also stops after
#                    ten times that in wall time.
#   BATTERY_SEED     the seed of every method (default 20261209; RDRAND takes none)
#   BATTERY_JOBS     methods run at the same time (default 1)
#
# Each method's result row is kept in BATTERY_OUT/METHOD.row, and the tables are rebuilt from
# every row there, so running a few methods again updates just their rows.
#
# Each test is a dieharder run of its own reading the method's stream from its start (-g 200,
# raw 32-bit words from standard input), so any single line of the result can be repeated with
#   rngtool METHOD --seed SEED --op OP --raw | dieharder -g 200 -d TEST
# 32-bit methods are read through next32; 64-bit methods through next64, whose little-endian
# bytes dieharder reads as the low then the high half, so every output bit is tested.
set -euo pipefail

rngtool=${RNGTOOL:-build/bin/rngtool}
out=${BATTERY_OUT:-build/battery}
timeout_s=${BATTERY_TIMEOUT:-120}
seed=${BATTERY_SEED:-20261209}
# The default subset: the dieharder tests that cost about six CPU seconds or less a method here,
# 17 assessments and about 45 CPU seconds a method. Left out: 14 (sums; dieharder itself marks
# it "do not use"), and for their cost 1, 5, 6, 9, 13, 202, 207, 208, 209 (5 to 10 s each),
# 2 (30 s), 102 (20 s), 7 (90 s), 17 (over 2 minutes), 200, 201, 203 (minutes each).
# docs/random.md says why none of these would change the expected picture.
tests=${BATTERY_TESTS:-"0 3 4 8 10 11 12 15 16 100 101 204 205 206"}
jobs=${BATTERY_JOBS:-1}

command -v dieharder >/dev/null || { echo "run-battery: dieharder is not installed" >&2; exit 2; }
[ -x "$rngtool" ] || { echo "run-battery: no rngtool at $rngtool (build it first)" >&2; exit 2; }

all_methods="FRY2X32 FRY2X64 FRY4X64 MH3 MT1998 MT32 MT64 MTHYBRID PCG32I PCG64I RANUNI RDRAND
SUBKEY32 SUBKEY64 XOR1024 XOR128 XOR4096 XOR64 XORGENS"
methods=${*:-$all_methods}

# The methods whose native output is 32 bits wide (RANUNI delivers 31 significant bits in it).
is32() { case $1 in FRY2X32|MT1998|MT32|MTHYBRID|PCG32I|RANUNI|SUBKEY32) return 0;; esac; return 1; }

# The arguments that reproduce a method's stream. The subtract-key methods step by their stream
# key, which is 0 for stream 0 (every draw would repeat the seed): they run as stream 1. RDRAND
# takes no seed.
stream_args() {
  case $1 in
    RDRAND) echo "";;
    SUBKEY32|SUBKEY64) echo "--seed $seed --stream 1";;
    *) echo "--seed $seed";;
  esac
}

# Sets `cpu` to the CPU seconds (user + system) of this shell's waited-for children so far.
# `times` must run in this shell itself: in a command substitution it would report the
# subshell's children.
read_children_cpu() {
  times > "$out/.times.$$"
  cpu=$(tail -n 1 "$out/.times.$$" |
        awk '{ t = 0; for (i = 1; i <= 2; i++) { split($i, a, "m"); t += a[1] * 60 + a[2] } printf "%.1f", t }')
}

mkdir -p "$out"
table="$out/battery.tsv"

# The tables, rebuilt from every method's row in the folder, in the methods' order.
write_tables() {
  printf 'method\tpassed\tweak\tfailed\tstopped\tcpu_seconds\tfailed_tests\tweak_tests\n' > "$table"
  for method in $all_methods; do
    if [ -f "$out/$method.row" ]; then cat "$out/$method.row" >> "$table"; fi
  done

  # The same table in Markdown, for docs/random.md.
  awk -F'\t' 'NR == 1 { print "| method | passed | weak | failed | stopped | CPU s | failed tests |"
                        print "|---|---:|---:|---:|---:|---:|---|"; next }
              { printf "| %s | %s | %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5, $6, $7 }' \
    "$table" > "$out/battery.md"
  echo "run-battery: tables in $table and $out/battery.md"
}

if [ "$jobs" -gt 1 ] && [ -z "${BATTERY_ONE_METHOD:-}" ]; then
  # Each method in a run of this script of its own, $jobs at a time.
  printf '%s\n' $methods | BATTERY_ONE_METHOD=1 BATTERY_JOBS=1 xargs -P "$jobs" -n 1 "$0"
  write_tables
  exit 0
fi

for method in $methods; do
  if is32 "$method"; then op=next32; else op=next64; fi
  args=$(stream_args "$method")
  raw="$out/$method.txt"
  echo "# rngtool $method $args --op $op --raw | dieharder -g 200 -d TEST (limit ${timeout_s} CPU s)" > "$raw"
  read_children_cpu
  cpu_start=$cpu
  stopped=0
  for t in $tests; do
    # pipefail off inside: rngtool ends with a broken pipe when dieharder has read enough.
    if ! timeout $((timeout_s * 10)) bash -c \
        "ulimit -t $timeout_s; set +o pipefail; '$rngtool' $method $args --op $op --raw 2>/dev/null | dieharder -g 200 -d $t" \
        >> "$raw" 2>&1; then
      echo "# test $t: stopped at its limit or failed to run" >> "$raw"
      stopped=$((stopped + 1))
    fi
  done
  read_children_cpu
  seconds=$(awk -v s="$cpu_start" -v e="$cpu" 'BEGIN { printf "%.0f", e - s }')
  # Result lines: "  test_name | ntup | tsamples | psamples | p-value | Assessment".
  awk -F'|' -v m="$method" -v to="$stopped" -v sec="$seconds" '
    NF == 6 && $6 ~ /PASSED|WEAK|FAILED/ {
      name = $1; gsub(/^ +| +$/, "", name); nt = $2; gsub(/ /, "", nt)
      label = (nt != "0" ? name "(" nt ")" : name)
      if ($6 ~ /PASSED/) p++
      else if ($6 ~ /WEAK/) { w++; wl = wl (wl ? "," : "") label }
      else { f++; fl = fl (fl ? "," : "") label }
    }
    END { printf "%s\t%d\t%d\t%d\t%d\t%s\t%s\t%s\n", m, p, w, f, to, sec, fl ? fl : "-", wl ? wl : "-" }
  ' "$raw" > "$out/$method.row"
  cat "$out/$method.row"
done

rm -f "$out/.times.$$"
[ -n "${BATTERY_ONE_METHOD:-}" ] || write_tables
