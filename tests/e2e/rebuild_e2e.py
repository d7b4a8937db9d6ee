#!/usr/bin/env python3
"""The Windows images rebuild byte for byte: scripts/rebuild-check builds both
programs again from this checkout, with this build's channel settings and
the release time limits, in another folder at another time, and both must
equal this build's, with no build path in them. A test build with a shorter
time limit is told apart by its record, and its release twin, which the
first check built, is rebuilt a second time instead. The check takes a copy
of NuvoSetup.exe signed with a test certificate back to the unsigned bytes
and finds it identical, naming the key, the hosts and the signer; it names
where a changed copy differs and both records when they differ, and refuses
a certificate table that carries more than the signature and a file from its
own build folder.

    rebuild_e2e.py <NuvoSetup.exe> <nuvo-release.exe> <release host> <asset hosts, comma-separated>
                   <public key, base64>
"""

import base64
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import harness

if len(sys.argv) < 6:
    sys.exit(__doc__)
SETUP, TOOL = Path(sys.argv.pop(1)).resolve(), Path(sys.argv.pop(1)).resolve()
RELEASE_HOST, ASSET_HOSTS, PUBLIC_KEY = sys.argv.pop(1), sys.argv.pop(1), sys.argv.pop(1)
BUILD = SETUP.parent
REPO = Path(__file__).resolve().parents[2]
TIMEOUT = int(harness.request_timeout(SETUP))
RELEASE_TIMEOUT = 20  # what every published build waits, and rebuild-check builds


def first_section_offset(data):
    """File offset of the first section's raw data (the code)."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    return struct.unpack_from("<I", data, pe + 24 + optional_size + 20)[0]


class Rebuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix="nuvo-rebuild-"))
        (cls.dir / "publisher.pub").write_bytes(base64.b64decode(PUBLIC_KEY))
        # The build under test, or its release twin when its time limit is not
        # the release one: what the later checks are made against.
        cls.reference = BUILD
        cls.rebuilt = cls.dir / "rebuilt"
        cls.of_test_build = None
        if TIMEOUT != RELEASE_TIMEOUT:
            cls.of_test_build = cls.check(SETUP, BUILD / "buildinfo.txt", cls.dir / "twin")
            cls.reference = cls.dir / "twin"
        cls.setup = cls.reference / "NuvoSetup.exe"
        pfx, password, _ = harness.make_publisher_certificate(cls.dir)
        cls.signed = cls.dir / "signed" / "NuvoSetup.exe"
        cls.signed.parent.mkdir()
        shutil.copyfile(cls.setup, cls.signed)
        subprocess.run([REPO / "scripts/sign-exe", cls.signed, pfx, password], check=True,
                       capture_output=True)
        # The rebuild, in a folder of its own; the later checks reuse it.
        cls.first = cls.check(cls.signed, cls.reference / "buildinfo.txt")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def check(cls, exe, record, folder=None):
        # At the lowest priority: the tests beside it that time things come first.
        return subprocess.run(
            ["nice", "-n", "19", REPO / "scripts/rebuild-check", "--release-host", RELEASE_HOST,
             "--asset-host", ASSET_HOSTS.replace(",", ";"), "--build-dir", folder or cls.rebuilt,
             "--buildinfo", record, exe, cls.dir / "publisher.pub"],
            capture_output=True, text=True, timeout=1800)

    def test_a_shorter_time_limit_is_no_release_build(self):
        if self.of_test_build is None:
            self.skipTest("this build has the release time limit")
        run = self.of_test_build
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        publisher, _, rebuilt = run.stdout.partition("this build's record")
        self.assertIn(f"request timeout: {TIMEOUT} s", publisher)
        self.assertIn(f"request timeout: {RELEASE_TIMEOUT} s", rebuilt)

    def test_both_images_rebuild_byte_for_byte_without_build_paths(self):
        self.assertEqual(self.first.returncode, 0, self.first.stdout + self.first.stderr)
        for name in ("NuvoSetup.exe", "nuvo-release.exe"):
            with self.subTest(name):
                ours = (self.reference / name).read_bytes()
                again = (self.rebuilt / name).read_bytes()
                self.assertTrue(ours == again, f"{name} differs from its rebuild")
                for path in (REPO, BUILD, self.reference, self.rebuilt):
                    self.assertNotIn(str(path).encode(), ours)

    def test_check_verdicts(self):
        self.assertEqual(self.first.returncode, 0, self.first.stdout + self.first.stderr)
        original = self.setup.read_bytes()
        record = (self.reference / "buildinfo.txt").read_text()
        other_record = self.dir / "other-buildinfo.txt"
        other_record.write_text(record.replace("binutils-mingw-w64-x86-64 ",
                                               "binutils-mingw-w64-x86-64 0.other+"))
        pe = struct.unpack_from("<I", original, 0x3C)[0]
        pub_key = base64.b64decode(base64.b64decode(PUBLIC_KEY).decode().splitlines()[1])
        proved = [f"minisign key ID built in: {pub_key[2:10][::-1].hex().upper()}, "
                  "the given public key's\n", f"release host: {RELEASE_HOST}\n",
                  f"asset hosts: {ASSET_HOSTS.replace(',', ' ')}\n", "commit: "]
        # given file, its record, exit code, what the output says
        cases = [
            ("signed", self.signed, self.reference / "buildinfo.txt", 0,
             ["identical\n", *proved, "Authenticode signer: /CN=Nuvo test publisher, issued by "
              "/CN=Nuvo test publisher, time stamp: none\n"]),
            ("unsigned", self.setup, self.reference / "buildinfo.txt", 0,
             ["identical\n", *proved, "Authenticode signer: none"]),
            ("padded certificate table", self.padded(self.signed.read_bytes()),
             self.reference / "buildinfo.txt", 1,
             ["refused: its certificate table holds more than its signature"]),
            ("inside the build folder", self.rebuilt / "NuvoSetup.exe",
             self.reference / "buildinfo.txt", 2, [f"is inside the build folder {self.rebuilt}"]),
            ("time stamp", self.flipped("stamp.exe", original, pe + 8),
             self.reference / "buildinfo.txt", 1, [f"first at offset {pe + 8:#x}, in the headers"]),
            ("code", self.flipped("code.exe", original, first_section_offset(original)),
             other_record, 1,
             [f"first at offset {first_section_offset(original):#x}, in section .text",
              "the publisher's record", "0.other+", "this build's record"]),
        ]
        for name, exe, given_record, code, says in cases:
            with self.subTest(name):
                run = self.check(exe, given_record)
                self.assertEqual(run.returncode, code, run.stdout + run.stderr)
                for text in says:
                    self.assertIn(text, run.stdout + run.stderr)

    def padded(self, signed):
        """A signed image whose certificate table carries 16 more bytes after the signature."""
        data = bytearray(signed + b"payload!" * 2)
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        at = pe + 24 + 112 + 8 * 4 + 4
        struct.pack_into("<I", data, at, struct.unpack_from("<I", data, at)[0] + 16)
        path = self.dir / "padded.exe"
        path.write_bytes(bytes(data))
        return path

    def flipped(self, name, data, offset):
        changed = bytearray(data)
        changed[offset] ^= 1
        path = self.dir / name
        path.write_bytes(bytes(changed))
        return path


if __name__ == "__main__":
    unittest.main(verbosity=2)
