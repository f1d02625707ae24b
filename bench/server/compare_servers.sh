#!/usr/bin/env bash
# Uncached resolution through two builds of mdserver (e.g. before and after a change) and
# in-process, alternating in one run so that the machine's load weighs on every side alike.
# Not part of the tests.
#   bench/server/compare_servers.sh OLD_BIN NEW_BIN [TABLES=100000] [CALLS=2000] [ROUNDS=3]
# OLD_BIN and NEW_BIN hold mdserver; NEW_BIN's mdhost is the client of both (CLIENTS=own: each
# server is asked by the mdhost of its own build, for a change of the client). Besides the time
# per call, each server's CPU time per request (clock ticks over the run; the cached loop makes
# no requests), which the machine's load disturbs less than the wall time.
# BACKEND=postgresql: both servers and the in-process side over one database of a scratch
# cluster (scripts/pg-scratch-cluster.sh; the old server imports the seed); default SQLite in
# memory, each server loading the seed itself.
set -euo pipefail
old=$1 new=$2
tables=${3:-100000}
calls=${4:-2000}
rounds=${5:-3}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
servers=()
cluster=
cleanup() {
  kill "${servers[@]}" 2>/dev/null || true
  wait "${servers[@]}" 2>/dev/null || true
  if [[ -n "$cluster" ]]; then "$here/../../scripts/pg-scratch-cluster.sh" stop "$cluster"; fi
  rm -rf "$work"
}
trap cleanup EXIT
python3 "$here/make_seed.py" "$tables" "$work/seed.json"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
repository=("")
seedOf=(--seed "$work/seed.json")
inProcessAt=$work/seed.json
if [[ "${BACKEND:-sqlite}" == postgresql ]]; then
  cluster=$("$here/../../scripts/pg-scratch-cluster.sh" start)
  repository=("postgresql://postgres@/postgres?host=$cluster")
  inProcessAt=${repository[0]}
elif [[ "${BACKEND:-sqlite}" != sqlite ]]; then
  echo "BACKEND must be sqlite or postgresql" >&2
  exit 2
fi
start() {  # start NAME BIN: a server over the seed; its port in $port (not in a subshell, so
           # that the exit trap knows every server)
  "$2/mdserver" serve --repository "${repository[0]}" "${seedOf[@]}" --listen 127.0.0.1:0 \
    --tls-cert "$work/cert.pem" --tls-key "$work/key.pem" --log "$work/$1.log" \
    > "$work/$1.out" 2>&1 &
  servers+=($!)
  until grep -qs '^listening on' "$work/$1.out"; do
    kill -0 "${servers[-1]}" 2>/dev/null || { cat "$work/$1.out" >&2; exit 1; }
    sleep 0.2
  done
  port=$(sed -n 's/^listening on 127.0.0.1://p' "$work/$1.out")
}
start old "$old"
oldPort=$port
# Over PostgreSQL the database holds the seed now: the second server only joins it.
if [[ -n "$cluster" ]]; then seedOf=(); fi
start new "$new"
newPort=$port
export MDHOST_PASSWORD=ada.pass
uncached() {  # uncached BIN LOCATION...: microseconds per uncached call by BIN's mdhost
  "$1/mdhost" --user ada "${@:2}" "$here/resolution.lua" "$calls" "$tables" | sed -n 's/^uncached //p'
}
oldClient=$new
if [[ "${CLIENTS:-}" == own ]]; then oldClient=$old; fi
ticks() {  # ticks PID: the process's CPU time so far, in clock ticks
  awk '{print $14 + $15}' "/proc/$1/stat"
}
hz=$(getconf CLK_TCK)
through() {  # through PORT PID CLIENT_BIN: sets $us (per uncached call) and $cpu (server CPU
             # per request)
  local start
  start=$(ticks "$2")
  us=$(uncached "$3" --repository "https://127.0.0.1:$1" --tls-ca "$work/cert.pem")
  cpu=$(awk -v t="$(( $(ticks "$2") - start ))" -v hz="$hz" -v n="$calls" \
        'BEGIN { printf "%.0f", t / hz / n * 1e6 }')
}
echo "${BACKEND:-sqlite}: tables $tables, calls $calls, load: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$rounds"); do
  inProcess=$(uncached "$new" --repository "$inProcessAt")
  # Which server goes first changes every round, so that neither always meets the other's
  # after-effects (caches, a neighbour's build starting).
  if (( round % 2 )); then
    through "$oldPort" "${servers[0]}" "$oldClient"; before=$us beforeCpu=$cpu
    through "$newPort" "${servers[1]}" "$new"; after=$us afterCpu=$cpu
  else
    through "$newPort" "${servers[1]}" "$new"; after=$us afterCpu=$cpu
    through "$oldPort" "${servers[0]}" "$oldClient"; before=$us beforeCpu=$cpu
  fi
  awk -v r="$round" -v i="$inProcess" -v b="$before" -v a="$after" -v bc="$beforeCpu" \
      -v ac="$afterCpu" 'BEGIN {
    printf "round %d: in-process %6.1f us | old server %7.1f us (%5.1fx), CPU %4d us/request | new server %7.1f us (%5.1fx), CPU %4d us/request\n",
           r, i, b, b / i, bc, a, a / i, ac }'
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
