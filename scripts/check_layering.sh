#!/usr/bin/env bash
# Checks that includes follow the layering of the libraries, and that each library declares in
# CMake the libraries it includes from. Layers, top to bottom:
#   app -> pool -> manager, update -> prover -> plotter -> chia -> runtime
# A folder includes only from itself and folders below it; the pool client reaches the manager
# only through the Client and the update code only through the Updater. tests/<folder> follows
# the rules of <folder> and may also use tests/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

declare -A below=(
  [runtime]=""
  [chia]="runtime"
  [plotter]="chia runtime"
  [prover]="plotter chia runtime"
  [manager]="prover plotter chia runtime"
  [update]="prover plotter chia runtime"
  [pool]="manager update prover plotter chia runtime"
  [app]="pool manager update prover plotter chia runtime"
)
# Headers of a folder above that a folder may still include.
declare -A exceptions=(
  [pool]="manager/client.h update/updater.h"
)

failures=0
fail() {
  echo "layering: $*" >&2
  failures=$((failures + 1))
}

allowed() {  # folder, included path
  local folder=$1 included=$2 target=${2%%/*}
  [ "$target" = "$folder" ] && return 0
  [ "$target" = "tests" ] && { [ "$3" = "test" ]; return; }
  for ok in ${exceptions[$folder]:-}; do [ "$included" = "$ok" ] && return 0; done
  [ -z "${below[$target]+known}" ] && return 0  # not one of ours: system or third party
  for ok in ${below[$folder]}; do
    [ "$target" = "$ok" ] || continue
    # A folder above its own may only be reached through its exceptions.
    case " ${exceptions[$folder]:-} " in *" $target/"*) return 1 ;; esac
    return 0
  done
  return 1
}

for folder in "${!below[@]}"; do
  for kind in source test; do
    dir=$folder
    [ "$kind" = test ] && dir=tests/$folder
    [ -d "$dir" ] || continue
    used=()
    while IFS=: read -r file line text; do
      included=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/' <<<"$text")
      if ! allowed "$folder" "$included" "$kind"; then
        fail "$file:$line includes \"$included\", which $folder may not use"
      fi
      used+=("${included%%/*}")
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir" --include='*.cpp' \
               --include='*.h' --include='*.c' || true)

    # The library itself must name in CMake every other library it includes from.
    [ "$kind" = source ] && [ -f "$folder/CMakeLists.txt" ] || continue
    declared=$(tr -s '[:space:]()' ' ' <"$folder/CMakeLists.txt")
    for target in $(printf '%s\n' "${used[@]}" | sort -u); do
      [ "$target" = "$folder" ] || [ -z "${below[$target]+known}" ] && continue
      [[ " $declared " == *" $target "* ]] || fail "$folder/CMakeLists.txt does not declare $target"
    done
  done
done

if ((failures)); then
  echo "layering: $failures problem(s)" >&2
  exit 1
fi
echo "layering: includes and library dependencies follow the layers"
