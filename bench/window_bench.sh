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
# Prints rows of bench/run's table (see lib.sh).
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
ours=() theirs=()
for ((i = 0; i < runs; i++)); do
  read -r t _ < <(wine "$watch" NuvoBenchMinimal "$(win build/windows/bench/window_minimal.exe)")
  theirs+=("$t")
  read -r t _ < <(wine "$watch" NuvoOnlineSetup "$(win build/windows/NuvoSetup.exe)")
  ours+=("$t")
done
t_ours=$(printf '%s\n' "${ours[@]}" | best)
t_theirs=$(printf '%s\n' "${theirs[@]}" | best)
row "window start-up, best of $runs" "$t_ours ms" "minimal window program" "$t_theirs ms" \
  "$(ratio "$t_ours" "$t_theirs")" "<= 1.25"
m_ours=$(printf '%s\n' "${ours[@]}" | median)
m_theirs=$(printf '%s\n' "${theirs[@]}" | median)
row "window start-up, median" "$m_ours ms" "minimal window program" "$m_theirs ms" \
  "$(ratio "$m_ours" "$m_theirs")" "-"
# Private pages of a running Wine process (its Linux side).
private_kib() { awk '/^Private_(Clean|Dirty):/ { s += $2 } END { print s + 0 }' "/proc/$1/smaps_rollup"; }
wine build/windows/bench/window_minimal.exe </dev/null >/dev/null 2>&1 &
sleep 2
minimal=$(pgrep -n -f 'build/windows/bench/window_minimal.exe')
minimal_kib=$(private_kib "$minimal")
kill "$minimal" 2>/dev/null || true
wine build/windows/NuvoSetup.exe </dev/null >/dev/null 2>&1 &
wine build/windows/tests/window_driver.exe wait 30000 >/dev/null
sleep 1
pid=$(pgrep -n -f 'build/windows/NuvoSetup.exe')
ours_kib=$(private_kib "$pid")
row "idle window private memory (Wine process)" "$ours_kib KiB" "minimal window program" \
  "$minimal_kib KiB" "$(ratio "$ours_kib" "$minimal_kib")" "-"
wine build/windows/tests/window_driver.exe close

# Responsiveness during a 256 MiB download.
publish_release ""  # random bytes
rm -rf "${WINEPREFIX:-$HOME/.wine}/drive_c/users/$(id -un)/AppData/Local/NuvoSetup"
wine build/windows/NuvoSetup.exe </dev/null >/dev/null 2>&1 &
driver=build/windows/tests/window_driver.exe
wine $driver wait 30000 >/dev/null
wine $driver click 1001
worst=$(wine $driver probe 300 20 | python3 -c 'import json,sys; print(json.load(sys.stdin)["worst_ms"])')
heading=$(wine $driver dump | python3 -c 'import json,sys; print(json.load(sys.stdin)["children"][4]["text"])')
row "slowest WM_NULL answer while downloading" "$worst ms" "-" "-" "-" "-"
echo "heading after the probes: $heading" >&2
wine $driver close || true
