#!/usr/bin/env bash
# Verifying a 512 MiB package: NuvoSetup --verify-package against minisign -V
# on the same file and key, side by side in one run (both are bound by
# BLAKE2b), best of N runs each; the exe under Wine against the same native
# minisign. Memory: the peaks, and what the check adds over each program's
# own start-up (NuvoSetup --help, minisign -v), which for a streaming check
# does not grow with the file.
# Prints rows of bench/run's table (see lib.sh).
# Usage: bench/verify_bench.sh [runs]   (needs build/native; build/windows optional)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
exe=build/native/NuvoSetup
[ -x "$exe" ] || { echo "build the native preset first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. bench/lib.sh
head -c $((512 << 20)) /dev/urandom >"$work/pkg"
minisign -S -s tests/fixtures/dev.key -m "$work/pkg" -t "version:1.0.0" </dev/null >/dev/null
base64 -w0 "$work/pkg.minisig" >"$work/sig.txt"
cat "$work/pkg" >/dev/null  # warm the page cache

ours=() theirs=() ours_mem=0 theirs_mem=0
for ((i = 0; i < runs; i++)); do
  measure minisign -Vm "$work/pkg" -p tests/fixtures/dev.pub >"$work/m"; read -r s m <"$work/m"
  theirs+=("$s"); theirs_mem=$m
  measure "$exe" --verify-package "$work/pkg" --signature-file "$work/sig.txt" --version 1.0.0 \
    >"$work/m"; read -r s m <"$work/m"
  ours+=("$s"); ours_mem=$m
done
measure "$exe" --help >"$work/m"; read -r _ ours_base <"$work/m"
measure minisign -v >"$work/m"; read -r _ theirs_base <"$work/m"
t_ours=$(printf '%s\n' "${ours[@]}" | best)
t_theirs=$(printf '%s\n' "${theirs[@]}" | best)
row "verify 512 MiB, native" "$t_ours s" "minisign -V" "$t_theirs s" "$(ratio "$t_ours" "$t_theirs")" "<= 1.00"

if [ -f build/windows/NuvoSetup.exe ] && command -v wine >/dev/null; then
  export WINEDEBUG=-all
  wineserver -p30 </dev/null >/dev/null 2>&1 || true
  win=()
  for ((i = 0; i < runs; i++)); do
    measure wine build/windows/NuvoSetup.exe --verify-package "$work/pkg" \
      --signature-file "$work/sig.txt" --version 1.0.0 >"$work/m"; read -r s _ <"$work/m"
    win+=("$s")
  done
  t_win=$(printf '%s\n' "${win[@]}" | best)
  row "verify 512 MiB, exe under Wine" "$t_win s" "minisign -V (native)" "$t_theirs s" \
    "$(ratio "$t_win" "$t_theirs")" "-"
fi
row "verify: peak memory, native" "$ours_mem KiB" "minisign -V" "$theirs_mem KiB" \
  "$(ratio "$ours_mem" "$theirs_mem")" "-"
row "verify: memory added over --help" "$((ours_mem - ours_base)) KiB" "minisign -V over -v" \
  "$((theirs_mem - theirs_base)) KiB" "$(ratio $((ours_mem - ours_base)) $((theirs_mem - theirs_base)))" \
  "-"
