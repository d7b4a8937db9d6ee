#!/usr/bin/env python3
"""--check-only end to end: the real executable (natively, or the .exe under
Wine) against the scripted HTTPS release server on the loopback test network.
Usage: check_e2e.py <executable> <release host the build was configured with>"""

import base64
import os
import shutil
import sys
import tempfile
import time
import unittest
from pathlib import Path

import harness

EXE = harness.program_and_host(sys.argv, "usage: check_e2e.py <executable> <release host>")
WINDOWS = harness.is_windows(EXE)
TIMEOUT = harness.request_timeout(EXE)  # the build's wait for a head, in seconds
FIXTURES = Path(__file__).resolve().parent.parent / "fixtures"

HOST = "nuvor.test"
MANIFEST = "/graycrane42/nuvo/releases/latest/download/latest.json"
INSTALLER = "/graycrane42/nuvo/releases/download/v{0}/Nuvo_{0}_x64-setup.exe"
SIGNATURE = base64.b64encode((FIXTURES / "package.minisig").read_bytes()).decode()  # version:1.4.2

DOWNLOAD_FAILED = "Не удалось скачать Nuvo. Проверьте подключение и повторите попытку.\n"
MANIFEST_UNAVAILABLE = "Не удалось прочитать сведения о последней версии Nuvo.\n"
INVALID_URL = "Канал вернул недопустимый адрес загрузки. Установка запрещена.\n"
VERSION_MISMATCH = "Подписанная версия отличается от версии канала. Установка запрещена.\n"


def report(version="1.4.2"):
    return ('{"available_version":"%s","bootstrap_version":"0.9.1","installer_url":'
            '"https://nuvor.test%s","installer_verified":false}\n' % (version, INSTALLER.format(version)))


def manifest(version="1.4.2", url=None, signature=SIGNATURE, extra=""):
    url = url or "https://" + HOST + INSTALLER.format(version)
    return ('{"version":"%s","platforms":{"windows-x86_64":{"url":"%s","signature":"%s"}%s}}'
            % (version, url, signature, extra))


def ok(body):
    return {"status": 200, "headers": [["Content-Type", "application/json"]], "body": body}


def redirect(location, status=302):
    return {"status": status, "headers": [["Location", location]]}


def cache_root():
    """Where this build would keep its cache, which --check-only must not create."""
    if WINDOWS:
        prefix = Path(os.environ.get("WINEPREFIX", Path.home() / ".wine"))
        return prefix / "drive_c" / "users" / os.environ.get("USER", "root") / "AppData" / "Local" / "NuvoSetup"
    return Path(CheckOnly.xdg) / "NuvoSetup"


def check(*routes):
    return harness.scenario(*routes)


class CheckOnly(unittest.TestCase):
    xdg = None

    @classmethod
    def setUpClass(cls):
        harness.ensure_network()
        cls.xdg = tempfile.mkdtemp(prefix="nuvo-check-")
        shutil.rmtree(cache_root(), ignore_errors=True)
        cls.server = harness.ReleaseServer()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.xdg, ignore_errors=True)

    def run_check(self, timeout=120):
        return harness.run(EXE, "--check-only", timeout=timeout, env={"XDG_CACHE_HOME": self.xdg})

    def assertOutcome(self, run, stdout, stderr):
        self.assertEqual((run.returncode, run.stdout.decode(), run.stderr.decode()),
                         (0 if stdout else 1, stdout, stderr))

    def test_outcomes(self):
        big = manifest()
        cases = [
            ("accepted", [ok(manifest())], report(), "", 1),
            ("explicit :443 is normalised away",
             [ok(manifest(url="https://nuvor.test:443" + INSTALLER.format("1.4.2")))], report(), "", 1),
            ("extra members are ignored",
             [ok('{"notes":"новое","version":"1.4.2","platforms":{"windows-x86_64":{"size":1,'
                 '"url":"https://nuvor.test%s","signature":"%s"}}}' % (INSTALLER.format("1.4.2"), SIGNATURE))],
             report(), "", 1),
            ("older than the channel allows", [ok(manifest("0.6.11"))], "", VERSION_MISMATCH, 1),
            ("pre-release", [ok(manifest("1.4.2-beta.1"))], "", MANIFEST_UNAVAILABLE, 1),
            ("second platform",
             [ok(manifest(extra=',"linux-x86_64":{"url":"u","signature":"s"}'))], "", MANIFEST_UNAVAILABLE, 1),
            ("port 8443 in the installer URL",
             [ok(manifest(url="https://nuvor.test:8443" + INSTALLER.format("1.4.2")))], "", INVALID_URL, 1),
            ("query on the installer URL",
             [ok(manifest(url="https://nuvor.test" + INSTALLER.format("1.4.2") + "?x=1"))], "", INVALID_URL, 1),
            ("signature for another version", [ok(manifest("1.4.3"))], "", VERSION_MISMATCH, 1),
            ("trailing garbage", [ok(manifest() + "x")], "", MANIFEST_UNAVAILABLE, 1),
            ("trailing line feeds", [ok(manifest() + "\n\n")], report(), "", 1),
            ("exactly 65536 bytes", [ok(big + " " * (65536 - len(big)))], report(), "", 1),
            ("65537 bytes", [ok(big + " " * (65537 - len(big)))], "", MANIFEST_UNAVAILABLE, 1),
            ("announced above the limit", [dict(ok(big), content_length=65537, close=True)], "",
             MANIFEST_UNAVAILABLE, 1),
            ("empty 200", [ok("")], "", MANIFEST_UNAVAILABLE, 1),
            ("65536 nested brackets", [ok("[" * 65536)], "", MANIFEST_UNAVAILABLE, 1),
            ("503, 503, 200", [{"status": 503}, {"status": 503}, ok(manifest())], report(), "", 3),
            ("404 three times", [{"status": 404}], "", DOWNLOAD_FAILED, 3),
            ("redirect to a third host", [redirect("https://evil.nuvor.test/x")], "", INVALID_URL, 1),
            ("redirect to http", [redirect("http://assets.nuvor.test/x")], "", INVALID_URL, 1),
            ("redirect outside the releases", [redirect("/graycrane42/nuvo/issues")], "", INVALID_URL, 1),
            ("redirect with a user name", [redirect("https://u@assets.nuvor.test/x")], "", INVALID_URL, 1),
            ("Location above 0x7E", [redirect("https://assets.nuvor.test/é")], "", INVALID_URL, 1),
        ]
        for name, responses, stdout, stderr, requests in cases:
            with self.subTest(name):
                self.server.load(check(harness.route(HOST, MANIFEST, *responses)))
                run = self.run_check()
                self.assertOutcome(run, stdout, stderr)
                log = self.server.requests()
                self.assertEqual(len(log), requests)
                if requests == 3:  # pauses of 0.5 s and 1 s between the attempts
                    self.assertGreaterEqual(run.seconds, 1.5)
        self.assertFalse(cache_root().exists(), "the check must leave nothing on disk")

    def test_request_is_a_plain_https_get(self):
        self.server.load(check(harness.route(HOST, MANIFEST, ok(manifest()))))
        self.assertOutcome(self.run_check(), report(), "")
        (req,) = self.server.requests()
        headers = {k.lower(): v for k, v in req["headers"]}
        self.assertEqual((req["method"], req["target"], req["version"], req["sni"]),
                         ("GET", MANIFEST, "HTTP/1.1", HOST))
        self.assertEqual(headers["user-agent"], "NuvoSetup/0.1.0")
        self.assertEqual(headers["accept-encoding"], "identity")
        self.assertNotIn("range", headers)

    def test_redirects(self):
        hop = "/graycrane42/nuvo/releases/download/v1/hop"
        five = [harness.route(HOST, MANIFEST, redirect("https://assets.nuvor.test/1?sig=a")),
                harness.route("assets.nuvor.test", "/1?sig=a", redirect("https://objects.nuvor.test/2")),
                harness.route("objects.nuvor.test", "/2", redirect("https://nuvor.test:443" + hop)),
                harness.route(HOST, hop, redirect("../v1/hop2", status=307)),
                harness.route(HOST, hop + "2", redirect("https://assets.nuvor.test/5", status=301))]
        self.server.load(check(*five, harness.route("assets.nuvor.test", "/5", ok(manifest()))))
        self.assertOutcome(self.run_check(), report(), "")
        self.assertEqual(len(self.server.requests()), 6)

        self.server.load(check(*five, harness.route("assets.nuvor.test", "/5", redirect("https://assets.nuvor.test/6")),
                               harness.route("assets.nuvor.test", "/6", ok(manifest()))))
        run = self.run_check()
        self.assertOutcome(run, "", DOWNLOAD_FAILED)
        self.assertEqual(len(self.server.requests()), 18)  # three attempts of six requests

    def test_tls_is_checked(self):
        # Both hosts are release-asset hosts of the test build, so only TLS can refuse them.
        for host in ("untrusted.nuvor.test", "wrongname.nuvor.test"):
            with self.subTest(host):
                self.server.load(check(harness.route(HOST, MANIFEST, redirect(f"https://{host}/x")),
                                       harness.route(host, "/x", ok(manifest()))))
                self.assertOutcome(self.run_check(), "", DOWNLOAD_FAILED)
                self.assertFalse([r for r in self.server.requests() if r["host"] == host and r.get("method")])

    def test_hostile_server_ends_within_the_timeouts(self):
        # First a server that never answers, then one that sends headers forever.
        self.server.load(check(harness.route(HOST, MANIFEST, {"never_answer": True},
                                             {"headers_forever": True, "interval": 0.5})))
        # Three attempts, each waiting out the build's limit, and the pauses between them.
        run = self.run_check(timeout=3 * TIMEOUT + 90)
        self.assertOutcome(run, "", DOWNLOAD_FAILED)
        self.assertGreaterEqual(run.seconds, 3 * TIMEOUT)
        self.assertLess(run.seconds, 3 * TIMEOUT + 1.5 + 15)


class Unreachable(unittest.TestCase):
    def test_no_server(self):
        harness.ensure_network()
        xdg = tempfile.mkdtemp(prefix="nuvo-check-")
        try:
            run = harness.run(EXE, "--check-only", env={"XDG_CACHE_HOME": xdg})
            self.assertEqual((run.returncode, run.stdout, run.stderr.decode()), (1, b"", DOWNLOAD_FAILED))
            self.assertGreaterEqual(run.seconds, 1.5)
        finally:
            shutil.rmtree(xdg, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
