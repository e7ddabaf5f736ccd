"""What every layer of vidtool shares: the one-line failure, the project's
extension modules, and signals as a request to stop. Python 2.7 and 3."""
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


class Interrupt(object):
    """Notes the given signals in a flag that the main loop polls. The
    handler takes no lock: one that raised or set an Event could strike
    while this thread holds the lock it needs."""

    def __init__(self, *signals):
        self.seen = False
        for sig in signals:
            signal.signal(sig, self.note)

    def note(self, *_):
        self.seen = True
