#!/usr/bin/env bash
# The setup window under Wine on Xvfb:
# 1. start-up: from process start to the first painted frame (read back from
#    the screen by bench/window_watch), NuvoSetup.exe against a minimal
#    MinGW window program (bench/window_minimal: one class, one window, one
#    progress bar), the two started in turn, median and best of N each; and
#    the idle window's private memory (Wine reports none to the Windows side,
#    so it is read from the Linux process: private pages of its smaps_rollup);
# 2. responsiveness: while the window downloads a 256 MiB release from nginx
#    over TLS, WM_NULL round trips to its thread (SendMessageTimeoutW), one
#    every 2 ms while the bar moves, over several downloads: the 99th
#    percentile of all of them, and the slowest.
# With --against <build folder> (another build's build/windows), that
# build's NuvoSetup.exe is measured in the same run, its start-ups and
# downloads taking turns with ours, and each figure is also given as the
# ratio of ours to it. `--against build/windows` measures this build against
# itself: how far two measurements of one build drift apart.
# Prints rows of bench/run's table (see lib.sh).
# Needs build/windows configured for the test channel (scripts/test does
# that) and the test network (scripts/test-network).
# Usage: bench/window_bench.sh [--against <build folder>] [runs [downloads]]
#   runs: start-ups of each program (25); downloads: of each build (16);
#   NUVO_BENCH_KEEP=<folder> keeps every sample there.
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib/steps.sh
. scripts/lib/steps.sh

step "arguments"
against=""
if [ "${1:-}" = "--against" ]; then
  [ -n "${2:-}" ] || { echo "usage: $0 [--against <build folder>] [runs [downloads]]" >&2; exit 2; }
  against=$(realpath "$2")
  shift 2
fi
runs=${1:-25}
downloads=${2:-16}
# Round trips per download, one every 2 ms, for as long as the bar moves
# (a second or two on loopback); fewer than min_probes tell too little.
probes=5000
min_probes=100
ours=$(realpath build/windows)
builds=("$ours")
if [ -n "$against" ]; then
  [ -f "$against/NuvoSetup.exe" ] || { echo "$0: no NuvoSetup.exe in $against" >&2; exit 2; }
  builds+=("$against")
fi
export WINEDEBUG=-all
work=$(mktemp -d)
# shellcheck source=bench/lib.sh
. bench/lib.sh
cache="${WINEPREFIX:-$HOME/.wine}/drive_c/users/$(id -un)/AppData/Local/NuvoSetup"

step "virtual display"
# Xvfb picks a display that no other job on the machine holds.
exec {display_fd}>"$work/display"
Xvfb -displayfd "$display_fd" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
exec {display_fd}>&-
cleanup() {
  scripts/nginx-channel stop "$work/state" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  kill $xvfb 2>/dev/null || true
  rm -rf "$work" "$cache"
}
trap cleanup EXIT
for ((i = 0; i < 100; i++)); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "$0: Xvfb did not start" >&2; exit 1; }
DISPLAY=:$(head -n 1 "$work/display")
export DISPLAY

step "wine"
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p120 </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
win() { winepath -w "$1"; }
watch=$ours/bench/window_watch.exe
driver=$ours/tests/window_driver.exe
minimal=$ours/bench/window_minimal.exe
# Waits up to 30 s for a program this script started to end.
wait_exit() {
  local i
  for ((i = 0; i < 300; i++)); do
    kill -0 "$1" 2>/dev/null || { wait "$1" 2>/dev/null || true; return 0; }
    sleep 0.1
  done
  echo "$0: process $1 did not end" >&2
  return 1
}
# The builds in turn, the one that goes first changing from round to round,
# so that neither always runs right after the minimal program or the other.
turns() { local k; for ((k = 0; k < ${#builds[@]}; k++)); do echo $(((k + $1) % ${#builds[@]})); done; }

# The figures of each build go to files named by its place in $builds.
step "start-up"
: >"$work/start.minimal"
for ((b = 0; b < ${#builds[@]}; b++)); do : >"$work/start.$b"; done
for ((i = 0; i < runs; i++)); do
  read -r t _ < <(wine "$watch" NuvoBenchMinimal "$(win "$minimal")")
  echo "$t" >>"$work/start.minimal"
  for b in $(turns "$i"); do
    read -r t _ < <(wine "$watch" NuvoOnlineSetup "$(win "${builds[b]}/NuvoSetup.exe")")
    echo "$t" >>"$work/start.$b"
  done
done

step "idle memory"
# Private pages of a running Wine process (its Linux side); wine execs the
# program's own process, so $! is its pid.
private_kib() { awk '/^Private_(Clean|Dirty):/ { s += $2 } END { print s + 0 }' "/proc/$1/smaps_rollup"; }
wine "$minimal" </dev/null >/dev/null 2>&1 &
pid=$!
sleep 2
private_kib "$pid" >"$work/memory.minimal"
kill "$pid" 2>/dev/null || true
wait_exit "$pid"
for ((b = 0; b < ${#builds[@]}; b++)); do
  wine "${builds[b]}/NuvoSetup.exe" </dev/null >/dev/null 2>&1 &
  pid=$!
  wine "$driver" wait 30000 >/dev/null
  sleep 1
  private_kib "$pid" >"$work/memory.$b"
  wine "$driver" close
  wait_exit "$pid"
done

step "responsiveness" "$work/probe.log"
publish_release ""  # random bytes
for ((b = 0; b < ${#builds[@]}; b++)); do : >"$work/probes.$b"; done
for ((d = 0; d < downloads; d++)); do
  for b in $(turns "$d"); do
    rm -rf "$cache"
    wine "${builds[b]}/NuvoSetup.exe" </dev/null >/dev/null 2>&1 &
    pid=$!
    wine "$driver" wait 30000 >/dev/null
    wine "$driver" click 1001
    # Only while the bar moves: the probes end with the download.
    wine "$watch" probe NuvoOnlineSetup "$probes" 2 >"$work/round"
    n=$(wc -l <"$work/round")
    echo "build $b, download $d: $n round trips" >>"$work/probe.log"
    if ((n < min_probes)); then
      echo "$0: only $n round trips before the download ended (fewer than $min_probes)" >&2
      exit 1
    fi
    cat "$work/round" >>"$work/probes.$b"
    wine "$driver" close
    wait_exit "$pid"
  done
done

step "report"
# NUVO_BENCH_KEEP=<folder>: every sample kept there, one file per figure and build.
if [ -n "${NUVO_BENCH_KEEP:-}" ]; then
  mkdir -p "$NUVO_BENCH_KEEP"
  cp "$work"/start.* "$work"/memory.* "$work"/probes.* "$NUVO_BENCH_KEEP"/
fi
start_median() { median <"$work/start.$1"; }
start_best() { best <"$work/start.$1"; }
memory() { cat "$work/memory.$1"; }
samples() { wc -l <"$work/probes.$1"; }
p99() { echo "$(percentile 99 <"$work/probes.$1") ms of $(samples "$1")"; }
slowest() { echo "$(sort -n "$work/probes.$1" | tail -n 1) ms of $(samples "$1")"; }
m0=$(start_median 0) mm=$(start_median minimal)
row "window start-up, median of $runs" "$m0 ms" "minimal window program" "$mm ms" \
  "$(ratio "$m0" "$mm")" "-"
b0=$(start_best 0) bm=$(start_best minimal)
row "window start-up, best of $runs" "$b0 ms" "minimal window program" "$bm ms" \
  "$(ratio "$b0" "$bm")" "<= 1.25"
k0=$(memory 0) km=$(memory minimal)
row "idle window private memory (Wine process)" "$k0 KiB" "minimal window program" \
  "$km KiB" "$(ratio "$k0" "$km")" "-"
if [ -z "$against" ]; then
  row "WM_NULL answer while downloading, 99th percentile" "$(p99 0)" "-" "-" "-" "-"
  row "slowest WM_NULL answer while downloading" "$(slowest 0)" "-" "-" "-" "-"
else
  peer="NuvoSetup.exe of $against"
  for pair in "window start-up, median of $runs:start_median: ms" \
    "window start-up, best of $runs:start_best: ms" \
    "idle window private memory (Wine process):memory: KiB" \
    "WM_NULL answer while downloading, 99th percentile:p99:" \
    "slowest WM_NULL answer while downloading:slowest:"; do
    IFS=: read -r what how unit <<<"$pair"
    a=$("$how" 0) b=$("$how" 1)
    row "$what" "$a$unit" "$peer" "$b$unit" "$(ratio "${a%% *}" "${b%% *}")" "-"
  done
fi
