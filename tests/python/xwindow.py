"""A virtual X server for the window tests, and the picture of a window's
area: shared by tests/vidtool/test_view.py and the VM's view scenario
(tests/qemu/vm_record.py). Python 3; grab() needs Pillow."""
import os
import re
import shutil
import subprocess
import threading
import time

# The line vidtool view prints once the picture is on the screen.
SHOWN = re.compile(r"shown +picture (\d+)x(\d+) at \+(\d+)\+(\d+) in a window .* of display (\S+)")


def start_xvfb():
    """(process, display name) of a fresh Xvfb on a free display number, or
    (None, why not). Xvfb keeps its socket and lock in /tmp, which must be
    writable."""
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        return None, "no Xvfb here (apt-get install xvfb; scripts/setup.sh does)"
    rfd, wfd = os.pipe()
    proc = subprocess.Popen([xvfb, "-displayfd", str(wfd), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], pass_fds=(wfd,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    os.close(wfd)
    number = b""
    with os.fdopen(rfd, "rb") as r:
        number = r.readline().strip()    # written once the server accepts clients
    if not number:
        err = proc.communicate(timeout=10)[1].decode(errors="replace").strip().splitlines()
        return None, "Xvfb did not start: %s" % (err[-1] if err else "no message")
    return proc, ":" + number.decode()


def stop_xvfb(proc):
    """Ends a server start_xvfb started (killed if it lingers)."""
    proc.terminate()
    try:
        proc.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()


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


def close_window(display, title):
    """Asks the top-level window whose name starts with title to close, as a
    window manager does when its user clicks the close button: a
    WM_DELETE_WINDOW client message. False when there is no such window."""
    from Xlib import X, display as xdisplay, protocol
    conn = xdisplay.Display(display)
    try:
        delete = conn.intern_atom("WM_DELETE_WINDOW")
        protocols = conn.intern_atom("WM_PROTOCOLS")
        for window in conn.screen().root.query_tree().children:
            name = window.get_wm_name()
            if isinstance(name, bytes):
                name = name.decode("latin-1")
            if name and name.startswith(title):
                event = protocol.event.ClientMessage(window=window, client_type=protocols,
                                                     data=(32, [delete, X.CurrentTime, 0, 0, 0]))
                window.send_event(event, event_mask=X.NoEventMask)
                conn.flush()
                return True
        return False
    finally:
        conn.close()


def differing(got, want):
    """How many bytes differ, for a message."""
    return "%d of %d bytes differ" % (sum(a != b for a, b in zip(got, want)) + abs(len(got) - len(want)),
                                      len(want))


class Lines(object):
    """A child's standard output, line by line, read on a thread."""

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

    def text(self):
        self.thread.join(10)
        return "".join(line for line in self.lines if line)
