"""What the nuvo-release tests share: releases in the folder layout that
`nuvo-release publish` writes, made and damaged with the real minisign."""

import base64
import json
import shutil
import subprocess
from pathlib import Path

import harness

FIXTURES = harness.FIXTURES
HOST = harness.TEST_RELEASE_HOST
VERSION = "1.4.2"
NAME = f"Nuvo_{VERSION}_x64-setup.exe"
URL = f"https://{HOST}{harness.installer_path(VERSION)}"

MANIFEST_UNAVAILABLE = "Не удалось прочитать сведения о последней версии Nuvo."
INVALID_URL = "Канал вернул недопустимый адрес загрузки. Установка запрещена."
SIGNATURE_INVALID = "Подпись установщика не прошла проверку. Установка запрещена."
VERSION_MISMATCH = "Подписанная версия отличается от версии канала. Установка запрещена."


def minisign_sign(file, key, comment, out):
    subprocess.run(["minisign", "-S", "-s", key, "-m", file, "-x", out, "-t", comment],
                   check=True, capture_output=True, stdin=subprocess.DEVNULL)


def write_manifest(folder, signature_file, version=VERSION, url=URL, raw=None):
    text = raw or json.dumps({"version": version, "platforms": {"windows-x86_64": {
        "url": url, "signature": base64.b64encode(signature_file.read_bytes()).decode()}}})
    (folder / "latest.json").write_text(text)


def resign(folder, key="dev.key", version=VERSION):
    """The installer signed again by minisign, its .minisig and latest.json to match."""
    sig = folder / (NAME + ".minisig")
    minisign_sign(folder / NAME, FIXTURES / key, f"timestamp:1\tfile:{NAME}\tversion:{version}", sig)
    write_manifest(folder, sig)


def truncate(folder):
    installer = folder / NAME
    installer.write_bytes(installer.read_bytes()[:-1000])


def duplicate_member(folder):
    manifest = (folder / "latest.json").read_text()
    write_manifest(folder, None, raw=manifest.replace('{', '{"version": "%s", ' % VERSION, 1))


# A damaged release: what is done to a good one, the rule NuvoSetup stops
# at and the message it shows.
DAMAGES = [
    ("wrong version in the trusted comment", lambda f: resign(f, version="1.4.3"), "signature",
     VERSION_MISMATCH),
    ("URL outside the release area",
     lambda f: write_manifest(f, f / (NAME + ".minisig"), url=URL.replace("/nuvo/", "/other/")),
     "installer URL", INVALID_URL),
    ("duplicate member", duplicate_member, "manifest format", MANIFEST_UNAVAILABLE),
    ("signature by another key", lambda f: resign(f, key="other.key"), "installer",
     SIGNATURE_INVALID),
    ("installer truncated", truncate, "installer", SIGNATURE_INVALID),
]


def copy_release(source, target):
    shutil.copytree(source, target)
    return target
