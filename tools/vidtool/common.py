"""What every layer of vidtool shares: the one-line failure, the project's
extension modules, and Ctrl-C and SIGTERM as a request to stop. Python 2.7
and 3."""
import os
import signal
import struct
import sys

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Failure(Exception):
    """A bad input or a failing device: one line for the user, exit status 1."""


def load_modules(*names):
    """The named modules: installed ones first, else those of the build tree
    (build/, or $TILESTREAM_BUILD). usbconsts is the one generated for this
    interpreter's ABI."""
    build = os.environ.get("TILESTREAM_BUILD") or os.path.join(TOP, "build")
    abi = "usbconsts_i386" if struct.calcsize("P") == 4 else "usbconsts"
    found = []
    for name in names:
        try:
            found.append(__import__(name))
            continue
        except ImportError:
            pass
        for folder in (os.path.join(build, "python3"), os.path.join(build, "usbconstgen")):
            if folder not in sys.path:
                sys.path.append(folder)
        try:
            found.append(__import__(abi if name == "usbconsts" else name))
        except ImportError:
            raise Failure("the %s module is not built: run ./scripts/demo.sh (or ./scripts/build.sh) first"
                          % name)
    return found


def read_error(error, kept):
    """The one line for reads that stopped on error; kept says where what
    was read went."""
    if isinstance(error, EOFError):
        return "the device stopped delivering; %s" % kept
    return "stopped on an error (%s); %s" % (getattr(error, "strerror", None) or error, kept)


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


def signal_text(signum):
    """How a stop signal is named to the user."""
    return "SIGINT (Ctrl-C)" if signum == signal.SIGINT else "SIGTERM" if signum == signal.SIGTERM \
        else "signal %d" % signum


class Interrupted(Exception):
    """A stop signal that came before a loop was there to notice it."""

    def __init__(self, signum):
        Exception.__init__(self, signal_text(signum))
        self.signum = signum


class Interrupt(object):
    """SIGINT and SIGTERM, alike, as a request to stop; the handlers are
    installed for the life of the `with` block.

    Until a loop that polls `seen` takes over (polled()), the handler
    raises Interrupted, which also ends a blocking call the main thread is
    in (opening or reading a slow input). From then on it only notes the
    signal: a handler that raised, or set an Event, could strike while this
    thread holds a lock it needs, or in the middle of the cleanup. `seen`
    is the first signal's number, or None."""

    def __init__(self, signals=STOP_SIGNALS):
        self.signals = signals
        self.seen = None
        self.polling = False
        self.previous = {}

    def __enter__(self):
        for sig in self.signals:
            self.previous[sig] = signal.signal(sig, self.note)
        return self

    def __exit__(self, *_):
        for sig, handler in self.previous.items():
            signal.signal(sig, handler)
        return False

    def polled(self):
        """From now on a loop polls `seen` (at least every 0.1 s): the
        handler only notes the signal."""
        self.polling = True

    def note(self, signum, _frame):
        if self.seen is None:
            self.seen = signum
        if not self.polling:
            self.polling = True     # the way out is not interrupted again
            raise Interrupted(signum)
