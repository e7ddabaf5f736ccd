"""vidtool view on a virtual X server: the window's picture is exactly what
replay writes, at scale 1 and 0.5; Ctrl-C, a kill and the window's close
request (a window manager's close button) end it cleanly; a
--rate paces the file; bad input and a missing display get one line and no
window. The test starts its own Xvfb (skipped, saying so, where there is
none). Debian's python3 with Pillow (its X grab) and Tk."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.realpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "python"))
from xwindow import SHOWN, Lines, close_window, differing, start_xvfb, stop_xvfb, wait_picture  # noqa: E402

VIDTOOL = os.path.join(TOP, "vidtool")
SAMPLE = os.path.join(TOP, "samples", "desktop.stream")


class ViewTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.xvfb, cls.display = start_xvfb()
        cls.tmp = tempfile.mkdtemp(prefix="vidtool-view-")

    @classmethod
    def tearDownClass(cls):
        if cls.xvfb is not None:
            stop_xvfb(cls.xvfb)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def need_display(self):
        if self.xvfb is None:
            self.skipTest(self.display)

    def env(self, **more):
        """The environment with DISPLAY on the test's server (where there is one)."""
        env = dict(os.environ, DISPLAY=self.display) if self.xvfb else dict(os.environ)
        env.update(more)
        return dict((k, v) for k, v in env.items() if v is not None)

    def view(self, *args):
        proc = subprocess.Popen([VIDTOOL, "view"] + [str(a) for a in args], env=self.env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        return proc, Lines(proc.stdout)

    def replayed(self, scale):
        png = os.path.join(self.tmp, "replay-%s.png" % scale)
        rc = subprocess.call([VIDTOOL, "replay", SAMPLE, png, "--scale", str(scale)],
                             stdout=subprocess.DEVNULL)
        self.assertEqual(rc, 0)
        with Image.open(png) as im:
            return im.size, im.convert("RGB").tobytes()

    def stop(self, proc, lines, sig=signal.SIGINT):
        proc.send_signal(sig)
        err = proc.stderr.read()
        self.assertEqual(proc.wait(20), 0, err)
        self.assertEqual(err, "")
        out = lines.text()
        self.assertIn("closed        at the end of the stream", out)
        return out

    def test_the_window_shows_the_replayed_picture(self):
        self.need_display()
        for scale, sig in ((1, signal.SIGINT), (0.5, signal.SIGTERM)):
            size, want = self.replayed(scale)
            proc, lines = self.view(SAMPLE, "--scale", scale)
            m = lines.wait_for(SHOWN, 60)
            if m is None:
                proc.kill()
                self.fail("no picture shown: %s%s" % (lines.text(), proc.stderr.read()))
            w, h, x, y = (int(v) for v in m.groups()[:4])
            self.assertEqual((w, h), size)
            self.assertTrue(m.group(5).startswith(self.display), m.group(5))
            # The window stays on the last picture; give the server a moment
            # to have drawn it.
            got = wait_picture(self.display, (x, y, w, h), want, 10)
            self.assertTrue(got == want, "scale %s: %s" % (scale, differing(got, want)))
            time.sleep(0.3)
            self.assertIsNone(proc.poll())
            out = self.stop(proc, lines, sig)
            self.assertIn("tiles decoded 1900\n", out)
            self.assertIn("incomplete    0 chunks", out)

    def test_closing_the_window_ends_it(self):
        self.need_display()
        proc, lines = self.view(SAMPLE, "--scale", "0.25")
        if lines.wait_for(SHOWN, 60) is None:
            proc.kill()
            self.fail("no picture shown: %s%s" % (lines.text(), proc.stderr.read()))
        self.assertTrue(close_window(self.display, "vidtool view: desktop.stream"),
                        "no window of that name on the display")
        err = proc.stderr.read()
        self.assertEqual(proc.wait(20), 0, err)
        self.assertEqual(err, "")
        self.assertIn("closed        at the end of the stream", lines.text())

    def test_a_rate_paces_the_file(self):
        self.need_display()
        started = time.monotonic()
        proc, lines = self.view(SAMPLE, "--rate", "0.25", "--scale", "0.25")
        self.assertIsNotNone(lines.wait_for(SHOWN, 60))
        # 329728 bytes: the last 16 KiB chunk is due 1.25 s after the first.
        self.assertGreaterEqual(time.monotonic() - started, 1.25)
        self.stop(proc, lines)

    def test_bad_input_and_no_display_get_one_line_and_no_window(self):
        # With the test's server on DISPLAY, each must be refused before a
        # window opens; without one they are refused all the same.
        missing = os.path.join(self.tmp, "missing.stream")
        cases = [
            (["view", missing], {}, "missing.stream: no such file"),
            (["view"], {}, "view needs a STREAM file or --device NODE"),
            (["view", SAMPLE, "--device", "/dev/null"], {}, "view needs a STREAM file or --device NODE"),
            (["view", "--device", "/dev/null"], {}, "give --size WxH"),
            (["view", "--device", "/dev/null", "--size", "64x64", "--rate", "5"], {}, "--rate paces a stream file"),
            (["view", "--device", "/dev/null", "--size", "64x64"], {}, "/dev/null: not a usbdevfs node"),
            (["view", SAMPLE], {"DISPLAY": None}, "cannot open a window (no display name"),
            (["view", SAMPLE], {"DISPLAY": ":%d" % 7321}, "cannot open a window (couldn't connect to display"),
        ]
        for args, env, message in cases:
            proc = subprocess.run([VIDTOOL] + args, env=self.env(**env), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
            self.assertEqual(proc.returncode, 1, (args, proc.stderr))
            self.assertEqual(proc.stderr, "vidtool: %s" % proc.stderr[9:], args)
            self.assertIn(message, proc.stderr, args)
            self.assertEqual(len(proc.stderr.strip().splitlines()), 1, proc.stderr)
            self.assertEqual(proc.stdout, "", args)
        for args, message in ((["--scale", "2"], "scale 2 is outside"), (["--rate", "0"], "rate must be above 0"),
                              (["--rate", "fast"], "rate must be a number")):
            proc = subprocess.run([VIDTOOL, "view", SAMPLE] + args, env=self.env(), stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=60)
            self.assertEqual(proc.returncode, 2, args)
            self.assertIn(message, proc.stderr, args)
            self.assertNotIn("Traceback", proc.stderr, args)


class NoTkElsewhereTest(unittest.TestCase):
    def test_the_other_subcommands_do_not_load_tk(self):
        out = os.path.join(tempfile.mkdtemp(prefix="vidtool-notk-"), "o.png")
        self.addCleanup(shutil.rmtree, os.path.dirname(out))
        code = ("import sys; sys.path.insert(0, %r); import vidtool; "
                "assert vidtool.main(['replay', %r, %r, '--scale', '0.25']) == 0; "
                "print(sorted(m for m in sys.modules if m.split('.')[0] in ('tkinter', '_tkinter')))"
                % (os.path.join(TOP, "tools"), SAMPLE, out))
        proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, universal_newlines=True)
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(proc.stdout.endswith("[]\n"), proc.stdout)


if __name__ == "__main__":
    unittest.main()
