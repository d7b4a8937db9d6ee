#!/usr/bin/env python3
"""Authenticode: scripts/sign-exe signs NuvoSetup.exe and nuvo-release.exe
with a code-signing certificate made here (no time-stamp server: there is no
network); osslsigncode verify accepts them, rejects a tampered copy, and the
signed programs still run under Wine.
Usage: authenticode_e2e.py <NuvoSetup.exe> <nuvo-release.exe>"""

import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import harness

if len(sys.argv) < 3:
    sys.exit("usage: authenticode_e2e.py <NuvoSetup.exe> <nuvo-release.exe>")
PROGRAMS = [Path(sys.argv.pop(1)).resolve(), Path(sys.argv.pop(1)).resolve()]
REPO = Path(__file__).resolve().parents[2]


class Authenticode(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.warm_wine()
        cls.dir = Path(tempfile.mkdtemp(prefix="nuvo-authenticode-"))
        harness.make_publisher_certificate(cls.dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def verify(self, exe):
        return subprocess.run(["osslsigncode", "verify", "-in", exe, "-CAfile", self.dir / "cert.pem"],
                              capture_output=True, text=True)

    def test_signed_programs_verify_and_run(self):
        for program in PROGRAMS:
            with self.subTest(program.name):
                exe = self.dir / program.name
                shutil.copyfile(program, exe)
                self.assertNotEqual(self.verify(exe).returncode, 0)  # not signed yet
                subprocess.run([REPO / "scripts/sign-exe", exe, self.dir / "publisher.pfx",
                                self.dir / "password"], check=True, capture_output=True)
                verified = self.verify(exe)
                self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
                self.assertIn("Signature verification: ok", verified.stdout)

                run = harness.run(exe, "--help")
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertGreater(len(run.stdout), 100)

                tampered = self.dir / ("tampered-" + program.name)
                data = bytearray(exe.read_bytes())
                data[0x400] ^= 1  # inside the first section
                tampered.write_bytes(bytes(data))
                self.assertNotEqual(self.verify(tampered).returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
