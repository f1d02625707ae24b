#!/usr/bin/env bash
# A throw-away PostgreSQL cluster for benchmarks and trials, in a temporary folder, listening
# only on a Unix socket there (as user nobody when run as root).
#   scripts/pg-scratch-cluster.sh start   prints the folder; the server runs until stopped
#   scripts/pg-scratch-cluster.sh stop DIR
# Connect with postgresql://postgres@/postgres?host=DIR
set -euo pipefail
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
if [[ -z "$bin" || ! -x "$bin/initdb" ]]; then
  echo "no PostgreSQL server binaries under /usr/lib/postgresql (install postgresql)" >&2
  exit 3
fi
as=()
if [[ $(id -u) == 0 ]]; then as=(runuser -u nobody --); fi
case "${1:-}" in
  start)
    dir=$(mktemp -d /tmp/mdserver-pg-XXXXXX)
    if [[ $(id -u) == 0 ]]; then chown nobody: "$dir"; fi
    "${as[@]}" "$bin/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --locale=C --no-sync \
      >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-k $dir -c listen_addresses='' -c max_connections=60 ${PG_SCRATCH_OPTIONS:-}" start >/dev/null \
      || { cat "$dir/server.log" >&2; exit 1; }
    echo "$dir"
    ;;
  stop)
    dir=${2:?folder of the cluster}
    [[ "$dir" == /tmp/mdserver-pg-* ]] || { echo "not a scratch cluster: $dir" >&2; exit 2; }
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
    rm -rf "$dir"
    ;;
  *) echo "usage: $0 start | stop DIR" >&2; exit 2 ;;
esac
