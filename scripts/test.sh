#!/usr/bin/env bash
# Installs what is missing, builds the client, its tests and benchmarks, and runs the test suite.
# Extra arguments go to cmake's configure step (for example -DVARNOK_SANITIZE=ON).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
build="${VARNOK_BUILD_DIR:-$root/build/test}"
jobs=$(nproc)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j "$jobs"
cd "$build"
ctest --output-on-failure -j "$jobs" --timeout 600
