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
printf 'minisign -S               %6.2f s  peak %6d KiB\n' "$t_theirs" "$theirs_mem"
printf 'nuvo-release sign         %6.2f s  peak %6d KiB (limit 8192)\n' "$t_ours" "$ours_mem"
echo "ratio nuvo-release/minisign: $(ratio "$t_ours" "$t_theirs") (limit 1.05)"

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
  printf 'nuvo-release.exe (Wine)   %6.2f s\n' "$t_win"
  echo "ratio exe under Wine/minisign: $(ratio "$t_win" "$t_theirs")"
fi
