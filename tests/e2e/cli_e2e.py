#!/usr/bin/env python3
"""Runs the real executable (natively, or the .exe under Wine) and checks the
command-line grammar and the package-verification mode byte for byte."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

EXE = Path(sys.argv.pop(1)).resolve() if len(sys.argv) > 1 else None
FIXTURES = Path(__file__).resolve().parent.parent / "fixtures"
IS_WINDOWS = EXE is not None and EXE.suffix == ".exe"

UNKNOWN = "Неизвестные аргументы. Используйте --help.\n"
DOWNLOAD_USAGE = "Используйте --download-only [--cache-dir <absolute-path>].\n"
BAD_PAIRS = "Неверные или повторяющиеся параметры проверки.\n"
SIGNATURE_INVALID = "Подпись установщика не прошла проверку. Установка запрещена.\n"
VERSION_MISMATCH = "Подписанная версия отличается от версии канала. Установка запрещена.\n"
STORAGE_FAILED = "Не удалось сохранить загрузку. Проверьте свободное место и права на каталог.\n"
BAD_SIZE = "Размер установщика некорректен или превышает 512 МиБ.\n"
BAD_SIGNATURE_FILE_SIZE = "Неверный размер файла подписи.\n"
NOT_UTF8 = "stream did not contain valid UTF-8\n"
VERIFIED = '{"installed":false,"installer_verified":true,"version":"%s"}\n'

HELP = (
    "NuvoSetup — онлайн-установщик Nuvo для Windows.\n"
    "Без аргументов открывает окно установки.\n"
    "\n"
    "Диагностика без установки и открытия окон:\n"
    "  --check-only\n"
    "  --download-only [--cache-dir <absolute-path>]\n"
    "  --verify-package <path> --signature-file <path> --version <X.Y.Z>\n"
    "  --help\n"
    "\n"
    "Проверка и загрузка используют встроенный публичный канал Nuvo.\n"
    "--download-only проверяет подпись и сохраняет пакет, но не запускает его.\n"
)


def run(*args, **kwargs):
    cmd = (["wine", str(EXE)] if IS_WINDOWS else [str(EXE)]) + [str(a) for a in args]
    env = dict(os.environ, WINEDEBUG="-all")
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(cmd, timeout=120, env=env, **kwargs)


def sign(path, comment, *extra):
    """Signs with the development key through the real minisign tool."""
    sig = Path(str(path) + ".minisig")
    subprocess.run(
        ["minisign", "-S", "-s", FIXTURES / "dev.key", "-m", path, "-x", sig, "-t", comment, *extra],
        check=True, capture_output=True, stdin=subprocess.DEVNULL)
    return sig


def published(minisig):
    """The signature text as the channel publishes it: base64 of the .minisig."""
    import base64
    return base64.b64encode(Path(minisig).read_bytes())


class Grammar(unittest.TestCase):
    def test_outcomes(self):
        cases = [
            (["--help"], 0, HELP, ""),
            (["-h"], 0, HELP, ""),
            (["/?"], 0, HELP, ""),
            (["--HELP"], 1, "", UNKNOWN),
            (["--help=1"], 1, "", UNKNOWN),
            (["-help"], 1, "", UNKNOWN),
            (["--help", "--check-only"], 1, "", UNKNOWN),
            (["--version"], 1, "", UNKNOWN),
            (["--download-only", "--cache-dir"], 1, "", DOWNLOAD_USAGE),
            (["--download-only", "--cachedir", "C:\\x"], 1, "", DOWNLOAD_USAGE),
            (["--check-only", "a", "b", "c", "d", "e"], 1, "", BAD_PAIRS),
            (["--check-only", "a", "b", "c", "d"], 1, "", UNKNOWN),
            (["--check-only", "a", "b", "c", "d", "e", "f"], 1, "", UNKNOWN),
            (["--verify-package", "p", "--version", "1", "--version", "2"], 1, "", BAD_PAIRS),
            (["--verify-package", "", "--signature-file", "s", "--version", "1"], 1, "", BAD_PAIRS),
        ]
        for args, code, out, err in cases:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual((r.returncode, r.stdout.decode(), r.stderr.decode()), (code, out, err))

    def test_help_survives_a_closed_stdout(self):
        # No standard output at all: the text is dropped, the exit code stays.
        r = run("--help", stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        if not IS_WINDOWS:
            r = subprocess.run([str(EXE), "--help"], preexec_fn=lambda: os.close(1),
                               stderr=subprocess.PIPE, timeout=30)
            self.assertEqual((r.returncode, r.stderr), (0, b""))


class VerifyPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix="nuvo-e2e-"))
        d = cls.dir
        cls.package = d / "пакет с пробелом.exe"
        cls.package.write_bytes(os.urandom(300_000))
        tab = "\t"
        cls.good = d / "good.sig"
        cls.good.write_bytes(published(sign(cls.package, f"timestamp:1{tab}file:x.exe{tab}version:1.4.2")))
        legacy_pkg = d / "legacy.exe"
        shutil.copy(cls.package, legacy_pkg)
        cls.legacy = d / "legacy.sig"
        cls.legacy.write_bytes(published(sign(legacy_pkg, "version:1.4.2", "-l")))
        other = d / "other.key"
        subprocess.run(["minisign", "-G", "-W", "-p", d / "other.pub", "-s", other],
                       check=True, capture_output=True)
        other_sig = d / "other.exe.minisig"
        subprocess.run(["minisign", "-S", "-s", other, "-m", cls.package, "-x", other_sig,
                        "-t", "version:1.4.2"], check=True, capture_output=True, stdin=subprocess.DEVNULL)
        cls.other = d / "other.sig"
        cls.other.write_bytes(published(other_sig))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def verify(self, package, signature, version="1.4.2"):
        return run("--verify-package", package, "--signature-file", signature, "--version", version)

    def file(self, name, content):
        p = self.dir / name
        p.write_bytes(content)
        return p

    def test_outcomes(self):
        d = self.dir
        good_text = self.good.read_bytes()
        tampered = self.file("tampered.exe", bytearray(self.package.read_bytes()))
        data = bytearray(tampered.read_bytes())
        data[150_000] ^= 1
        tampered.write_bytes(data)
        sparse = d / "sparse.exe"
        with open(sparse, "wb") as f:
            f.truncate(4 << 30)  # 4 GiB, no blocks on disk

        cases = [
            ("prehashed", self.package, self.good, "1.4.2", 0, VERIFIED % "1.4.2", ""),
            ("legacy", d / "legacy.exe", self.legacy, "1.4.2", 0, VERIFIED % "1.4.2", ""),
            ("trailing line feed", self.package, self.file("lf.sig", good_text + b"\n"), "1.4.2",
             0, VERIFIED % "1.4.2", ""),
            ("exactly 8192 bytes", self.package,
             self.file("8192.sig", good_text + b" " * (8192 - len(good_text))), "1.4.2",
             0, VERIFIED % "1.4.2", ""),
            ("other version", self.package, self.good, "1.4.3", 1, "", VERSION_MISMATCH),
            ("leading v", self.package, self.good, "v1.4.2", 1, "", VERSION_MISMATCH),
            ("other key", self.package, self.other, "1.4.2", 1, "", SIGNATURE_INVALID),
            ("tampered", tampered, self.good, "1.4.2", 1, "", SIGNATURE_INVALID),
            ("garbage base64", self.package, self.file("garbage.sig", b"not base64 at all!"),
             "1.4.2", 1, "", SIGNATURE_INVALID),
            ("break inside base64", self.package,
             self.file("broken.sig", good_text[:40] + b"\n" + good_text[40:]), "1.4.2",
             1, "", SIGNATURE_INVALID),
            ("8193 bytes", self.package, self.file("8193.sig", b"A" * 8193), "1.4.2",
             1, "", BAD_SIGNATURE_FILE_SIZE),
            ("empty signature file", self.package, self.file("empty.sig", b""), "1.4.2",
             1, "", BAD_SIGNATURE_FILE_SIZE),
            ("signature file is a directory", self.package, d, "1.4.2", 1, "", BAD_SIGNATURE_FILE_SIZE),
            ("signature file not UTF-8", self.package, self.file("latin1.sig", b"\xff\xfe\x00abc"),
             "1.4.2", 1, "", NOT_UTF8),
            ("package missing", d / "missing.exe", self.good, "1.4.2", 1, "", STORAGE_FAILED),
            ("package is a directory", d, self.good, "1.4.2", 1, "", STORAGE_FAILED),
            ("empty package", self.file("empty.exe", b""), self.good, "1.4.2", 1, "", BAD_SIZE),
            ("4 GiB sparse package", sparse, self.good, "1.4.2", 1, "", BAD_SIZE),
        ]
        for name, package, signature, version, code, out, err in cases:
            with self.subTest(name):
                r = self.verify(package, signature, version)
                self.assertEqual((r.returncode, r.stdout.decode(), r.stderr.decode()), (code, out, err))

    def test_missing_signature_file_shows_the_system_error(self):
        r = self.verify(self.package, self.dir / "missing.sig")
        self.assertEqual((r.returncode, r.stdout), (1, b""))
        err = r.stderr.decode()
        self.assertRegex(err, r"^[^\n]+ \(os error 2\)\n$")
        if not IS_WINDOWS:
            self.assertEqual(err, "No such file or directory (os error 2)\n")

    def test_needs_no_network(self):
        # Offline by construction: the mode never resolves a host name. Run it
        # with a proxy that cannot exist; any network use would fail or hang.
        env = dict(os.environ, WINEDEBUG="-all", HTTPS_PROXY="http://127.0.0.1:9",
                   ALL_PROXY="http://127.0.0.1:9")
        cmd = (["wine", str(EXE)] if IS_WINDOWS else [str(EXE)]) + [
            "--verify-package", str(self.package), "--signature-file", str(self.good),
            "--version", "1.4.2"]
        r = subprocess.run(cmd, capture_output=True, timeout=60, env=env)
        self.assertEqual((r.returncode, r.stdout.decode()), (0, VERIFIED % "1.4.2"))


if __name__ == "__main__":
    if EXE is None:
        sys.exit("usage: cli_e2e.py <path to NuvoSetup or NuvoSetup.exe>")
    if IS_WINDOWS:
        import harness
        harness.warm_wine()
    unittest.main(verbosity=1)
