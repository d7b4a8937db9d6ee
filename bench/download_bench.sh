#!/usr/bin/env bash
# Downloading a 256 MiB installer from nginx over TLS on loopback with
# --download-only (verification included), side by side in one run with the
# same work done by standard tools:
#   native: curl -o of the same URL, then minisign -V twice (the package is
#           verified as the finished part and again after the move);
#   Wine:   a minimal WinHTTP read loop (bench/winhttp_get.exe) under Wine,
#           then minisign -V twice.
# The program flushes installer.part to the disk before it moves it, so the
# like-for-like peer flushes its file too (sync of the file after curl -o,
# FlushFileBuffers in the WinHTTP loop); the ratio against the peer without
# the flush is printed as well. Best of N runs each. Also: peak memory and
# what the download adds over the program's own start-up (--help) beside
# curl's over `curl --version`, and what a resumed run transfers after a
# break at half the file.
# Needs build/native and build/windows configured for the test channel
# (scripts/test does that) and the test network (scripts/test-network).
# Prints rows of bench/run's table (see lib.sh).
# Usage: bench/download_bench.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
work=$(mktemp -d)
. bench/lib.sh
path=$bench_path
url=$bench_url
wine_c=${WINEPREFIX:-$HOME/.wine}/drive_c
wine_work=$(mktemp -d -p "$wine_c")
trap 'scripts/nginx-channel stop "$work/state" 2>/dev/null || true; rm -rf "$work" "$wine_work"' EXIT

publish_release ""  # random bytes

peer() {  # a download command, then sync of the file when $flush is set, then two verifications
  "$@" >/dev/null 2>&1
  if [ -n "${flush:-}" ]; then sync "$work/got"; fi
  minisign -Vm "$work/got" -x "$work/sig" -p tests/fixtures/dev.pub >/dev/null
  minisign -Vm "$work/got" -x "$work/sig" -p tests/fixtures/dev.pub >/dev/null
}
export -f peer
export work

synced=() plain=() ours=() mem=0
# The peer's command lines are expanded by the inner bash, not here.
# shellcheck disable=SC2016
for ((i = 0; i < runs; i++)); do
  rm -rf "$work/cache" "$work/got"
  measure env flush=1 bash -c 'peer curl -sS -o "$work/got" "$0"' "$url" >"$work/m"; read -r s _ <"$work/m"
  synced+=("$s")
  rm -f "$work/got"
  measure bash -c 'peer curl -sS -o "$work/got" "$0"' "$url" >"$work/m"; read -r s _ <"$work/m"
  plain+=("$s")
  measure build/native/NuvoSetup --download-only --cache-dir "$work/cache" >"$work/m"; read -r s mem <"$work/m"
  ours+=("$s")
done
rm -f "$work/got"
measure curl -sS -o "$work/got" "$url" >"$work/m"; read -r _ curl_mem <"$work/m"
measure build/native/NuvoSetup --help >"$work/m"; read -r _ base <"$work/m"
measure curl --version >"$work/m"; read -r _ curl_base <"$work/m"
t_ours=$(printf '%s\n' "${ours[@]}" | best)
t_synced=$(printf '%s\n' "${synced[@]}" | best)
t_plain=$(printf '%s\n' "${plain[@]}" | best)
row "download 256 MiB + verify, native" "$t_ours s" "curl -o, sync, 2x minisign -V" "$t_synced s" \
  "$(ratio "$t_ours" "$t_synced")" "<= 1.10"
row "  same, against no flush" "$t_ours s" "curl -o, 2x minisign -V" "$t_plain s" \
  "$(ratio "$t_ours" "$t_plain")" "-"

if [ -f build/windows/NuvoSetup.exe ] && [ -f build/windows/bench/winhttp_get.exe ]; then
  export WINEDEBUG=-all
  wineserver -p60 </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  win_ours=() win_synced=() win_plain=()
  cache="C:\\$(basename "$wine_work")\\cache"
  get="wine build/windows/bench/winhttp_get.exe nuvor.test /$path Z:$work/got"
  for ((i = 0; i < runs; i++)); do
    rm -rf "$wine_work/cache" "$work/got"
    measure bash -c "peer $get flush" >"$work/m"; read -r s _ <"$work/m"
    win_synced+=("$s")
    rm -f "$work/got"
    measure bash -c "peer $get" >"$work/m"; read -r s _ <"$work/m"
    win_plain+=("$s")
    measure wine build/windows/NuvoSetup.exe --download-only --cache-dir "$cache" >"$work/m"; read -r s _ <"$work/m"
    win_ours+=("$s")
  done
  w_ours=$(printf '%s\n' "${win_ours[@]}" | best)
  w_synced=$(printf '%s\n' "${win_synced[@]}" | best)
  w_plain=$(printf '%s\n' "${win_plain[@]}" | best)
  row "download 256 MiB + verify, Wine" "$w_ours s" "WinHTTP loop, FlushFileBuffers, 2x minisign -V" \
    "$w_synced s" "$(ratio "$w_ours" "$w_synced")" "<= 1.10"
  row "  same, against no flush" "$w_ours s" "WinHTTP loop, 2x minisign -V" "$w_plain s" \
    "$(ratio "$w_ours" "$w_plain")" "-"
fi

row "download: peak memory, native" "$mem KiB" "curl -o" "$curl_mem KiB" "$(ratio "$mem" "$curl_mem")" "-"
row "download: memory added over --help" "$((mem - base)) KiB" "curl -o over curl --version" \
  "$((curl_mem - curl_base)) KiB" "$(ratio $((mem - base)) $((curl_mem - curl_base)))" "-"

# A break at half the file: the resumed run may fetch the missing half plus
# at most one 8 MiB span.
rm -rf "$work/cache"
size=$(stat -c %s "$work/www/$path")
mtime=$(stat -c %Y "$work/www/$path")
build/native/NuvoSetup --download-only --cache-dir "$work/cache" >/dev/null 2>&1
release=$(find "$work/cache" -mindepth 1 -maxdepth 1 -type d)
rm "$release/NuvoInstaller.exe"
head -c $((size / 2)) "$work/www/$path" >"$release/installer.part"
printf '{"validator":"\\"%x-%x\\"","total":%d}' "$mtime" "$size" "$size" >"$release/resume.json"
: >"$work/state/access.log"
build/native/NuvoSetup --download-only --cache-dir "$work/cache" >/dev/null 2>&1
sent=$(awk -v p="/$path" '$NF == p { s += $(NF - 1) } END { print s + 0 }' "$work/state/access.log")
missing=$((size - size / 2))
row "resumed after a break at half: bytes sent" "$sent B" "bytes missing" "$missing B" \
  "$(ratio "$sent" "$missing")" "<= missing + 8 MiB"
