#!/usr/bin/env bash
# Checks the names in the libraries, tests and benchmarks with clang-tidy's identifier-naming
# check, configured in .clang-tidy, and fails on any warning. Needs only a configured build tree
# (its compile_commands.json), not a built one. Files that share a compile command are checked in
# batches (scripts/naming_batches.py). Extra arguments narrow the run to those files.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# The configure below needs the build's packages too, not only clang-tidy.
bash "$root/scripts/setup.sh"
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$tidy" ]; then
  echo "naming: clang-tidy not found" >&2
  exit 1
fi
build="$root/build/naming"
jobs="${VARNOK_NAMING_JOBS:-$(nproc)}"
folders="app|runtime|chia|plotter|prover|manager|pool|update|tests|bench"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVARNOK_BENCH=ON \
  -DVARNOK_TESTS=ON -DVARNOK_UNITY_TESTS=OFF >/dev/null

if (($#)); then
  files=("$@")
else
  mapfile -t files < <(find ${folders//|/ } -name '*.cpp' -o -name '*.c' | sort)
fi
# Files the build does not compile (the fuzz targets are built by clang only) go to clang-tidy
# directly, which borrows a neighbour's command for them.
listed=() unlisted=()
for file in "${files[@]}"; do
  if grep -qF "\"file\": \"$root/$file\"" "$build/compile_commands.json"; then
    listed+=("$file")
  else
    unlisted+=("$file")
  fi
done

output=$(mktemp)
trap 'rm -f "$output"' EXIT
header_filter="^$root/($folders)/"
start=$SECONDS
if ((${#listed[@]})); then
  python3 "$root/scripts/naming_batches.py" "$build" "$jobs" "$tidy" "$header_filter" \
    "${listed[@]}" >"$output" 2>&1 || { cat "$output" >&2; echo "naming: batches failed" >&2; exit 1; }
fi
if ((${#unlisted[@]})); then
  printf '%s\n' "${unlisted[@]}" | xargs -P "$jobs" -n 4 "$tidy" -p "$build" --quiet \
    --extra-arg=-w --header-filter="$header_filter" >>"$output" 2>&1 || true
fi

grep -E '^naming: [0-9]+ files in' "$output" || true
if grep -qiE 'compilation database|no such file or directory|command not found' "$output"; then
  cat "$output" >&2
  echo "naming: clang-tidy did not run" >&2
  exit 1
fi
# A header's warning comes once from every file that includes it.
problems=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: warning: .*\[readability-identifier-naming\]' "$output" |
             sed "s|^$root/||" | sort -u || true)
# GCC extensions clang does not know (vector shuffles, lambdas capturing structured bindings)
# leave a few functions unchecked; the compiler warnings themselves are GCC's business (-w).
unparsed=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: error:' "$output" | cut -d: -f1 | sed "s|^$root/||" |
             sort -u | paste -sd' ' || true)
[ -z "$unparsed" ] || echo "naming: clang could not compile all of: $unparsed"
if [ -n "$problems" ]; then
  echo "$problems" >&2
  echo "naming: $(wc -l <<<"$problems") problem(s) in ${#files[@]} files ($((SECONDS - start)) s)" >&2
  exit 1
fi
echo "naming: ${#files[@]} files follow the naming rules ($((SECONDS - start)) s)"
