#!/usr/bin/env bash
# Downloading a 256 MiB installer from nginx over TLS on loopback with
# --download-only (verification included), side by side in one run with the
# same work done by standard tools:
#   native: curl -o of the same URL, then minisign -V twice (the package is
#           verified as the finished part and again after the move);
#   Wine:   a minimal WinHTTP read loop (bench/winhttp_get.exe) under Wine,
#           then minisign -V twice.
# Prints the best of N runs, the ratios, peak memory, and what a resumed run
# transfers after a break at half the file.
# Needs build/native and build/windows configured for the test channel
# (scripts/test does that) and the test network (scripts/test-network).
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
trap 'scripts/nginx-channel stop "$work/state" || true; rm -rf "$work" "$wine_work"' EXIT

publish_release

peer() {  # curl or the WinHTTP loop, then two verifications
  "$@" >/dev/null 2>&1
  minisign -Vm "$work/got" -x "$work/sig" -p tests/fixtures/dev.pub >/dev/null
  minisign -Vm "$work/got" -x "$work/sig" -p tests/fixtures/dev.pub >/dev/null
}
export -f peer
export work

ours=() theirs=() mem=0
for ((i = 0; i < runs; i++)); do
  rm -rf "$work/cache" "$work/got"
  measure bash -c 'peer curl -sS -o "$work/got" "$0"' "$url" >"$work/m"; read -r s _ <"$work/m"
  theirs+=("$s")
  measure build/native/NuvoSetup --download-only --cache-dir "$work/cache" >"$work/m"; read -r s m <"$work/m"
  ours+=("$s"); mem=$m
done
t_ours=$(printf '%s\n' "${ours[@]}" | best)
t_theirs=$(printf '%s\n' "${theirs[@]}" | best)
echo "native: curl -o + 2x minisign -V   $t_theirs s"
echo "native: NuvoSetup --download-only  $t_ours s  peak $mem KiB"
echo "native ratio: $(ratio "$t_ours" "$t_theirs") (limit 1.10)"

if [ -f build/windows/NuvoSetup.exe ] && [ -f build/windows/bench/winhttp_get.exe ]; then
  export WINEDEBUG=-all
  wineserver -p60 </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  win_ours=() win_theirs=()
  cache="C:\\$(basename "$wine_work")\\cache"
  for ((i = 0; i < runs; i++)); do
    rm -rf "$wine_work/cache" "$work/got"
    measure bash -c 'peer wine build/windows/bench/winhttp_get.exe nuvor.test "/$0" "Z:$work/got"' "$path" >"$work/m"; read -r s _ <"$work/m"
    win_theirs+=("$s")
    measure wine build/windows/NuvoSetup.exe --download-only --cache-dir "$cache" >"$work/m"; read -r s _ <"$work/m"
    win_ours+=("$s")
  done
  w_ours=$(printf '%s\n' "${win_ours[@]}" | best)
  w_theirs=$(printf '%s\n' "${win_theirs[@]}" | best)
  echo "wine:   WinHTTP loop + 2x minisign -V $w_theirs s"
  echo "wine:   NuvoSetup.exe --download-only $w_ours s"
  echo "wine ratio: $(ratio "$w_ours" "$w_theirs") (limit 1.10)"
fi

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
echo "resumed after a break at half: $sent bytes sent, missing $((size - size / 2)), allowed $((size - size / 2 + 8388608))"
printf 'NuvoSetup.exe size: %d bytes (limit 2097152)\n' "$(stat -c %s build/windows/NuvoSetup.exe)"
