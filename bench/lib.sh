# shellcheck shell=bash disable=SC2154  # $work is the sourcing script's
# What the benchmarks share: timing a command, the rows of bench/run's table,
# and a 256 MiB release served by nginx over TLS on the test network's
# release host. Sourced; needs $work.

bench_version=3.0.0
bench_path=graycrane42/nuvo/releases/download/v$bench_version/Nuvo_${bench_version}_x64-setup.exe
bench_url=https://nuvor.test/$bench_path

measure() {  # prints "<seconds> <peak KiB>"; a failed run ends the benchmark
  if ! /usr/bin/time -f '%e %M' -o "$work/t" "$@" >"$work/out" 2>&1; then
    echo "failed: $*" >&2
    cat "$work/out" >&2
    exit 1
  fi
  tail -n 1 "$work/t"
}
best() { sort -n | head -n 1; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# percentile <p>: the smallest value that at least p per cent of them do not exceed.
percentile() { sort -n | awk -v p="$1" '{ v[NR] = $1 } END { i = int((NR * p + 99) / 100); print v[i < 1 ? 1 : i] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else printf "-" }'; }

# One row of bench/run's table, tab-separated: what is measured, its figure,
# the peer measured in the same run, the peer's figure, the ratio of the two
# and the goal ("-" where there is none).
row() { printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$5" "$6"; }

# Publishes the release (random bytes, or the program $1 padded with random
# bytes to 256 MiB), signed with the development key, and (re)starts nginx.
publish_release() {
  local file=$work/www/$bench_path
  rm -rf "$work/www"
  mkdir -p "$(dirname "$file")" "$work/www/graycrane42/nuvo/releases/latest/download"
  if [ -n "${1:-}" ]; then
    cp "$1" "$file"
    head -c $(((256 << 20) - $(stat -c %s "$1"))) /dev/urandom >>"$file"
  else
    head -c $((256 << 20)) /dev/urandom >"$file"
  fi
  minisign -S -s tests/fixtures/dev.key -m "$file" -x "$work/sig" -t "version:$bench_version" </dev/null >/dev/null
  printf '{"version":"%s","platforms":{"windows-x86_64":{"url":"%s","signature":"%s"}}}' \
    "$bench_version" "$bench_url" "$(base64 -w0 "$work/sig")" \
    >"$work/www/graycrane42/nuvo/releases/latest/download/latest.json"
  scripts/nginx-channel stop "$work/state" 2>/dev/null || true
  scripts/nginx-channel start "$work/www" "$work/state"
  cat "$file" >/dev/null
}
