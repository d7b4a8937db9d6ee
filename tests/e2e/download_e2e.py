#!/usr/bin/env python3
"""--download-only end to end: the real executable (natively, or the .exe
under Wine) downloads, resumes and verifies an installer from the scripted
HTTPS release server into a cache directory of its own.
Usage: download_e2e.py <executable> <release host the build was configured with>"""

import base64
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import harness

EXE = harness.program_and_host(sys.argv, "usage: download_e2e.py <executable> <release host>")
WINDOWS = harness.is_windows(EXE)
FIXTURES = Path(__file__).resolve().parent.parent / "fixtures"

HOST = "nuvor.test"
VERSION = "1.4.2"
MANIFEST = "/graycrane42/nuvo/releases/latest/download/latest.json"
INSTALLER = f"/graycrane42/nuvo/releases/download/v{VERSION}/Nuvo_{VERSION}_x64-setup.exe"
INSTALLER_URL = "https://" + HOST + INSTALLER
SIZE = 3_000_000
SEED = 7
ETAG = '"nuvo-1"'
STAGES_FRESH = "Resolving\nVerifying\nReady\n"

BUSY = "Другой установщик Nuvo уже использует этот каталог загрузки.\n"
MISCONFIGURED = "Канал установки Nuvo настроен неверно.\n"
NOT_ABSOLUTE = "Каталог загрузки должен быть абсолютным путём.\n"
BAD_SIZE = "Размер установщика некорректен или превышает 512 МиБ.\n"
SIGNATURE_INVALID = "Подпись установщика не прошла проверку. Установка запрещена.\n"
STORAGE = "Не удалось сохранить загрузку. Проверьте свободное место и права на каталог.\n"

PAYLOAD = harness.generated_bytes(0, SIZE, SEED)


SIGNATURE = harness.sign(PAYLOAD, VERSION)
RELEASE_DIR = hashlib.sha256(
    f"{VERSION}\0{INSTALLER_URL}\0{SIGNATURE}\0".encode()).hexdigest()


def manifest_route():
    body = ('{"version":"%s","platforms":{"windows-x86_64":{"url":"%s","signature":"%s"}}}'
            % (VERSION, INSTALLER_URL, SIGNATURE))
    return harness.route(HOST, MANIFEST, {"status": 200, "body": body})


def installer(*responses):
    return harness.route(HOST, INSTALLER, *responses)


def full(**extra):
    """The whole installer, honouring Range/If-Range against its validator."""
    r = {"status": 200, "headers": [["ETag", ETAG]], "body": {"size": SIZE, "seed": SEED},
         "range": True}
    r.update(extra)
    return r


def native_path(p):
    return harness.native_path(EXE, p)


def report(cache):
    path = native_path(cache / RELEASE_DIR / "NuvoInstaller.exe")
    return ('{"available_version":"%s","bootstrap_version":"0.9.1","installed":false,'
            '"installer_verified":true,"path":%s}\n' % (VERSION, json.dumps(path)))


class DownloadOnly(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.ensure_network()
        cls.server = harness.ReleaseServer()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.tmp = harness.scratch_dir(EXE, "nuvo-download-")
        self.cache = self.tmp / "cache"
        self.release = self.cache / RELEASE_DIR

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def download(self, cache=None, timeout=180):
        return harness.run(EXE, "--download-only", "--cache-dir",
                           native_path(cache or self.cache) if cache is None or isinstance(cache, Path) else cache,
                           timeout=timeout)

    def serve(self, *responses):
        self.server.load(harness.scenario(manifest_route(), installer(*responses)))

    def installer_requests(self):
        return [r for r in self.server.requests() if r["target"] == INSTALLER]

    def assertReady(self, run, stages=STAGES_FRESH):
        self.assertEqual((run.returncode, run.stderr.decode(), run.stdout.decode()),
                         (0, stages, report(self.cache)))
        self.assertEqual((self.release / "NuvoInstaller.exe").read_bytes(), PAYLOAD)
        self.assertEqual(sorted(p.name for p in self.release.iterdir()), ["NuvoInstaller.exe"])

    def assertFailed(self, run, message, stages="Resolving\n"):
        self.assertEqual((run.returncode, run.stdout.decode(), run.stderr.decode()),
                         (1, "", stages + message))

    def keep_part(self, data, state):
        self.release.mkdir(parents=True)
        (self.release / "installer.part").write_bytes(data)
        (self.release / "resume.json").write_text(json.dumps(state))

    @staticmethod
    def headers(request):
        return {k.lower(): v for k, v in request["headers"]}

    def test_fresh_download_then_reuse(self):
        self.serve(full())
        self.assertReady(self.download())
        self.assertEqual((self.cache / "download.lock").read_bytes(), b"")
        self.assertEqual(sorted(p.name for p in self.cache.iterdir()), sorted(["download.lock", RELEASE_DIR]))
        (req,) = self.installer_requests()
        self.assertNotIn("range", self.headers(req))

        # Second run: verified and reused, no installer request.
        self.server.clear()
        self.assertReady(self.download())
        self.assertEqual(self.installer_requests(), [])

        # A corrupted cached installer is checked, deleted and downloaded again.
        data = bytearray(PAYLOAD)
        data[1000] ^= 1
        (self.release / "NuvoInstaller.exe").write_bytes(data)
        self.server.clear()
        self.assertReady(self.download(), "Resolving\nVerifying\nVerifying\nReady\n")
        self.assertEqual(len(self.installer_requests()), 1)

    @unittest.skipIf(WINDOWS, "the Linux build's data folder comes from HOME")
    def test_a_new_user_with_an_empty_home(self):
        self.serve(full())
        home = self.tmp / "home"
        home.mkdir()
        run = harness.run(EXE, "--download-only", env={"HOME": str(home), "XDG_CACHE_HOME": ""})
        self.cache = home / ".cache" / "NuvoSetup" / "cache"
        self.release = self.cache / RELEASE_DIR
        self.assertReady(run)
        self.assertEqual((self.cache / "download.lock").read_bytes(), b"")

    def test_a_cache_dir_longer_than_max_path(self):
        """A --cache-dir whose files lie beyond 259 characters works (on
        Windows by their extended-length names) and is walked as any other."""
        self.serve(full())
        self.cache = self.tmp / ("d" * 120) / ("e" * 120) / "cache"
        self.release = self.cache / RELEASE_DIR
        self.assertGreater(len(native_path(self.release / "NuvoInstaller.exe")), 259)
        self.assertReady(self.download())
        self.assertEqual((self.cache / "download.lock").read_bytes(), b"")

    def test_resumption(self):
        half = SIZE // 2
        lm = "Tue, 01 Dec 2026 10:00:00 GMT"
        cases = [
            # name, responses, expected (Range, If-Range) of each installer request
            ("break with a strong ETag resumes with Range and If-Range",
             [full(drop_after=half), full()],
             [(None, None), (f"bytes={half}-{half + 8388607}", ETAG)]),
            ("a server that ignores Range starts over",
             [full(drop_after=half), full(range=False)],
             [(None, None), (f"bytes={half}-{half + 8388607}", ETAG)]),
            ("no validator: the kept bytes are dropped",
             [dict(full(drop_after=half), headers=[]), dict(full(), headers=[])],
             [(None, None), (None, None)]),
            ("Last-Modified stands in for a missing ETag",
             [dict(full(drop_after=half), headers=[["Last-Modified", lm]]),
              dict(full(), headers=[["Last-Modified", lm]])],
             [(None, None), (f"bytes={half}-{half + 8388607}", lm)]),
            ("a weak ETag falls back to Last-Modified",
             [dict(full(drop_after=half), headers=[["ETag", 'W/"w"'], ["Last-Modified", lm]]),
              dict(full(), headers=[["ETag", 'W/"w"'], ["Last-Modified", lm]])],
             [(None, None), (f"bytes={half}-{half + 8388607}", lm)]),
            ("a changed ETag sends the whole file again",
             [full(drop_after=half), dict(full(), headers=[["ETag", '"nuvo-2"']])],
             [(None, None), (f"bytes={half}-{half + 8388607}", ETAG)]),
        ]
        for name, responses, expected in cases:
            with self.subTest(name):
                shutil.rmtree(self.cache, ignore_errors=True)
                self.serve(*responses)
                self.assertReady(self.download())
                got = [(self.headers(r).get("range"), self.headers(r).get("if-range"))
                       for r in self.installer_requests()]
                self.assertEqual(got, expected)

    def test_complete_part_gets_416(self):
        self.keep_part(PAYLOAD, {"validator": ETAG, "total": SIZE})
        self.serve(full())
        self.assertReady(self.download())
        (req,) = self.installer_requests()
        self.assertEqual(self.headers(req)["range"], f"bytes={SIZE}-{SIZE + 8388607}")
        self.assertEqual(req["response"], 0)

    def test_failures_keep_or_drop_bytes_as_they_should(self):
        tampered = bytearray(PAYLOAD)
        tampered[SIZE - 1] ^= 1
        cases = [
            ("announced above 512 MiB", [full(content_length=536870913, close=True)], BAD_SIZE, None),
            ("sent above 512 MiB without a length: the part is emptied",
             [{"status": 200, "headers": [["ETag", ETAG]], "body": {"size": 536870913, "seed": 1},
               "content_length": False}],
             BAD_SIZE, b""),
            ("signature does not match: the part is emptied",
             [{"status": 200, "headers": [["ETag", ETAG]], "body": {"base64": base64.b64encode(tampered).decode()}}],
             SIGNATURE_INVALID, b""),
        ]
        for name, responses, message, part in cases:
            with self.subTest(name):
                shutil.rmtree(self.cache, ignore_errors=True)
                self.serve(*responses)
                stages = "Resolving\n" + ("Verifying\n" if message == SIGNATURE_INVALID else "")
                self.assertFailed(self.download(), message, stages)
                if part is not None:
                    self.assertEqual((self.release / "installer.part").read_bytes(), part)
                    state = json.loads((self.release / "resume.json").read_text())
                    self.assertEqual(state, {"validator": None, "total": None})
                self.assertFalse((self.release / "NuvoInstaller.exe").exists())

    def test_second_run_on_the_same_cache_is_refused(self):
        self.serve(full(drip={"bytes": 65536, "interval": 0.2}))
        first = subprocess.Popen(harness.command(EXE, "--download-only", "--cache-dir", native_path(self.cache)),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env=dict(os.environ, WINEDEBUG="-all"), start_new_session=True)
        try:
            self.wait_for_part(first)
            second = self.download()
            self.assertEqual((second.returncode, second.stdout.decode(), second.stderr.decode()), (1, "", BUSY))
        finally:
            os.killpg(first.pid, signal.SIGKILL)
            first.communicate()

    def wait_for_part(self, proc, at_least=1):
        part = self.release / "installer.part"
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if part.exists() and part.stat().st_size >= at_least:
                return
            self.assertIsNone(proc.poll(), "the download ended early")
            time.sleep(0.05)
        self.fail("no bytes arrived")

    def test_killed_mid_download_resumes(self):
        self.serve(full(drip={"bytes": 65536, "interval": 0.05}), full())
        victim = subprocess.Popen(harness.command(EXE, "--download-only", "--cache-dir", native_path(self.cache)),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  env=dict(os.environ, WINEDEBUG="-all"), start_new_session=True)
        self.wait_for_part(victim, at_least=200_000)
        os.killpg(victim.pid, signal.SIGKILL)
        victim.communicate()
        kept = (self.release / "installer.part").stat().st_size
        self.assertGreater(kept, 0)
        self.assertReady(self.download())
        last = self.installer_requests()[-1]
        self.assertTrue(self.headers(last)["range"].startswith("bytes="))
        self.assertEqual(self.headers(last)["if-range"], ETAG)

    def test_unsafe_cache_objects(self):
        self.serve(full())
        self.assertReady(self.download())
        link = self.tmp / "second-link"
        os.link(self.release / "NuvoInstaller.exe", link)
        self.assertFailed(self.download(), MISCONFIGURED, "Resolving\n")
        link.unlink()
        if not WINDOWS:  # Wine cannot make symbolic links; the native build covers them
            real = self.tmp / "real"
            real.mkdir()
            (self.tmp / "linked").symlink_to(real)
            self.server.clear()
            run = self.download(self.tmp / "linked" / "cache")
            self.assertEqual((run.returncode, run.stdout.decode(), run.stderr.decode()), (1, "", MISCONFIGURED))
            self.assertEqual(self.server.requests(), [])

    def test_cache_dir_rules_come_before_the_network(self):
        self.server.load(harness.scenario())
        cases = [("relative", "cache", NOT_ABSOLUTE), ("empty", "", NOT_ABSOLUTE)]
        if WINDOWS:
            cases += [("drive-relative", "C:cache", NOT_ABSOLUTE),
                      ("UNC", "\\\\server\\share\\cache", MISCONFIGURED),
                      ("dot-dot", "C:\\users\\..\\cache", MISCONFIGURED)]
        else:
            cases += [("dot-dot", "/tmp/../cache", MISCONFIGURED)]
        for name, path, message in cases:
            with self.subTest(name):
                run = harness.run(EXE, "--download-only", "--cache-dir", path)
                self.assertEqual((run.returncode, run.stdout.decode(), run.stderr.decode()), (1, "", message))
        self.assertEqual(self.server.requests(), [])

    @unittest.skipUnless(WINDOWS, "sharing modes are Windows'")
    def test_a_file_held_by_another_program(self):
        """A program that holds the finished part open without delete sharing
        (as virus scanners do) delays the move into place: a hold of a
        second is waited out, a hold for good fails the run after the
        patience, keeping the part."""
        holder_exe = EXE.parent / "tests" / "hold_file.exe"
        for name, hold_ms, expect_ok in [("released after a second", 1500, True),
                                         ("held for good", 60000, False)]:
            with self.subTest(name):
                shutil.rmtree(self.cache, ignore_errors=True)
                self.keep_part(PAYLOAD, {"validator": ETAG, "total": SIZE})
                self.serve(full())
                holder = subprocess.Popen(
                    harness.command(holder_exe, native_path(self.release / "installer.part"),
                                    hold_ms),
                    stdout=subprocess.PIPE, env=dict(os.environ, WINEDEBUG="-all"),
                    start_new_session=True)
                try:
                    self.assertEqual(holder.stdout.readline().strip(), b"held")
                    released = time.monotonic() + hold_ms / 1000
                    run = self.download()
                    ended = time.monotonic()
                finally:
                    os.killpg(holder.pid, signal.SIGKILL)
                    holder.wait()
                if expect_ok:
                    self.assertReady(run, "Resolving\nVerifying\nReady\n")
                    self.assertGreaterEqual(ended, released)
                else:
                    self.assertFailed(run, STORAGE, "Resolving\nVerifying\n")
                    self.assertGreaterEqual(run.seconds, 30.0)  # the patience
                    self.assertEqual((self.release / "installer.part").read_bytes(), PAYLOAD)
                    self.assertFalse((self.release / "NuvoInstaller.exe").exists())

    @unittest.skipUnless(WINDOWS, "sharing modes are Windows'")
    def test_held_cache_directories_cannot_be_moved(self):
        """While a stalled run holds the cache, another program can rename
        neither the release directory nor any folder above it; once the run
        has ended, it can."""
        mover = EXE.parent / "tests" / "move_probe.exe"

        def move(path, to):
            run = harness.run(mover, native_path(path), native_path(to))
            self.assertEqual(run.returncode, 0, run.stderr)
            return run.stdout.decode().strip()

        stall_at = 200_000
        self.serve(full(stall_after=stall_at))
        held = subprocess.Popen(harness.command(EXE, "--download-only", "--cache-dir", native_path(self.cache)),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=dict(os.environ, WINEDEBUG="-all"), start_new_session=True)
        folders = [self.release, self.cache, self.tmp, self.tmp.parent]
        try:
            # Stalled: the part is open in the release directory, and the
            # server has sent all it ever will.
            deadline = time.monotonic() + 60
            while not ((self.release / "installer.part").exists() and
                       [r.get("body_sent") for r in self.installer_requests()] == [stall_at]):
                self.assertIsNone(held.poll(), "the download ended early")
                self.assertLess(time.monotonic(), deadline, "the download never stalled")
                time.sleep(0.05)
            for folder in folders:
                with self.subTest(held=folder.name):
                    moved = move(folder, folder.with_name(folder.name + "-moved"))
                    if moved == "moved":
                        move(folder.with_name(folder.name + "-moved"), folder)
                    self.assertEqual(moved, "refused 32")  # ERROR_SHARING_VIOLATION
            self.assertIsNone(held.poll(), "the run let go before every folder was tried")
        finally:
            os.killpg(held.pid, signal.SIGKILL)
            held.communicate()
        # Not the shared folder of every test's scratch directory, which other
        # runs may be using.
        for folder in folders[:-1]:
            with self.subTest(released=folder.name):
                aside = folder.with_name(folder.name + "-moved")
                self.assertEqual(move(folder, aside), "moved")
                self.assertEqual(move(aside, folder), "moved")


if __name__ == "__main__":
    unittest.main(verbosity=2)
