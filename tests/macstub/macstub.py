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
kIOReturnAborted = 0xE00002EB
kIOUSBTransactionTimeout = 0xE0004051
kIOUSBPipeStalled = 0xE000404F
KINDS = ("cf", "port", "service", "iterator", "plugin", "device", "interface")
KEY_KINDS = ("tap", "source", "event")

# Event types and what macOS did with an event (see delivered()).
KEY_DOWN, KEY_UP, FLAGS_CHANGED = 10, 11, 12
SWALLOWED, PASSED, REPLACED, UNSEEN = 0, 1, 2, 3

_lib = None
_held = None


def lib():
    """The library, loaded once (after macusb, so it is the same copy)."""
    global _lib
    if _lib is None:
        _lib = ctypes.CDLL(LIBRARY)
        for name in ("macstub_add_device", "macstub_live", "macstub_calls", "macstub_state",
                     "macstub_written", "macstub_abort_pipe", "macstub_waiting", "macstub_gave_up"):
            getattr(_lib, name).restype = ctypes.c_int
        _lib.macstub_fail_next.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_int, ctypes.c_int]
        _lib.macstub_queue_error.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_uint]
        _lib.macstub_post_event.argtypes = [ctypes.c_uint, ctypes.c_ulonglong, ctypes.c_longlong,
                                            ctypes.c_longlong, ctypes.c_longlong]
        _lib.macstub_own_psn.restype = ctypes.c_uint
        _lib.macstub_tap.restype = ctypes.c_longlong
        _lib.macstub_delivered.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_uint),
                                           ctypes.POINTER(ctypes.c_longlong)]
    return _lib


def _held_lib():
    """The same library called with the interpreter lock held (a run loop
    run from Python code that keeps the lock), which also raises whatever
    exception a call leaves set."""
    global _held
    if _held is None:
        lib()
        _held = ctypes.PyDLL(LIBRARY)
    return _held


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


def abort_pipe(dev, pipe):
    """AbortPipe from another client: the transfers blocked on pipe end with
    kIOReturnAborted; how many there were."""
    return lib().macstub_abort_pipe(dev, pipe)


def hold_writes(dev, pipe, held=True):
    """While held, writes to pipe block (the device takes nothing) until
    released, aborted or reset."""
    lib().macstub_hold_writes(dev, pipe, 1 if held else 0)


def waiting(dev, pipe):
    """Transfers blocked on pipe right now."""
    return lib().macstub_waiting(dev, pipe)


def wait_for_blocked(dev, pipe, count=1, timeout=10.0):
    """Polls (releasing the interpreter lock in between) until count
    transfers are blocked on pipe; False when that does not happen in time."""
    import time
    end = time.time() + timeout
    while waiting(dev, pipe) < count:
        if time.time() > end:
            return False
        time.sleep(0.001)
    return True


def set_block_limit(ms):
    """How long a transfer may block before the stand-in gives up on it
    (kIOReturnNotResponding, and a line on standard error); 10 s after reset()."""
    lib().macstub_set_block_limit(ms)


def gave_up():
    """Transfers that reached the block limit since reset()."""
    return lib().macstub_gave_up()


def _records(function, dev, width):
    out = []
    row = (ctypes.c_uint * width)()
    while function(dev, len(out), row) == 0:
        out.append(tuple(row))
    return out


def reads(dev):
    """Every read of the device: (pipe, size asked for, noDataTimeout,
    completionTimeout), the timeouts None for ReadPipe."""
    return [(p, size, nd if timed else None, ct if timed else None)
            for p, size, timed, nd, ct in _records(lib().macstub_read_call, dev, 5)]


def requests(dev):
    """Every device request made of the device: (bmRequestType, bRequest,
    wValue, wIndex, wLength)."""
    return _records(lib().macstub_request, dev, 5)


def searches(dev):
    """Every interface search request: (bInterfaceClass, bInterfaceSubClass,
    bInterfaceProtocol, bAlternateSetting)."""
    return _records(lib().macstub_search, dev, 4)


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


def live_by_kind(kinds=KINDS):
    """Live objects by kind; the USB registry's kinds unless told."""
    return dict((k, live(k)) for k in kinds if live(k))


def state(dev, what):
    return lib().macstub_state(dev, _b(what))


# ---- the key tap -------------------------------------------------------------


def set_accessibility(api_enabled, trusted):
    """The answers of AXAPIEnabled and AXIsProcessTrusted (both False after
    reset())."""
    lib().macstub_set_accessibility(1 if api_enabled else 0, 1 if trusted else 0)


def own_psn():
    """This process's serial number as the event field holds it."""
    return lib().macstub_own_psn()


def post(type, keycode, flags=0, autorepeat=0, target=None):
    """Queues a key event, addressed to this process unless target (a
    process serial number, high word << 32 | low word) says otherwise."""
    lib().macstub_post_event(type, flags, keycode, autorepeat, own_psn() if target is None else target)


def disable_taps(for_user_input):
    """macOS disables the taps (for user input, or for a callback too slow)
    and queues the notice."""
    lib().macstub_disable_taps(1 if for_user_input else 0)


def run_loop(hold_lock=False):
    """Runs this thread's run loop until no event waits for it; the number
    of events handled. hold_lock keeps the interpreter lock meanwhile."""
    return (_held_lib() if hold_lock else lib()).macstub_run_loop()


def pending():
    return lib().macstub_pending_events()


def delivered():
    """What macOS did with each key event since reset(): a list of
    (type, key code, SWALLOWED | PASSED | REPLACED | UNSEEN)."""
    out = []
    t, k = ctypes.c_uint(), ctypes.c_longlong()
    while True:
        v = lib().macstub_delivered(len(out), ctypes.byref(t), ctypes.byref(k))
        if v < 0:
            return out
        out.append((t.value, k.value, v))


def tap(what):
    """The newest tap's "location", "placement", "options", "mask",
    "enabled", "served" (on this thread's run loop, default mode), or "taps"
    (how many exist); -1 without a tap."""
    return lib().macstub_tap(_b(what))


@contextmanager
def captured_stderr(into=None):
    """What is written to standard error meanwhile (C and Python); with
    into (a path such as os.devnull) it goes there instead."""
    with _captured(2, into) as result:
        yield result


@contextmanager
def captured_stdout():
    """What C code prints to standard output meanwhile: yields a list that
    holds the text afterwards."""
    with _captured(1) as result:
        yield result


@contextmanager
def _captured(fd, into=None):
    result = []
    name = "stdout" if fd == 1 else "stderr"
    stream = getattr(sys, name)
    stream.flush()
    saved = os.dup(fd)
    with (open(into, "w+b") if into else tempfile.TemporaryFile()) as tmp:
        os.dup2(tmp.fileno(), fd)
        # Python code writes through sys.stdout / sys.stderr, which a test
        # runner may have replaced: point them at the descriptor too.
        replacement = os.fdopen(os.dup(fd), "w")
        setattr(sys, name, replacement)
        try:
            yield result
        finally:
            replacement.flush()
            setattr(sys, name, stream)
            replacement.close()
            lib().macstub_flush_stdout()
            os.dup2(saved, fd)
            os.close(saved)
            tmp.seek(0)
            result.append(tmp.read().decode("latin-1"))
