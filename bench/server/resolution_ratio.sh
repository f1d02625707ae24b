#!/usr/bin/env bash
# Uncached and cached resolution by name at TABLES objects: in-process against through mdserver,
# on the same backend, measured in one run. Not part of the tests.
#   bench/server/resolution_ratio.sh [TABLES=100000] [CALLS=2000]
# BACKEND=sqlite (the default: SQLite in memory, each side loading the seed itself),
# BACKEND=postgresql (a scratch cluster, scripts/pg-scratch-cluster.sh, the seed imported once by
# the server; in-process mdhost and the server then use the same database, taking turns ROUNDS
# times (default 2), and afterwards the statements and round trips each side sends per call are
# counted from the cluster's log), or BACKEND=both.
set -euo pipefail
tables=${1:-100000}
calls=${2:-2000}
backend=${BACKEND:-sqlite}
rounds=${ROUNDS:-2}
here=$(cd "$(dirname "$0")" && pwd)
bin=${BIN:-$here/../../build/bin}
work=$(mktemp -d)
server=
cluster=
cleanup() {
  if [[ -n "$server" ]]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  if [[ -n "$cluster" ]]; then "$here/../../scripts/pg-scratch-cluster.sh" stop "$cluster"; fi
  rm -rf "$work"
}
trap cleanup EXIT
case "$backend" in
  sqlite | postgresql | both) ;;
  *) echo "BACKEND must be sqlite, postgresql or both, not '$backend'" >&2; exit 2 ;;
esac
python3 "$here/make_seed.py" "$tables" "$work/seed.json"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
export MDHOST_PASSWORD=ada.pass

start_server() {  # start_server REPOSITORY [OPTIONS...]: a server; its port in $port
  "$bin/mdserver" serve --repository "$1" "${@:2}" --listen 127.0.0.1:0 \
    --tls-cert "$work/cert.pem" --tls-key "$work/key.pem" --log "$work/server.log" \
    > "$work/server.out" 2>&1 &
  server=$!
  until grep -q '^listening on' "$work/server.out"; do
    kill -0 "$server" 2>/dev/null || { cat "$work/server.out" >&2; exit 1; }
    sleep 0.2
  done
  port=$(sed -n 's/^listening on 127.0.0.1://p' "$work/server.out")
}
stop_server() {
  kill "$server"
  wait "$server" 2>/dev/null || true
  server=
}
run() {  # run REPOSITORY [OPTIONS...]: "uncached US" and "cached US"
  "$bin/mdhost" --user ada --repository "$1" "${@:2}" "$here/resolution.lua" "$calls" "$tables"
}
print() {  # print LOCAL REMOTE
  paste <(echo "$1") <(echo "$2") |
    awk '{printf "%-9s in-process %9s  server %9s  ratio %.2f\n", $1, $2, $4, $4 / $2}'
}

if [[ "$backend" != postgresql ]]; then
  echo "SQLite in memory: tables $tables, calls $calls (microseconds per call)"
  start_server "" --seed "$work/seed.json"
  local=$(run "$work/seed.json")
  remote=$(run "https://127.0.0.1:$port" --tls-ca "$work/cert.pem")
  print "$local" "$remote"
  stop_server
  uncachedIn=$(echo "$local" | sed -n 's/^uncached //p')
fi

if [[ "$backend" != sqlite ]]; then
  cluster=$("$here/../../scripts/pg-scratch-cluster.sh" start)
  database="postgresql://postgres@/postgres?host=$cluster"
  psql() { command psql -q -X -h "$cluster" -U postgres -d postgres "$@"; }
  start_server "$database" --seed "$work/seed.json"
  echo "PostgreSQL (scratch cluster, one database): tables $tables, calls $calls" \
       "(microseconds per call), $rounds rounds"
  for round in $(seq "$rounds"); do
    # Which side goes first changes every round, so that neither always meets the other's
    # after-effects (the database's caches, a neighbour's build starting).
    if (( round % 2 )); then
      local=$(run "$database"); remote=$(run "https://127.0.0.1:$port" --tls-ca "$work/cert.pem")
    else
      remote=$(run "https://127.0.0.1:$port" --tls-ca "$work/cert.pem"); local=$(run "$database")
    fi
    print "$local" "$remote" | sed "s/^/round $round: /"
  done
  uncachedIn=$(echo "$local" | sed -n 's/^uncached //p')
  # What each side sends the database per call: every statement logged with its parse, bind and
  # execute steps (log_min_duration_statement=0). A round trip is a simple statement, a prepare
  # (parse) or an execution (bind and execute go together); the start of each program (login,
  # memberships) is in the count, spread over the calls.
  pglog="$cluster/server.log"
  count() {  # count LABEL COMMAND...: runs the command with the cluster logging, prints figures
    psql -c "ALTER SYSTEM SET log_min_duration_statement = 0" -c "SELECT pg_reload_conf()" >/dev/null
    sleep 0.5
    local from
    from=$(wc -l < "$pglog")
    "${@:2}" > /dev/null
    psql -c "ALTER SYSTEM RESET log_min_duration_statement" -c "SELECT pg_reload_conf()" >/dev/null
    tail -n +"$((from + 1))" "$pglog" | grep -v 'log_min_duration_statement\|pg_reload_conf' \
      > "$work/statements.$1"
    awk -v label="$1" -v n="$calls" '
      / parse /          { parse++ }
      / execute [^ ]*: / { execute++ }
      / statement: /     { simple++ }
      END { printf "%-10s per call: %.2f statements (%.2f executions of prepared ones, %.2f simple), %.2f prepares; %.2f round trips\n",
                   label, (execute + simple) / n, execute / n, simple / n, parse / n, (execute + simple + parse) / n }' \
      "$work/statements.$1"
  }
  count in-process run "$database"
  count server run "https://127.0.0.1:$port" --tls-ca "$work/cert.pem"
  if [[ -n "${STATEMENTS:-}" ]]; then  # STATEMENTS=DIR keeps the logged statements
    mkdir -p "$STATEMENTS" && cp "$work"/statements.* "$STATEMENTS"/
  fi
  stop_server
fi

# The floor under the server figure: one request of the same size through the same HTTP library
# and TLS with a handler that does nothing (https_floor.cpp, built here when a compiler and the
# library's development files are present). What the server figure has above it is ours.
floorBin="$work/https_floor"
if c++ -O2 -std=c++20 "$here/https_floor.cpp" -o "$floorBin" \
     $(pkg-config --cflags --libs cpp-httplib 2>/dev/null) -lssl -lcrypto -lpthread 2>/dev/null; then
  floor=$("$floorBin" "$work/cert.pem" "$work/key.pem" "$calls")
  echo "$floor" | awk -v i="$uncachedIn" '/^floor /{printf "empty HTTPS request %.1f us (%.1fx the last in-process call); ", $2, $2 / i}
                                          /^floorcpu /{printf "CPU of both sides %.1f us\n", $2}'
else
  echo "(no floor figure: https_floor.cpp could not be built)"
fi
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
