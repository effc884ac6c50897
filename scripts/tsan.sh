#!/usr/bin/env bash
# Builds the runtime, prover, manager and pool tests under ThreadSanitizer and runs them; any
# report fails the run. Kept out of CI for its time: run it after changing threaded code. Extra
# arguments go to ctest (for example -R Mining).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
build="${VARNOK_TSAN_BUILD_DIR:-$root/build/tsan}"
folders=(runtime prover manager pool)
jobs=$(nproc)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNOK_SANITIZE=thread \
  -DVARNOK_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "${folders[@]/#/tests_}"
# Some tests fork a child of a threaded process, which then starts threads of its own.
# The suppressions name only what the uninstrumented standard library hides (see the file).
export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1 die_after_fork=0 \
suppressions=$root/scripts/tsan.supp ${TSAN_OPTIONS:-}"
cd "$build"
label=$(IFS='|'; echo "^(${folders[*]})\$")
ctest --output-on-failure -j "$jobs" --timeout 1200 -L "$label" "$@"
