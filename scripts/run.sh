#!/usr/bin/env bash
# Installs what is missing, builds the release binary and runs the client with the given arguments.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNOK_TESTS=OFF -DVARNOK_BENCH=OFF >/dev/null
cmake --build "$build" --target VarnokChiaPool >/dev/null
exec "$build/app/VarnokChiaPool" "$@"
