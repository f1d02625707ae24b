#!/usr/bin/env bash
# What the PostgreSQL server alone needs for a seed import into an empty repository: the rows of
# a loaded repository are written to files, then loaded again by the server itself, in one
# transaction, the way the import loads them (the keys, indexes and foreign keys set aside, the
# tables emptied, COPY ... FREEZE, everything built again, statistics gathered, one commit). No
# client parses anything and nothing crosses a connection: what this takes, no import can beat.
#
#   MDSERVER_SEED_KEEP=1 MDSERVER_SEED_ONLY=postgresql build-bench/bin/bench_seed
#   bench/mdserver/seed_server_floor.sh /tmp/mdserver-pg-XXXXXX [ROUNDS]
#
# The cluster is the one bench_seed kept (its schema "large" holds the million objects); it is
# left running. Each round prints its split and its wall time, and objects per second for the
# objects of the seed (the property objects not counted, as the import counts them).
set -euo pipefail
dir=${1:?the folder of a scratch cluster kept by bench_seed}
rounds=${2:-2}
schema=large
tables="objects attributes properties associations"
psql=(psql -h "$dir" -U postgres -d postgres -v ON_ERROR_STOP=1 -Atq)
files=$(mktemp -d /tmp/seed-floor-XXXXXX)
trap 'rm -rf "$files"' EXIT
chmod 777 "$files"  # the server (user nobody under root) writes and reads them

list="'$schema.objects'::regclass, '$schema.attributes'::regclass, '$schema.properties'::regclass, '$schema.associations'::regclass"
# What the load sets aside, as the catalogue states it: foreign keys, then keys and unique
# constraints, then the other indexes; built again in the opposite order.
fk="SELECT format('ALTER TABLE %s ADD CONSTRAINT %I %s;', conrelid::regclass, conname, pg_get_constraintdef(oid)) FROM pg_constraint WHERE conrelid IN ($list) AND contype = 'f'"
toObjects=$("${psql[@]}" -c "$fk AND confrelid = '$schema.objects'::regclass ORDER BY conname")
toOthers=$("${psql[@]}" -c "$fk AND confrelid <> '$schema.objects'::regclass ORDER BY conname")
keys=$("${psql[@]}" -c "SELECT format('ALTER TABLE %s ADD CONSTRAINT %I %s;', conrelid::regclass, conname, pg_get_constraintdef(oid)) FROM pg_constraint WHERE conrelid IN ($list) AND contype IN ('p', 'u') ORDER BY conname")
indexes=$("${psql[@]}" -c "SELECT pg_get_indexdef(i.indexrelid) || ';' FROM pg_index i WHERE i.indrelid IN ($list) AND NOT EXISTS (SELECT 1 FROM pg_constraint c WHERE c.conindid = i.indexrelid) ORDER BY i.indexrelid::regclass::text")
drops=$("${psql[@]}" -c "SELECT format('ALTER TABLE %s DROP CONSTRAINT %I;', conrelid::regclass, conname) FROM pg_constraint WHERE conrelid IN ($list) AND contype IN ('f', 'p', 'u') ORDER BY contype = 'f' DESC, conname")
dropIndexes=$("${psql[@]}" -c "SELECT format('DROP INDEX %s;', i.indexrelid::regclass) FROM pg_index i WHERE i.indrelid IN ($list) AND NOT EXISTS (SELECT 1 FROM pg_constraint c WHERE c.conindid = i.indexrelid)")
objects=$("${psql[@]}" -c "SELECT count(*) FROM $schema.objects o WHERE NOT EXISTS (SELECT 1 FROM $schema.properties p WHERE p.property = o.key)")
for t in $tables; do "${psql[@]}" -c "COPY $schema.$t TO '$files/$t.copy'" >/dev/null; done

stamp="SELECT to_char(clock_timestamp(), 'SSSS.US')"
{
  echo "SET search_path = $schema, public;"
  echo "BEGIN;"
  echo "SET LOCAL maintenance_work_mem = '256MB';"
  echo "$drops"
  echo "$dropIndexes"
  echo "TRUNCATE $(echo $tables | sed 's/ /, /g');"
  echo "$stamp;"
  for t in $tables; do echo "COPY $t FROM '$files/$t.copy' WITH (FREEZE);"; done
  echo "$stamp;"
  echo "$indexes"
  echo "$keys"
  echo "$stamp;"
  # The importer checks the keys that name an object along the indexes just built (each such
  # column leads an index); the others as the planner likes.
  echo "SET LOCAL enable_hashjoin = off;"
  echo "$toObjects"
  echo "SET LOCAL enable_hashjoin = on;"
  echo "$toOthers"
  echo "$stamp;"
  echo "ANALYZE $(echo $tables | sed 's/ /, /g');"
  echo "$stamp;"
  echo "COMMIT;"
  echo "$stamp;"
} >"$files/floor.sql"

for round in $(seq 1 "$rounds"); do
  start=$(date +%s.%N)
  mapfile -t t < <("${psql[@]}" -f "$files/floor.sql" | grep -E '^[0-9]+\.[0-9]+$')
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v n="$objects" -v a="${t[0]}" -v b="${t[1]}" -v c="${t[2]}" \
      -v d="${t[3]}" -v f="${t[4]}" -v g="${t[5]}" -v r="$round" 'BEGIN {
    printf "round %d: COPY %.2f s, indexes and keys %.2f s, foreign keys %.2f s, ANALYZE %.2f s, commit %.2f s; wall %.2f s = %.0f objects/s\n",
      r, b - a, c - b, d - c, f - d, g - f, e - s, n / (e - s) }'
done
