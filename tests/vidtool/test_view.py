"""vidtool view on a virtual X server: the window's picture is exactly what
replay writes, at scale 1 and 0.5; the window's close request (a window
manager's close button), Ctrl-C and SIGTERM end it with status 0 and say
which did, in every state: before the window is up, while a paced file
plays, at the end of the file, and on a device that sends nothing (a
scripted usbdevfs device, tests/usbfake); before any window a signal ends
it at once. A --rate paces the file; the statistics print at the end of a
file even when the window never came up; bad input and a missing display
get one line and no window. The test starts its own Xvfb. Debian's
python3 with Pillow (its X grab), python-xlib (what a window manager
would do) and Tk; every wait has a bound and says what it waited for."""
import faulthandler
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.realpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "python"))
sys.path.insert(0, os.path.join(TOP, "tests", "usbfake"))
sys.path.insert(0, HERE)
import scripted  # noqa: E402
from required import skip_or_fail  # noqa: E402
from xwindow import (SHOWN, HeldMaps, Lines, close_window, differing, map_window,  # noqa: E402
                     start_xvfb, stop_xvfb, unmap_window, wait_picture, wait_window)

VIDTOOL = os.path.join(TOP, "vidtool")
SAMPLE = os.path.join(TOP, "samples", "desktop.stream")
TITLE = "vidtool view: desktop.stream"
SAMPLE_BYTES, SAMPLE_CHUNK = 329728, 16384
# Seconds a view may take to end once asked, and to show its window:
# generous, so that a loaded machine passes too (its own work is well
# under a second).
ENDS_WITHIN = 20
SHOWS_WITHIN = 60
# A rate (MB/s) at which the sample plays for 16 s: it is still playing
# when the test stops it.
SLOW = "0.02"
TERMINATED = re.compile(r"^closed +(.*)$", re.M)


class ViewTestBase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.xvfb, cls.display = start_xvfb()
        cls.tmp = tempfile.mkdtemp(prefix="vidtool-view-")

    @classmethod
    def tearDownClass(cls):
        if cls.xvfb is not None:
            stop_xvfb(cls.xvfb)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        # Whatever else waits (an X call to a server that stopped
        # answering) ends the test with every thread's stack, well before
        # ctest's limit.
        faulthandler.dump_traceback_later(150, exit=True)
        self.addCleanup(faulthandler.cancel_dump_traceback_later)

    def need_display(self):
        if self.xvfb is None:
            skip_or_fail(self, "xvfb", self.display)

    def env(self, base=None, **more):
        """The environment with DISPLAY on the test's server (where there is one)."""
        env = dict(os.environ if base is None else base)
        if self.xvfb:
            env["DISPLAY"] = self.display
        env.update(more)
        return dict((k, v) for k, v in env.items() if v is not None)

    def view(self, *args, **kw):
        """A running view: (process, its standard output, its standard error)."""
        proc = subprocess.Popen([VIDTOOL, "view"] + [str(a) for a in args], env=self.env(kw.get("env")),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        self.addCleanup(self.reap, proc)
        return proc, Lines(proc.stdout), Lines(proc.stderr)

    def reap(self, proc):
        if proc.poll() is None:
            proc.kill()
            proc.wait(ENDS_WITHIN)

    def said(self, out, err):
        return "\nits standard output:\n%s\nits standard error:\n%s" % (out.text(1), err.text(1))

    def expect(self, proc, out, err, pattern, what, timeout=SHOWS_WITHIN):
        """The match of the view's first output line that matches pattern;
        fails, saying so, if none came within timeout seconds."""
        m = out.wait_for(pattern, timeout)
        if m is None:
            proc.kill()
            self.fail("no %s within %d s%s" % (what, timeout, self.said(out, err)))
        return m

    def expect_window(self, proc, out, err):
        """The moment the view's window was first seen on the screen."""
        at = wait_window(self.display, TITLE, SHOWS_WITHIN)
        if at is None:
            proc.kill()
            self.fail("no window %r within %d s%s" % (TITLE, SHOWS_WITHIN, self.said(out, err)))
        return at

    def ended(self, proc, out, err, after):
        """(exit status, standard output, standard error) of a view that
        must end within ENDS_WITHIN seconds of `after` (what was done)."""
        try:
            rc = proc.wait(ENDS_WITHIN)
        except subprocess.TimeoutExpired:
            proc.kill()
            self.fail("view did not end within %d s of %s%s" % (ENDS_WITHIN, after, self.said(out, err)))
        return rc, out.text(), err.text()

    def closes(self, proc, out, err, how, closed, title=TITLE):
        """Ends the view by how (a signal, or "close" for the close request
        of its window, named title); it must end with status 0, nothing on
        standard error, and the closing line `closed`. Returns its output."""
        if how == "close":
            self.assertTrue(close_window(self.display, title), "no window %r on the display" % title)
            after = "the window's close request"
        else:
            proc.send_signal(how)
            after = "signal %d" % how
        rc, text, errors = self.ended(proc, out, err, after)
        self.assertEqual((rc, errors), (0, ""), "after %s%s" % (after, self.said(out, err)))
        m = TERMINATED.search(text)
        self.assertEqual(m and m.group(1), closed, "after %s: %s" % (after, text))
        return text


CLOSED_BY = (("close", "by the window's close request"), (signal.SIGINT, "by SIGINT (Ctrl-C)"),
             (signal.SIGTERM, "by SIGTERM"))


class ViewTest(ViewTestBase):
    def replayed(self, scale):
        png = os.path.join(self.tmp, "replay-%s.png" % scale)
        rc = subprocess.call([VIDTOOL, "replay", SAMPLE, png, "--scale", str(scale)],
                             stdout=subprocess.DEVNULL, timeout=120)
        self.assertEqual(rc, 0)
        with Image.open(png) as im:
            return im.size, im.convert("RGB").tobytes()

    def test_the_window_shows_the_replayed_picture(self):
        self.need_display()
        for scale, sig, by in ((1, signal.SIGINT, "by SIGINT (Ctrl-C)"), (0.5, signal.SIGTERM, "by SIGTERM")):
            size, want = self.replayed(scale)
            proc, out, err = self.view(SAMPLE, "--scale", scale)
            m = self.expect(proc, out, err, SHOWN, "picture shown")
            w, h, x, y = (int(v) for v in m.groups()[:4])
            self.assertEqual((w, h), size)
            self.assertTrue(m.group(5).startswith(self.display), m.group(5))
            # The window stays on the last picture; give the server a moment
            # to have drawn it.
            got = wait_picture(self.display, (x, y, w, h), want, 10)
            self.assertTrue(got == want, "scale %s: %s" % (scale, differing(got, want)))
            time.sleep(0.3)
            self.assertIsNone(proc.poll())
            text = self.closes(proc, out, err, sig, "at the end of the stream, " + by)
            self.assertIn("tiles decoded 1900\n", text)
            self.assertIn("incomplete    0 chunks", text)
            self.assertEqual(text.count("tiles decoded"), 1, text)

    def test_each_way_of_closing_ends_it_at_the_end_of_the_file(self):
        self.need_display()
        for how, by in CLOSED_BY:
            proc, out, err = self.view(SAMPLE, "--scale", "0.25")
            self.expect(proc, out, err, SHOWN, "picture shown")
            self.closes(proc, out, err, how, "at the end of the stream, " + by)

    def test_a_close_request_reaches_a_server_that_runs_late(self):
        # A busy machine may not run the X server between a client's
        # sending and its disconnecting; the server then drops what it had
        # not read. Frozen from the sending for a second, it must still
        # pass the request on.
        self.need_display()
        from Xlib.xobject import drawable
        real_send = drawable.Window.send_event
        thaw = []

        def send_while_frozen(window, *args, **kw):
            os.kill(self.xvfb.pid, signal.SIGSTOP)
            thaw.append(threading.Timer(1.0, os.kill, (self.xvfb.pid, signal.SIGCONT)))
            thaw[-1].start()
            return real_send(window, *args, **kw)
        proc, out, err = self.view(SAMPLE, "--scale", "0.25")
        self.expect(proc, out, err, SHOWN, "picture shown")
        drawable.Window.send_event = send_while_frozen
        try:
            self.closes(proc, out, err, "close", "at the end of the stream, by the window's close request")
        finally:
            drawable.Window.send_event = real_send
            for timer in thaw:
                timer.join()
            os.kill(self.xvfb.pid, signal.SIGCONT)

    def test_each_way_of_closing_ends_it_while_it_plays(self):
        self.need_display()
        for how, by in CLOSED_BY:
            proc, out, err = self.view(SAMPLE, "--rate", SLOW, "--scale", "0.25")
            self.expect_window(proc, out, err)
            text = self.closes(proc, out, err, how, "before the end, " + by)
            # The statistics of what was played.
            self.assertIn("tiles decoded", text)

    def test_each_way_of_closing_ends_it_before_its_window_is_up(self):
        # As under a window manager that has not mapped the new window yet.
        self.need_display()
        held = HeldMaps(self.display)
        self.addCleanup(held.close)
        for how, by in CLOSED_BY:
            proc, out, err = self.view(SAMPLE, "--rate", SLOW, "--scale", "0.25")
            if not held.wait(SHOWS_WITHIN):
                proc.kill()
                self.fail("the view asked for no window within %d s%s" % (SHOWS_WITHIN, self.said(out, err)))
            text = self.closes(proc, out, err, how, "before the end, " + by)
            self.assertNotIn("shown", text)

    def test_a_signal_before_any_window_ends_it_at_once(self):
        # The stream is a pipe that has nothing to read yet: view waits in
        # its read, with no window and no loop to notice a signal.
        fifo = os.path.join(self.tmp, "slow.stream")
        os.mkfifo(fifo)
        self.addCleanup(os.unlink, fifo)
        for sig, name in ((signal.SIGINT, "SIGINT (Ctrl-C)"), (signal.SIGTERM, "SIGTERM")):
            proc, out, err = self.view(fifo)
            writer = None
            deadline = time.monotonic() + SHOWS_WITHIN
            while writer is None:
                try:
                    writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)   # once view has it open
                except OSError:
                    self.assertIsNone(proc.poll(), "view ended: %s" % self.said(out, err))
                    self.assertLess(time.monotonic(), deadline, "view did not open %s within %d s"
                                    % (fifo, SHOWS_WITHIN))
                    time.sleep(0.01)
            try:
                proc.send_signal(sig)
                rc, text, errors = self.ended(proc, out, err, "signal %d" % sig)
            finally:
                os.close(writer)
            self.assertEqual((rc, text, errors), (128 + sig, "", "vidtool: interrupted by %s\n" % name))

    def test_a_rate_paces_the_file(self):
        self.need_display()
        rate = 0.0625
        # The last chunk is due 5 s after the first, which the window shows
        # as soon as it is up; unpaced, a loaded machine plays the sample
        # in 1 to 2 s.
        due = (SAMPLE_BYTES - SAMPLE_CHUNK) / (rate * 1e6)
        proc, out, err = self.view(SAMPLE, "--rate", rate, "--scale", "0.25")
        up = self.expect_window(proc, out, err)
        self.expect(proc, out, err, SHOWN, "picture shown", due + SHOWS_WITHIN)
        played = time.monotonic() - up
        # Below: how late this test may notice the window; above: how late
        # a busy machine may run the loop.
        self.assertGreater(played, due - 0.75, "played in %.2f s, due in %.2f s" % (played, due))
        self.assertLess(played, due + 4, "played in %.2f s, due in %.2f s" % (played, due))
        text = self.closes(proc, out, err, signal.SIGINT, "at the end of the stream, by SIGINT (Ctrl-C)")
        self.assertIn("stream        %d bytes in 21 chunks" % SAMPLE_BYTES, text)

    def test_the_statistics_print_at_the_end_of_a_file_the_window_never_showed(self):
        self.need_display()
        held = HeldMaps(self.display)
        self.addCleanup(held.close)
        proc, out, err = self.view(SAMPLE, "--scale", "0.25")
        self.expect(proc, out, err, re.compile("^tiles decoded 1900$"), "statistics at the end")
        text = self.closes(proc, out, err, signal.SIGTERM, "at the end of the stream, by SIGTERM")
        self.assertEqual(text.count("tiles decoded"), 1, text)
        self.assertNotIn("shown", text)

    def test_a_window_taken_off_the_screen_shows_where_it_is_when_back(self):
        # Iconified before the end, then back: the statistics come at the
        # end, where the picture is once it is on the screen again.
        self.need_display()
        proc, out, err = self.view(SAMPLE, "--rate", "0.1", "--scale", "0.25")
        self.expect_window(proc, out, err)
        self.assertTrue(unmap_window(self.display, TITLE))
        self.expect(proc, out, err, re.compile("^tiles decoded 1900$"), "statistics at the end")
        self.assertIsNone(SHOWN.search(out.so_far()), out.so_far())
        self.assertTrue(map_window(self.display, TITLE))
        self.expect(proc, out, err, SHOWN, "picture shown")
        self.closes(proc, out, err, "close", "at the end of the stream, by the window's close request")

    def test_a_failure_in_the_loop_ends_it(self):
        # The loop's exception ends the window and comes out of show(),
        # where Tk would print it and keep a window with no loop running.
        self.need_display()
        code = "\n".join([
            "import sys; sys.path.insert(0, %r)" % os.path.join(TOP, "tools"),
            "from vidtool import common, window",
            "class Broken(object):",
            "    error = None",
            "    def take(self): raise ZeroDivisionError('the source broke')",
            "    def ended(self): return False",
            "    def wait(self): return 0.0",
            "(vidframe,) = common.load_modules('vidframe')",
            "with common.Interrupt() as interrupt:",
            "    try:",
            "        window.show('broken', vidframe, (32, 32), 1.0, Broken(), interrupt)",
            "    except ZeroDivisionError as e:",
            "        print('raised:', e)",
        ])
        try:
            proc = subprocess.run([sys.executable, "-c", code], env=self.env(), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, universal_newlines=True,
                                  timeout=SHOWS_WITHIN + ENDS_WITHIN)
        except subprocess.TimeoutExpired as e:
            self.fail("the window stayed after its loop failed: %s" % e)
        self.assertEqual((proc.returncode, proc.stdout), (0, "raised: the source broke\n"), proc.stderr)

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


class ViewDeviceTest(ViewTestBase):
    """view --device on a scripted usbdevfs device that accepts the reads
    and completes none of them."""

    def device(self):
        return scripted.device(self)

    def test_each_way_of_closing_ends_it_on_a_device_that_sends_nothing(self):
        self.need_display()
        for how, by in CLOSED_BY:
            dev = self.device()
            proc, out, err = self.view("--device", dev.node, "--size", "64x48", env=dev.env())
            self.expect(proc, out, err, SHOWN, "window up")
            dev.wait_queued(9, SHOWS_WITHIN)
            text = self.closes(proc, out, err, how, "before the end, " + by, "vidtool view: " + dev.node)
            self.assertIn("stream        0 bytes in 0 chunks", text)
            # Every read discarded, then the interface released.
            events = [e[0] for e in dev.events("claim", "discard", "release")]
            self.assertEqual(events, ["claim"] + ["discard"] * 9 + ["release"], how)


class NoTkElsewhereTest(unittest.TestCase):
    def test_the_other_subcommands_do_not_load_tk(self):
        out = os.path.join(tempfile.mkdtemp(prefix="vidtool-notk-"), "o.png")
        self.addCleanup(shutil.rmtree, os.path.dirname(out))
        code = ("import sys; sys.path.insert(0, %r); import vidtool; "
                "assert vidtool.main(['replay', %r, %r, '--scale', '0.25']) == 0; "
                "print(sorted(m for m in sys.modules if m.split('.')[0] in ('tkinter', '_tkinter')))"
                % (os.path.join(TOP, "tools"), SAMPLE, out))
        proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, universal_newlines=True,
                              timeout=120)
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(proc.stdout.endswith("[]\n"), proc.stdout)


if __name__ == "__main__":
    unittest.main()
