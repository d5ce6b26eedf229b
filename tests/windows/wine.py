"""Wine prefixes of the tests' own, and what the Windows tests need to run programs in them.

A 32-bit Windows, as the product's own users may have: prefixes are made with
WINEARCH=win32 (Debian's wine32:i386), where only 32-bit programs run; a 64-bit build's
tests set WINEARCH=win64 and WINE to Wine's 64-bit loader. Facts this relies on:
`wineserver -w` waits until a prefix settles and `-k` ends it; Wine reads its registry and
fonts from the prefix, and sees the host's / as drive Z:.
"""

import os
import shutil
import subprocess
import tempfile

WINESERVER = "/usr/lib/wine/wineserver"
WINE = os.environ.get("WINE", "wine")
WINEARCH = os.environ.get("WINEARCH", "win32")

# Tahoma is Windows' default UI font; "黑体" is the form's font, WenQuanYi stands in for it.
REGISTRY = """Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
"黑体"="WenQuanYi Micro Hei"

[HKEY_CURRENT_USER\\Control Panel\\Desktop]
"LogPixels"=dword:{dpi:08x}
"""


class Prefix:
    def __init__(self, path):
        self.path = os.path.abspath(path)

    def env(self, **extra):
        env = dict(os.environ)
        env.update(WINEPREFIX=self.path, WINEARCH=WINEARCH, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   # Wine turns Unix paths into Windows ones in the locale's code set: UTF-8,
                   # or a working folder with Chinese characters is lost.
                   LC_ALL="C.UTF-8")
        env.update(extra)
        return env

    def create(self, dpi=96):
        """A fresh prefix at the given DPI (96 is 100 %, 144 is 150 %)."""
        self.stop()
        shutil.rmtree(self.path, ignore_errors=True)
        subprocess.run([WINE, "wineboot", "-i"], env=self.env(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.settle()
        # Wine links the user's folders (Downloads among them) to the host's home; the tests'
        # programs write to folders of the prefix's own.
        for profile in self.user_folders():
            for name in os.listdir(profile):
                folder = os.path.join(profile, name)
                if os.path.islink(folder):
                    os.unlink(folder)
                    os.mkdir(folder)
        fonts = os.path.join(self.path, "drive_c", "windows", "Fonts")
        for name in os.listdir("/usr/share/wine/fonts"):
            if name.startswith("tahoma"):
                target = os.path.join(fonts, name)
                if not os.path.exists(target):
                    os.symlink(os.path.join("/usr/share/wine/fonts", name), target)
        self.set_dpi(dpi)

    def set_dpi(self, dpi):
        """Takes effect for programs started after the prefix was stopped."""
        self.stop()
        with tempfile.NamedTemporaryFile("wb", suffix=".reg", delete=False) as reg:
            reg.write(b"\xff\xfe" + REGISTRY.format(dpi=dpi).replace("\n", "\r\n").encode("utf-16-le"))
        try:
            subprocess.run([WINE, "regedit", "/S", "Z:" + reg.name], env=self.env(), check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.settle()
        finally:
            os.unlink(reg.name)

    def start(self, program, args=(), cwd=None):
        return subprocess.Popen([WINE, program, *args], cwd=cwd, env=self.env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def settle(self):
        subprocess.run([WINESERVER, "-w"], env=self.env(), check=False)

    def stop(self):
        if os.path.isdir(self.path):
            subprocess.run([WINESERVER, "-k"], env=self.env(), check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.settle()

    def user_folders(self):
        """The profile folders of the prefix's users (one, named after the Unix user)."""
        users = os.path.join(self.path, "drive_c", "users")
        return [os.path.join(users, name) for name in os.listdir(users) if name != "Public"]

    def program_files(self, *parts):
        """Where a 32-bit package installs."""
        folder = "Program Files (x86)" if WINEARCH == "win64" else "Program Files"
        return os.path.join(self.path, "drive_c", folder, *parts)


if __name__ == "__main__":
    import sys

    # The cross-built suite's prefix: wine.py PREFIX
    Prefix(sys.argv[1]).create()
