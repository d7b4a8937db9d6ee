#!/usr/bin/env bash
# Where the bytes of each executable come from: relinks it (the build's own
# link command, into a temporary folder, so the build stays as it is) with a
# linker map, and prints the ten largest contributors, by library and by
# object file, with their share of the bytes the map places.
# Usage: bench/linkmap.sh [build dir] [target...]
#        (default: build/windows, NuvoSetup.exe nuvo-release.exe; the build must be up to date)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/windows}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(NuvoSetup.exe nuvo-release.exe)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for target in "${targets[@]}"; do
  link=$(ninja -C "$dir" -t commands "$target" | tail -n 1)
  case $link in
    *" -o $target "*) ;;
    *) echo "linkmap: no link command for $target in $dir" >&2; exit 1 ;;
  esac
  link=${link#': && '}
  link=${link%' && :'}
  link=${link/" -o $target "/" -o $work/out -Wl,-Map=$work/map "}
  link=$(sed -E 's/ -Wl,--out-implib,[^ ]+//' <<<"$link")
  (cd "$dir" && eval "$link")
  echo "== $target: $(stat -c %s "$dir/$target") bytes"
  python3 - "$work/map" <<'EOF'
import os, re, sys
from collections import Counter

lines = open(sys.argv[1], errors="replace").read().split("\n")
start = next(i for i, l in enumerate(lines) if l.startswith("Linker script and memory map"))
by_part, by_object = Counter(), Counter()
keep = False  # inside an output section that reaches the file
# An input section: its name, then (on the same line or the next) address, size, file.
same_line = re.compile(r"^ \S+\s+0x[0-9a-f]+\s+(0x[0-9a-f]+)\s+(\S.*)$")
next_line = re.compile(r"^\s+0x[0-9a-f]+\s+(0x[0-9a-f]+)\s+(\S.*)$")

def add(size, path):
    m = re.match(r"^(.*?)\((.*)\)$", path)
    if m:
        part, member = os.path.basename(m.group(1)), m.group(2)
        name = f"{part}({member})"
    else:
        part = name = os.path.basename(path)
    if part.endswith(".ltrans.o"):   # what link-time optimisation made of our code
        name = "our code, optimised at link time"
    if part.endswith((".obj", ".res", ".ltrans.o")) or part == "libnuvo.a":
        part = "our code"
    by_part[part] += size
    by_object[name] += size

for line in lines[start + 1:]:
    if line and not line[0].isspace():
        keep = not line.startswith(("/DISCARD/", ".debug", ".zdebug", ".stab", "LOAD", "OUTPUT"))
        continue
    m = same_line.match(line) or next_line.match(line)
    if keep and m and not re.match(r"^(LONG|QUAD|SHORT|BYTE|FILL|0x)", m.group(2)):
        add(int(m.group(1), 16), m.group(2).strip())

total = sum(by_part.values())
for title, counter in (("library", by_part), ("object", by_object)):
    print(f"  {'bytes':>10}  {'share':>6}  ten largest by {title} (of {total} bytes placed)")
    for name, size in counter.most_common(int(os.environ.get("NUVO_LINKMAP_TOP", "10"))):
        print(f"  {size:>10,}  {100 * size / total:5.1f} %  {name}")
EOF
done
