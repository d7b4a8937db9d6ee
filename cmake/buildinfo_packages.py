#!/usr/bin/env python3
"""The Debian packages a build uses, for buildinfo.txt: the given packages and
everything they need (Depends and Pre-Depends, over what dpkg has installed),
one "package: <name> <version> <architecture>" line each, sorted; then the
Date of each Debian release file apt holds, the archive state the packages
were installed from ("archive: <codename> <date>"). scripts/rebuild-env makes a
root with exactly these versions.

usage: buildinfo_packages.py <package>...
"""
import glob
import re
import subprocess
import sys

FIELDS = ("${binary:Package}\t${Version}\t${Architecture}\t${Provides}\t${Pre-Depends}\t"
          "${Depends}\t${db:Status-Abbrev}\n")


def installed():
    """name -> (version, architecture, dependencies), and what each virtual name stands for."""
    out = subprocess.run(["dpkg-query", "-W", "-f=" + FIELDS], capture_output=True, text=True,
                         check=True).stdout
    packages, provided = {}, {}
    for line in out.splitlines():
        name, version, arch, provides, pre, depends, status = line.split("\t")
        if not status.startswith("ii"):
            continue
        name = name.split(":")[0]
        packages[name] = (version, arch, ", ".join(d for d in (pre, depends) if d))
        for virtual in provides.split(","):
            if virtual.strip():
                provided.setdefault(re.split(r"[\s(:]", virtual.strip())[0], name)
    return packages, provided


def closure(roots, packages, provided):
    seen, todo = set(), list(roots)
    while todo:
        name = todo.pop()
        if name in seen or name not in packages:
            continue
        seen.add(name)
        for dependency in packages[name][2].split(","):
            # The first installed alternative is the one in use.
            for alternative in dependency.split("|"):
                wanted = re.split(r"[\s(:]", alternative.strip())[0]
                chosen = wanted if wanted in packages else provided.get(wanted)
                if chosen:
                    todo.append(chosen)
                    break
    return sorted(seen)


def archive_dates():
    for path in sorted(glob.glob("/var/lib/apt/lists/*_InRelease") +
                       glob.glob("/var/lib/apt/lists/*_Release")):
        fields = {}
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        if text.startswith("-----BEGIN PGP SIGNED MESSAGE-----"):
            text = text.partition("\n\n")[2]  # past the armour's header
        for line in text.split("\n\n", 1)[0].splitlines():
            name, _, value = line.partition(":")
            fields.setdefault(name, value.strip())
        if fields.get("Origin") == "Debian" and "Date" in fields:
            yield f"archive: {fields.get('Codename', fields.get('Suite', '?'))} {fields['Date']}"


def main(names):
    packages, provided = installed()
    missing = [n for n in names if n not in packages]
    if missing:
        sys.exit("not installed: " + " ".join(missing))
    for name in closure(names, packages, provided):
        version, arch, _ = packages[name]
        print(f"package: {name} {version} {arch}")
    for line in archive_dates():
        print(line)


if __name__ == "__main__":
    main(sys.argv[1:])
