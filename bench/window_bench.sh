#!/usr/bin/env bash
# The setup window under Wine on Xvfb:
# 1. start-up: from process start to the first painted frame (read back from
#    the screen by bench/window_watch), NuvoSetup.exe against a minimal
#    MinGW window program (bench/window_minimal: one class, one window, one
#    progress bar), side by side, best and median of N; and the idle
#    window's private memory (Wine reports none to the Windows side, so it is
#    read from the Linux process: private pages of its smaps_rollup);
# 2. responsiveness: while the window downloads a 256 MiB release from nginx
#    over TLS, WM_NULL round trips to its thread (SendMessageTimeoutW), one
#    every 20 ms; the slowest of them.
# Needs build/windows configured for the test channel (scripts/test does
# that) and the test network (scripts/test-network).
# Usage: bench/window_bench.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
export WINEDEBUG=-all
work=$(mktemp -d)
. bench/lib.sh
display=:97
Xvfb $display -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  scripts/nginx-channel stop "$work/state" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  kill $xvfb 2>/dev/null || true
  rm -rf "$work" "${WINEPREFIX:-$HOME/.wine}/drive_c/users/$(id -un)/AppData/Local/NuvoSetup"
}
trap cleanup EXIT
sleep 1
export DISPLAY=$display
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p120 </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
win() { winepath -w "$1"; }

watch=build/windows/bench/window_watch.exe
ours=() theirs=() memory=0
for ((i = 0; i < runs; i++)); do
  read -r t _ < <(wine "$watch" NuvoBenchMinimal "$(win build/windows/bench/window_minimal.exe)")
  theirs+=("$t")
  read -r t _ < <(wine "$watch" NuvoOnlineSetup "$(win build/windows/NuvoSetup.exe)")
  ours+=("$t")
done
stats() { sort -n | awk '{ v[NR] = $1 } END { printf "best %.1f ms, median %.1f ms", v[1], v[int((NR + 1) / 2)] }'; }
echo "minimal window program: $(printf '%s\n' "${theirs[@]}" | stats)"
echo "NuvoSetup.exe window:   $(printf '%s\n' "${ours[@]}" | stats)"
awk -v a="$(printf '%s\n' "${ours[@]}" | best)" -v b="$(printf '%s\n' "${theirs[@]}" | best)" \
  'BEGIN { printf "start-up ratio (best): %.3f (limit 1.25)\n", a / b }'
med() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
awk -v a="$(printf '%s\n' "${ours[@]}" | med)" -v b="$(printf '%s\n' "${theirs[@]}" | med)" \
  'BEGIN { printf "start-up ratio (median): %.3f\n", a / b }'
wine build/windows/NuvoSetup.exe </dev/null >/dev/null 2>&1 &
wine build/windows/tests/window_driver.exe wait 30000 >/dev/null
sleep 1
pid=$(pgrep -f 'build/windows/NuvoSetup.exe' | head -n 1)
awk '/^Private_(Clean|Dirty):/ { s += $2 } END { printf "idle window private memory: %d KiB (Linux side of the Wine process)\n", s }' \
  "/proc/$pid/smaps_rollup"
wine build/windows/tests/window_driver.exe close

# Responsiveness during a 256 MiB download.
publish_release
rm -rf "${WINEPREFIX:-$HOME/.wine}/drive_c/users/$(id -un)/AppData/Local/NuvoSetup"
wine build/windows/NuvoSetup.exe </dev/null >/dev/null 2>&1 &
driver=build/windows/tests/window_driver.exe
wine $driver wait 30000 >/dev/null
wine $driver click 1001
wine $driver probe 300 20
heading=$(wine $driver dump | python3 -c 'import json,sys; print(json.load(sys.stdin)["children"][4]["text"])')
echo "heading after the probes: $heading"
wine $driver close || true
