#!/usr/bin/env bash
# Installs what is missing, builds the client, its tests and benchmarks, and runs the test suite.
# Extra arguments go to cmake's configure step (for example -DVARNOK_SANITIZE=ON). CI also sets
# VARNOK_BUILD_DIR, and VARNOK_TEST_EXCLUDE: a ctest -E pattern of tests this run leaves out.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
build="${VARNOK_BUILD_DIR:-$root/build/test}"
jobs=$(nproc)
start=$SECONDS
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j "$jobs"
echo "test.sh: built in $((SECONDS - start)) s"
cd "$build"
exclude=()
[ -z "${VARNOK_TEST_EXCLUDE:-}" ] || exclude=(-E "$VARNOK_TEST_EXCLUDE")
start=$SECONDS
ctest --output-on-failure -j "$jobs" --timeout 600 "${exclude[@]}"
echo "test.sh: tests ran in $((SECONDS - start)) s"
