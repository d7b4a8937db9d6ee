#!/usr/bin/env bash
# Signing a 512 MiB installer: nuvo-release sign against minisign -S on the
# same file and key (the development key, unencrypted, so that no password
# or scrypt run enters the figures), side by side in one run. Both stream the
# file through BLAKE2b-512 (minisign's prehashed mode). Prints the best of N
# runs each, their ratio and peak memory.
# Usage: bench/sign_bench.sh [runs]   (needs build/native; build/windows optional)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
tool=build/native/nuvo-release
[ -x "$tool" ] || { echo "build the native preset first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. bench/lib.sh
head -c $((512 << 20)) /dev/urandom >"$work/Nuvo_1.0.0_x64-setup.exe"
pkg=$work/Nuvo_1.0.0_x64-setup.exe
cat "$pkg" >/dev/null  # warm the page cache

ours=() theirs=() ours_mem=0 theirs_mem=0
for ((i = 0; i < runs; i++)); do
  read -r s m < <(measure minisign -S -s tests/fixtures/dev.key -m "$pkg" -x "$work/theirs.minisig" \
    -t "timestamp:1	file:Nuvo_1.0.0_x64-setup.exe	version:1.0.0")
  theirs+=("$s"); ((m > theirs_mem)) && theirs_mem=$m
  read -r s m < <(measure "$tool" sign --secret-key tests/fixtures/dev.key --version 1.0.0 "$pkg")
  ours+=("$s"); ((m > ours_mem)) && ours_mem=$m
done
minisign -Vm "$pkg" -p tests/fixtures/dev.pub >/dev/null  # our signature checks out
t_ours=$(printf '%s\n' "${ours[@]}" | best)
t_theirs=$(printf '%s\n' "${theirs[@]}" | best)
row "sign 512 MiB, native" "$t_ours s" "minisign -S" "$t_theirs s" "$(ratio "$t_ours" "$t_theirs")" "<= 1.00"
row "sign: peak memory, native" "$ours_mem KiB" "minisign -S" "$theirs_mem KiB" \
  "$(ratio "$ours_mem" "$theirs_mem")" "< 8192 KiB"

if [ -f build/windows/nuvo-release.exe ] && command -v wine >/dev/null; then
  export WINEDEBUG=-all
  wineserver -p30 || true
  win=()
  for ((i = 0; i < runs; i++)); do
    read -r s m < <(measure wine build/windows/nuvo-release.exe sign --secret-key tests/fixtures/dev.key \
      --version 1.0.0 "$pkg")
    win+=("$s")
  done
  t_win=$(printf '%s\n' "${win[@]}" | best)
  row "sign 512 MiB, exe under Wine" "$t_win s" "minisign -S (native)" "$t_theirs s" \
    "$(ratio "$t_win" "$t_theirs")" "-"
fi
