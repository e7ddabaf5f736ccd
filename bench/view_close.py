"""How long vidtool view takes to end once asked: from the window's close
request, SIGINT or SIGTERM to the process's exit, in each state, ROUNDS
times each (default 5), on an Xvfb of its own. Prints the median and the
highest time per state and way. Measures, never asserts.

The states: its window not mapped yet by a window manager (which this
script plays, holding the map request), asked 0.3 s and 3 s after the
request (Tk waits up to 2 s for the window manager to map a new window,
in C, where neither a signal nor a close request is looked at); a paced
file playing; at the end of the file.

    /usr/bin/python3 bench/view_close.py [--rounds N]      # the modules of build/ or $TILESTREAM_BUILD
"""
import os
import signal
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "python"))
from xwindow import SHOWN, HeldMaps, Lines, close_window, start_xvfb, stop_xvfb, wait_window  # noqa: E402

VIDTOOL = os.path.join(TOP, "vidtool")
SAMPLE = os.path.join(TOP, "samples", "desktop.stream")
TITLE = "vidtool view: desktop.stream"
WAYS = (("close request", "close"), ("SIGINT", signal.SIGINT), ("SIGTERM", signal.SIGTERM))


STATES = (("window held 0.3 s", 0.3), ("window held 3 s", 3.0), ("playing", 0.3), ("at the end", 0.3))


def one(display, state, settle, how):
    """Seconds from the request to the exit, or None if it did not end
    within 30 s."""
    args = [VIDTOOL, "view", SAMPLE, "--scale", "0.25"]
    if state != "at the end":
        args += ["--rate", "0.02"]
    held = HeldMaps(display) if state.startswith("window held") else None
    proc = subprocess.Popen(args, env=dict(os.environ, DISPLAY=display), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, universal_newlines=True)
    out = Lines(proc.stdout)
    try:
        if held:
            ready = held.wait(60)
        elif state == "at the end":
            ready = out.wait_for(SHOWN, 60) is not None
        else:
            ready = wait_window(display, TITLE, 60) is not None
        if not ready:
            raise SystemExit("view_close: no window in state %r within 60 s" % state)
        time.sleep(settle)   # settled in that state
        started = time.monotonic()
        if how == "close":
            close_window(display, TITLE)
        else:
            proc.send_signal(how)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            return None
        return time.monotonic() - started
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if held:
            held.close()


def main(argv):
    if "-h" in argv or "--help" in argv:
        print(__doc__)
        return 0
    rounds = int(argv[argv.index("--rounds") + 1]) if "--rounds" in argv else 5
    xvfb, display = start_xvfb()
    if xvfb is None:
        sys.stderr.write("view_close: %s\n" % display)
        return 1
    try:
        print("%-18s %-14s %10s %10s" % ("state", "asked by", "median ms", "max ms"))
        for state, settle in STATES:
            for name, how in WAYS:
                times = [one(display, state, settle, how) for _ in range(rounds)]
                if None in times:
                    print("%-18s %-14s did not end within 30 s in %d of %d rounds"
                          % (state, name, times.count(None), rounds))
                    continue
                times.sort()
                print("%-18s %-14s %10.0f %10.0f" % (state, name, times[len(times) // 2] * 1e3, times[-1] * 1e3))
                sys.stdout.flush()
    finally:
        stop_xvfb(xvfb)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
