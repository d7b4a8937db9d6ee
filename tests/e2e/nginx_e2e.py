#!/usr/bin/env python3
"""--download-only against a real web server: Debian's nginx over TLS serves
the channel (scripts/nginx-channel), with its own ETag and Range handling.
Usage: nginx_e2e.py <executable> <release host the build was configured with>"""

import base64
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import harness

EXE = harness.program_and_host(sys.argv, "usage: nginx_e2e.py <executable> <release host>")
WINDOWS = harness.is_windows(EXE)
REPO = Path(__file__).resolve().parents[2]
HOST = "nuvor.test"
VERSION = "2.0.1"
INSTALLER = f"/graycrane42/nuvo/releases/download/v{VERSION}/Nuvo_{VERSION}_x64-setup.exe"
SIZE = 5_000_000


def native_path(p):
    return harness.native_path(EXE, p)


class Nginx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.ensure_network()
        cls.dir = Path(tempfile.mkdtemp(prefix="nuvo-nginx-"))
        www = cls.dir / "www"
        cls.payload = os.urandom(SIZE)
        installer = www / INSTALLER.lstrip("/")
        installer.parent.mkdir(parents=True)
        installer.write_bytes(cls.payload)
        subprocess.run(["minisign", "-S", "-s", REPO / "tests/fixtures/dev.key", "-m", installer,
                        "-x", cls.dir / "sig", "-t", f"version:{VERSION}"],
                       check=True, capture_output=True, stdin=subprocess.DEVNULL)
        signature = base64.b64encode((cls.dir / "sig").read_bytes()).decode()
        url = "https://" + HOST + INSTALLER
        manifest = www / "graycrane42/nuvo/releases/latest/download/latest.json"
        manifest.parent.mkdir(parents=True)
        manifest.write_text(json.dumps({"version": VERSION, "platforms": {
            "windows-x86_64": {"url": url, "signature": signature}}}))
        cls.release_dir = hashlib.sha256(f"{VERSION}\0{url}\0{signature}\0".encode()).hexdigest()
        st = installer.stat()
        cls.etag = '"%x-%x"' % (int(st.st_mtime), st.st_size)  # nginx's own form
        cls.state = cls.dir / "state"
        subprocess.run([REPO / "scripts/nginx-channel", "start", www, cls.state], check=True)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([REPO / "scripts/nginx-channel", "stop", cls.state], check=False)
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.cache = harness.scratch_dir(EXE, "nuvo-nginx-cache-") / "cache"
        self.release = self.cache / self.release_dir
        (self.state / "access.log").write_text("")

    def tearDown(self):
        shutil.rmtree(self.cache.parent, ignore_errors=True)

    def log(self):
        return [line for line in (self.state / "access.log").read_text().splitlines() if INSTALLER in line]

    def download(self):
        run = harness.run(EXE, "--download-only", "--cache-dir", native_path(self.cache))
        self.assertEqual((run.returncode, run.stderr.decode()), (0, "Resolving\nVerifying\nReady\n"),
                         run.stdout)
        self.assertEqual(json.loads(run.stdout)["path"],
                         native_path(self.release / "NuvoInstaller.exe"))
        self.assertEqual((self.release / "NuvoInstaller.exe").read_bytes(), self.payload)

    def test_whole_download(self):
        self.download()
        (line,) = self.log()
        self.assertTrue(line.startswith('200 "-" "-" %d ' % SIZE), line)

    def test_resumed_download(self):
        half = SIZE // 2
        self.release.mkdir(parents=True)
        (self.release / "installer.part").write_bytes(self.payload[:half])
        (self.release / "resume.json").write_text(json.dumps({"validator": self.etag, "total": SIZE}))
        self.download()
        (line,) = self.log()
        self.assertTrue(line.startswith('206 "bytes=%d-%d" "%s" %d ' % (
            half, half + 8388607, self.etag.replace('"', '\\x22'), SIZE - half)), line)


if __name__ == "__main__":
    unittest.main(verbosity=2)
