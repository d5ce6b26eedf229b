#!/usr/bin/python3
"""Reads the built UpdateQuorilexVideo.exe back: one self-contained 32-bit GUI program that
imports only Windows' own DLLs and no function that Windows 7 SP1 lacks, no larger than
20 MiB, carrying its version resource (3.0.5.0, Chinese (PRC), Unicode) and a manifest asking
for asInvoker and per-monitor DPI awareness and naming the Windows versions it supports.

Usage: check_executable.py UpdateQuorilexVideo.exe VERSION   (Debian's python3-pefile; /usr/bin/python3)
"""

import os
import re
import sys
import unittest

import pefile

# DLLs that every Windows installation has in System32.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comdlg32.dll", "crypt32.dll", "dnsapi.dll", "dwmapi.dll",
    "gdi32.dll", "imm32.dll", "iphlpapi.dll", "kernel32.dll", "mpr.dll", "msvcrt.dll",
    "netapi32.dll", "ole32.dll", "oleaut32.dll", "secur32.dll", "setupapi.dll", "shell32.dll",
    "shlwapi.dll", "user32.dll", "userenv.dll", "uxtheme.dll", "version.dll", "winmm.dll",
    "ws2_32.dll", "wtsapi32.dll", "winspool.drv", "rpcrt4.dll", "comctl32.dll", "shcore.dll", "winhttp.dll",
}

RT_MANIFEST = 24

# Functions that toolchains and libraries are known to pull in and that came after
# Windows 7 SP1, the oldest Windows the updater runs on.
LATER_THAN_WINDOWS_7 = {
    "GetSystemTimePreciseAsFileTime", "SetThreadDescription", "GetThreadDescription", "GetDpiForWindow",
    "GetDpiForSystem", "SetProcessDpiAwarenessContext", "SetThreadDpiAwarenessContext",
    "AdjustWindowRectExForDpi", "GetSystemMetricsForDpi", "WaitOnAddress", "WakeByAddressSingle",
    "WakeByAddressAll", "CreateFile2", "GetPackageFamilyName", "GetCurrentPackageFullName",
    "PrefetchVirtualMemory", "GetProcessMitigationPolicy", "SetProcessMitigationPolicy",
}

# Windows 7, 8, 8.1 and 10/11, as the manifest's compatibility section names them.
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}


class Executable(unittest.TestCase):
    path = None
    # The project's version, as CMake has it: 3.0.5.
    version = None
    # What it was built for: i686, the product, or x86_64 where the suite runs 64-bit.
    arch = None

    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(cls.path)

    def test_size(self):
        size = os.path.getsize(self.path)
        print("size: %d bytes (%.1f MiB)" % (size, size / 2**20))
        self.assertLessEqual(size, 20 * 2**20)

    def test_32bit_gui_program(self):
        # The product is 32-bit: a 32-bit updater runs on 32-bit and 64-bit Windows alike.
        machine = "IMAGE_FILE_MACHINE_AMD64" if self.arch == "x86_64" else "IMAGE_FILE_MACHINE_I386"
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE[machine])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])

    def test_imports_only_system_dlls(self):
        imported = sorted(entry.dll.decode("ascii").lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT)
        print("imports: " + ", ".join(imported))
        self.assertTrue(imported)
        self.assertEqual([dll for dll in imported if dll not in SYSTEM_DLLS and not dll.startswith("api-ms-win-")], [])

    def test_imports_run_on_windows_7(self):
        functions = {imported.name.decode("ascii") for entry in self.pe.DIRECTORY_ENTRY_IMPORT
                     for imported in entry.imports if imported.name}
        later = sorted(functions & LATER_THAN_WINDOWS_7)
        print("functions imported: %d, later than Windows 7: %s" % (len(functions), ", ".join(later) or "none"))
        self.assertEqual(later, [])

    def test_version_resource(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        numbers = tuple(int(part) for part in self.version.split(".")) + (0,)
        text = (self.version + ".0").encode("ascii")
        for high, low in ((fixed.FileVersionMS, fixed.FileVersionLS), (fixed.ProductVersionMS, fixed.ProductVersionLS)):
            self.assertEqual((high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF), numbers)
        tables = [table for info in self.pe.FileInfo[0] if info.Key == b"StringFileInfo" for table in info.StringTable]
        self.assertEqual([table.LangID for table in tables], [b"080404b0"])
        strings = tables[0].entries
        self.assertEqual(strings[b"FileVersion"], text)
        self.assertEqual(strings[b"ProductVersion"], text)
        self.assertEqual(strings[b"OriginalFilename"], b"UpdateQuorilexVideo.exe")
        self.assertEqual(strings[b"CompanyName"], b"Quorilex")
        self.assertEqual(strings[b"FileDescription"].decode("utf-8"), "Quorilex 视频更新程序")
        self.assertIn(b"Quorilex", strings[b"LegalCopyright"])
        translations = [var.entry for info in self.pe.FileInfo[0] if info.Key == b"VarFileInfo" for var in info.Var]
        self.assertEqual(translations, [{b"Translation": "0x0804 0x04b0"}])

    def test_icon(self):
        """Explorer's and the taskbar's icon: IDI_ICON1, the sizes Windows asks for."""
        groups = [entry for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries
                  if entry.id == pefile.RESOURCE_TYPE["RT_GROUP_ICON"]]
        self.assertEqual([name.name.string for name in groups[0].directory.entries], [b"IDI_ICON1"])
        icons = [entry for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries if entry.id == pefile.RESOURCE_TYPE["RT_ICON"]]
        self.assertEqual(len(icons[0].directory.entries), 8)

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
        self.assertEqual(set(re.findall(r'<supportedOS\s+Id="([^"]+)"', text)), SUPPORTED_OS)


if __name__ == "__main__":
    Executable.path = sys.argv.pop(1)
    Executable.version = sys.argv.pop(1)
    Executable.arch = sys.argv.pop(1)
    unittest.main(verbosity=2)
