#!/usr/bin/env python3
"""The downgrade guard of the Windows build (tests/guard_probe.exe under Wine)
against real uninstall keys, written with `reg add` in both hives and views,
and real Windows Installer products, built with wixl and installed with
msiexec. Everything written to the Wine prefix is removed again, also when a
case fails."""

import os
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

PROBE = Path(sys.argv.pop(1)).resolve() if len(sys.argv) > 1 else None

UNINSTALL_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Nuvo"
HIVES = ("HKLM", "HKCU")
VIEWS = ("64", "32")
UPGRADE_CODE = "{7A3C9E21-4D6B-5F08-9C1E-2B7D40A6E5F3}"

DETECTION_FAILED = (
    "Не удалось определить установленную версию Nuvo. Установка остановлена, чтобы не заменить "
    "новую версию более старой. Проверьте Nuvo в списке установленных приложений Windows.")


def refusal(installed, release):
    return (f"Уже установлена Nuvo {installed}. В канале обновлений доступна более старая версия "
            f"{release}; установка остановлена. Используйте обновления внутри Nuvo или дождитесь "
            f"нового релиза.")


# What the probe prints for a release version.
OK = "ok\n"
NOT_DETECTED = f"refused {DETECTION_FAILED}\n"


def refused(installed, release):
    return f"refused {refusal(installed, release)}\n"


def wine(*args, check=True):
    """Runs a Wine tool. The prefix is shared with other test runs, and one that
    ends may stop the wineserver under our feet, so a checked step gets a
    second try."""
    for _ in range(2):
        done = subprocess.run(["wine", *args], env={**os.environ, "WINEDEBUG": "-all"},
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=120)
        if not check or done.returncode == 0:
            return done
    raise RuntimeError(f"wine {' '.join(args)} exited with {done.returncode}: {done.stdout!r}")


def reg_add(hive, view, name, data, kind="REG_SZ"):
    wine("reg", "add", rf"{hive}\{UNINSTALL_KEY}", "/v", name, "/t", kind, "/d", data, "/f",
         f"/reg:{view}")


def reg_delete(hive, view):
    wine("reg", "delete", rf"{hive}\{UNINSTALL_KEY}", "/f", f"/reg:{view}", check=False)


def nuvo_entry(version, name="Nuvo", kind="REG_SZ"):
    return {"DisplayName": ("REG_SZ", name), "DisplayVersion": (kind, version)}


# name, {(hive, view): {value: (type, data)}}, probe argument, expected output
REGISTRY_CASES = [
    ("nothing installed", {}, "1.0.0", OK),
    ("nothing detected", {}, "--detect", ""),
    ("same version", {("HKLM", "64"): nuvo_entry("1.9.0")}, "1.9.0", OK),
    ("newer installed", {("HKLM", "64"): nuvo_entry("2.0.0")}, "1.9.0", refused("2.0.0", "1.9.0")),
    ("both machine views, in probe order",
     {("HKLM", "32"): nuvo_entry("2.0.1"), ("HKLM", "64"): nuvo_entry("1.0.0")}, "--detect",
     "1.0.0\n2.0.1\n"),
    ("other product name", {("HKLM", "64"): nuvo_entry("1.0.0", "Nuvo Beta")}, "9.0.0",
     NOT_DETECTED),
    ("two-part version", {("HKLM", "64"): nuvo_entry("1.2")}, "9.0.0", NOT_DETECTED),
    ("blanks around the version", {("HKLM", "64"): nuvo_entry(" 1.2.3\t", " NUVO ")}, "--detect",
     "1.2.3\n"),
    # Expanded as a plain string, "2.0.0" would pass against 3.0.0.
    ("expandable version", {("HKLM", "64"): nuvo_entry("2.0.0", kind="REG_EXPAND_SZ")}, "3.0.0",
     NOT_DETECTED),
    ("number as version", {("HKLM", "64"): nuvo_entry("2", kind="REG_DWORD")}, "3.0.0",
     NOT_DETECTED),
    ("version missing", {("HKLM", "64"): {"DisplayName": ("REG_SZ", "Nuvo")}}, "3.0.0",
     NOT_DETECTED),
    ("only in the user's 32-bit view", {("HKCU", "32"): nuvo_entry("2.0.0")}, "1.9.0",
     refused("2.0.0", "1.9.0")),
]

# Products sharing the upgrade code: (product code, name, version, scope).
PRODUCTS = {
    "newer": ("{5E1A6C02-8F3B-4D7E-A9C4-1B2D3E4F5A01}", "Nuvo", "3.0.0", "perMachine"),
    "other_name": ("{5E1A6C02-8F3B-4D7E-A9C4-1B2D3E4F5A02}", "Nuvo Beta", "1.0.0", "perUser"),
}

WXS = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{code}" Name="{name}" Language="1033" Version="{version}"
           Manufacturer="Nuvo tests" UpgradeCode="{upgrade}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="{scope}"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="NuvoGuardTest{index}">
          <Component Id="Payload" Guid="*">
            <File Id="Payload" Source="payload.txt"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Payload"/></Feature>
  </Product>
</Wix>
"""

# name, products installed, registry entries, probe argument, expected output
INSTALLER_CASES = [
    ("newer product", ["newer"], {}, "2.0.0", refused("3.0.0", "2.0.0")),
    ("other product name", ["other_name"], {}, "9.0.0", NOT_DETECTED),
    ("registry entry and product: the greater wins", ["newer"],
     {("HKLM", "64"): nuvo_entry("1.0.0")}, "2.0.0", refused("3.0.0", "2.0.0")),
    # The user's Software key is one for both views, so both user probes see it.
    ("registry entries come first, a shared key twice", ["newer"],
     {("HKCU", "64"): nuvo_entry("1.0.0")}, "--detect", "1.0.0\n1.0.0\n3.0.0\n"),
]


def clean_registry():
    for hive in HIVES:
        for view in VIEWS:
            reg_delete(hive, view)


def uninstall(product):
    wine("msiexec", "/x", PRODUCTS[product][0], "/qn", check=False)


@unittest.skipUnless(PROBE and harness.is_windows(PROBE), "the guard reads Windows' registry")
class GuardE2E(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.warm_wine()
        # Leftovers of an interrupted run would change every answer.
        clean_registry()
        for product in PRODUCTS:
            uninstall(product)
        cls.dir = harness.scratch_dir(PROBE, "guard-")
        (cls.dir / "payload.txt").write_text("payload\n")
        cls.msi = {}
        for index, (product, (code, name, version, scope)) in enumerate(PRODUCTS.items()):
            wxs = cls.dir / f"{product}.wxs"
            wxs.write_text(WXS.format(code=code, name=name, version=version, scope=scope,
                                      upgrade=UPGRADE_CODE, index=index))
            subprocess.run(["wixl", "-o", str(cls.dir / f"{product}.msi"), str(wxs)],
                           cwd=cls.dir, check=True)
            cls.msi[product] = harness.native_path(PROBE, cls.dir / f"{product}.msi")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def write_entries(self, entries):
        for (hive, view), values in entries.items():
            self.addCleanup(reg_delete, hive, view)
            for name, (kind, data) in values.items():
                reg_add(hive, view, name, data, kind)

    def install(self, product):
        self.addCleanup(uninstall, product)
        done = wine("msiexec", "/i", self.msi[product], "/qn", check=False)
        self.assertEqual(done.returncode, 0, done.stdout)

    def probe(self, arg):
        run = harness.run(PROBE, arg, timeout=60)
        return run.stdout.decode("utf-8")

    def test_uninstall_entries(self):
        for name, entries, arg, expected in REGISTRY_CASES:
            with self.subTest(name):
                try:
                    self.write_entries(entries)
                    self.assertEqual(self.probe(arg), expected)
                finally:
                    self.doCleanups()
        self.assertEqual(self.probe("--detect"), "")

    def test_windows_installer_products(self):
        for name, products, entries, arg, expected in INSTALLER_CASES:
            with self.subTest(name):
                try:
                    for product in products:
                        self.install(product)
                    self.write_entries(entries)
                    self.assertEqual(self.probe(arg), expected)
                finally:
                    self.doCleanups()
        self.assertEqual(self.probe("--detect"), "")


if __name__ == "__main__":
    unittest.main()
