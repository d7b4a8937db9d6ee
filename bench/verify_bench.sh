#!/usr/bin/env bash
# Verifying a 512 MiB package: NuvoSetup --verify-package against minisign -V
# on the same file and key, side by side in one run (both are bound by
# BLAKE2b). Prints the best of N runs each, their ratio and peak memory.
# Usage: bench/verify_bench.sh [runs]   (needs build/native; build/windows optional)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
exe=build/native/NuvoSetup
[ -x "$exe" ] || { echo "build the native preset first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((512 << 20)) /dev/urandom >"$work/pkg"
minisign -S -s tests/fixtures/dev.key -m "$work/pkg" -t "version:1.0.0" </dev/null >/dev/null
base64 -w0 "$work/pkg.minisig" >"$work/sig.txt"
cat "$work/pkg" >/dev/null  # warm the page cache

# Prints "<seconds> <peak KiB>" of one run.
measure() {
  /usr/bin/time -f '%e %M' -o "$work/t" "$@" >/dev/null 2>&1
  cat "$work/t"
}

best() { sort -n | head -n 1; }

ours=() theirs=() ours_mem=0 theirs_mem=0
for ((i = 0; i < runs; i++)); do
  read -r s m < <(measure minisign -Vm "$work/pkg" -p tests/fixtures/dev.pub)
  theirs+=("$s"); theirs_mem=$m
  read -r s m < <(measure "$exe" --verify-package "$work/pkg" --signature-file "$work/sig.txt" --version 1.0.0)
  ours+=("$s"); ours_mem=$m
done
t_ours=$(printf '%s\n' "${ours[@]}" | best)
t_theirs=$(printf '%s\n' "${theirs[@]}" | best)
printf 'minisign -V          %6.2f s  peak %6d KiB\n' "$t_theirs" "$theirs_mem"
printf 'NuvoSetup (native)   %6.2f s  peak %6d KiB\n' "$t_ours" "$ours_mem"
awk -v a="$t_ours" -v b="$t_theirs" 'BEGIN { printf "ratio native/minisign: %.3f (limit 1.05)\n", a / b }'

if [ -f build/windows/NuvoSetup.exe ] && command -v wine >/dev/null; then
  export WINEDEBUG=-all
  wineserver -p30 || true
  win=()
  for ((i = 0; i < runs; i++)); do
    read -r s m < <(measure wine build/windows/NuvoSetup.exe --verify-package "$work/pkg" \
      --signature-file "$work/sig.txt" --version 1.0.0)
    win+=("$s")
  done
  t_win=$(printf '%s\n' "${win[@]}" | best)
  printf 'NuvoSetup.exe (Wine) %6.2f s\n' "$t_win"
  awk -v a="$t_win" -v b="$t_theirs" 'BEGIN { printf "ratio exe under Wine/minisign: %.3f\n", a / b }'
fi
printf 'NuvoSetup.exe size: %d bytes (limit 2 MiB = 2097152)\n' "$(stat -c %s build/windows/NuvoSetup.exe 2>/dev/null || echo 0)"
