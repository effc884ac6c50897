#!/usr/bin/env bash
# Installs what the build and the tests need, only when it is missing. The other scripts call it
# first; CI runs it once itself and sets VARNOK_SETUP_DONE=1 for the scripts it calls after.
set -euo pipefail
[ "${VARNOK_SETUP_DONE:-}" = 1 ] && exit 0

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libgmp-dev
  libtorrent-rasterbar-dev libarchive-dev libboost-system-dev
  librust-blake3-dev b3sum
  clang-tidy python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
# Node runs the independent cross-check implementation in the tests; any packaged build will do.
if ! command -v node >/dev/null 2>&1; then missing+=(nodejs); fi
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Pinned JavaScript packages for the differential tests.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
js="$root/tests/js"
if [ -f "$js/package-lock.json" ]; then
  if [ ! -d "$js/node_modules" ] || [ "$js/package-lock.json" -nt "$js/node_modules/.package-lock.json" ]; then
    # Quiet when it works; npm's own account when it does not.
    if ! log=$(cd "$js" && npm ci --no-audit --no-fund 2>&1); then
      printf '%s\n' "$log" >&2
      echo "setup: npm ci failed in $js" >&2
      exit 1
    fi
  fi
fi
