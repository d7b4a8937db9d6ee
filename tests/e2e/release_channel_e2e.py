#!/usr/bin/env python3
"""A release made by nuvo-release publish, served by nginx as the channel
(scripts/nginx-channel): NuvoSetup accepts it, and for every damaged release
check --online and NuvoSetup --download-only refuse with the same message.
Usage: release_channel_e2e.py <nuvo-release> <NuvoSetup> <release host the build was configured with>"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import harness
from release_lib import DAMAGES, FIXTURES, NAME, VERSION, copy_release

if len(sys.argv) < 4:
    sys.exit("usage: release_channel_e2e.py <nuvo-release> <NuvoSetup> <release host>")
TOOL = Path(sys.argv.pop(1)).resolve()
SETUP = harness.program_and_host(sys.argv, "usage: release_channel_e2e.py <nuvo-release> <NuvoSetup> <host>")
REPO = Path(__file__).resolve().parents[2]
RELEASES = "graycrane42/nuvo/releases"


class Channel(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.ensure_network()
        cls.dir = Path(tempfile.mkdtemp(prefix="nuvo-release-channel-"))
        (cls.dir / "installer.exe").write_bytes(os.urandom(3_000_000))
        cls.good = cls.dir / "good"
        run = harness.run(TOOL, "publish", "--secret-key", FIXTURES / "dev.key", "--version", VERSION,
                          "--out", cls.good, cls.dir / "installer.exe", timeout=300)
        assert run.returncode == 0, run.stderr.decode()
        cls.state = cls.dir / "state"
        cls.www = cls.dir / "www"
        cls.serve(cls.good)
        subprocess.run([REPO / "scripts/nginx-channel", "start", cls.www, cls.state], check=True)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([REPO / "scripts/nginx-channel", "stop", cls.state], check=False)
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def serve(cls, release):
        """Puts the three files where the release host serves them."""
        latest = cls.www / RELEASES / "latest/download"
        assets = cls.www / RELEASES / f"download/v{VERSION}"
        for d in (latest, assets):
            d.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(release / "latest.json", latest / "latest.json")
        shutil.copyfile(release / NAME, assets / NAME)

    def download_only(self):
        cache = harness.scratch_dir(SETUP, "nuvo-release-cache-") / "cache"
        try:
            return harness.run(SETUP, "--download-only", "--cache-dir", harness.native_path(SETUP, cache))
        finally:
            shutil.rmtree(cache.parent, ignore_errors=True)

    def check_online(self):
        return harness.run(TOOL, "check", "--online", timeout=300)

    def test_published_release_is_accepted(self):
        self.serve(self.good)
        xdg = tempfile.mkdtemp(prefix="nuvo-release-xdg-")
        run = harness.run(SETUP, "--check-only", env={"XDG_CACHE_HOME": xdg})
        shutil.rmtree(xdg, ignore_errors=True)
        self.assertEqual(run.returncode, 0, run.stderr.decode())
        self.assertIn(b'"available_version":"1.4.2"', run.stdout)
        run = self.download_only()
        self.assertEqual((run.returncode, run.stderr), (0, b"Resolving\nVerifying\nReady\n"))
        run = self.check_online()
        self.assertEqual(run.returncode, 0, run.stdout.decode() + run.stderr.decode())
        self.assertTrue(run.stdout.decode().endswith(
            "installer download: ok\ninstaller: ok\naccepted: NuvoSetup would install version 1.4.2\n"))

    def test_check_online_refuses_as_the_installer_does(self):
        for name, damage, rule, message in DAMAGES:
            with self.subTest(name):
                folder = copy_release(self.good, self.dir / name.replace(" ", "-"))
                damage(folder)
                self.serve(folder)
                setup = self.download_only()
                self.assertEqual((setup.returncode, setup.stderr.decode().splitlines()[-1]), (1, message))
                check = self.check_online()
                self.assertEqual(check.returncode, 1)
                self.assertEqual(check.stdout.decode().splitlines()[-1], f"{rule}: REFUSED: {message}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
