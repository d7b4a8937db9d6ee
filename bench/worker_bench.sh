#!/usr/bin/env bash
# A whole installation run through the worker (tests/worker_probe: channel,
# 256 MiB download, both verifications, the downgrade guard, the launch of an
# installer that exits at once) side by side in one run with --download-only
# of the same release, from nginx over TLS on loopback, natively and under
# Wine. The installer is the test installer padded to 256 MiB (a program runs
# with data appended to it). The probe polls its queue every 5 ms, so that
# the window's 100 ms poll is not counted as the worker's cost.
# Prints rows of bench/run's table (see lib.sh): the best of N runs, the
# ratios, peak memory and the queue's high-water mark.
# Needs build/native and build/windows configured for the test channel
# (scripts/test does that) and the test network (scripts/test-network).
# Usage: bench/worker_bench.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
work=$(mktemp -d)
. bench/lib.sh
wine_c=${WINEPREFIX:-$HOME/.wine}/drive_c
wine_work=$(mktemp -d -p "$wine_c")
trap 'scripts/nginx-channel stop "$work/state" 2>/dev/null || true; rm -rf "$work" "$wine_work"' EXIT

summary() {  # the probe's last line must say the installer completed
  tail -n 1 "$work/out" | grep -q '"summary":"completed"' || { cat "$work/out" >&2; exit 1; }
  tail -n 1 "$work/out" | sed -E 's/.*"high_water":([0-9]+).*/\1/'
}

compare() {  # label, cache dir as the program names it, cache dir here, programs...
  local label=$1 cache=$2 here=$3 setup probe
  read -r -a setup <<<"$4"  # "wine build/windows/NuvoSetup.exe": a command and its program
  read -r -a probe <<<"$5"
  local ours=() theirs=() mem_ours=0 mem_theirs=0 high=0 s m
  for ((i = 0; i < runs; i++)); do
    rm -rf "$here"
    measure "${setup[@]}" --download-only --cache-dir "$cache" >"$work/m"; read -r s m <"$work/m"
    theirs+=("$s"); mem_theirs=$m
    rm -rf "$here"
    measure "${probe[@]}" --cache-dir "$cache" --poll-ms 5 >"$work/m"; read -r s m <"$work/m"
    ours+=("$s"); mem_ours=$m
    h=$(summary); ((h > high)) && high=$h
  done
  local t_ours t_theirs
  t_ours=$(printf '%s\n' "${ours[@]}" | best)
  t_theirs=$(printf '%s\n' "${theirs[@]}" | best)
  row "whole worker run, $label" "$t_ours s" "--download-only" "$t_theirs s" \
    "$(ratio "$t_ours" "$t_theirs")" "<= 1.03"
  if [ "$label" = native ]; then
    row "worker run: peak memory, native" "$mem_ours KiB" "--download-only" "$mem_theirs KiB" \
      "$(ratio "$mem_ours" "$mem_theirs")" "-"
  fi
  # The queue as the window sees it, read every 100 ms.
  rm -rf "$here"
  measure "${probe[@]}" --cache-dir "$cache" --poll-ms 100 >"$work/m"
  row "worker queue high-water, $label, 5 / 100 ms poll" "$high / $(summary) events" "-" "-" "-" "-"
}

publish_release build/native/tests/test_installer
compare native "$work/cache" "$work/cache" build/native/NuvoSetup build/native/tests/worker_probe

if [ -f build/windows/NuvoSetup.exe ] && [ -f build/windows/tests/worker_probe.exe ]; then
  export WINEDEBUG=-all
  wineserver -p60 </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  publish_release build/windows/tests/test_installer.exe
  compare wine "C:\\$(basename "$wine_work")\\cache" "$wine_work/cache" \
    "wine build/windows/NuvoSetup.exe" "wine build/windows/tests/worker_probe.exe"
fi
