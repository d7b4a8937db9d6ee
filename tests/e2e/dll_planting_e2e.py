#!/usr/bin/env python3
"""NuvoSetup.exe run from a Downloads folder that a web page has filled with
DLLs named like system ones: no module may ever come from that folder.

Wine is told to prefer a DLL it finds on the search path to its own
(`<name>=n,b`), as Windows does for every DLL that is not a KnownDLL, and to
name every module it loads (`+loaddll`). The folder is also the working
directory. The diagnostic modes and one whole installation through the
window must succeed from there.

Usage: dll_planting_e2e.py <NuvoSetup.exe> <planted.dll> <window_driver.exe>
                           <test_installer.exe> <release host>"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import harness
from window_harness import Display, Window

if len(sys.argv) < 6:
    sys.exit(__doc__)
PLANTED = Path(sys.argv.pop(2)).resolve()
DRIVER = Path(sys.argv.pop(2)).resolve()
TEST_INSTALLER = Path(sys.argv.pop(2)).resolve()
EXE = harness.program_and_host(sys.argv, "")

# What the program, the system DLLs it calls (window, WinHTTP and TLS, Windows
# Installer, shell, COM) and the tools of attackers in public reports would
# load, less the KnownDLLs, which Windows never looks for beside a program.
# Not version.dll: Wine's own user32 imports it, so under Wine it is loaded
# before the program's first instruction; on Windows user32 does not.
PLANTED_NAMES = """
    uxtheme comctl32 dwmapi oleacc uiautomationcore propsys textinputframework coremessaging
    winhttp jsproxy wininet urlmon secur32 sspicli schannel crypt32 cryptbase cryptsp cryptnet
    bcrypt ncrypt rsaenh dpapi wintrust msasn1 iphlpapi dnsapi winnsi mswsock dhcpcsvc
    netapi32 mpr msi cabinet sxs apphelp userenv profapi ntmarta wldp winmm dwrite msimg32
    wtsapi32 dbghelp
""".split()

HOST = "nuvor.test"
VERSION = "1.4.2"
SIGNATURE = harness.sign(TEST_INSTALLER.read_bytes(), VERSION)
INSTALLED = "Мастер установки завершён"
LOADED = re.compile(r'Loaded L"([^"]+)"')


def scenario():
    return harness.scenario(
        harness.route(HOST, harness.MANIFEST_PATH,
                      harness.manifest_response(VERSION, HOST, SIGNATURE)),
        harness.route(HOST, harness.installer_path(VERSION),
                      {"status": 200, "headers": [["ETag", '"p1"']],
                       "body": {"file": str(TEST_INSTALLER)}, "range": True}))


class PlantedDlls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.ensure_network()
        cls.server = harness.ReleaseServer(scenario())
        cls.downloads = harness.scratch_dir(EXE, "nuvo-downloads-")
        shutil.copy(EXE, cls.downloads / "NuvoSetup.exe")
        for name in PLANTED_NAMES:
            shutil.copy(PLANTED, cls.downloads / f"{name}.dll")
        cls.env = {"WINEDEBUG": "+loaddll",
                   "WINEDLLOVERRIDES": ",".join(PLANTED_NAMES) + "=n,b"}

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.downloads, ignore_errors=True)

    def assert_nothing_planted_loaded(self, trace):
        folder = harness.native_path(EXE, self.downloads).lower()
        loaded = LOADED.findall(trace)
        self.assertTrue(any(p.lower().endswith("kernel32.dll") for p in loaded), trace[-2000:])
        planted = [p for p in loaded
                   if p.replace("\\\\", "\\").lower().startswith(folder + "\\")
                   and not p.lower().endswith("nuvosetup.exe")]
        self.assertEqual(planted, [])

    def test_diagnostic_modes(self):
        cache = harness.scratch_dir(EXE, "nuvo-planted-cache-")
        self.addCleanup(shutil.rmtree, cache, True)
        exe = self.downloads / "NuvoSetup.exe"
        for args in (["--check-only"],
                     ["--download-only", "--cache-dir", harness.native_path(EXE, cache)]):
            with self.subTest(args=args[0]):
                run = harness.run(exe, *args, env=self.env, cwd=self.downloads)
                trace = run.stderr.decode("utf-8", "replace")
                self.assertEqual(run.returncode, 0, trace[-2000:])
                self.assertIn(b'"available_version":"1.4.2"', run.stdout)
                self.assert_nothing_planted_loaded(trace)

    def test_a_whole_installation_through_the_window(self):
        cache = harness.WINE_C / "users" / os.environ.get("USER", "root") / "AppData" / "Local" / "NuvoSetup"
        shutil.rmtree(cache, ignore_errors=True)
        self.addCleanup(shutil.rmtree, cache, True)
        work = Path(tempfile.mkdtemp(prefix="nuvo-planted-"))
        self.addCleanup(shutil.rmtree, work, True)
        record = harness.scratch_dir(EXE, "nuvo-planted-record-")
        self.addCleanup(shutil.rmtree, record, True)
        (record / "exit.txt").write_text("0")
        env = dict(self.env,
                   NUVO_TEST_INSTALLER_RECORD=harness.native_path(EXE, record / "record.jsonl"),
                   NUVO_TEST_INSTALLER_EXIT_FILE=harness.native_path(EXE, record / "exit.txt"),
                   NUVO_TEST_INSTALLER_SLEEP_MS="200")
        display = Display()
        self.addCleanup(display.close)
        with open(work / "trace.txt", "wb") as trace_file:
            w = Window(self.downloads / "NuvoSetup.exe", DRIVER, work, env=env, cwd=self.downloads,
                       stderr=trace_file)
            self.addCleanup(w.kill)
            w.driver("click", "1001")
            w.wait_for(lambda s: s["children"][4]["text"] == INSTALLED, timeout=120)
            w.driver("click", "1002")
            self.assertEqual(w.exit_code(), 0)
        self.assertTrue((record / "record.jsonl").exists())
        self.assert_nothing_planted_loaded((work / "trace.txt").read_text("utf-8", "replace"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
