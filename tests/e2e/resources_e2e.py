#!/usr/bin/env python3
"""Reads NuvoSetup.exe's PE headers and resource directory and checks the
icon group, the application manifest, the version information, the imported
DLLs, the image's hardening (of nuvo-release.exe too) and the file size;
then, under Wine, that Windows loads the icon at every size and reads the
version strings.

    resources_e2e.py <NuvoSetup.exe> <resource_probe.exe> <nuvo-release.exe>
"""

import os
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

EXE = Path(sys.argv.pop(1)).resolve() if len(sys.argv) > 1 else None
PROBE = Path(sys.argv.pop(1)).resolve() if len(sys.argv) > 1 else None
RELEASE_TOOL = Path(sys.argv.pop(1)).resolve() if len(sys.argv) > 1 else None

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
ICON_SIZES = [32, 16, 24, 48, 64, 256]
SIZE_LIMIT = 560 * 1024
# What the loader resolves before the program's first instruction, while the
# DLL search still starts in the program's folder: KnownDLLs only, which
# Windows never looks for there.
STARTUP_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll"}
# Functions that a KnownDLL exports only as a forwarder to a DLL that is not
# one: the loader binds the forwarder with the start-up imports, so it looks
# for that DLL beside the program. ADVAPI32 forwards these to CRYPTBASE
# (RtlGenRandom is SystemFunction036; RtlEncryptMemory and RtlDecryptMemory
# are 040 and 041), and the CryptoAPI's entry points to CRYPTSP.
KNOWN_FORWARDERS = {
    **{("advapi32.dll", f"SystemFunction{n:03}"): "cryptbase.dll"
       for n in (1, 2, 3, 4, 5, 28, 29, 34, 36, 40, 41)},
    **{("advapi32.dll", name): "cryptsp.dll"
       for name in ("CryptAcquireContextA", "CryptAcquireContextW", "CryptGenRandom",
                    "CryptReleaseContext")},
}
# Calls that Windows' documentation asks of a window like ours, imported at
# start-up or delay-loaded: letting the shell's TaskbarButtonCreated through
# to an elevated window, the window's own DPI and its monitor's work area.
REQUIRED_CALLS = {("user32.dll", "ChangeWindowMessageFilterEx"),
                  ("user32.dll", "GetDpiForWindow"), ("user32.dll", "MonitorFromWindow"),
                  ("user32.dll", "GetMonitorInfoW"), ("shell32.dll", "ShellExecuteExW")}
# ASLR with high entropy, DEP, terminal-server aware.
DLL_CHARACTERISTICS = 0x0020 | 0x0040 | 0x0100 | 0x8000
RELOCS_STRIPPED = 0x0001
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class Image:
    """The parts of a PE image the checks need: sections and data directories."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        assert struct.unpack_from("<H", data, optional)[0] == 0x20B, "not a PE32+ image"
        count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(count)]
        self.characteristics, = struct.unpack_from("<H", data, pe + 22)
        self.dll_characteristics, = struct.unpack_from("<H", data, optional + 70)
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8xIIII", data, table + 40 * i)
                         for i in range(sections)]   # virtual size, RVA, raw size, raw offset

    def offset(self, rva):
        for vsize, address, raw_size, raw in self.sections:
            if address <= rva < address + max(vsize, raw_size):
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section")

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def resources(self):
        """{(type, name): {language: bytes}} for the numbered resources."""
        rva, size = self.directories[2]
        if size == 0:
            return {}
        base = self.offset(rva)

        def entries(at):
            named, numbered = struct.unpack_from("<12xHH", self.data, base + at)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
                yield ident, target

        found = {}
        for kind, kind_dir in entries(0):
            for name, name_dir in entries(kind_dir & 0x7FFFFFFF):
                for language, leaf in entries(name_dir & 0x7FFFFFFF):
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    found.setdefault((kind, name), {})[language] = self.data[start:start + data_size]
        return found

    def startup_imports(self):
        """[(dll, [function, ...])] of the import table, which the loader binds
        at start-up; a function imported by ordinal is named "#<ordinal>"."""
        rva, size = self.directories[1]
        out = []
        if size == 0:
            return out
        at = self.offset(rva)
        while any(self.data[at:at + 20]):
            lookup, name, bound = struct.unpack_from("<I8xII", self.data, at)
            out.append((self.c_string(name), self.thunk_names(lookup or bound)))
            at += 20
        return out

    def delay_imports(self):
        """[(dll, [function, ...])] of the delay-load descriptors. GNU ld
        leaves their data directory empty for dlltool's delay libraries, so
        they are found by their shape: attributes 1 (addresses are RVAs), the
        RVA of a DLL's name, the module handle's, the address table's and
        the name table's."""
        out = []
        for _, address, raw_size, raw in self.sections:
            for at in range(raw, raw + raw_size - 20, 4):
                attributes, name, module, table, names = struct.unpack_from("<5I", self.data, at)
                if attributes != 1 or not (name and module and table and names):
                    continue
                try:
                    dll = self.c_string(name)
                    if dll.lower().endswith(".dll"):
                        out.append((dll, self.thunk_names(names)))
                except (ValueError, UnicodeDecodeError, struct.error):
                    continue
        return out

    def thunk_names(self, rva):
        thunk = self.offset(rva)
        functions = []
        while True:
            entry, = struct.unpack_from("<Q", self.data, thunk)
            if entry == 0:
                return functions
            if entry & (1 << 63):
                functions.append(f"#{entry & 0xFFFF}")
            else:
                functions.append(self.c_string((entry & 0x7FFFFFFF) + 2))  # after the hint
            thunk += 8

    def imported_dlls(self):
        names = []
        for index, entry_size, name_at in ((1, 20, 12), (13, 32, 4)):   # imports, delay imports
            if index >= len(self.directories) or self.directories[index][1] == 0:
                continue
            at = self.offset(self.directories[index][0])
            while any(self.data[at:at + entry_size]):
                names.append(self.c_string(struct.unpack_from("<I", self.data, at + name_at)[0]))
                at += entry_size
        return names


def version_node(data, at=0):
    """One node of a VS_VERSIONINFO tree: (key, value bytes, text flag, children)."""
    length, value_length, text = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if text else value_length
    value = data[value_at:value_at + value_size]
    children = []
    child = (value_at + value_size + 3) & ~3
    while child < end:
        node = version_node(data, child)
        children.append(node)
        child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3
    return key, value, text, children


def only(resources, kind, name):
    versions = resources.get((kind, name))
    assert versions is not None, f"resource {kind}/{name} is missing"
    assert len(versions) == 1, f"resource {kind}/{name} exists in several languages"
    return next(iter(versions.values()))


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bytes = EXE.read_bytes()
        cls.image = Image(cls.bytes)
        cls.resources = cls.image.resources()

    def test_icon_group_holds_six_32_bit_images_in_order(self):
        group = only(self.resources, RT_GROUP_ICON, 101)
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind, count), (0, 1, 6))
        sizes = []
        for i in range(count):
            width, height, _, _, planes, bits, size, ident = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            edge = width or 256
            sizes.append((edge, height or 256, bits))
            image = only(self.resources, RT_ICON, ident)
            self.assertEqual(len(image), size)
            if edge >= 48:  # PNG-compressed, 8-bit RGBA
                self.assertEqual(image[:8], PNG_SIGNATURE)
                self.assertEqual(struct.unpack_from(">4sIIBB", image, 12), (b"IHDR", edge, edge, 8, 6))
            else:
                header = struct.unpack_from("<IiiHH", image)
                self.assertEqual(header, (40, edge, 2 * edge, 1, 32))
                mask_stride = (edge + 31) // 32 * 4
                self.assertEqual(len(image), 40 + edge * edge * 4 + edge * mask_stride)
                # Transparent corner, opaque middle (rows run bottom-up).
                self.assertEqual(image[40 + 3], 0)
                middle = 40 + ((edge // 2) * edge + edge // 2) * 4
                self.assertEqual(image[middle + 3], 255)
        self.assertEqual(sizes, [(s, s, 32) for s in ICON_SIZES])

    def test_manifest(self):
        ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
              "compat": "urn:schemas-microsoft-com:compatibility.v1",
              "ws2005": "http://schemas.microsoft.com/SMI/2005/WindowsSettings",
              "ws2016": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}
        root = ET.fromstring(only(self.resources, RT_MANIFEST, 1))
        self.assertEqual(root.tag, "{urn:schemas-microsoft-com:asm.v1}assembly")
        self.assertEqual(root.find("v1:assemblyIdentity", ns).attrib,
                         {"name": "Nuvo.Setup", "version": "1.0.0.0", "type": "win32"})
        self.assertEqual(root.find("v1:description", ns).text, "Nuvo online installer")
        dependencies = root.findall("v1:dependency/v1:dependentAssembly/v1:assemblyIdentity", ns)
        self.assertEqual([d.attrib for d in dependencies], [{
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}])
        level = root.find("v3:trustInfo/v3:security/v3:requestedPrivileges/"
                          "v3:requestedExecutionLevel", ns)
        self.assertEqual(level.attrib, {"level": "asInvoker", "uiAccess": "false"})
        systems = root.findall("compat:compatibility/compat:application/compat:supportedOS", ns)
        self.assertIn("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", [s.get("Id") for s in systems])
        settings = root.find("v3:application/v3:windowsSettings", ns)
        self.assertEqual(settings.find("ws2016:dpiAwareness", ns).text, "PerMonitorV2")
        self.assertEqual(settings.find("ws2016:longPathAware", ns).text, "true")

    def test_version_information(self):
        key, fixed, _, children = version_node(only(self.resources, RT_VERSION, 1))
        self.assertEqual(key, "VS_VERSION_INFO")
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        self.assertEqual((file_ms, file_ls, product_ms, product_ls),
                         (0x00000009, 0x00010000, 0x00000009, 0x00010000))
        blocks = {node[0]: node[3] for node in children}
        self.assertEqual([table[0] for table in blocks["StringFileInfo"]], ["000004B0"])
        strings = {name: value.decode("utf-16-le").rstrip("\0")
                   for name, value, text, _ in blocks["StringFileInfo"][0][3]}
        self.assertLessEqual({
            "FileVersion": "0.9.1", "ProductVersion": "0.9.1", "ProductName": "Nuvo",
            "FileDescription": "Nuvo — online installer",
            "OriginalFilename": "NuvoSetup.exe"}.items(), strings.items())
        self.assertEqual([(name, value) for name, value, _, _ in blocks["VarFileInfo"]],
                         [("Translation", struct.pack("<HH", 0x0000, 1200))])

    def test_both_images_import_only_known_dlls_and_are_hardened(self):
        for exe in (EXE, RELEASE_TOOL):
            with self.subTest(exe=exe.name):
                image = Image(exe.read_bytes())
                names = [n.lower() for n in image.imported_dlls()]
                self.assertIn("kernel32.dll", names)
                self.assertEqual([n for n in names if n not in STARTUP_DLLS], [])
                self.assertEqual(image.dll_characteristics & DLL_CHARACTERISTICS,
                                 DLL_CHARACTERISTICS)
                self.assertFalse(image.characteristics & RELOCS_STRIPPED)
                self.assertGreater(image.directories[5][1], 0)   # base relocations

    def test_no_startup_import_is_forwarded_outside_the_known_dlls(self):
        for exe in (EXE, RELEASE_TOOL):
            with self.subTest(exe=exe.name):
                imports = Image(exe.read_bytes()).startup_imports()
                for dll, functions in imports:
                    print(f"{exe.name} imports at start-up from {dll}: {' '.join(functions)}",
                          file=sys.stderr)
                self.assertTrue(imports)
                # An ordinal says nothing about what it forwards to.
                self.assertEqual([(dll, f) for dll, functions in imports for f in functions
                                  if f.startswith("#")], [])
                forwarded = [f"{dll}!{f} (forwarded to {KNOWN_FORWARDERS[dll.lower(), f]})"
                             for dll, functions in imports for f in functions
                             if (dll.lower(), f) in KNOWN_FORWARDERS]
                self.assertEqual(forwarded, [])

    def test_the_window_makes_the_calls_windows_asks_for(self):
        calls = {(dll.lower(), f) for dll, functions
                 in self.image.startup_imports() + self.image.delay_imports() for f in functions}
        self.assertEqual(REQUIRED_CALLS - calls, set())

    def test_size_limit(self):
        self.assertLessEqual(len(self.bytes), SIZE_LIMIT)

    def test_windows_loads_icon_and_version_strings(self):
        run = subprocess.run(["wine", str(PROBE), str(EXE)], capture_output=True, timeout=120,
                             env={**os.environ, "WINEDEBUG": "-all"})
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.decode("utf-8").replace("\r\n", "\n").splitlines()
        self.assertEqual(lines, [f"icon {s} {s}x{s}" for s in (16, 24, 32, 48, 64, 256)]
                         + ["description Nuvo — online installer"])


if __name__ == "__main__":
    if RELEASE_TOOL is None:
        sys.exit(__doc__)
    unittest.main(verbosity=2)
