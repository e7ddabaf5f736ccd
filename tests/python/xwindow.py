"""A virtual X server for the window tests, the picture of a window's area,
and what a window manager would do to a window: shared by
tests/vidtool/test_view.py and the VM's view scenario
(tests/qemu/vm_record.py). Every wait has a bound. Python 3; grab() needs
Pillow, the window functions python-xlib."""
import os
import re
import select
import shutil
import subprocess
import tempfile
import threading
import time

# The line vidtool view prints once the picture is on the screen.
SHOWN = re.compile(r"shown +picture (\d+)x(\d+) at \+(\d+)\+(\d+) in a window .* of display (\S+)")

NO_XVFB = "no Xvfb here (apt-get install xvfb; scripts/setup.sh does)"


def _tail(log):
    """The last line the server wrote to its log, for a message."""
    log.seek(0)
    lines = log.read().decode(errors="replace").strip().splitlines()
    return lines[-1] if lines else "no message"


def start_xvfb(timeout=30):
    """(process, display name) of a fresh Xvfb on a free display number, or
    (None, why not). Xvfb keeps its socket and lock in /tmp, which must be
    writable. Its messages go to a file (a pipe nobody reads could fill and
    stop the server), kept as the process's `log`. It does not reset when
    its last client leaves: a client connecting while it did was turned
    away (about 3 in 100 quick connections here)."""
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        return None, NO_XVFB
    log = tempfile.TemporaryFile()
    rfd, wfd = os.pipe()
    proc = subprocess.Popen([xvfb, "-displayfd", str(wfd), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp", "-noreset"], pass_fds=(wfd,), stdout=subprocess.DEVNULL,
                            stderr=log)
    proc.log = log
    os.close(wfd)
    # The number is written once the server accepts clients; the pipe ends
    # without one if it gives up.
    number, deadline = b"", time.monotonic() + timeout
    with os.fdopen(rfd, "rb", buffering=0) as r:
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([r], [], [], left)[0]:
                stop_xvfb(proc)
                return None, "Xvfb wrote no display number within %d s: %s" % (timeout, _tail(log))
            more = r.read(16)
            if not more:
                break
            number += more
    number = number.strip()
    if not number:
        stop_xvfb(proc)
        return None, "Xvfb did not start (exit status %s): %s" % (proc.returncode, _tail(log))
    return proc, ":" + number.decode()


def stop_xvfb(proc, timeout=10):
    """Ends a server start_xvfb started: asked, then killed if it lingers.
    Raises if even the kill does not end it within timeout."""
    proc.terminate()
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("Xvfb (pid %d) still runs %d s after SIGKILL" % (proc.pid, timeout))
    finally:
        proc.log.close()


def grab(display, x, y, w, h):
    """The RGB bytes of the screen's area w x h at (x, y)."""
    from PIL import ImageGrab
    return ImageGrab.grab(bbox=(x, y, x + w, y + h), xdisplay=display).convert("RGB").tobytes()


def wait_picture(display, box, want, timeout):
    """Grabs box (x, y, w, h) until it is want or timeout seconds passed;
    returns the last grab."""
    deadline = time.monotonic() + timeout
    got = grab(display, *box)
    while got != want and time.monotonic() < deadline:
        time.sleep(0.1)
        got = grab(display, *box)
    return got


def _windows(conn, title):
    """The top-level windows whose name starts with title."""
    found = []
    for window in conn.screen().root.query_tree().children:
        name = window.get_wm_name()
        if isinstance(name, bytes):
            name = name.decode("latin-1")
        if name and name.startswith(title):
            found.append(window)
    return found


def _connect(display):
    from Xlib import display as xdisplay
    return xdisplay.Display(display)


def _on_first_window(display, title, act):
    """Calls act(conn, window) on the top-level window whose name starts
    with title; False when there is no such window.

    What act sent is confirmed by a round trip before the connection
    closes: the X server drops what a client sent but it had not yet read
    when it sees the client gone, which on a busy machine is a request sent
    just before closing."""
    conn = _connect(display)
    try:
        for window in _windows(conn, title):
            act(conn, window)
            conn.sync()
            return True
        return False
    finally:
        conn.close()


def close_window(display, title):
    """Asks the top-level window whose name starts with title to close, as a
    window manager does when its user clicks the close button: a
    WM_DELETE_WINDOW client message. False when there is no such window."""
    from Xlib import X, protocol

    def ask(conn, window):
        event = protocol.event.ClientMessage(
            window=window, client_type=conn.intern_atom("WM_PROTOCOLS"),
            data=(32, [conn.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        window.send_event(event, event_mask=X.NoEventMask)
    return _on_first_window(display, title, ask)


def wait_window(display, title, timeout):
    """The moment (time.monotonic()) a top-level window whose name starts
    with title was first seen mapped, looking every 10 ms; None if none
    was within timeout seconds."""
    from Xlib import X
    conn = _connect(display)
    try:
        deadline = time.monotonic() + timeout
        while True:
            for window in _windows(conn, title):
                if window.get_attributes().map_state == X.IsViewable:
                    return time.monotonic()
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.01)
    finally:
        conn.close()


def unmap_window(display, title):
    """Takes the top-level window whose name starts with title off the
    screen, as a window manager does when it iconifies it. False when there
    is no such window."""
    return _on_first_window(display, title, lambda conn, window: window.unmap())


def map_window(display, title):
    """Puts the top-level window whose name starts with title back on the
    screen. False when there is no such window."""
    return _on_first_window(display, title, lambda conn, window: window.map())


class HeldMaps(object):
    """While this lives no new window gets onto the screen: like a window
    manager that has not got round to a new window yet, it takes their map
    requests and leaves them. close() lets go."""

    def __init__(self, display):
        from Xlib import X
        self.conn = _connect(display)
        self.conn.screen().root.change_attributes(event_mask=X.SubstructureRedirectMask)
        self.conn.sync()

    def wait(self, timeout):
        """True once a window asked to be mapped (within timeout seconds)."""
        from Xlib import X
        deadline = time.monotonic() + timeout
        while True:
            while self.conn.pending_events():
                if self.conn.next_event().type == X.MapRequest:
                    return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.01)

    def close(self):
        self.conn.close()


def differing(got, want):
    """How many bytes differ, for a message."""
    return "%d of %d bytes differ" % (sum(a != b for a, b in zip(got, want)) + abs(len(got) - len(want)),
                                      len(want))


class Lines(object):
    """A child's output stream, line by line, read on a thread: a child
    that writes more than a pipe holds never blocks on it."""

    def __init__(self, stream):
        self.lines, self.cond = [], threading.Condition()
        self.thread = threading.Thread(target=self.read, args=(stream,))
        self.thread.daemon = True
        self.thread.start()

    def read(self, stream):
        for line in stream:
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()
        with self.cond:
            self.lines.append(None)
            self.cond.notify_all()

    def wait_for(self, pattern, timeout):
        """The match of the first line that matches pattern; None if the
        stream ended or timeout seconds passed without one."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    m = line and pattern.search(line)
                    if m or line is None:
                        return m
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def so_far(self):
        """What was read until now."""
        with self.cond:
            return "".join(line for line in self.lines if line)

    def text(self, timeout=10):
        """Everything read: all of it once the stream has ended (waiting up
        to timeout seconds for that), else what came, saying so."""
        self.thread.join(timeout)
        with self.cond:
            text = "".join(line for line in self.lines if line)
        if self.thread.is_alive():
            text += "[the stream was still open after %d s]\n" % timeout
        return text
