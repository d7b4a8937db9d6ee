#!/usr/bin/env python3
"""A proxy that asks for Basic credentials, end to end: --download-only of the
real executable (natively, or the .exe under Wine) through the test network's
CONNECT proxy with the credentials in the proxy variable, right, wrong or
missing; and the credentials in no output and no file of any run.
Usage: proxy_e2e.py <executable> <http_probe> <release host>"""

import base64
import shutil
import sys
import time
import unittest
from pathlib import Path
from urllib.parse import quote

import harness

if len(sys.argv) < 4:
    sys.exit(__doc__.rsplit("\n", 1)[-1])
PROBE = Path(sys.argv.pop(2)).resolve()
EXE = harness.program_and_host(sys.argv, "")
# Wine 8's WinHTTP reads the proxy's answer to its CONNECT and starts TLS on
# that connection whatever the status was: a 407 never reaches the program,
# which so cannot answer it (the WinHTTP calls are tested in proxy_test.cpp).
# Under Wine the runs show only that nothing is sent unasked and that the
# failure is the usual one.
WINE_HIDES_407 = harness.is_windows(EXE)

HOST = "nuvor.test"
VERSION = "1.4.2"
SIZE = 200_000
PAYLOAD = harness.generated_bytes(0, SIZE, 3)
INSTALLER_URL = f"https://{HOST}{harness.installer_path(VERSION)}"
DOWNLOAD_FAILED = "Не удалось скачать Nuvo. Проверьте подключение и повторите попытку.\n"
ATTEMPTS = 3  # of the manifest fetch, each one request

USER = "corp\\nuvo-proxy-user"
PASSWORD = "s3cr%t p@ss:w0rd-7718"
WRONG = "wr0ng-pass-5521"


def variable(user=None, password=None, port=3128):
    userinfo = "" if user is None else f"{quote(user, safe='')}:{quote(password, safe='')}@"
    return f"http://{userinfo}proxy.nuvor.test:{port}"


# Everything that would give the credentials away, in every form they take.
SECRETS = [s.encode() for s in (
    USER, PASSWORD, WRONG, quote(USER, safe=""), quote(PASSWORD, safe=""),
    base64.b64encode(f"{USER}:{PASSWORD}".encode()).decode(),
    base64.b64encode(f"{USER}:{WRONG}".encode()).decode())]


class ProxyAuthentication(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.ensure_network()
        cls.started = time.time()
        cls.dirs = []
        cls.outputs = []
        signature = harness.sign(PAYLOAD, VERSION)
        cls.routes = [
            harness.route(HOST, harness.MANIFEST_PATH,
                          harness.manifest_response(VERSION, HOST, signature)),
            harness.route(HOST, harness.installer_path(VERSION),
                          {"headers": [["ETag", '"p1"']], "body": {"size": SIZE, "seed": 3},
                           "range": True})]
        cls.server = harness.ReleaseServer()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        for d in cls.dirs:
            shutil.rmtree(d, ignore_errors=True)

    def download(self, proxy):
        """--download-only through `proxy`; the run and the proxy's log of CONNECTs."""
        self.server.load(dict(harness.scenario(*self.routes),
                              proxy_credentials=[USER, PASSWORD]))
        cache = harness.scratch_dir(EXE, "nuvo-proxy-")
        self.dirs.append(cache)
        run = harness.run(EXE, "--download-only", "--cache-dir", harness.native_path(EXE, cache),
                          env={"https_proxy": proxy}, timeout=120)
        self.outputs.append(run)
        log = self.server.requests()
        connects = [r for r in log if r["host"] == "proxy.nuvor.test"]
        origin = [r for r in log if r["host"] == HOST]
        return run, connects, origin

    @unittest.skipIf(WINE_HIDES_407, "Wine's WinHTTP never reports a 407 to a CONNECT")
    def test_right_credentials_get_the_download_through(self):
        run, connects, origin = self.download(variable(USER, PASSWORD))
        self.assertEqual((run.returncode, run.stderr.decode()), (0, "Resolving\nVerifying\nReady\n"),
                         run.stdout)
        self.assertIn(b'"installer_verified":true', run.stdout)
        authenticated = [r for r in connects if r["proxy_auth"] is not None]
        # Each tunnel took exactly one authenticated attempt, and it was accepted.
        self.assertEqual([r["proxy_auth"] for r in authenticated], ["accepted"] * len(authenticated))
        self.assertGreaterEqual(len(authenticated), 1)
        self.assertEqual([r["target"] for r in origin][:2],
                         [harness.MANIFEST_PATH, harness.installer_path(VERSION)])
        print(f"\nright credentials: {len(connects)} CONNECTs, {len(authenticated)} authenticated "
              f"(all accepted), {len(origin)} requests through them", file=sys.stderr)

    def test_wrong_or_missing_credentials_fail_after_the_retries(self):
        wrong_answers = [] if WINE_HIDES_407 else ["refused"]
        for name, proxy, answers in (("wrong", variable(USER, WRONG), wrong_answers),
                                     ("missing", variable(), [])):
            with self.subTest(name):
                run, connects, origin = self.download(proxy)
                self.assertEqual((run.returncode, run.stdout, run.stderr.decode()),
                                 (1, b"", "Resolving\n" + DOWNLOAD_FAILED))
                self.assertEqual(origin, [])
                # Per request: one CONNECT asking, then at most one answer, never a loop.
                authenticated = [r["proxy_auth"] for r in connects if r["proxy_auth"] is not None]
                self.assertEqual(authenticated, answers * ATTEMPTS)
                self.assertEqual(len(connects) - len(authenticated), ATTEMPTS)
                print(f"\n{name} credentials: {len(connects)} CONNECTs, {len(authenticated)} "
                      f"authenticated over {ATTEMPTS} requests", file=sys.stderr)

    def test_a_server_reached_directly_gets_no_proxy_credentials(self):
        # A 407 from the server itself (no_proxy sends the request directly),
        # offering every scheme: neither the variable's password nor the
        # user's logon goes to it, and the 407 is the response.
        challenge = {"status": 407, "headers": [["Proxy-Authenticate", "Negotiate"],
                                                ["Proxy-Authenticate", "NTLM"],
                                                ["Proxy-Authenticate", 'Basic realm="t"']]}
        self.server.load(harness.scenario(harness.route(HOST, "/auth", challenge, challenge,
                                                        {"body": "ok\n"})))
        run = harness.run(PROBE, f"https://{HOST}/auth", timeout=60,
                          env={"https_proxy": variable(USER, PASSWORD), "no_proxy": HOST})
        self.outputs.append(run)
        self.assertIn(b"status 407", run.stdout)
        requests = self.server.requests()
        self.assertEqual(len(requests), 1)
        self.assertEqual([k for k, _ in requests[0]["headers"] if k.lower() == "proxy-authorization"],
                         [])

    def test_transport_errors_name_no_credentials(self):
        # A refused answer, and a proxy value that cannot be used (its port),
        # whose error text would quote it.
        for proxy in (variable(USER, WRONG), variable(USER, PASSWORD, port=99999)):
            self.server.load(dict(harness.scenario(*self.routes),
                                  proxy_credentials=[USER, PASSWORD]))
            run = harness.run(PROBE, f"https://{HOST}{harness.MANIFEST_PATH}",
                              env={"https_proxy": proxy}, timeout=60)
            self.outputs.append(run)
            self.assertTrue(b"\nerror " in run.stdout or b"\nstatus 407" in run.stdout, run.stdout)

    def test_zz_no_credentials_in_any_output_or_file(self):
        # Runs last (by name): every output and every file written so far.
        self.assertGreaterEqual(len(self.outputs), 4)
        places = {f"output {i}": run.stdout + run.stderr for i, run in enumerate(self.outputs)}
        roots = list(self.dirs)
        if harness.is_windows(EXE):
            roots.append(harness.WINE_C.parent)  # the prefix: registry files, Wine's own
        for root in roots:
            for f in Path(root).rglob("*"):
                if f.is_file() and not f.is_symlink() and f.stat().st_mtime >= self.started:
                    places[str(f)] = f.read_bytes()
        self.assertGreater(len(places), len(self.outputs), "the runs wrote no file")
        for where, data in places.items():
            for secret in SECRETS:
                self.assertNotIn(secret, data, f"{secret!r} in {where}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
