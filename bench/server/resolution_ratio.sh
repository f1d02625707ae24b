#!/usr/bin/env bash
# Uncached and cached resolution by name at TABLES objects: in-process against through mdserver,
# on the same backend (SQLite in memory), measured in one run. Not part of the tests.
#   bench/server/resolution_ratio.sh [TABLES=100000] [CALLS=2000]
set -euo pipefail
tables=${1:-100000}
calls=${2:-2000}
here=$(cd "$(dirname "$0")" && pwd)
bin=${BIN:-$here/../../build/bin}
work=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT
python3 "$here/make_seed.py" "$tables" "$work/seed.json"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
"$bin/mdserver" serve --repository "" --seed "$work/seed.json" --listen 127.0.0.1:0 \
  --tls-cert "$work/cert.pem" --tls-key "$work/key.pem" --log "$work/server.log" \
  > "$work/server.out" 2>&1 &
server=$!
until grep -q '^listening on' "$work/server.out"; do
  kill -0 $server 2>/dev/null || { cat "$work/server.out"; exit 1; }
  sleep 0.2
done
port=$(sed -n 's/^listening on 127.0.0.1://p' "$work/server.out")
export MDHOST_PASSWORD=ada.pass
local=$("$bin/mdhost" --user ada --repository "$work/seed.json" "$here/resolution.lua" "$calls" "$tables")
remote=$("$bin/mdhost" --user ada --repository "https://127.0.0.1:$port" --tls-ca "$work/cert.pem" \
  "$here/resolution.lua" "$calls" "$tables")
echo "tables $tables, calls $calls (microseconds per call)"
paste <(echo "$local") <(echo "$remote") | awk '{printf "%-9s in-process %9s  server %9s  ratio %.2f\n", $1, $2, $4, $4 / $2}'
# The floor under the server figure: one request of the same size through the same HTTP library
# and TLS with a handler that does nothing (https_floor.cpp, built here when a compiler and the
# library's development files are present). What the server figure has above it is ours.
floorBin="$work/https_floor"
if c++ -O2 -std=c++20 "$here/https_floor.cpp" -o "$floorBin" \
     $(pkg-config --cflags --libs cpp-httplib 2>/dev/null) -lssl -lcrypto -lpthread 2>/dev/null; then
  floor=$("$floorBin" "$work/cert.pem" "$work/key.pem" "$calls")
  uncachedIn=$(echo "$local" | sed -n 's/^uncached //p')
  echo "$floor" | awk -v i="$uncachedIn" '/^floor /{printf "empty HTTPS request %.1f us (%.1fx the in-process call); ", $2, $2 / i}
                                          /^floorcpu /{printf "CPU of both sides %.1f us\n", $2}'
else
  echo "(no floor figure: https_floor.cpp could not be built)"
fi
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
