#!/usr/bin/env python3
"""The HTTPS transport of one build (tests/http_probe, natively or under Wine)
against the scripted server on the loopback test network: what goes out, what
comes back, and the time limits. All cases run at once, so that the slow ones
(each waits out the build's time limit) overlap."""

import base64
import gzip
import re
import sys
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

PROBE = Path(sys.argv.pop(1)).resolve() if len(sys.argv) > 1 else None
HOST = "nuvor.test"
# The transport's head and read time limit, in seconds, as the build was configured.
LIMIT = harness.request_timeout(PROBE) if PROBE else None
# Headers the client adds on its own; everything else must be the caller's.
TRANSPORT_HEADERS = {"host", "user-agent", "connection"}

GZIP_BODY = gzip.compress(b"compressed, and it must stay that way\n" * 50, mtime=0)
BIG = 3 * 1024 * 1024 + 17
FAST = 3 * 1024 * 1024  # bytes sent at full speed before a body slows down or stalls
STALL_AT = FAST + 100000  # not on a block boundary
# A slow, steady body: pieces of 1000 bytes, far more often than the limit,
# for longer than the limit in all.
DRIP_INTERVAL = min(0.85, LIMIT / 6) if LIMIT else 0.85
DRIP_SIZE = (int(LIMIT / DRIP_INTERVAL) + 4) * 1000 if LIMIT else 0

ROUTES = [
    harness.route(HOST, "/basic", {"status": 200, "headers": [
        ["Content-Type", "application/octet-stream"], ["X-Twice", "one"], ["x-twice", "two"],
        ["ETag", '"v1"']], "body": {"size": 5000, "seed": 1}}),
    harness.route(HOST, "/gzip", {"headers": [["Content-Encoding", "gzip"]],
                                  "body": {"base64": base64.b64encode(GZIP_BODY).decode()}}),
    harness.route(HOST, "/redirect", {"status": 302, "headers": {
        "Location": "https://evil.nuvor.test/elsewhere"}, "body": "moved\n"}),
    harness.route(HOST, "/missing", {"status": 404, "body": "not here\n"}),
    harness.route(HOST, "/broken", {"status": 500, "body": "oops\n"}),
    harness.route(HOST, "/big", {"body": {"size": BIG, "seed": 2}}),
    harness.route(HOST, "/chunked", {"chunked": True, "body": {"size": 70000, "seed": 3}}),
    harness.route(HOST, "/ok", {"body": "ok\n"}),
    harness.route(HOST, "/never", {"never_answer": True}),
    harness.route(HOST, "/forever", {"headers_forever": True, "interval": 0.5}),
    harness.route(HOST, "/stall", {"body": {"size": 100000, "seed": 4}, "stall_after": 40000}),
    harness.route(HOST, "/drip", {"body": {"size": DRIP_SIZE, "seed": 5},
                                  "drip": {"bytes": 1000, "interval": DRIP_INTERVAL}}),
    harness.route(HOST, "/fast-then-drip", {"body": {"size": FAST + DRIP_SIZE, "seed": 7},
                                            "drip": {"bytes": 1000, "interval": DRIP_INTERVAL,
                                                     "after": FAST}}),
    harness.route(HOST, "/fast-then-stall", {"body": {"size": FAST + 1000000, "seed": 8},
                                             "stall_after": STALL_AT}),
    harness.route(HOST, "/drop", {"body": {"size": 100000, "seed": 6}, "drop_after": 30000}),
    harness.route(HOST, "/slow-to-drop", {"body": {"size": 10000}, "drip": {"bytes": 100, "interval": 1}}),
    harness.route("assets.nuvor.test", "/ok", {"body": "ok\n"}),
    harness.route("objects.nuvor.test", "/ok", {"body": "ok\n"}),
]
# Cases that need the body at full speed first: they run on their own after
# the others, so that the machine is not busy with a dozen probes.
FAST_CASES = {
    "fast_drip": ([f"https://{HOST}/fast-then-drip", f"https://{HOST}/ok"], 90),
    "fast_stall": ([f"https://{HOST}/fast-then-stall", f"https://{HOST}/ok"], 90),
}
PROXY = {"https_proxy": "http://proxy.nuvor.test:3128"}

# name: (probe arguments, timeout[, environment]). Each case runs as its own
# probe process.
CASES = {
    "basic": (["-H", "Accept-Encoding: identity", "-H", "X-Probe: a b", "-H", "X-Empty:",
               f"https://{HOST}/basic"], 60),
    "gzip": (["-H", "Accept-Encoding: identity", f"https://{HOST}/gzip"], 60),
    "status": ([f"https://{HOST}/redirect", f"https://{HOST}/missing", f"https://{HOST}/broken"], 60),
    "bodies": (["--read-size", "1000", f"https://{HOST}/big", f"https://{HOST}/chunked"], 60),
    "tls": (["https://wrongname.nuvor.test/tls", "https://untrusted.nuvor.test/tls",
             f"https://{HOST}/ok"], 60),
    "down": (["https://down.nuvor.test/x", f"https://{HOST}/ok"], 60),
    "refused": ([f"http://{HOST}/ok", f"https://{HOST}/ok"], 60),
    "never": ([f"https://{HOST}/never", f"https://{HOST}/ok"], 90),
    "forever": ([f"https://{HOST}/forever", f"https://{HOST}/ok"], 90),
    "stall": ([f"https://{HOST}/stall", f"https://{HOST}/ok"], 90),
    "drip": ([f"https://{HOST}/drip", f"https://{HOST}/ok"], 90),
    "drop": ([f"https://{HOST}/drop", f"https://{HOST}/ok"], 60),
    "dropped_body": (["--drop-body", f"https://{HOST}/slow-to-drop", f"https://{HOST}/ok"], 60),
    "proxy": (["https://assets.nuvor.test/ok"], 60, PROXY),
    "no_proxy": (["https://objects.nuvor.test/ok"], 60, dict(PROXY, NO_PROXY=".nuvor.test")),
    "bad_proxy": ([f"https://{HOST}/ok"], 60, {"ALL_PROXY": "gopher://proxy.nuvor.test"}),
}


def parse(stdout):
    """The probe's report: one dict per request, in order."""
    results = []
    for line in stdout.decode("utf-8", "replace").splitlines():
        key, _, rest = line.partition(" ")
        if key == "request":
            results.append({"url": rest, "headers": []})
            continue
        r = results[-1]
        if key == "status":
            r["status"] = int(rest)
        elif key == "header":
            name, _, value = rest.partition(": ")
            r["headers"].append((name, value))
        elif key == "body" and rest != "dropped":
            m = re.fullmatch(r"(\d+) fnv1a64=([0-9a-f]{16})", rest)
            r["body"], r["hash"] = int(m[1]), m[2]
        elif key == "body":
            r["dropped"] = True
        elif key == "error":
            r["error"] = rest
        elif key in ("body_read", "elapsed_ms", "head_ms"):
            r[key] = int(rest)
    return results


def generated(size, seed, start=0):
    return harness.generated_bytes(start, start + size, seed)


class Transport(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.ensure_network()
        cls.server = harness.ReleaseServer(harness.scenario(*ROUTES))
        cls.runs = {}
        for cases in (CASES, FAST_CASES):
            with ThreadPoolExecutor(len(cases)) as pool:
                runs = {name: pool.submit(harness.run, PROBE, *case[0], timeout=case[1],
                                          env=case[2] if len(case) > 2 else None)
                        for name, case in cases.items()}
                cls.runs.update({name: f.result() for name, f in runs.items()})
        cls.log = cls.server.requests()
        cls.server.stop()

    def results(self, name, count):
        run = self.runs[name]
        self.assertIsNotNone(run.returncode, f"{name}: the probe hung\n{run.stdout!r}")
        results = parse(run.stdout)
        self.assertEqual(len(results), count, f"{name}: {run.stdout!r} {run.stderr!r}")
        return results

    def logged(self, path, host=HOST):
        return [r for r in self.log if r["host"] == host and r["target"] == path]

    def assert_fails_after(self, result, seconds, slack):
        self.assertIn("error", result)
        self.assertGreaterEqual(result["elapsed_ms"] / 1000, seconds - 0.1, result)
        self.assertLessEqual(result["elapsed_ms"] / 1000, seconds + slack, result)

    def assert_quick_ok(self, result):
        """A request right after a failed one: the I/O thread is free again."""
        self.assertEqual(result.get("status"), 200, result)
        self.assertLess(result["elapsed_ms"], 3000, result)

    def test_request_carries_exactly_the_given_headers(self):
        [r] = self.results("basic", 1)
        [req] = self.logged("/basic")
        self.assertEqual((req["method"], req["version"], req["sni"]), ("GET", "HTTP/1.1", HOST))
        self.assertEqual([v for k, v in req["headers"] if k.lower() == "user-agent"],
                         ["NuvoSetup/0.1.0"])
        self.assertEqual([v for k, v in req["headers"] if k.lower() == "host"], [HOST])
        extra = [(k, v) for k, v in req["headers"] if k.lower() not in TRANSPORT_HEADERS]
        self.assertEqual(extra, [("Accept-Encoding", "identity"), ("X-Probe", "a b"),
                                 ("X-Empty", "")])

    def test_response_comes_back_as_sent(self):
        [r] = self.results("basic", 1)
        self.assertEqual(r["status"], 200)
        sent = [("Content-Type", "application/octet-stream"), ("X-Twice", "one"),
                ("x-twice", "two"), ("ETag", '"v1"'), ("Content-Length", "5000")]
        self.assertEqual([h for h in r["headers"] if h in sent], sent)
        self.assertEqual((r["body"], r["hash"]), (5000, harness.fnv1a64(generated(5000, 1))))

    def test_body_is_never_decoded(self):
        [r] = self.results("gzip", 1)
        self.assertIn(("Content-Encoding", "gzip"), r["headers"])
        self.assertEqual((r["body"], r["hash"]), (len(GZIP_BODY), harness.fnv1a64(GZIP_BODY)))

    def test_statuses_are_returned_not_acted_on(self):
        redirect, missing, broken = self.results("status", 3)
        self.assertEqual(redirect["status"], 302)
        self.assertIn(("Location", "https://evil.nuvor.test/elsewhere"), redirect["headers"])
        self.assertEqual([r for r in self.log if r["host"] == "evil.nuvor.test"], [])
        self.assertEqual((missing["status"], missing["body"]), (404, 9))
        self.assertEqual((broken["status"], broken["body"]), (500, 5))

    def test_bodies_arrive_whole(self):
        big, chunked = self.results("bodies", 2)
        self.assertEqual((big["body"], big["hash"]), (BIG, harness.fnv1a64(generated(BIG, 2))))
        self.assertEqual((chunked["body"], chunked["hash"]),
                         (70000, harness.fnv1a64(generated(70000, 3))))

    def test_only_https_with_a_valid_certificate(self):
        wrongname, untrusted, ok = self.results("tls", 3)
        self.assertIn("error", wrongname)
        self.assertIn("error", untrusted)
        self.assertEqual(ok["status"], 200)
        self.assertEqual(self.logged("/tls", "wrongname.nuvor.test"), [])
        self.assertEqual(self.logged("/tls", "untrusted.nuvor.test"), [])

        plain, ok = self.results("refused", 2)
        self.assertIn("error", plain)
        self.assertLess(plain["elapsed_ms"], 1000)
        self.assertEqual(ok["status"], 200)

    def test_unreachable_host_fails_fast(self):
        down, ok = self.results("down", 2)
        self.assertIn("error", down)
        self.assertLess(down["elapsed_ms"], 5000)
        self.assert_quick_ok(ok)

    def test_every_request_is_http_1_1(self):
        self.assertTrue(self.log)
        self.assertEqual({r["version"] for r in self.log}, {"HTTP/1.1"})

    def test_head_that_never_comes_fails_at_the_limit(self):
        for name in ("never", "forever"):
            with self.subTest(name):
                head, ok = self.results(name, 2)
                self.assert_fails_after(head, LIMIT, 2.0)
                self.assertNotIn("status", head)
                self.assert_quick_ok(ok)

    def test_stalled_body_fails_at_the_limit(self):
        stall, ok = self.results("stall", 2)
        self.assertEqual(stall["status"], 200)
        self.assertEqual(stall["body_read"], 40000)
        self.assert_fails_after(stall, stall["head_ms"] / 1000 + LIMIT, 2.0)
        self.assert_quick_ok(ok)

    def test_stall_after_a_fast_start_loses_at_most_one_block(self):
        # A fast body is read in blocks (up to 256 KiB on Windows); what a
        # block held when the stall began is fetched again by the next request.
        stall, ok = self.results("fast_stall", 2)
        self.assertEqual(stall["status"], 200)
        self.assertLessEqual(stall["body_read"], STALL_AT)
        self.assertGreaterEqual(stall["body_read"], STALL_AT - 256 * 1024)
        self.assertIn("error", stall)
        self.assertGreaterEqual(stall["elapsed_ms"] / 1000, LIMIT - 0.1)
        self.assertLessEqual(stall["elapsed_ms"] / 1000, LIMIT + 4.0)
        self.assert_quick_ok(ok)

    def test_slow_steady_body_is_never_cut_off(self):
        for name, size, seed in (("drip", DRIP_SIZE, 5), ("fast_drip", FAST + DRIP_SIZE, 7)):
            with self.subTest(name):
                drip, ok = self.results(name, 2)
                self.assertNotIn("error", drip)
                self.assertGreater(drip["elapsed_ms"] / 1000, LIMIT)
                self.assertEqual((drip["body"], drip["hash"]),
                                 (size, harness.fnv1a64(generated(size, seed))))
                self.assert_quick_ok(ok)

    def test_cut_connection_is_an_error(self):
        drop, ok = self.results("drop", 2)
        self.assertEqual(drop["status"], 200)
        self.assertIn("error", drop)
        self.assertNotIn("body", drop)
        self.assertLessEqual(drop["body_read"], 30000)
        self.assert_quick_ok(ok)

    def test_proxy_from_the_environment(self):
        [via] = self.results("proxy", 1)
        self.assertEqual(via["status"], 200, via)
        connects = [r for r in self.log if r["host"] == "proxy.nuvor.test"]
        self.assertEqual([(r["method"], r["target"]) for r in connects],
                         [("CONNECT", "assets.nuvor.test:443")])
        self.assertEqual(len(self.logged("/ok", "assets.nuvor.test")), 1)

        [direct] = self.results("no_proxy", 1)
        self.assertEqual(direct["status"], 200, direct)
        self.assertEqual(len(self.logged("/ok", "objects.nuvor.test")), 1)

        [refused] = self.results("bad_proxy", 1)
        self.assertIn("error", refused)

    def test_dropping_a_body_ends_its_transfer(self):
        dropped, ok = self.results("dropped_body", 2)
        self.assertTrue(dropped.get("dropped"))
        self.assert_quick_ok(ok)
        self.assertLess(self.runs["dropped_body"].seconds, 15)


if __name__ == "__main__":
    if PROBE is None:
        sys.exit("usage: transport_e2e.py <http_probe executable>")
    if harness.is_windows(PROBE):
        harness.warm_wine()
    unittest.main()
