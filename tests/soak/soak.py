#!/usr/bin/env python3
"""Fault soak: many randomised --download-only runs of the real executable
(natively, or the .exe under Wine) against the scripted release server, each
run drawing its faults at random, with the installer's promises checked after
every run.

A case is one seed: a fresh cache, a published installer, and one to three
runs on that cache, so that what a run leaves behind (a partial download, a
killed run's bytes, a file republished under a new ETag) meets the next one.
Every run prints its seed and index; `--first-seed S --runs 1` with the same
build replays the case.

Faults (each run draws at least one; "none" counts the clean runs):
    drop          the connection dropped at a random body offset
    stall         the body stalls past the build's read timeout (20 s in a
                  release build)
    drip          a slow drip of small pieces
    etag_change   the publisher republishes (new bytes, ETag, signature),
                  before the run, or in the middle of it (then the new file
                  has the old size, and half the time a cache that ignores
                  If-Range sends a 206 of it)
    range_200     the server ignores Range and answers 200
    complete_416  a run died after the last byte: the part is complete, and
                  the range request gets 416 (a scripted 416 otherwise)
    wrong_range   a 206 whose Content-Range does not fit the request
    too_big       announced (Content-Length, Content-Range) or sent (a body
                  past 512 MiB) above the size limit
    server_5xx    a burst of 5xx answers to the installer or the manifest
    bad_redirect  a redirect to a host or URL the program must refuse
    kill          SIGKILL at a random moment
    concurrent    a second run on the same cache at the same time

After every run:
    outcome  exit 0 with the report and a NuvoInstaller.exe byte-identical to
             the file the run's manifest announced (the one published when
             it asked), or exit 1 with stage lines and exactly one of the
             program's messages; a killed run is only judged by its cache;
             a run that met only recoverable faults (drops, drips, Range
             ignored, at most two manifest 5xx) succeeds
    cache    installer.part is a prefix of the file its resume.json names
             (of some published file when there is no resume.json; empty
             after a reset), resume.json's total is that file's size; every
             NuvoInstaller.exe is the file its release directory was made
             for, so it verifies; nothing else lies in the cache
    bytes    each installer request starts where the kept bytes end (at most
             one 64 KiB read short of what the server had sent when a body
             broke off), or at 0 when the rules discard them; a verified
             installer in the cache is never fetched again

Usage:
    soak.py <executable> <release host> [--first-seed S] [--runs N]
            [--minutes M] [--quick] [--out results.json]
    soak.py <executable> <release host> --by-hand DIR [--first-seed S] [--runs N]
        the full soak from seed S: chunks of at most --minutes each under
        `flock /tmp/nuvo-e2e.lock`, results in DIR, summary at the end; a
        second call with the same DIR goes on where the first stopped; exit 1
        when any run broke an invariant
    soak.py --summary results.json...
--quick (the ctest form) leaves out the two slow faults, the stall past the
read timeout and the 512 MiB body.
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
import harness  # noqa: E402

HOST = harness.TEST_RELEASE_HOST
VERSION = "1.4.2"
INSTALLER = harness.installer_path(VERSION)
INSTALLER_URL = f"https://{HOST}{INSTALLER}"
LIMIT = 536_870_912
BLOCK = 65_536  # the program's read buffer: what a broken body may lose
# The program's failure messages, by the name of their kind.
MESSAGES = {
    "Загрузка отменена. Её можно продолжить позже.": "DownloadCancelled",
    "Другой установщик Nuvo уже использует этот каталог загрузки.": "DownloadDirBusy",
    "Канал установки Nuvo настроен неверно.": "ChannelMisconfigured",
    "Не удалось прочитать сведения о последней версии Nuvo.": "ManifestUnavailable",
    "Канал вернул недопустимый адрес загрузки. Установка запрещена.": "InvalidDownloadUrl",
    "Не удалось скачать Nuvo. Проверьте подключение и повторите попытку.": "DownloadFailed",
    "Размер установщика некорректен или превышает 512 МиБ.": "InvalidPackageSize",
    "Подпись установщика не прошла проверку. Установка запрещена.": "SignatureInvalid",
    "Подписанная версия отличается от версии канала. Установка запрещена.": "SignedVersionMismatch",
    "Не удалось сохранить загрузку. Проверьте свободное место и права на каталог.": "StorageFailed",
}
STAGES = {"Resolving", "Verifying", "Ready"}
FAULTS = ["drop", "stall", "drip", "etag_change", "range_200", "complete_416", "wrong_range",
          "too_big", "server_5xx", "bad_redirect", "kill", "concurrent"]
# Chance of each fault per run; "stall" costs 20 s, the 512 MiB body a few seconds.
CHANCE = {"drop": 0.35, "stall": 0.03, "drip": 0.2, "etag_change": 0.15, "range_200": 0.15,
          "complete_416": 0.1, "wrong_range": 0.15, "too_big": 0.08, "server_5xx": 0.2,
          "bad_redirect": 0.06, "kill": 0.2, "concurrent": 0.08}
BAD_REDIRECTS = ["https://evil.nuvor.test/nuvo.exe", "http://assets.nuvor.test/nuvo.exe",
                 "https://assets.nuvor.test:8443/nuvo.exe", "https://user@assets.nuvor.test/n.exe",
                 f"https://{HOST}/graycrane42/other/releases/download/v{VERSION}/x.exe"]
RUN_TIMEOUT = 150
# Answers that must never make a run fail: each sends at least one byte.
RECOVERABLE = {"good", "drip", "drop", "range_200"}


class Publication:
    """One published installer: its bytes, ETag and signature."""

    def __init__(self, case_seed, generation, size):
        self.seed = generation + 1
        self.size = size
        self.etag = f'"soak-{case_seed}-{generation}"'
        self.data = harness.generated_bytes(0, size, self.seed)
        self.signature = harness.sign(self.data, VERSION)
        self.release_dir = hashlib.sha256(
            f"{VERSION}\0{INSTALLER_URL}\0{self.signature}\0".encode()).hexdigest()

    def manifest(self):
        return harness.manifest_response(VERSION, HOST, self.signature)


def answer(kind, pub, rng_value):
    """The scripted server answer of one kind for a publication."""
    good = {"status": 200, "headers": [["ETag", pub.etag]],
            "body": {"size": pub.size, "seed": pub.seed}, "range": True}
    if kind == "good":
        return good
    if kind == "drop":
        return dict(good, drop_after=max(1, int(rng_value * pub.size)))
    if kind == "stall":
        return dict(good, stall_after=int(rng_value * pub.size))
    if kind == "drip":
        # About 1.5 s for the whole file in pieces 20 ms apart.
        return dict(good, drip={"bytes": max(4096, pub.size // 75), "interval": 0.02})
    if kind == "range_200":
        return dict(good, range=False)
    if kind == "scripted_416":
        return {"status": 416, "headers": [["ETag", pub.etag],
                                           ["Content-Range", f"bytes */{pub.size}"]]}
    if kind == "wrong_range":
        shifts = [{"first": 1}, {"first": -1}, {"complete": 1}, {"complete": -1},
                  {"last": pub.size}]
        return dict(good, range_shift=shifts[int(rng_value * len(shifts))])
    if kind == "announced_too_big":
        return dict(good, content_length=LIMIT + 1, close=True, range=False)
    if kind == "range_too_big":
        return dict(good, range_shift={"complete": LIMIT})
    if kind == "sent_too_big":
        # A body of its own (under its own ETag) that runs past the limit.
        return {"status": 200, "headers": [["ETag", oversize_etag(pub)]],
                "body": {"size": LIMIT + 1, "seed": pub.seed}, "content_length": False}
    if kind == "5xx":
        return {"status": [500, 502, 503, 504][int(rng_value * 4)], "body": "busy\n"}
    if kind == "bad_redirect":
        return {"status": 302,
                "headers": [["Location", BAD_REDIRECTS[int(rng_value * len(BAD_REDIRECTS))]]]}
    raise ValueError(kind)


def oversize_etag(pub):
    return pub.etag[:-1] + '-big"'


def served_size(answer_, pub):
    """The size of the file behind an answer, which the soak notes in it."""
    return dict(answer_, soak_size=pub.size)


class Plan:
    """What one run meets, drawn from the run's own random generator."""

    def __init__(self, rng, index, quick, exe_is_windows):
        chances = dict(CHANCE)
        if quick:
            chances["stall"] = 0.0
        if index == 0:
            chances["etag_change"] = 0.0  # nothing published before to change from
        self.faults = [f for f in FAULTS if rng.random() < chances[f]]
        self.steps = []  # (kind, random value) per installer request, in order
        self.manifest_5xx = 0
        self.republish = None  # "before", or the installer request index it changes at
        self.complete_part = False
        self.kill_after = None
        for f in self.faults:
            v = rng.random()
            if f in ("stall", "drip", "range_200", "wrong_range", "bad_redirect"):
                self.add(rng, f, v)
            elif f == "drop":
                for _ in range(rng.randint(1, 3)):
                    self.add(rng, f, rng.random())
            elif f == "complete_416":
                if rng.random() < 0.7:
                    self.complete_part = True
                else:
                    self.add(rng, "scripted_416", v)
            elif f == "too_big":
                kinds = ["announced_too_big", "range_too_big"]
                if not quick and rng.random() < 0.15:
                    kinds = ["sent_too_big"]
                self.add(rng, rng.choice(kinds), v)
            elif f == "server_5xx":
                burst = rng.randint(1, 3)
                if rng.random() < 0.3:
                    self.manifest_5xx = burst
                else:
                    at = rng.randint(0, len(self.steps))
                    self.steps[at:at] = [("5xx", rng.random()) for _ in range(burst)]
            elif f == "kill":
                # Most runs take a fraction of a second natively, and Wine
                # needs about one to start; a drip widens the window.
                slow = 2.0 if "drip" in self.faults else 0.0
                self.kill_after = rng.uniform(0.2, 1.5 + slow) if exe_is_windows else \
                    rng.uniform(0.0, 0.3 + slow)
        # A good answer between the faults now and then; the last one repeats.
        if self.steps and rng.random() < 0.3:
            self.steps.insert(rng.randint(1, len(self.steps)), ("good", 0.0))
        self.steps.append(("good", 0.0))
        if "etag_change" in self.faults:
            self.republish = "before" if rng.random() < 0.5 else rng.randint(1, len(self.steps))
        self.concurrent = "concurrent" in self.faults
        self.size = rng.randint(64 * 1024, (1 if quick else 3) * 1024 * 1024)

    def add(self, rng, kind, value):
        at = rng.randint(0, len(self.steps))
        self.steps.insert(at, (kind, value))
        if kind in ("range_200", "wrong_range", "range_too_big", "scripted_416") and \
                not any(k in ("drop", "stall") for k, _ in self.steps[:at]):
            # These answer range requests: a break first makes one.
            self.steps.insert(rng.randint(0, at), ("drop", rng.random()))


def message_of(stderr):
    """The failure message of a run that ended with exit code 1, or None
    when its standard error is not stage lines and exactly one message."""
    lines = stderr.decode("utf-8", "replace").split("\n")
    if lines[-1] != "" or len(lines) < 2:
        return None
    *stages, message, _ = lines
    if message not in MESSAGES or any(s not in STAGES - {"Ready"} for s in stages):
        return None
    return message


def cache_state(release):
    part = release / "installer.part"
    state = release / "resume.json"
    record = None
    if state.exists():
        try:
            record = json.loads(state.read_bytes())
        except ValueError:
            record = "unreadable"
    return (part.read_bytes() if part.exists() else None), record


class Case:
    def __init__(self, exe, server, seed, quick, tally):
        self.exe = exe
        self.server = server
        self.seed = seed
        self.quick = quick
        self.tally = tally
        self.rng = random.Random(seed)
        self.windows = harness.is_windows(exe)
        self.pubs = []
        self.tmp = harness.scratch_dir(exe, f"nuvo-soak-{seed}-")
        self.cache = self.tmp / "cache"

    def publish(self, size):
        self.pubs.append(Publication(self.seed, len(self.pubs), size))
        return self.pubs[-1]

    def by_etag(self, etag):
        return next((p for p in self.pubs if p.etag == etag), None)

    def run_all(self, runs_wanted):
        done = 0
        try:
            runs = min(self.rng.choice([1, 2, 2, 3]), runs_wanted)
            for index in range(runs):
                self.run_one(index)
                done += 1
        finally:
            shutil.rmtree(self.tmp, ignore_errors=True)
        return done

    def run_one(self, index):
        plan = Plan(self.rng, index, self.quick, self.windows)
        reuse = self.pubs and (self.cache / self.pubs[-1].release_dir / "NuvoInstaller.exe").exists()
        if reuse and (plan.republish is not None or self.rng.random() < 0.7):
            # Otherwise the run would only reuse the installer and meet no fault.
            if "etag_change" not in plan.faults:
                plan.faults.append("etag_change")
            plan.republish = "before"
        if not self.pubs or plan.republish == "before":
            self.publish(plan.size)
        pub = self.pubs[-1]  # what the run's manifest announces
        # A file republished during the run keeps its size, so that only the
        # validator tells the two apart; a cache that ignores If-Range then
        # answers a 206 of the new file.
        later = self.publish(pub.size) if isinstance(plan.republish, int) else None
        ignore_if_range = self.rng.random() < 0.5
        if plan.complete_part:
            release = self.cache / pub.release_dir
            release.mkdir(parents=True, exist_ok=True)
            (release / "installer.part").write_bytes(pub.data)
            (release / "resume.json").write_text(json.dumps({"validator": pub.etag, "total": pub.size}))

        answers = []
        for i, (kind, v) in enumerate(plan.steps):
            now = later if later is not None and i >= plan.republish else pub
            shown = answer(kind, now, v)
            if now is later and ignore_if_range and shown.get("range"):
                shown["if_range"] = False
            answers.append(served_size(shown, now))
        manifest = [answer("5xx", pub, 0.5)] * plan.manifest_5xx + [pub.manifest()]
        self.server.load(harness.scenario(harness.route(HOST, harness.MANIFEST_PATH, *manifest),
                                          harness.route(HOST, INSTALLER, *answers)))
        before = cache_state(self.cache / pub.release_dir)
        had_installer = (self.cache / pub.release_dir / "NuvoInstaller.exe").exists()

        label = f"seed {self.seed} run {index}"
        started = time.monotonic()
        procs = [self.start()]
        if plan.concurrent:
            procs.append(self.start())
        killed = False
        if plan.kill_after is not None:
            try:
                procs[0].wait(plan.kill_after)
            except subprocess.TimeoutExpired:
                os.killpg(procs[0].pid, signal.SIGKILL)
                killed = True
        results = [self.finish(p) for p in procs]
        seconds = time.monotonic() - started
        log = self.server.requests()
        requests = [r for r in log if r["host"] == HOST and r["target"] == INSTALLER]
        met = self.faults_met(plan, requests, log, killed)

        problems = []
        outcomes = []
        for n, (code, out, err) in enumerate(results):
            if killed and n == 0:
                outcomes.append("killed")
                continue
            outcomes.append(self.judge(code, out, err, pub, problems))
        if (plan.kill_after is None and not plan.concurrent and plan.manifest_5xx < 3
                and plan.republish in (None, "before")
                and all(k in RECOVERABLE for k, _ in plan.steps) and outcomes[0] != "success"):
            problems.append(f"recoverable faults only, yet {outcomes[0]}")
        self.check_cache(problems)
        if had_installer and requests:
            problems.append("a verified installer in the cache was fetched again")
        if len(procs) == 1 or "DownloadDirBusy" in outcomes:  # one run talked to the server
            self.check_bytes(requests, answers, plan, pub, before, killed, outcomes, problems)

        faults = plan.faults or ["none"]
        self.tally.record(label, faults, met, outcomes, problems, requests, seconds)
        print(f"{label}: {' '.join(faults)} (met: {' '.join(met) or '-'}) -> "
              f"{', '.join(outcomes)} [{seconds:.1f} s]"
              + "".join(f"\n    VIOLATION {p}" for p in problems), flush=True)

    @staticmethod
    def faults_met(plan, requests, log, killed):
        """The drawn faults that acted on the run (a kill that came after
        the end, a fault answer after the last request, did not)."""
        met = set()
        step_fault = {"scripted_416": "complete_416", "announced_too_big": "too_big",
                      "range_too_big": "too_big", "sent_too_big": "too_big", "5xx": "server_5xx"}
        for n, r in enumerate(requests):
            kind = plan.steps[min(r["response"], len(plan.steps) - 1)][0]
            ranged = any(k.lower() == "range" for k, _ in r["headers"])
            if kind in ("range_200", "wrong_range", "range_too_big") and not ranged:
                continue
            met.add(step_fault.get(kind, kind))
            if r["status"] == 416:
                met.add("complete_416")
            if isinstance(plan.republish, int) and n >= plan.republish:
                met.add("etag_change")
        if plan.manifest_5xx and any(r["target"] == harness.MANIFEST_PATH for r in log):
            met.add("server_5xx")
        if plan.republish == "before" and any(r["target"] == harness.MANIFEST_PATH for r in log):
            met.add("etag_change")
        if killed:
            met.add("kill")
        if plan.concurrent:
            met.add("concurrent")
        met.discard("good")
        return sorted(met & set(plan.faults))

    def start(self):
        env = {k: v for k, v in os.environ.items() if k not in harness.PROXY_VARIABLES}
        env["WINEDEBUG"] = "-all"
        return subprocess.Popen(
            harness.command(self.exe, "--download-only", "--cache-dir",
                            harness.native_path(self.exe, self.cache)),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
            start_new_session=True)

    @staticmethod
    def finish(proc):
        try:
            out, err = proc.communicate(timeout=RUN_TIMEOUT)
            return proc.returncode, out, err
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            out, err = proc.communicate()
            return None, out, err

    def judge(self, code, out, err, pub, problems):
        if code == 0:
            path = harness.native_path(self.exe, self.cache / pub.release_dir / "NuvoInstaller.exe")
            report = ('{"available_version":"%s","bootstrap_version":"0.9.1","installed":false,'
                      '"installer_verified":true,"path":%s}\n' % (VERSION, json.dumps(path)))
            if out.decode() != report or err != b"Resolving\nVerifying\nReady\n":
                problems.append(f"success with report {out!r} and stages {err!r}")
            installer = self.cache / pub.release_dir / "NuvoInstaller.exe"
            if not installer.exists() or installer.read_bytes() != pub.data:
                problems.append("success without the announced file as NuvoInstaller.exe")
            return "success"
        message = message_of(err) if code == 1 and out == b"" else None
        if message is None:
            problems.append(f"exit {code}, stdout {out[:200]!r}, stderr {err[:300]!r}")
            return "bad-exit"
        return MESSAGES[message]

    def check_cache(self, problems):
        if not self.cache.exists():
            return
        dirs = {p.release_dir: p for p in self.pubs}
        for entry in self.cache.iterdir():
            if entry.name == "download.lock":
                continue
            pub = dirs.get(entry.name)
            if pub is None or not entry.is_dir():
                problems.append(f"unexpected {entry.name} in the cache")
                continue
            for f in entry.iterdir():
                if f.name not in ("installer.part", "resume.json", "resume.tmp", "NuvoInstaller.exe"):
                    problems.append(f"unexpected {f.name} in a release directory")
            installer = entry / "NuvoInstaller.exe"
            if installer.exists() and installer.read_bytes() != pub.data:
                problems.append(f"a NuvoInstaller.exe that does not verify ({installer.stat().st_size} bytes)")
            part, record = cache_state(entry)
            if record == "unreadable":
                problems.append("resume.json is not JSON")
            elif record is not None and record.get("validator") is not None:
                named = self.by_etag(record["validator"])
                big = next((p for p in self.pubs if oversize_etag(p) == record["validator"]), None)
                if big is not None:
                    if part and part != harness.generated_bytes(0, len(part), big.seed):
                        problems.append(f"installer.part ({len(part)} bytes) is not a prefix of "
                                        "the oversize body")
                elif named is None:
                    problems.append(f"resume.json names {record['validator']}")
                elif record.get("total") not in (None, named.size):
                    problems.append(f"resume.json total {record['total']} for {named.size} bytes")
                elif part is not None and named.data[:len(part)] != part:
                    problems.append(f"installer.part ({len(part)} bytes) is not a prefix of {named.etag}")
            elif record is not None:
                if part:
                    problems.append(f"an empty resume.json beside {len(part)} bytes")
            elif part and not any(p.data[:len(part)] == part for p in self.pubs):
                problems.append(f"installer.part ({len(part)} bytes) is no published file's prefix")

    def check_bytes(self, requests, answers, plan, pub, before, killed, outcomes, problems):
        """Walks the installer requests of the run with what the client must
        hold after each answer: [lo, hi] bytes, the validator, the total."""
        part, record = before
        lo = hi = len(part or b"")
        record = record if isinstance(record, dict) else {}
        validator, total = record.get("validator"), record.get("total")
        for n, r in enumerate(requests):
            headers = {k.lower(): v for k, v in r["headers"]}
            start = 0
            if "range" in headers:
                start = int(headers["range"][len("bytes="):].split("-")[0])
            keeps = hi > 0 and validator is not None and (total is None or hi <= total <= LIMIT)
            if not keeps:
                if start != 0:
                    problems.append(f"request {n} starts at {start}, the kept bytes were unusable")
                lo = hi = 0
                validator = total = None
            elif not lo <= start <= hi or start > 0 and headers.get("if-range") != validator:
                problems.append(f"request {n} starts at {start} with {headers.get('if-range')}, "
                                f"the kept bytes end at {lo}..{hi} ({validator})")
            elif hi > start:
                self.tally.refetched.append(hi - start)  # a broken body's lost tail
            lo = hi = start
            kind = plan.steps[min(r["response"], len(plan.steps) - 1)][0]
            shown = answers[min(r["response"], len(answers) - 1)]
            etag = dict(shown.get("headers", [])).get("ETag")
            status, first, sent = r["status"], r["body_start"], r["body_sent"]
            last_of_killed = killed and n == len(requests) - 1
            if status is None or status >= 300 and status != 416 or kind == "announced_too_big":
                continue  # nothing stored
            size = shown["soak_size"]
            if "range_shift" in shown and status == 206 or kind == "sent_too_big" and not last_of_killed:
                if kind != "range_too_big":
                    lo = hi = 0  # discarded
                    validator = total = None
                continue
            if status == 206 and start > 0 and etag != validator:
                lo = hi = 0  # another file's bytes: discarded
                validator = total = None
                continue
            if status == 416:
                if not (start > 0 and start == total == size and validator is not None):
                    lo = hi = 0
                    validator = total = None
                continue
            if kind == "sent_too_big":
                size = LIMIT + 1
            body_len = size - first
            broke = sent < body_len or last_of_killed
            hi = first + sent
            lo = 0 if last_of_killed else (max(first, hi - BLOCK) if broke else hi)
            lo = max(lo, first)
            validator = etag
            total = size if status == 206 or shown.get("content_length", True) is True else None
        # What is on disk now must be what the walk expects, unless the run
        # ended in a way that resets or finishes the part.
        if requests and outcomes[0] in ("killed", "DownloadFailed"):
            part, record = cache_state(self.cache / pub.release_dir)
            size = len(part or b"")
            if part is not None and isinstance(record, dict) and record.get("validator") == validator \
                    and not lo <= size <= hi:
                problems.append(f"installer.part holds {size} bytes, the walk expects {lo}..{hi}")


class Tally:
    def __init__(self):
        self.runs = 0
        self.faults = Counter()
        self.met = Counter()
        self.outcomes = Counter()
        self.by_fault = {}
        self.violations = []
        self.requests = 0
        self.bytes_served = 0
        self.seconds = 0.0
        self.refetched = []

    def record(self, label, faults, met, outcomes, problems, requests, seconds):
        self.runs += 1
        self.faults.update(faults)
        self.met.update(met or (["none"] if faults == ["none"] else []))
        self.outcomes.update(outcomes)
        for f in faults:
            self.by_fault.setdefault(f, Counter()).update(outcomes[:1])
        self.violations += [f"{label}: {p}" for p in problems]
        self.requests += len(requests)
        self.bytes_served += sum(r["body_sent"] for r in requests)
        self.seconds += seconds

    def to_json(self):
        return {"runs": self.runs, "faults": dict(self.faults), "met": dict(self.met),
                "outcomes": dict(self.outcomes),
                "by_fault": {k: dict(v) for k, v in self.by_fault.items()},
                "violations": self.violations, "installer_requests": self.requests,
                "bytes_served": self.bytes_served, "seconds": round(self.seconds, 1),
                "lost_tails": self.refetched}


def merge(results):
    total = {"runs": 0, "faults": Counter(), "met": Counter(), "outcomes": Counter(),
             "by_fault": {}, "violations": [], "installer_requests": 0, "bytes_served": 0,
             "seconds": 0.0, "lost_tails": []}
    for r in results:
        for key in ("runs", "installer_requests", "bytes_served", "seconds"):
            total[key] += r[key]
        total["faults"].update(r["faults"])
        total["met"].update(r["met"])
        total["outcomes"].update(r["outcomes"])
        total["violations"] += r["violations"]
        total["lost_tails"] += r.get("lost_tails", [])
        for f, c in r["by_fault"].items():
            total["by_fault"].setdefault(f, Counter()).update(c)
    return total


def summary_text(total, title):
    lines = [f"{title}: {total['runs']} runs, {total['installer_requests']} installer requests, "
             f"{total['bytes_served'] / 1e6:.1f} MB served, {total['seconds'] / 60:.1f} min of runs",
             f"invariant violations: {len(total['violations'])}",
             f"sent bytes fetched again after a break: {len(total['lost_tails'])} times, "
             f"at most {max(total['lost_tails'], default=0)} bytes (one read is {BLOCK})",
             "fault          drawn  met  (how the runs that drew it ended)"]
    for f in FAULTS + ["none"]:
        ends = ", ".join(f"{k} {v}" for k, v in sorted(total["by_fault"].get(f, {}).items()))
        lines.append(f"  {f:13} {total['faults'].get(f, 0):5} {total['met'].get(f, 0):4}  ({ends})")
    lines.append("outcomes: " + ", ".join(f"{k} {v}" for k, v in sorted(total["outcomes"].items())))
    lines += [f"  VIOLATION {v}" for v in total["violations"]]
    return "\n".join(lines)


def soak(exe, first_seed, runs, minutes, quick, out):
    tally = Tally()
    seed = first_seed
    deadline = time.monotonic() + minutes * 60
    with harness.ReleaseServer() as server:
        while tally.runs < runs and time.monotonic() < deadline:
            Case(exe, server, seed, quick, tally).run_all(runs - tally.runs)
            seed += 1
    result = dict(tally.to_json(), first_seed=first_seed, next_seed=seed)
    if out:
        Path(out).write_text(json.dumps(result, ensure_ascii=False, indent=1))
    print(summary_text(merge([result]), f"{exe.name} seeds {first_seed}..{seed - 1}"))
    return result


def by_hand(exe, host, folder, first_seed, runs, minutes):
    """The full soak in chunks, each holding the shared test-network lock;
    returns the merged results."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    results = [json.loads(p.read_text()) for p in sorted(folder.glob("chunk-*.json"))]
    first = min((r["first_seed"] for r in results if "first_seed" in r), default=first_seed)
    seed = max((r["next_seed"] for r in results), default=first_seed)
    while sum(r["runs"] for r in results) < runs:
        out = folder / f"chunk-{seed:05}.json"
        left = runs - sum(r["runs"] for r in results)
        subprocess.run(["flock", "/tmp/nuvo-e2e.lock", sys.executable, __file__, str(exe), host,
                        "--first-seed", str(seed), "--runs", str(left), "--minutes", str(minutes),
                        "--out", str(out)], check=False)
        results.append(json.loads(out.read_text()))
        seed = results[-1]["next_seed"]
    total = merge(results)
    text = summary_text(total, f"{exe.name}, seeds {first}..{seed - 1}")
    (folder / "summary.txt").write_text(text + "\n")
    print(text)
    return total


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("exe", nargs="?")
    parser.add_argument("host", nargs="?")
    parser.add_argument("--first-seed", type=int, default=1)
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--minutes", type=float, default=8.0)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out")
    parser.add_argument("--by-hand", metavar="DIR")
    parser.add_argument("--summary", nargs="+", metavar="RESULTS")
    args = parser.parse_args()
    if args.summary:
        print(summary_text(merge(json.loads(Path(p).read_text()) for p in args.summary), "soak"))
        return 0
    argv = [sys.argv[0], args.exe, args.host]
    exe = harness.program_and_host(argv, "usage: soak.py <executable> <release host> ...")
    if args.by_hand:
        total = by_hand(exe, args.host, args.by_hand, args.first_seed, args.runs, args.minutes)
        return 1 if total["violations"] else 0
    harness.ensure_network()
    result = soak(exe, args.first_seed, args.runs, args.minutes, args.quick, args.out)
    return 1 if result["violations"] else 0


if __name__ == "__main__":
    sys.exit(main())
