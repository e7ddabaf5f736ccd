"""Python side of the macOS stand-in (ctypes over libmacstub.so, the library
that the test build of macusb links): script devices and failures, read back
what the module did. Python 2.7 and 3. See README.md."""
import ctypes
import os
import tempfile
import sys
from contextlib import contextmanager

BUILD = os.environ.get("TILESTREAM_BUILD", "")
LIBRARY = os.path.join(BUILD, "tests", "macstub", "libmacstub.so")

# IOKit results the tests use.
kIOReturnNoResources = 0xE00002BE
kIOReturnNoDevice = 0xE00002C0
kIOReturnExclusiveAccess = 0xE00002C5
kIOReturnNotResponding = 0xE00002ED
kIOUSBTransactionTimeout = 0xE0004051
kIOUSBPipeStalled = 0xE000404F
KINDS = ("cf", "port", "service", "iterator", "plugin", "device", "interface")

_lib = None


def lib():
    """The library, loaded once (after macusb, so it is the same copy)."""
    global _lib
    if _lib is None:
        _lib = ctypes.CDLL(LIBRARY)
        for name in ("macstub_add_device", "macstub_live", "macstub_calls", "macstub_state",
                     "macstub_written"):
            getattr(_lib, name).restype = ctypes.c_int
        _lib.macstub_fail_next.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_int, ctypes.c_int]
        _lib.macstub_queue_error.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_uint]
    return _lib


def _b(text):
    return text if isinstance(text, bytes) else text.encode("latin-1")


def reset():
    lib().macstub_reset()


def add_device(vid, pid, serial):
    """A device with this serial number (string index 3), one configuration
    (value 1), one interface of three endpoints, high speed; its index."""
    return lib().macstub_add_device(vid, pid, _b(serial))


def set_string(dev, index, data):
    """The bytes a request for string descriptor `index` delivers; None
    makes the request stall."""
    if data is None:
        lib().macstub_set_string(dev, index, None, -1)
    else:
        lib().macstub_set_string(dev, index, _b(data), len(data))


def set_serial_index(dev, index):
    lib().macstub_set_serial_index(dev, index)


def set_descriptor(dev, kind, data):
    """kind 1: device descriptor; 2: configuration descriptor."""
    lib().macstub_set_descriptor(dev, kind, _b(data), len(data))


def set_configurations(dev, count):
    lib().macstub_set_configurations(dev, count)


def set_interfaces(dev, endpoint_counts):
    arr = (ctypes.c_int * len(endpoint_counts))(*endpoint_counts)
    lib().macstub_set_interfaces(dev, arr, len(endpoint_counts))


def set_speed(dev, speed):
    lib().macstub_set_speed(dev, speed)


def hold_elsewhere(dev, held=True):
    lib().macstub_hold_elsewhere(dev, 1 if held else 0)


def queue_data(dev, pipe, data):
    lib().macstub_queue_data(dev, pipe, _b(data), len(data))


def queue_timeouts(dev, pipe, count):
    lib().macstub_queue_timeouts(dev, pipe, count)


def queue_error(dev, pipe, code):
    lib().macstub_queue_error(dev, pipe, code)


def written(dev, pipe):
    """Every write to pipe, in order."""
    out = []
    while True:
        buf = ctypes.create_string_buffer(1 << 20)
        n = lib().macstub_written(dev, pipe, len(out), buf, len(buf))
        if n < 0:
            return out
        out.append(buf.raw[:n])


def fail_next(call, code, null=False, after=0):
    """The next call of `call`, after `after` more that succeed, returns code
    (and a null object with null)."""
    lib().macstub_fail_next(_b(call), code, 1 if null else 0, after)


def calls(call):
    return lib().macstub_calls(_b(call))


def live(kind=None):
    return lib().macstub_live(None if kind is None else _b(kind))


def live_by_kind():
    return dict((k, live(k)) for k in KINDS if live(k))


def state(dev, what):
    return lib().macstub_state(dev, _b(what))


@contextmanager
def captured_stdout():
    """What C code prints to standard output meanwhile: yields a list that
    holds the text afterwards."""
    result = []
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as tmp:
        os.dup2(tmp.fileno(), 1)
        try:
            yield result
        finally:
            lib().macstub_flush_stdout()
            os.dup2(saved, 1)
            os.close(saved)
            tmp.seek(0)
            result.append(tmp.read().decode("latin-1"))
