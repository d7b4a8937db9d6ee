#!/usr/bin/env python3
"""Whole installation runs through the real worker (tests/worker_probe.cpp),
natively or as a .exe under Wine, against the scripted HTTPS server: the
events of a run that downloads, verifies and launches a signed test
installer, a run that reuses it, how fast a cancel ends a run in every phase,
and a trickling download that ends at the download deadline.
Usage: worker_e2e.py <worker_probe> <test_installer> <release host>"""

import json
import os
import shutil
import sys
import tempfile
import time
import unittest
from pathlib import Path

import harness

if len(sys.argv) < 4:
    sys.exit("usage: worker_e2e.py <worker_probe> <test_installer> <release host>")
TEST_INSTALLER = Path(sys.argv.pop(2)).resolve()
PROBE = harness.program_and_host(sys.argv, "")
WINDOWS = harness.is_windows(PROBE)

HOST = "nuvor.test"
VERSION = "1.4.2"
INSTALLER = harness.installer_path(VERSION)
ETAG = '"w1"'
DOWNLOAD_FAILED = "Не удалось скачать Nuvo. Проверьте подключение и повторите попытку."
CANCEL_LIMIT_MS = 250

INSTALLER_BYTES = TEST_INSTALLER.read_bytes()
INSTALLER_SIGNATURE = harness.sign(INSTALLER_BYTES, VERSION)


def manifest(signature=INSTALLER_SIGNATURE, *before):
    return harness.route(HOST, harness.MANIFEST_PATH, *before,
                         harness.manifest_response(VERSION, HOST, signature))


def installer(*responses):
    return harness.route(HOST, INSTALLER, *responses)


class Generated:
    """A large generated package, its file and its signature."""
    SIZE = 96 * 1024 * 1024
    SEED = 11
    _signature = None

    @classmethod
    def signature(cls):
        if cls._signature is None:
            with tempfile.TemporaryDirectory() as d:
                f = Path(d) / "big.bin"
                with open(f, "wb") as out:
                    for start in range(0, cls.SIZE, 1 << 22):
                        out.write(harness.generated_bytes(start, min(start + (1 << 22), cls.SIZE),
                                                          cls.SEED))
                cls._signature = harness.sign(f, VERSION)
        return cls._signature

    @classmethod
    def response(cls, **extra):
        r = {"status": 200, "headers": [["ETag", ETAG]],
             "body": {"size": cls.SIZE, "seed": cls.SEED}, "range": True}
        r.update(extra)
        return r


class WorkerRuns(unittest.TestCase):
    worst = {}

    @classmethod
    def setUpClass(cls):
        harness.ensure_network()
        cls.server = harness.ReleaseServer()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        for phase, latency in sorted(cls.worst.items()):
            print(f"cancel latency, {phase}: {latency} ms", file=sys.stderr)
        if cls.worst:
            print(f"worst cancel latency: {max(cls.worst.values())} ms", file=sys.stderr)

    def setUp(self):
        self.tmp = harness.scratch_dir(PROBE, "nuvo-worker-")
        self.cache = self.tmp / "cache"
        self.record = self.tmp / "installer.jsonl"

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def probe(self, *args, exit_code=0, timeout=300, stdin=b""):
        env = {"NUVO_TEST_INSTALLER_RECORD": harness.native_path(PROBE, self.record),
               "NUVO_TEST_INSTALLER_EXIT": str(exit_code)}
        run = harness.run(PROBE, "--cache-dir", harness.native_path(PROBE, self.cache),
                          *args, env=env, timeout=timeout, stdin=stdin)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))
        lines = [json.loads(line) for line in run.stdout.decode().splitlines()]
        return lines[:-1], lines[-1]

    def after_first_answer(self, timeout=120):
        """Waits until the server has answered the manifest request, then
        gives the line that makes the probe cancel."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if any(r["target"] == harness.MANIFEST_PATH and r["status"] is not None
                   for r in self.server.requests()):
                return b"cancel\n"
            time.sleep(0.01)
        raise AssertionError("the manifest request was never answered")

    @staticmethod
    def outline(events):
        """The events with repeated Downloading updates folded into one."""
        out = []
        for e in events:
            if e["event"] == "Progress":
                word = e["stage"]
            elif e["event"] == "Finished":
                word = "Finished " + e["result"] + (" " + e["text"] if "text" in e else "")
            else:
                word = e["event"]
            if not (out and out[-1] == word == "Downloading"):
                out.append(word)
        return out

    def release_dir(self):
        dirs = [p for p in self.cache.iterdir() if p.is_dir()]
        self.assertEqual(len(dirs), 1)
        return dirs[0]

    def installer_requests(self):
        return [r for r in self.server.requests() if r["target"] == INSTALLER]

    def test_a_whole_run_launches_the_installer_and_the_next_reuses_it(self):
        self.server.load(harness.scenario(manifest(), installer(
            {"status": 200, "headers": [["ETag", ETAG]], "body": {"file": str(TEST_INSTALLER)}})))
        events, summary = self.probe()
        self.assertEqual(self.outline(events), ["Resolving", "Downloading", "Verifying", "Ready",
                                                "Launching", "Finished completed"])
        self.assertEqual([e.get("version") for e in events[:2]], [None, VERSION])
        size = len(INSTALLER_BYTES)
        self.assertEqual(events[-3], {**events[-3], "downloaded": size, "total": size})
        self.assertLessEqual(summary["high_water"], 8)

        release = self.release_dir()
        installed = release / "NuvoInstaller.exe"
        self.assertEqual(installed.read_bytes(), INSTALLER_BYTES)
        [started] = [json.loads(line) for line in self.record.read_text().splitlines()]
        self.assertEqual(started["args"], [])
        # Started by its canonical name, in its release directory, both
        # without the "\\?\" prefix that the shell does not take.
        self.assertEqual(started["program"], harness.native_path(PROBE, installed))
        self.assertEqual(started["cwd"].rstrip("\\/"), harness.native_path(PROBE, release))

        # The installer fails: its code is shown and the package stays for the next run.
        events, _ = self.probe(exit_code=2)
        self.assertEqual(self.outline(events), [
            "Resolving", "Verifying", "Ready", "Launching",
            "Finished failed Установка не завершилась (код 2). Загруженный пакет сохранён; "
            "можно повторить попытку."])
        events, _ = self.probe(exit_code=1)
        self.assertEqual(self.outline(events)[-1], "Finished cancelled")
        self.assertEqual(len(self.installer_requests()), 1)
        self.assertEqual(len(self.record.read_text().splitlines()), 3)
        self.assertEqual(installed.read_bytes(), INSTALLER_BYTES)

    def test_a_cancel_ends_the_run_at_once_in_every_phase(self):
        big = Generated.signature
        phases = [
            # phase, scenario, cancel-on, after ms, kept bytes at least
            ("connecting", {"routes": [manifest()], "silent_hosts": [HOST]},
             "Resolving", 300, None),
            ("waiting for the head", harness.scenario(manifest(INSTALLER_SIGNATURE,
                                                               {"never_answer": True})),
             "Resolving", 300, None),
            # Cancelled once the server has answered the first request: the
            # run is then in its pause before the next attempt.
            ("a pause between attempts", harness.scenario(manifest(INSTALLER_SIGNATURE,
                                                                   {"status": 503})),
             "stdin", 0, None),
            ("a stalled body", harness.scenario(manifest(big()), installer(
                Generated.response(stall_after=3 << 20))), "Downloading", 400, 2 << 20),
            # Timed from the start: after the fast 3 MiB a WinHTTP block read is
            # filling, and no progress event comes until it is full.
            ("a trickling body", harness.scenario(manifest(big()), installer(
                Generated.response(drip={"bytes": 1, "interval": 0.2, "after": 3 << 20}))),
             "Resolving", 3000, 2 << 20),
            ("the signature check", harness.scenario(manifest(big()), installer(
                Generated.response())), "Verifying", 0, Generated.SIZE),
        ]
        for phase, scenario, on, after, kept in phases:
            with self.subTest(phase):
                shutil.rmtree(self.cache, ignore_errors=True)
                self.server.load(scenario)
                events, summary = self.probe("--cancel-on", on, "--cancel-after-ms", str(after),
                                             "--poll-ms", "2",
                                             stdin=self.after_first_answer if on == "stdin" else b"")
                manifests = [r for r in self.server.requests()
                             if r["target"] == harness.MANIFEST_PATH]
                self.assertEqual(summary["summary"], "cancelled", events)
                self.assertTrue(any(e["event"] == "Cancel" and e["accepted"] for e in events))
                latency = summary["cancel_latency_ms"]
                WorkerRuns.worst[phase] = latency
                self.assertLessEqual(latency, CANCEL_LIMIT_MS, phase)
                if phase == "a pause between attempts":
                    self.assertEqual(len(manifests), 1)  # the cancel came during the pause
                if kept is not None:
                    # In the part, or already moved into place by a check that had finished.
                    files = [p for p in self.release_dir().iterdir()
                             if p.name in ("installer.part", "NuvoInstaller.exe")]
                    self.assertGreaterEqual(max(p.stat().st_size for p in files), kept)
                self.assertFalse(self.record.exists())

    def test_a_trickle_after_a_fast_start_ends_at_the_deadline(self):
        deadline_s = 6
        self.server.load(harness.scenario(manifest(Generated.signature()), installer(
            Generated.response(drip={"bytes": 1, "interval": 1.0, "after": 3 << 20}))))
        events, summary = self.probe("--deadline-s", str(deadline_s), "--poll-ms", "5")
        self.assertEqual(self.outline(events)[-1], "Finished failed " + DOWNLOAD_FAILED)
        started = next(e["t_ms"] for e in events if e.get("stage") == "Downloading")
        took = events[-1]["t_ms"] - started
        print(f"deadline {deadline_s} s: the run ended {took} ms after the download began",
              file=sys.stderr)
        self.assertGreaterEqual(took, deadline_s * 1000 - 100)
        self.assertLessEqual(took, deadline_s * 1000 + CANCEL_LIMIT_MS)
        self.assertGreaterEqual((self.release_dir() / "installer.part").stat().st_size, 2 << 20)


if __name__ == "__main__":
    unittest.main(verbosity=2)
