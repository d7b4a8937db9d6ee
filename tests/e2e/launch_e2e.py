#!/usr/bin/env python3
"""Starts a copy of the test installer through the real launch (launch_probe),
natively or under Wine, and checks how it was started and how each ending is
reported.

    launch_e2e.py <launch_probe> <test_installer>
"""

import json
import os
import shutil
import signal
import sys
import unittest
from pathlib import Path

import harness

if len(sys.argv) < 3:
    sys.exit(__doc__)
PROBE = Path(sys.argv.pop(1)).resolve()
INSTALLER = Path(sys.argv.pop(1)).resolve()
IS_WINDOWS = harness.is_windows(PROBE)

EXIT_FAILED = ("failed Установка не завершилась (код {}). Загруженный пакет сохранён; "
               "можно повторить попытку.\n")


class Launch(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = harness.scratch_dir(PROBE, "launch-")
        cls.release = cls.dir / "release"
        cls.release.mkdir()
        cls.installer = cls.release / "NuvoInstaller.exe"
        shutil.copy(INSTALLER, cls.installer)  # keeps the executable bit
        cls.record = cls.dir / "record.jsonl"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def launch(self, path, *options, **installer_env):
        """The probe's line and what every started installer recorded."""
        self.record.unlink(missing_ok=True)
        env = {"NUVO_TEST_INSTALLER_RECORD": harness.native_path(PROBE, self.record)}
        env.update({"NUVO_TEST_INSTALLER_" + k.upper(): str(v) for k, v in installer_env.items()})
        run = harness.run(PROBE, *options, path, env=env, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))
        records = []
        if self.record.exists():
            records = [json.loads(line) for line in self.record.read_text("utf-8").splitlines()]
        return run.stdout.decode(), records, run.seconds

    def test_started_by_its_canonical_path_in_its_directory_and_waited_for(self):
        roundabout = self.dir / "release" / ".." / "release" / "NuvoInstaller.exe"
        line, records, seconds = self.launch(harness.native_path(PROBE, roundabout), sleep_ms=1500)
        self.assertEqual(line, "completed\n")
        self.assertGreaterEqual(seconds, 1.5)
        self.assertEqual(len(records), 1)
        started = records[0]
        self.assertEqual(started["args"], [])
        if IS_WINDOWS:
            # The shell gets the canonical path without the "\\?\" prefix,
            # which shell functions do not take.
            plain = harness.native_path(PROBE, self.installer)
            self.assertEqual(started["program"], plain)
            self.assertEqual(started["self"], plain)
            self.assertEqual(started["cwd"], harness.native_path(PROBE, self.release))
        else:
            self.assertEqual(started["program"], os.path.realpath(self.installer))
            self.assertEqual(started["self"], os.path.realpath(self.installer))
            self.assertEqual(started["cwd"], os.path.realpath(self.release))

    def test_exit_codes(self):
        path = harness.native_path(PROBE, self.installer)
        cases = [({"exit": 0}, "completed\n"),
                 ({"exit": 1}, "cancelled\n"),
                 ({"exit": 2}, EXIT_FAILED.format(2))]
        if IS_WINDOWS:
            cases.append(({"exit": 0xC0000005}, EXIT_FAILED.format(3221225477)))
        else:
            cases.append(({"exit": 255}, EXIT_FAILED.format(255)))
            cases.append(({"signal": int(signal.SIGKILL)}, EXIT_FAILED.format(137)))
        for env, expected in cases:
            with self.subTest(env=env):
                line, records, _ = self.launch(path, **env)
                self.assertEqual(line, expected)
                self.assertEqual(len(records), 1)

    def test_missing_installer(self):
        # The launch takes the file held open since its verification: what
        # cannot be held is never launched.
        self.record.unlink(missing_ok=True)
        run = harness.run(PROBE, harness.native_path(PROBE, self.release / "Missing.exe"),
                          timeout=60)
        self.assertEqual((run.returncode, run.stdout), (1, b""))
        self.assertIn(b"cannot hold", run.stderr)
        self.assertFalse(self.record.exists())

    @unittest.skipUnless(IS_WINDOWS, "COM threading models exist only on Windows")
    def test_com_in_the_other_threading_model_launches_nothing(self):
        line, records, _ = self.launch(harness.native_path(PROBE, self.installer), "--com-mta")
        # RPC_E_CHANGED_MODE; Wine has no description for it, Windows does.
        self.assertRegex(line, r"^failed Не удалось подготовить запуск установщика Windows: "
                               r"(0x80010106|[^\n]+ \(0x80010106\))\.\n$")
        self.assertEqual(records, [])


if __name__ == "__main__":
    if IS_WINDOWS:
        harness.warm_wine()
    unittest.main(verbosity=2)
