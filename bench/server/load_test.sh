#!/usr/bin/env bash
# Load and fault test (a benchmark, not part of the tests): 8 mdhost clients through 2 mdserver
# processes on one PostgreSQL database for SECONDS; one server is killed with SIGKILL halfway
# and restarted. Afterwards every change a client was told succeeded must be present: for each
# client and table the last acknowledged value is what the repository holds (a later change may
# have been made without its answer arriving, so a newer value of the same client also counts).
#   bench/server/load_test.sh postgresql://USER@HOST/DB [SECONDS=30]
# The database must be empty (the sample repository is loaded into it). Then the same mix runs
# in-process (8 mdhost processes on the database itself) and both figures are printed together.
set -euo pipefail
url=${1:?usage: load_test.sh postgresql://USER@HOST/DB [SECONDS]}
seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
bin=${BIN:-$here/../../build/bin}
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

start_server() {  # name port [options]: starts a server, prints its port
  local name=$1 port=$2; shift 2
  "$bin/mdserver" serve --repository "$url" --listen "127.0.0.1:$port" --tls-cert "$work/cert.pem" \
    --tls-key "$work/key.pem" --log "$work/$name.log" "$@" > "$work/$name.out" 2>&1 &
  echo $! > "$work/$name.pid"
  until grep -q '^listening on' "$work/$name.out" 2>/dev/null; do
    kill -0 "$(cat "$work/$name.pid")" 2>/dev/null || { cat "$work/$name.out" >&2; exit 1; }
    sleep 0.2
  done
  sed -n 's/^listening on 127.0.0.1://p' "$work/$name.out"
}
port1=$(start_server one 0 --seed "$here/../../examples/sample_repository.json")
port2=$(start_server two 0)
pids+=("$(cat "$work/one.pid")" "$(cat "$work/two.pid")")

export MDHOST_PASSWORD=ada.pass
for client in 1 2 3 4 5 6 7 8; do
  port=$([ $((client % 2)) -eq 0 ] && echo "$port1" || echo "$port2")
  "$bin/mdhost" --user ada --repository "https://127.0.0.1:$port" --tls-ca "$work/cert.pem" \
    --log "$work/client$client.log" "$here/load_client.lua" "$client" "$seconds" \
    > "$work/client$client.out" 2>&1 &
  pids+=($!)
done
sleep $((seconds / 2))
kill -KILL "$(cat "$work/one.pid")"
echo "killed server one (SIGKILL) at $((seconds / 2)) s"
sleep 1
start_server one "$port1" > /dev/null
pids+=("$(cat "$work/one.pid")")
for client in 1 2 3 4 5 6 7 8; do wait "${pids[$((client + 1))]}" || true; done

# Requests per second and the 99th percentile of call latency, over all clients.
figures() {  # prefix label: prints the figures of the clients' outputs $work/PREFIX*.out
  cat "$work"/"$1"*.out | awk '/^lat /{print $2}' | sort -n > "$work/$1.latencies"
  local calls p99
  calls=$(wc -l < "$work/$1.latencies")
  p99=$(awk -v n="$calls" 'NR == int(n * 0.99) + 1 {print; exit}' "$work/$1.latencies")
  printf '%-28s calls %8d in %s s: %6d requests/s, p99 %7s us\n' "$2" "$calls" "$seconds" \
    $((calls / seconds)) "$p99"
}
server_figures=$(figures client "8 clients, 2 servers")
echo "$server_figures"

# Every acknowledged change is present (or superseded by a later one of the same client).
missing=0
for client in 1 2 3 4 5 6 7 8; do
  awk '/^ack /{last[$2] = $3} END {for (u in last) print u, last[u]}' "$work/client$client.out" |
  while read -r uri value; do
    held=$("$bin/mdhost" --user ada --repository "https://127.0.0.1:$port2" --tls-ca "$work/cert.pem" \
      -e "local v = char(200) metadata_getattr([[$uri]], 'Load$client', v) print(v.trimmed)")
    last=${value#*-}; seen=${held#*-}
    if [ "${held%%-*}" != "$client" ] || [ "$seen" -lt "$last" ]; then
      echo "LOST: $uri Load$client acknowledged $value, holds '$held'"
      echo x >> "$work/missing"
    fi
  done
done
[ -f "$work/missing" ] && { echo "acknowledged changes lost: $(wc -l < "$work/missing")"; exit 1; }
grep -h "reconnected\|logged in again" "$work"/client*.log | sort | uniq -c | head -5
echo "every acknowledged change is present"

# The same mix in-process: 8 mdhost processes on the database itself, for the same time.
kill "${pids[@]}" 2>/dev/null || true
wait 2>/dev/null || true
pids=()
for client in 1 2 3 4 5 6 7 8; do
  "$bin/mdhost" --user ada --repository "$url" --log "$work/local$client.log" \
    "$here/load_client.lua" "$client" "$seconds" > "$work/local$client.out" 2>&1 &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || true; done
echo "$server_figures"
figures local "8 clients, in-process"
