#!/usr/bin/env python3
"""nuvo-release without the network, natively or the .exe under Wine: round
trips with the real minisign, publish and its refusals, check over damaged
releases. Usage: release_e2e.py <nuvo-release> <NuvoSetup>"""

import base64
import fcntl
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest
from pathlib import Path

import harness
from release_lib import DAMAGES, FIXTURES, NAME, VERSION, copy_release, minisign_sign, write_manifest

if len(sys.argv) < 3:
    sys.exit("usage: release_e2e.py <nuvo-release> <NuvoSetup>")
TOOL, SETUP = Path(sys.argv.pop(1)).resolve(), Path(sys.argv.pop(1)).resolve()
PASSWORD = "correct horse"


def tool(*args):
    return harness.run(TOOL, *args, timeout=300)


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if harness.is_windows(TOOL):
            harness.warm_wine()
        cls.dir = Path(tempfile.mkdtemp(prefix="nuvo-release-"))
        cls.installer = cls.dir / "NuvoInstaller.exe"
        cls.installer.write_bytes(os.urandom(300_000))
        cls.good = cls.dir / "good"
        run = tool("publish", "--secret-key", FIXTURES / "dev.key", "--version", VERSION,
                   "--out", cls.good, cls.installer)
        assert run.returncode == 0, run.stderr.decode()
        keys = cls.keys = cls.dir / "keys"
        keys.mkdir()
        # A password given to minisign -G on a pipe, twice (and confirmed).
        subprocess.run(["minisign", "-G", "-p", keys / "enc.pub", "-s", keys / "enc.key"],
                       input=f"{PASSWORD}\n{PASSWORD}\n".encode(), check=True, capture_output=True)
        subprocess.run(["minisign", "-G", "-W", "-p", keys / "plain.pub", "-s", keys / "plain.key"],
                       check=True, capture_output=True, stdin=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_signatures_round_trip_with_minisign(self):
        keys = self.keys
        (keys / "password").write_text(PASSWORD + "\n")
        (keys / "wrong").write_text("incorrect horse\n")
        cases = [
            ("development key", FIXTURES / "dev.key", FIXTURES / "dev.pub", [], None),
            ("minisign -G -W", keys / "plain.key", keys / "plain.pub", [], None),
            ("minisign -G", keys / "enc.key", keys / "enc.pub", ["--password-file", keys / "password"],
             None),
            ("wrong password", keys / "enc.key", keys / "enc.pub", ["--password-file", keys / "wrong"],
             "Wrong password for this secret key."),
        ]
        for name, key, pub, extra, refusal in cases:
            with self.subTest(name):
                signature = Path(str(self.installer) + ".minisig")
                signature.unlink(missing_ok=True)
                run = tool("sign", "--secret-key", key, "--version", VERSION, *extra, self.installer)
                if refusal:
                    self.assertEqual((run.returncode, run.stderr.decode()),
                                     (1, f"nuvo-release: {refusal}\n"))
                    self.assertFalse(signature.exists())
                    continue
                self.assertEqual(run.returncode, 0, run.stderr.decode())
                verified = subprocess.run(["minisign", "-Vm", self.installer, "-x", signature, "-p", pub],
                                          capture_output=True, text=True)
                self.assertEqual(verified.returncode, 0, verified.stderr)
                self.assertRegex(verified.stdout,
                                 r"Trusted comment: timestamp:\d+\tfile:NuvoInstaller.exe\tversion:1.4.2\n")

    @unittest.skipIf(harness.is_windows(TOOL), "a Unix terminal")
    def test_password_prompt_on_a_terminal(self):
        # what is typed once the prompt shows (or a signal), exit code, what the output says
        cases = [
            ("typed", PASSWORD.encode() + b"\n", 0, "wrote "),
            ("a pasted second line", PASSWORD.encode() + b"\nrm -rf ~\n", 0, "wrote "),
            ("past the limit", b"x" * 1100 + b"\nmore\n", 1, "cannot read the password"),
            ("end of input in the line", b"abc\x04\x04", 1, "no password: the input ended"),
            ("Ctrl-C", b"\x03", -signal.SIGINT, ""),
            ("SIGTERM", signal.SIGTERM, -signal.SIGTERM, ""),
            ("SIGHUP", signal.SIGHUP, -signal.SIGHUP, ""),
        ]
        for name, given, code, says in cases:
            with self.subTest(name):
                master, terminal = os.openpty()
                try:
                    self.prompt_on(master, terminal, given, code, says)
                finally:
                    os.close(master)
                    os.close(terminal)

    def prompt_on(self, master, terminal, given, code, says):
        """Runs sign on a terminal the test holds too, so that it sees the
        terminal's mode and what is left in its input for the next reader."""
        tool_run = subprocess.Popen(
            [TOOL, "sign", "--secret-key", self.keys / "enc.key", "--version", VERSION,
             self.installer], stdin=terminal, stdout=terminal, stderr=terminal,
            start_new_session=True, preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        seen = b""
        deadline = time.monotonic() + 120
        while b"Password of the secret key: " not in seen:
            if not select.select([master], [], [], max(0, deadline - time.monotonic()))[0]:
                tool_run.kill()
                tool_run.wait()
                self.fail(f"no prompt: {seen!r}")
            seen += os.read(master, 1024)
        self.assertFalse(termios.tcgetattr(terminal)[3] & termios.ECHO, "echo on at the prompt")
        if isinstance(given, bytes):
            os.write(master, given)
        else:
            tool_run.send_signal(given)
        self.assertEqual(tool_run.wait(timeout=120), code, seen)
        while select.select([master], [], [], 0)[0]:
            seen += os.read(master, 1024)
        self.assertIn(says.encode(), seen)
        self.assertNotIn(PASSWORD.encode(), seen)
        self.assertTrue(termios.tcgetattr(terminal)[3] & termios.ECHO, "echo left off")
        left = struct.unpack("i", fcntl.ioctl(terminal, termios.FIONREAD, b"\0" * 4))[0]
        self.assertEqual(left, 0, "input left for the next reader")

    def test_publish_is_what_the_installer_accepts(self):
        self.assertEqual(sorted(p.name for p in self.good.iterdir()),
                         ["Nuvo_1.4.2_x64-setup.exe", "Nuvo_1.4.2_x64-setup.exe.minisig", "latest.json"])
        run = tool("check", self.good)
        self.assertEqual(run.returncode, 0, run.stdout.decode())
        self.assertTrue(run.stdout.decode().endswith("accepted: NuvoSetup would install version 1.4.2\n"))
        sig_text = self.dir / "published.sig"
        sig_text.write_text(base64.b64encode((self.good / (NAME + ".minisig")).read_bytes()).decode())
        run = harness.run(SETUP, "--verify-package", self.good / NAME, "--signature-file", sig_text,
                          "--version", VERSION)
        self.assertEqual(run.returncode, 0, run.stderr.decode())

    def test_check_accepts_a_release_signed_by_minisign(self):
        folder = copy_release(self.good, self.dir / "by-minisign")
        signature = folder / (NAME + ".minisig")
        minisign_sign(folder / NAME, FIXTURES / "dev.key", f"version:{VERSION}", signature)
        write_manifest(folder, signature)
        run = tool("check", folder)
        self.assertEqual(run.returncode, 0, run.stdout.decode())

    def test_check_names_the_first_failing_rule(self):
        for name, damage, rule, message in DAMAGES:
            with self.subTest(name):
                folder = copy_release(self.good, self.dir / name.replace(" ", "-"))
                damage(folder)
                run = tool("check", folder)
                self.assertEqual(run.returncode, 1)
                self.assertEqual(run.stdout.decode().splitlines()[-1], f"{rule}: REFUSED: {message}")

    def test_publish_refuses_and_writes_nothing(self):
        big = self.dir / "big.exe"
        with open(big, "wb") as f:
            f.truncate((512 << 20) + 1)
        other = copy_release(self.good, self.dir / "holds-1.4.1")
        write_manifest(other, other / (NAME + ".minisig"), version="1.4.1")
        before = {p.name: p.read_bytes() for p in other.iterdir()}
        cases = [
            ("version below the floor", "0.6.11", "dev.key", self.installer, None, "version floor rule"),
            ("leading v", "v1.4.2", "dev.key", self.installer, None, "version rule"),
            ("installer over 512 MiB", VERSION, "dev.key", big, None, "1 byte to 512 MiB"),
            ("another key", VERSION, "other.key", self.installer, None,
             "does not match the public key built into NuvoSetup"),
            ("folder of another release", VERSION, "dev.key", self.installer, other,
             "holds a different release (version 1.4.1)"),
        ]
        for name, version, key, installer, out, refusal in cases:
            with self.subTest(name):
                out = out or self.dir / ("refused-" + name.replace(" ", "-"))
                run = tool("publish", "--secret-key", FIXTURES / key, "--version", version,
                           "--out", out, installer)
                self.assertEqual(run.returncode, 1)
                self.assertIn(refusal, run.stderr.decode())
                self.assertEqual(run.stdout, b"")
                if out == other:
                    self.assertEqual({p.name: p.read_bytes() for p in other.iterdir()}, before)
                else:
                    self.assertFalse(out.exists())


if __name__ == "__main__":
    unittest.main(verbosity=2)
