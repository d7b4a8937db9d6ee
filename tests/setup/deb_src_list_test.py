#!/usr/bin/env python3
"""scripts/deb-src-list over apt configurations laid out as on real machines:
each case is the files of /etc/apt and the deb-src list setup must derive
from them (or None when nothing may be derived)."""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "deb-src-list"
KEY = "/usr/share/keyrings/debian-archive-keyring.gpg"

DEBIAN_SOURCES = f"""Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: {KEY}

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: {KEY}
"""

MAIN_AND_SECURITY = f"""Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: {KEY}

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: {KEY}
"""

CASES = [
    # name, files below /etc/apt, expected output[, options]
    ("deb822 only, Debian 12's default", {"sources.list.d/debian.sources": DEBIAN_SOURCES},
     MAIN_AND_SECURITY),
    ("one-line sources.list only", {"sources.list": (
        "# a comment\n"
        "deb http://deb.debian.org/debian bookworm main contrib\n"
        "deb http://deb.debian.org/debian bookworm-updates main\n"
        "deb http://security.debian.org/debian-security bookworm-security main\n")},
     "Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\n"
     f"Components: main contrib\nSigned-By: {KEY}\n\n"
     "Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm-updates\n"
     f"Components: main\nSigned-By: {KEY}\n\n"
     "Types: deb-src\nURIs: http://security.debian.org/debian-security\n"
     f"Suites: bookworm-security\nComponents: main\nSigned-By: {KEY}\n"),
    ("both, the same archives twice", {
        "sources.list": "deb [signed-by=%s] http://deb.debian.org/debian bookworm main\n" % KEY,
        "sources.list.d/debian.sources": DEBIAN_SOURCES},
     "Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\n"
     f"Signed-By: {KEY}\n\n" + MAIN_AND_SECURITY),
    ("a disabled stanza", {"sources.list.d/debian.sources": DEBIAN_SOURCES.replace(
        "Suites: bookworm-security\n", "Suites: bookworm-security\nEnabled: no\n")},
     MAIN_AND_SECURITY.split("\n\n")[0] + "\n"),
    ("one-line entries with options", {"sources.list": (
        f"deb [ arch=amd64 signed-by={KEY} check-valid-until=no ] "
        "http://snapshot.debian.org/archive/debian/20250520T000000Z/ bookworm main\n"
        "deb [arch=i386] http://ftp.de.debian.org/debian/ bookworm-updates main\n")},
     "Types: deb-src\nURIs: http://snapshot.debian.org/archive/debian/20250520T000000Z/\n"
     f"Suites: bookworm\nComponents: main\nCheck-Valid-Until: no\nSigned-By: {KEY}\n\n"
     "Types: deb-src\nURIs: http://ftp.de.debian.org/debian/\nSuites: bookworm-updates\n"
     f"Components: main\nSigned-By: {KEY}\n"),
    ("several suites, one of another release", {"sources.list.d/mixed.sources": (
        "Types: deb\nURIs: http://deb.debian.org/debian\n"
        "Suites: bookworm trixie bookworm-backports bookworm-updates\nComponents: main\n")},
     "Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\n"
     f"Components: main\nSigned-By: {KEY}\n"),
    ("deb-src entries already there", {"sources.list.d/debian.sources":
        DEBIAN_SOURCES.replace("Types: deb\n", "Types: deb deb-src\n")},
     MAIN_AND_SECURITY),
    ("other sources are left out", {
        "sources.list.d/debian.sources": DEBIAN_SOURCES,
        "sources.list.d/docker.list": "deb [signed-by=/etc/apt/keyrings/docker.asc] "
                                      "https://download.docker.com/linux/debian bookworm stable\n",
        "sources.list.d/nodesource.sources": "Types: deb\nURIs: https://deb.nodesource.com/node_20.x\n"
                                             "Suites: nodistro\nComponents: main\n",
        "sources.list.d/vendor.list": "deb https://apt.vendor.example/repo bookworm main\n",
        "sources.list.d/nuvo-deb-src.sources": MAIN_AND_SECURITY.replace("debian.org", "old.example"),
        "sources.list.d/cloud.list.disabled": "deb https://packages.example/apt cloud-bookworm main\n"},
     MAIN_AND_SECURITY),
    ("no Debian entry at all", {"sources.list.d/nodesource.sources":
        "Types: deb\nURIs: https://deb.nodesource.com/node_20.x\nSuites: nodistro\nComponents: main\n"},
     None),
    ("options that switch apt's checks off are dropped", {
        "sources.list.d/debian.sources": DEBIAN_SOURCES.replace(
            "Components: main\n", "Components: main\nTrusted: yes\nAllow-Insecure: yes\n"
            "Allow-Weak: yes\nAllow-Downgrade-To-Insecure: yes\n"),
        "sources.list": "deb [trusted=yes allow-weak=yes allow-insecure=yes "
                        "allow-downgrade-to-insecure=yes] http://ftp.de.debian.org/debian bookworm main\n"},
     "Types: deb-src\nURIs: http://ftp.de.debian.org/debian\nSuites: bookworm\nComponents: main\n"
     f"Signed-By: {KEY}\n\n" + MAIN_AND_SECURITY),
    ("a vendor's keyring is left out, a path of Debian's with none is pinned to Debian's key", {
        "sources.list.d/debian.sources": DEBIAN_SOURCES,
        "sources.list.d/acme.sources": "Types: deb\nURIs: https://acme.example/apt/debian\n"
            "Suites: bookworm\nComponents: main\n"
            "Signed-By: /usr/share/keyrings/acme-debian-archive-keyring.gpg\n",
        "sources.list.d/inline.sources": DEBIAN_SOURCES.split("\n\n")[0].replace(
            f"Signed-By: {KEY}", "Signed-By:\n -----BEGIN PGP PUBLIC KEY BLOCK-----\n ."),
        "sources.list.d/mirror.list": "deb https://mirror.example/debian bookworm main\n"},
     MAIN_AND_SECURITY + "\nTypes: deb-src\nURIs: https://mirror.example/debian\nSuites: bookworm\n"
     f"Components: main\nSigned-By: {KEY}\n"),
    ("Enabled as apt reads it", {"sources.list.d/debian.sources": "\n\n".join(
        DEBIAN_SOURCES.split("\n\n")[0].replace("deb.debian.org", host).replace(
            "Components: main", "Components: main\nEnabled: " + value)
        for host, value in [("a.example", "false"), ("b.example", "off"), ("c.example", "0"),
                            ("d.example", "No"), ("deb.debian.org", "yes")])},
     MAIN_AND_SECURITY.split("\n\n")[0] + "\n"),
    ("one archive's suite left out (named as apt names it), one of several URIs", {"sources.list.d/debian.sources":
        DEBIAN_SOURCES.replace("URIs: http://deb.debian.org/debian\n",
                               "URIs: http://deb.debian.org/debian https://mirror.example/debian/\n")},
     MAIN_AND_SECURITY.replace("\n\n", "\n\nTypes: deb-src\nURIs: https://mirror.example/debian/\n"
                               f"Suites: bookworm-updates\nComponents: main\nSigned-By: {KEY}\n\n"),
     ["--without", "https://mirror.example/debian bookworm"]),
]


class DebSrcList(unittest.TestCase):
    def test_derivation(self):
        for name, files, expected, *options in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as etc:
                for rel, text in files.items():
                    path = Path(etc) / rel
                    path.parent.mkdir(parents=True, exist_ok=True)
                    path.write_text(text)
                run = subprocess.run([sys.executable, str(SCRIPT), *(options[0] if options else []), etc,
                                      "bookworm"],
                                     capture_output=True, text=True, check=False)
                if expected is None:
                    self.assertEqual((run.returncode, run.stdout), (1, ""))
                    self.assertIn("no enabled Debian 'deb' entry for bookworm", run.stderr)
                else:
                    self.assertEqual((run.returncode, run.stderr), (0, ""))
                    self.assertEqual(run.stdout, expected)


if __name__ == "__main__":
    unittest.main(verbosity=2)
