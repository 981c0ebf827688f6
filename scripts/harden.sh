#!/usr/bin/env bash
# The short forms of the hardening checks that are not in ctest: every fuzz target for a bounded
# number of runs, and valgrind memcheck over the integration tests. (The fault soak, the port
# removal, the resource cycles and the hostile input sweep run in ctest with the other tests.)
#
#   scripts/harden.sh          both, with the scripts' short defaults
#   FUZZ_RUNS=2000000 scripts/harden.sh   longer fuzzing (see scripts/fuzz.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
start=$SECONDS
echo "== fuzz targets"
bash scripts/fuzz.sh "${FUZZ_RUNS:-100000}" || status=1
echo "   fuzzing took $((SECONDS - start)) s"

start=$SECONDS
echo "== valgrind memcheck"
bash scripts/valgrind.sh || status=1
echo "   valgrind took $((SECONDS - start)) s"
exit $status
