#!/usr/bin/python3
"""Reads the built UpdateQuorilexVideo.exe back: one self-contained GUI program that imports
only Windows' own DLLs, no larger than 20 MiB, carrying its version resource (3.0.5.0,
Chinese (PRC), Unicode) and a manifest asking for asInvoker and per-monitor DPI awareness.

Usage: check_executable.py UpdateQuorilexVideo.exe   (Debian's python3-pefile; /usr/bin/python3)
"""

import os
import sys
import unittest

import pefile

# DLLs that every Windows installation has in System32.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comdlg32.dll", "crypt32.dll", "dnsapi.dll", "dwmapi.dll",
    "gdi32.dll", "imm32.dll", "iphlpapi.dll", "kernel32.dll", "mpr.dll", "msvcrt.dll",
    "netapi32.dll", "ole32.dll", "oleaut32.dll", "secur32.dll", "setupapi.dll", "shell32.dll",
    "shlwapi.dll", "user32.dll", "userenv.dll", "uxtheme.dll", "version.dll", "winmm.dll",
    "ws2_32.dll", "wtsapi32.dll", "winspool.drv", "rpcrt4.dll", "comctl32.dll", "shcore.dll",
}

RT_MANIFEST = 24


class Executable(unittest.TestCase):
    path = None

    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(cls.path)

    def test_size(self):
        size = os.path.getsize(self.path)
        print("size: %d bytes (%.1f MiB)" % (size, size / 2**20))
        self.assertLessEqual(size, 20 * 2**20)

    def test_gui_program_for_x64(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])

    def test_imports_only_system_dlls(self):
        imported = sorted(entry.dll.decode("ascii").lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT)
        print("imports: " + ", ".join(imported))
        self.assertTrue(imported)
        self.assertEqual([dll for dll in imported if dll not in SYSTEM_DLLS and not dll.startswith("api-ms-win-")], [])

    def test_version_resource(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        for high, low in ((fixed.FileVersionMS, fixed.FileVersionLS), (fixed.ProductVersionMS, fixed.ProductVersionLS)):
            self.assertEqual((high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF), (3, 0, 5, 0))
        tables = [table for info in self.pe.FileInfo[0] if info.Key == b"StringFileInfo" for table in info.StringTable]
        self.assertEqual([table.LangID for table in tables], [b"080404b0"])
        strings = tables[0].entries
        self.assertEqual(strings[b"FileVersion"], b"3.0.5.0")
        self.assertEqual(strings[b"ProductVersion"], b"3.0.5.0")
        self.assertEqual(strings[b"OriginalFilename"], b"UpdateQuorilexVideo.exe")
        translations = [var.entry for info in self.pe.FileInfo[0] if info.Key == b"VarFileInfo" for var in info.Var]
        self.assertEqual(translations, [{b"Translation": "0x0804 0x04b0"}])

    def test_manifest(self):
        manifests = [entry for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries if entry.id == RT_MANIFEST]
        self.assertEqual(len(manifests), 1)
        # Windows reads the process's manifest from resource ID 1.
        (name,) = manifests[0].directory.entries
        self.assertEqual(name.id, 1)
        data = name.directory.entries[0].data.struct
        text = self.pe.get_data(data.OffsetToData, data.Size).decode("utf-8")
        self.assertRegex(text, r'<requestedExecutionLevel\s+level="asInvoker"')
        self.assertRegex(text, r"<dpiAware[^>]*>true/pm</dpiAware>")
        self.assertRegex(text, r"<dpiAwareness[^>]*>PerMonitor</dpiAwareness>")


if __name__ == "__main__":
    Executable.path = sys.argv.pop(1)
    unittest.main(verbosity=2)
