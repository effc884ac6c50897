#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (seconds, default 30)
# on a scratch copy of its seed corpus. Without clang it says so and succeeds. With
# VARNOK_FUZZ_BUILD_ONLY=1 it only builds them (CI builds them beside another step).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-30}
if ! command -v clang >/dev/null 2>&1 || ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang not found, fuzz targets not run"
  exit 0
fi
build="${VARNOK_FUZZ_BUILD_DIR:-$root/build/fuzz}"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNOK_FUZZ=ON -DVARNOK_BENCH=OFF >/dev/null
targets=(park_decoder plot_file pool_packet)
cmake --build "$build" -j "${VARNOK_JOBS:-$(nproc)}" --target "${targets[@]/%/_fuzz}"
[ "${VARNOK_FUZZ_BUILD_ONLY:-}" = 1 ] && exit 0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The targets run at once: each is one process, so on a machine with several cores the step takes
# the time of one.
declare -A runs=()
for target in "${targets[@]}"; do
  echo "fuzz: $target for $seconds s"
  cp -r "$root/tests/fuzz/corpus/$target" "$scratch/$target"
  (cd "$scratch" && exec "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" \
     -max_len=8192 "$scratch/$target" >"$scratch/$target.log" 2>&1) &
  runs[$target]=$!
done
failed=0
for target in "${targets[@]}"; do
  if wait "${runs[$target]}"; then
    echo "fuzz: $target"
    tail -n 2 "$scratch/$target.log"
  else
    cat "$scratch/$target.log"
    echo "fuzz: $target failed" >&2
    failed=1
  fi
done
exit "$failed"
