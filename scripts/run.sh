#!/usr/bin/env bash
# Installs what is missing, builds the release binary and runs the client with the given arguments.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
build="$root/build/release"
# Quiet while it works; the whole output when the configure or the build fails.
quietly() {
  local log
  if ! log=$("$@" 2>&1); then
    printf '%s\n' "$log" >&2
    echo "run.sh: the build failed" >&2
    exit 1
  fi
}
quietly cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNOK_TESTS=OFF -DVARNOK_BENCH=OFF
quietly cmake --build "$build" --target VarnokChiaPool
exec "$build/app/VarnokChiaPool" "$@"
