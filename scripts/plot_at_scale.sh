#!/usr/bin/env bash
# Makes one plot at plot scale d with the test build of the executable, finalizes it in
# <directory> and tests it, then prints what plotting and finalization cost and those figures
# times 2^d, the k = 32 projection, beside the directory's own direct-I/O bandwidth.
#
#   bash scripts/plot_at_scale.sh <d 1-12> <directory> [level 1-5, default 1] [threads, default all]
#                                 [memory, e.g. 2.5GB: the -m amount, default the automatic request]
#
# Plotting (--no-finalizing) and finalization (--no-plotting) run as two processes, each ending
# on its own once nothing is left to do, so every figure belongs to one phase. Wall time runs from
# the start to the plot file's last write; the process ends a few seconds later, when the manager
# sees the work done. Bytes are what the process read from and wrote to storage (/proc/<pid>/io,
# taken from this shell, which reaps it). CPU time and peak memory (VmHWM) are sampled every half
# second.
set -euo pipefail

usage() {
  echo "usage: $0 <d 1-12> <directory> [level 1-5] [threads] [memory]" >&2
  exit 2
}
(($# >= 2 && $# <= 5)) || usage
d=$1
level=${3:-1}
threads=${4:-$(nproc)}
memory=()
[ -n "${5:-}" ] && memory=(-m "$5")
[[ $d =~ ^([1-9]|1[0-2])$ ]] || usage
[[ $level =~ ^[1-5]$ ]] || usage
[[ $threads =~ ^[1-9][0-9]*$ ]] || usage
[ -d "$2" ] || { echo "plot_at_scale.sh: no such directory: $2" >&2; exit 2; }
dir=$(cd "$2" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if compgen -G "$dir/*.[sf]pt*" >/dev/null || [ -e "$dir/VarnokChiaPool.tmp" ]; then
  echo "plot_at_scale.sh: $dir already holds plot or temp files; give it a directory without them" >&2
  exit 2
fi

# What the directory must hold: the temp file beside the sparse plot while plotting, the sparse
# beside the final plot (and the finalization margin) while finalizing. Thinned plots keep 1 MiB
# of headers; a thinned temp file is at most 1.1 times the production one over 2^d, plus its
# fixed 16 MiB (as laid out at every d from 1 to 12).
sparse=(103360000000 101210000000 99070000000 96920000000 94770000000)
final=(90900000000 89190000000 87470000000 85750000000 84030000000)
mib=$((1 << 20))
sparseBytes=$((sparse[level - 1] / (1 << d) + mib))
finalBytes=$(((final[level - 1] + 151261184) / (1 << d) + mib))
tempBytes=$((241128439808 * 11 / 10 / (1 << d) + 16789504 + 8 * mib))
ddBytes=$((4 << 30))
need=$((tempBytes + sparseBytes))
((sparseBytes + finalBytes > need)) && need=$((sparseBytes + finalBytes))
((ddBytes > need)) && need=$ddBytes
free=$(($(df -B1 --output=avail "$dir" | tail -1)))
if ((free < need)); then
  printf 'plot_at_scale.sh: a plot at d = %d, level %d needs %.1f GB free in %s; it has %.1f GB\n' \
    "$d" "$level" "$(awk "BEGIN {print $need / 1e9}")" "$dir" "$(awk "BEGIN {print $free / 1e9}")" >&2
  exit 1
fi

# The test build at this scale, in a build folder of its own: the libraries build once, and only
# the entry point changes with d. Each d runs its own copy of the program, so runs at different d
# may overlap; the lock keeps their builds apart.
build="$root/build/plot-scale"
program="$build/scale-$d/VarnokChiaPoolTestDeployment"
quietly() {
  local log
  if ! log=$("$@" 2>&1); then
    printf '%s\n' "$log" >&2
    echo "plot_at_scale.sh: the build failed" >&2
    return 1
  fi
}
mkdir -p "$build/scale-$d"
(
  flock 9
  quietly cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNOK_BENCH=OFF -DVARNOK_TEST_PLOT_SHIFT="$d"
  quietly cmake --build "$build" --target VarnokChiaPoolTestDeployment
  cp "$build/tests/VarnokChiaPoolTestDeployment" "$program.new"
  mv "$program.new" "$program"
) 9>"$build/build.lock"

work=$(mktemp -d)
ddFile="$dir/plot_at_scale.dd"
cleanup() {
  rm -rf "$work"
  rm -f "$ddFile"
}
trap cleanup EXIT

# Direct-I/O bandwidth of the directory in bytes per second: "write read".
measureDisk() {
  local w r
  w=$(dd if=/dev/zero of="$ddFile" bs=64M count=$((ddBytes >> 26)) oflag=direct conv=fsync 2>&1 |
    awk '/copied/ {print $1 / $(NF-3)}')
  r=$(dd if="$ddFile" of=/dev/null bs=64M iflag=direct 2>&1 | awk '/copied/ {print $1 / $(NF-3)}')
  rm -f "$ddFile"
  echo "$w $r"
}

calc() { awk "BEGIN {printf \"%.6f\", $1}"; }
# This shell reaps the program, so its own counters gain the program's when it ends.
ioField() { awk -v f="$1:" '$1 == f {print $2}' "/proc/$$/io"; }
ticks=$(getconf CLK_TCK)

# Runs the program in a network of its own with only loopback up, until it ends. Sets
# wall, cpu, rss (bytes), readBytes, writtenBytes and tempPeak (bytes of the temp file).
runPhase() {
  local name=$1 plotGlob=$2
  shift 2
  local log="$work/$name.log"
  local netns=(unshare -n)
  (($(id -u) == 0)) || netns=(unshare -rn)
  local r0 w0 t0 pid hwm size used status=0
  r0=$(ioField read_bytes) w0=$(ioField write_bytes) t0=$(date +%s.%N)
  "${netns[@]}" bash -c 'ip link set lo up && exec "$@"' _ "$program" -s "$work/settings" \
    --no-benchmark --p-threads "$threads" "${memory[@]}" "$@" >"$log" 2>&1 &
  pid=$!
  rss=0 tempPeak=0 cpuTicks=0
  # The program idles for a few seconds after its last write before it ends, so the last sample
  # of its CPU time (all threads, ended ones too) holds all of it.
  while kill -0 "$pid" 2>/dev/null; do
    used=$(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null || true)
    ((${used:-0} > cpuTicks)) && cpuTicks=$used
    hwm=$(awk '$1 == "VmHWM:" {printf "%.0f", $2 * 1024}' "/proc/$pid/status" 2>/dev/null || true)
    ((${hwm:-0} > rss)) && rss=$hwm
    size=$(stat -c %s "$dir/VarnokChiaPool.tmp" 2>/dev/null || echo 0)
    ((size > tempPeak)) && tempPeak=$size
    if grep -q 'ERROR: ' "$log"; then
      kill "$pid" 2>/dev/null || true
      break
    fi
    sleep 0.5
  done
  wait "$pid" || status=$?
  readBytes=$(($(ioField read_bytes) - r0))
  writtenBytes=$(($(ioField write_bytes) - w0))
  cpu=$(calc "$cpuTicks / $ticks")
  if ((status != 0)) || grep -q 'ERROR: ' "$log"; then
    cat "$log" >&2
    echo "plot_at_scale.sh: $name failed (exit status $status)" >&2
    exit 1
  fi
  local plot
  plot=$(compgen -G "$dir/$plotGlob" | head -1) || {
    cat "$log" >&2
    echo "plot_at_scale.sh: $name ended without a $plotGlob file" >&2
    exit 1
  }
  wall=$(calc "$(stat -c %.9Y "$plot") - $t0")
  ended=$(calc "$(date +%s.%N) - $t0")
  plotBytes=$(stat -c %s "$plot")
}

echo "d = $d, level $level, $threads plotting threads, memory ${5:-automatic}, in $dir; load: $(uptime | sed 's/.*load/load/')"
read -r ddWrite ddRead <<<"$(measureDisk)"

mkdir -p "$work/settings"
declare -A fig
runPhase plotting '*.spt' -d,1N "$dir" -c "$level" --no-finalizing
for k in wall ended cpu rss readBytes writtenBytes tempPeak plotBytes; do fig[p$k]=${!k}; done
rm -f "$dir/VarnokChiaPool.tmp"  # the client keeps it for a next plot; there is none
runPhase finalization '*.fpt' -d,1N "$dir" --no-plotting
for k in wall ended cpu rss readBytes writtenBytes tempPeak plotBytes; do fig[f$k]=${!k}; done

scale=$((1 << d))
row() {  # label, value at d, unit divisor, unit name, k = 32 unit divisor, k = 32 unit name
  printf '  %-26s %14.2f %-4s %14.2f %s\n' "$1" "$(calc "$2 / $3")" "$4" \
    "$(calc "$2 * $scale / $5")" "$6"
}
report() {  # phase letter, title, temp-file label
  local p=$1
  local diskTime
  diskTime=$(calc "${fig[${p}readBytes]} / $ddRead + ${fig[${p}writtenBytes]} / $ddWrite")
  echo "$2                          at d = $d       k = 32 (x $scale)"
  row "wall time" "${fig[${p}wall]}" 1 s 3600 h
  row "CPU time (user+sys)" "${fig[${p}cpu]}" 1 s 3600 h
  printf '  %-26s %14.2f %-4s %14s\n' "peak resident memory" "$(calc "${fig[${p}rss]} / 2^20")" MiB \
    "(not scaled)"
  row "bytes read" "${fig[${p}readBytes]}" 1e9 GB 1e9 GB
  row "bytes written" "${fig[${p}writtenBytes]}" 1e9 GB 1e9 GB
  [ "$p" = p ] && row "temp file" "${fig[${p}tempPeak]}" 1e9 GB 1e9 GB
  row "$3" "${fig[${p}plotBytes]}" 1e9 GB 1e9 GB
  row "disk alone (dd rates)" "$diskTime" 1 s 3600 h
  printf '  %-26s %14.1f %%\n' "disk share of wall time" "$(calc "100 * $diskTime / ${fig[${p}wall]}")"
  printf '  %-26s %14.2f s\n' "process ended after" "${fig[${p}ended]}"
}
echo
report p "Plotting" "sparse plot"
report f "Finalization" "final plot"
printf 'Direct I/O in %s: write %.0f MB/s, read %.0f MB/s (dd, %d GiB)\n' "$dir" \
  "$(calc "$ddWrite / 1e6")" "$(calc "$ddRead / 1e6")" $((ddBytes >> 30))
echo "Peak memory is mostly the plotting memory the client reserves, which does not grow by 2^d."
echo "load: $(uptime | sed 's/.*load/load/')"
# The plot test of the client, with this build's thresholds.
checkLog="$work/check.log"
netns=(unshare -n)
(($(id -u) == 0)) || netns=(unshare -rn)
"${netns[@]}" bash -c 'ip link set lo up && exec "$@"' _ "$program" -s "$work/settings" \
  --no-benchmark --no-plotting --no-finalizing --check-plots -d "$dir" >"$checkLog" 2>&1 || true
echo "Final plot: $(compgen -G "$dir/*.fpt")"
if ! grep -q 'Test passed' "$checkLog" || grep -q 'ERROR' "$checkLog"; then
  cat "$checkLog" >&2
  echo "plot_at_scale.sh: the final plot failed --check-plots" >&2
  exit 1
fi
echo "--check-plots: Test passed"
