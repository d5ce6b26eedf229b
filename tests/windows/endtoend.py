#!/usr/bin/python3
"""The real UpdateQuorilexVideo.exe under Wine, used as a Windows user would.

The demo server publishes a real Windows Installer package made with wixl. The updater runs
in a working folder whose name holds Chinese characters and spaces and an old package;
xdotool presses its button; the shell hands the new package to Wine's msiexec, which must
install its payload under Program Files. A failed download leaves nothing and offers the
button again. At 144 DPI (150 %) the window is 1.5 times as large with the same layout.
A read-only working folder (a standard user under Program Files) sends the package to the
user's Downloads folder; a download killed with the whole session keeps its bytes, the next
start goes on from them (a Range in the server's log), and Enter installs from there; Escape
quits, and a second updater in the same folder quits at once.

Needs Xvfb (it starts one of its own), wine, wixl, xdotool and ImageMagick; the updater must
be built for --url with the demo key. Screenshots are kept in --work.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import unittest
import urllib.request
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine import WINE, Prefix  # noqa: E402

ARGS = None
TITLE = "UpdateQuorilexVideo"
BUTTON_COLOUR = (0x66, 0x99, 0xFF)
# The form's size at 96 DPI; Qt shows it at 700 x 402 because of its minimum height.
FORM = (700, 402)
PACKAGE = "QuorilexVideo_32.msi"
# The updater's partial file beside the package.
PARTIAL = re.compile(re.escape(PACKAGE) + r"\.[A-Za-z0-9]{6}\.part")
STATE = re.compile(re.escape(PACKAGE) + r"\.[A-Za-z0-9]{6}\.state")

def wait_until(predicate, timeout, interval=0.2):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def xdotool(*args):
    result = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=20)
    return result.stdout.strip()


class Image:
    """A screenshot of a part of the screen, as RGB pixels."""

    def __init__(self, path, x, y, width, height):
        subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (width, height, x, y),
                        "+repage", path], check=True)
        ppm = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True, capture_output=True).stdout
        magic, w, h, maximum, self.pixels = ppm.split(maxsplit=4)
        assert magic == b"P6" and maximum == b"255"
        self.path, self.width, self.height = path, int(w), int(h)

    def at(self, x, y):
        offset = 3 * (y * self.width + x)
        return tuple(self.pixels[offset:offset + 3])

    def box(self, matches, left, top, right, bottom):
        """The bounding box (x, y, width, height) of the pixels in the region that match."""
        xs, ys = [], []
        for y in range(int(top * self.height), int(bottom * self.height)):
            for x in range(int(left * self.width), int(right * self.width)):
                if matches(self.at(x, y)):
                    xs.append(x)
                    ys.append(y)
        if not xs:
            return None
        return (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)

    def button(self):
        # The illustration holds the same blue; the button sits in the left half.
        return self.box(lambda p: p == BUTTON_COLOUR, 0, 0, 0.5, 1)

    def cross(self):
        # The grey cross in the top right corner; the background there is a pale blue.
        return self.box(lambda p: max(p) - min(p) < 16 and max(p) < 200, 0.85, 0, 1, 0.2)


def centre(box):
    return (box[0] + box[2] // 2, box[1] + box[3] // 2)


def close_to(actual, expected, tolerance):
    return all(abs(a - e) <= tolerance for a, e in zip(actual, expected))


class DemoServer:
    def __init__(self, *args):
        port = ARGS.url.rsplit(":", 1)[1]
        self.process = subprocess.Popen([sys.executable, ARGS.server, "--port", port, *args],
                                        stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("listening on "):
            raise RuntimeError("the demo server did not start: %r" % line)

    def transfers(self):
        """Per package answer: path, Range asked for (- for none), status, body bytes sent."""
        with urllib.request.urlopen(ARGS.url + "/requests?detail=1", timeout=10) as answer:
            return [line.split(" ") for line in answer.read().decode("utf-8").splitlines()]

    def requests(self):
        with urllib.request.urlopen(ARGS.url + "/requests", timeout=10) as answer:
            return answer.read().decode("utf-8").split()

    def stop(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


class Updater:
    """One run of the .exe in the prefix, with its window found on the display."""

    def __init__(self, prefix, folder):
        # The pointer rests outside the window, so no hover colour hides the button's.
        xdotool("mousemove", "0", "0")
        self.process = prefix.start(ARGS.updater, ["--unknown-option"], cwd=folder)
        # Wine starts slowly on a busy machine: the bound is for a hang, and a program that
        # quit instead says so.
        self.window = wait_until(lambda: xdotool("search", "--onlyvisible", "--name", "^%s$" % TITLE)
                                 .split("\n")[0] or self.process.poll() is not None, 120)
        if self.window is True:
            raise AssertionError("the updater quit with %s before showing a window" % self.process.returncode)

    def geometry(self):
        values = dict(line.split("=", 1) for line in xdotool("getwindowgeometry", "--shell", self.window).split("\n")
                      if "=" in line)
        return tuple(int(values[key]) for key in ("X", "Y", "WIDTH", "HEIGHT"))

    def screenshot(self, name):
        return Image(os.path.join(ARGS.work, name), *self.geometry())

    def offer(self, name):
        """A screenshot once the window shows its offer: Wine maps a window before its first
        paint. None if the button never shows."""
        def painted():
            image = self.screenshot(name)
            return image if image.button() else None
        return wait_until(painted, 30, 0.5)

    def click(self, point):
        x, y, _, _ = self.geometry()
        xdotool("mousemove", str(x + point[0]), str(y + point[1]), "click", "1")
        # Away again, so that later screenshots show the button's own colour.
        xdotool("mousemove", "0", "0")

    def exit_code(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def key(self, name):
        # Without a window manager the keyboard goes to the window under the pointer: it
        # rests on the panel's empty corner, away from the button and the cross.
        x, y, _, height = self.geometry()
        xdotool("mousemove", str(x + 20), str(y + height - 20))
        xdotool("key", name)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(ARGS.work, ignore_errors=True)
        os.makedirs(ARGS.work)
        cls.prefix = Prefix(os.path.join(ARGS.work, "wine"))
        cls.prefix.create(dpi=96)

        cls.package = cls.make_package("main")

    @classmethod
    def make_package(cls, name, padding=0):
        """A real package whose payload, under its own folder in Program Files, says which
        test installed it; `padding` bytes that do not compress make it larger."""
        work = os.path.join(ARGS.work, "package-" + name)
        os.makedirs(work)
        token = uuid.uuid4().hex
        with open(os.path.join(work, "payload.txt"), "wb") as f:
            f.write(token.encode() + os.urandom(padding))
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "data", "package.wxs")
        with open(source) as f:
            wxs = f.read().replace('Name="QuorilexVideoTest"', 'Name="QuorilexVideoTest-%s"' % name)
        with open(os.path.join(work, "package.wxs"), "w") as f:
            f.write(re.sub(r'\bGuid="[^"]+"', 'Guid="%s"' % uuid.uuid4(), wxs))
        path = os.path.join(work, "QuorilexVideoTest.msi")
        subprocess.run(["wixl", "-a", "x86", "-o", path, "package.wxs"], cwd=work, check=True)
        return {"path": path, "token": token, "folder": "QuorilexVideoTest-" + name}

    @classmethod
    def signed_record(cls, download_path, package):
        """The version-check answer for the package at that path, written by signrelease.exe
        from the same build, as a publisher on Windows would."""
        signrelease = os.path.join(os.path.dirname(ARGS.updater), "signrelease.exe")
        notes = os.path.join(os.path.dirname(ARGS.server), "release-notes.txt")
        body = os.path.join(ARGS.work, "record%s-%s.json" % (download_path.replace("/", "-"), package["folder"]))
        with open(body, "w") as out:
            subprocess.run([WINE, signrelease, "record", "Z:" + ARGS.secret_key, "Z:" + package["path"], "3.1.0",
                            "1764547200", "Z:" + notes, ARGS.url + download_path],
                           env=cls.prefix.env(), check=True, stdout=out)
        # Re-signed as the daily job does: the record is replaced in one rename, which
        # Windows allows only once nothing holds it open.
        subprocess.run([WINE, signrelease, "resign", "Z:" + body, "Z:" + ARGS.secret_key],
                       env=cls.prefix.env(), check=True)
        with open(body) as f:
            if '"RecordSignature"' not in f.read():
                raise RuntimeError("signrelease.exe did not sign the record")
        return body

    @classmethod
    def tearDownClass(cls):
        cls.prefix.stop()

    def setUp(self):
        self.server = None
        self.updater = None
        self.mounted = False
        # A record kept by one test would be the floor of the next one's, signed at the same time.
        for profile in self.prefix.user_folders():
            for name in ("record.json", "install-number"):
                kept = os.path.join(profile, "AppData", "Local", "UpdateQuorilexVideo", name)
                if os.path.exists(kept):
                    os.unlink(kept)
        # Chinese characters and spaces in the working folder's path.
        self.folder = os.path.join(ARGS.work, "视频 更新 %s" % self.id().rsplit(".", 1)[1])
        os.makedirs(self.folder)

    def tearDown(self):
        if self.updater:
            self.updater.kill()
        if self.server:
            self.server.stop()
        if self.mounted:
            self.prefix.stop()
            subprocess.run(["umount", self.folder], check=True)

    def offer(self, *args, download="/download/QuorilexVideo_32.msi", package=None):
        package = package or self.package
        self.server = DemoServer("--package", package["path"], "--body", self.signed_record(download, package), *args)

    def assert_installed(self, package):
        """msiexec installs on its own time."""
        payload = self.prefix.program_files(package["folder"], "payload.txt")

        def installed():
            try:
                with open(payload, "rb") as f:
                    return f.read(len(package["token"])) == package["token"].encode()
            except OSError:
                return False
        self.assertTrue(wait_until(installed, 90, 1), "msiexec did not install " + package["folder"])

    def assert_downloaded(self, path, package):
        with open(package["path"], "rb") as served, open(path, "rb") as downloaded:
            self.assertTrue(downloaded.read() == served.read(), path + " differs from the package served")

    def start(self):
        self.updater = Updater(self.prefix, self.folder)
        self.assertTrue(self.updater.window, "no window appeared")
        return self.updater

    def close(self, updater, image):
        cross = image.cross()
        self.assertIsNotNone(cross, "no cross in " + image.path)
        updater.click(centre(cross))
        self.assertEqual(updater.exit_code(15), 0)

    def test_1_update_installs_the_release(self):
        old = os.path.join(self.folder, "QuorilexVideo_32.msi")
        with open(old, "wb") as f:
            f.write(b"an older package")
        self.offer("--rate", "2000000")
        updater = self.start()
        self.assertTrue(close_to(updater.geometry()[2:], FORM, 2), updater.geometry())
        image = updater.offer("window-96dpi.png")
        self.assertIsNotNone(image, "no update button on the screen")
        button = image.button()
        self.assertTrue(close_to(button[2:], (100, 30), 1), button)

        updater.click(centre(button))
        # The download, the hand-off to the shell, then the updater's own exit.
        self.assertEqual(updater.exit_code(60), 0)
        self.assert_downloaded(old, self.package)
        self.assertEqual(os.listdir(self.folder), [PACKAGE])
        self.assert_installed(self.package)

    def test_2_failed_download_offers_the_button_again(self):
        with open(os.path.join(self.folder, "QuorilexVideo_32.msi"), "wb") as f:
            f.write(b"an older package")
        self.offer(download="/status/404")
        updater = self.start()
        image = updater.offer("before-404.png")
        self.assertIsNotNone(image, "no update button on the screen")
        button = image.button()
        updater.click(centre(button))

        # The download fails at once; the updater stays, leaves nothing and its button works again.
        self.assertTrue(wait_until(lambda: self.server.requests().count("/status/404") == 1, 20))
        time.sleep(1)
        self.assertIsNone(updater.exit_code(0))
        self.assertEqual(os.listdir(self.folder), [])
        # The shorter text beside it moves the button; its size stays.
        image = updater.screenshot("after-404.png")
        again = image.button()
        self.assertIsNotNone(again, "no update button in " + image.path)
        self.assertEqual(again[2:], button[2:])
        updater.click(centre(again))
        self.assertTrue(wait_until(lambda: self.server.requests().count("/status/404") == 2, 20))
        self.close(updater, image)

    def test_3_scaled_at_150_percent(self):
        self.offer()
        shots = {}
        for dpi in (96, 144):
            self.prefix.set_dpi(dpi)
            updater = self.start()
            shots[dpi] = updater.offer("window-%ddpi.png" % dpi), updater.geometry()
            self.assertIsNotNone(shots[dpi][0], "no update button at %d DPI" % dpi)
            self.close(updater, shots[dpi][0])
        self.prefix.set_dpi(96)
        (small, small_geometry), (large, large_geometry) = shots[96], shots[144]

        self.assertTrue(close_to(large_geometry[2:], (FORM[0] * 1.5, FORM[1] * 1.5), 2), large_geometry)
        # Every piece where it was, 1.5 times as large.
        for piece in ("button", "cross"):
            expected = tuple(v * 1.5 for v in getattr(small, piece)())
            self.assertTrue(close_to(getattr(large, piece)(), expected, 3), (piece, getattr(large, piece)(), expected))
        # The same picture at the same size: texts wrapped or clipped differently would differ here.
        scaled = os.path.join(ARGS.work, "window-144dpi-scaled.png")
        subprocess.run(["convert", large.path, "-resize", "%dx%d!" % (small.width, small.height), scaled], check=True)
        compared = subprocess.run(["compare", "-metric", "RMSE", small.path, scaled, "null:"],
                                  capture_output=True, text=True)
        difference = float(compared.stderr.split("(")[1].rstrip(")"))
        print("144 DPI against 96 DPI, RMSE %.4f" % difference)
        self.assertLess(difference, 0.05)


    def test_4_read_only_working_folder_downloads_to_the_users_folder(self):
        # A standard user in a per-machine install's folder cannot create files there.
        if os.geteuid() != 0:
            self.skipTest("a read-only bind mount needs root")
        package = self.make_package("readonly")
        self.offer(package=package)
        subprocess.run(["mount", "--bind", self.folder, self.folder], check=True)
        self.mounted = True
        subprocess.run(["mount", "-o", "remount,ro,bind", self.folder], check=True)
        updater = self.start()
        image = updater.offer("read-only-folder.png")
        self.assertIsNotNone(image, "no update button on the screen")
        updater.click(centre(image.button()))

        self.assertEqual(updater.exit_code(60), 0)
        downloaded = [os.path.join(profile, "Downloads", PACKAGE) for profile in self.prefix.user_folders()]
        downloaded = [path for path in downloaded if os.path.exists(path)]
        self.assertEqual(len(downloaded), 1, "no package in the user's Downloads folder")
        self.assert_downloaded(downloaded[0], package)
        self.assertEqual(os.listdir(self.folder), [])
        self.assert_installed(package)

    def test_5_killed_download_resumes_after_the_next_start(self):
        # Large and slow enough to be caught in the middle.
        package = self.make_package("killed", padding=12_000_000)
        self.offer("--rate", "1000000", package=package)
        updater = self.start()
        image = updater.offer("before-kill.png")
        self.assertIsNotNone(image, "no update button on the screen")
        updater.click(centre(image.button()))
        # The state beside the partial file is written once a second at most.
        def partial_and_state():
            names = sorted(name for name in os.listdir(self.folder) if PARTIAL.fullmatch(name) or STATE.fullmatch(name))
            return names if len(names) == 2 else None
        kept = wait_until(partial_and_state, 30)
        self.assertTrue(kept, "no state while downloading: %s" % os.listdir(self.folder))
        # Log-off or power loss: every Windows process of the session ends at once.
        self.prefix.stop()
        updater.exit_code(20)
        self.assertEqual(sorted(os.listdir(self.folder)), kept)

        updater = self.start()
        image = updater.offer("after-kill.png")
        self.assertIsNotNone(image, "no update button after the restart")
        self.assertEqual(sorted(os.listdir(self.folder)), kept)
        # The offered update has the focus: Enter installs it.
        updater.key("Return")
        self.assertEqual(updater.exit_code(60), 0)
        self.assertEqual(os.listdir(self.folder), [PACKAGE])
        self.assert_downloaded(os.path.join(self.folder, PACKAGE), package)
        self.assert_installed(package)
        last = self.server.transfers()[-1]
        self.assertRegex(last[1], r"^bytes=[1-9][0-9]*-$", "the next start asked for the whole package again")
        self.assertEqual(last[2], "206")

    def test_6_escape_quits_and_a_second_updater_leaves_the_first_alone(self):
        self.offer()
        updater = self.start()
        self.assertIsNotNone(updater.offer("escape.png"), "no update button on the screen")
        second = self.prefix.start(ARGS.updater, cwd=self.folder)
        try:
            self.assertEqual(second.wait(60), 0)
        finally:
            if second.poll() is None:
                second.kill()
        self.assertEqual(xdotool("search", "--onlyvisible", "--name", "^%s$" % TITLE).split(), [updater.window])
        self.assertIsNone(updater.exit_code(0))

        updater.key("Escape")
        self.assertEqual(updater.exit_code(15), 0)
        self.assertEqual(os.listdir(self.folder), [])


def own_display():
    """An Xvfb of this test's own, so that no other window gets in the way of its screenshots
    and clicks; it ends with this process."""
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24", "-noreset"],
                              pass_fds=(write,), stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as announced:
        number = announced.readline().strip()
    if not number:
        raise RuntimeError("Xvfb did not start")
    os.environ["DISPLAY"] = ":" + number
    return server


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--updater", required=True, help="UpdateQuorilexVideo.exe")
    parser.add_argument("--work", required=True, help="a folder for the prefix, the packages and the screenshots")
    parser.add_argument("--server", required=True, help="demo/update_server.py")
    parser.add_argument("--secret-key", required=True, help="demo/demo-key.secret")
    parser.add_argument("--url", required=True, help="the update server the updater was built for")
    ARGS, rest = parser.parse_known_args()
    ARGS.work = os.path.abspath(ARGS.work)
    display = own_display()
    try:
        program = unittest.main(argv=[sys.argv[0], *rest], verbosity=2, exit=False)
    finally:
        display.terminate()
        display.wait()
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
