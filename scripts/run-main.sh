#!/usr/bin/env bash
# The main job: run the guided tour on the bundled sample repository when the runner can,
# otherwise inspect both libraries.
set -euo pipefail
build=${1:-build}
mdhost="$build/bin/mdhost"
if [ -f examples/tour.lua ] && "$mdhost" --help 2>/dev/null | grep -q 'SCRIPT'; then
  exec "$mdhost" examples/tour.lua
fi
"$mdhost" inspect "$build/lib/objfuncs.so"
echo
"$mdhost" inspect "$build/lib/secfuncs.so"
