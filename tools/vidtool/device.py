"""A device's video endpoint through usbdevfs (Linux): the node opened and
its interface claimed, bulkvideo's reads on a thread of their own, and the
interface released; recording to a file, and the reads as chunks for the
window. Python 3."""
import contextlib
import errno
import fcntl
import os
import queue
import struct
import threading
import time

from .common import Failure, load_modules


def usb_ioctl(fd, request, value):
    fcntl.ioctl(fd, request, struct.pack("I", value))


def open_device(path, interface, consts):
    """The node opened read-write with the interface claimed, or a Failure
    saying why not."""
    try:
        fd = os.open(path, os.O_RDWR)
    except FileNotFoundError:
        raise Failure("%s: no such device node" % path)
    except PermissionError:
        raise Failure("%s: permission denied (run as root or add a udev rule)" % path)
    except IsADirectoryError:
        raise Failure("%s: is a directory, not a usbdevfs node" % path)
    except OSError as e:
        raise Failure("%s: cannot open (%s)" % (path, e.strerror))
    try:
        usb_ioctl(fd, consts.USBDEVFS_CLAIMINTERFACE, interface)
    except OSError as e:
        os.close(fd)
        if e.errno in (errno.ENOTTY, errno.EINVAL, errno.ENOSYS):
            raise Failure("%s: not a usbdevfs node (%s)" % (path, e.strerror))
        if e.errno == errno.EBUSY:
            raise Failure("%s: interface %d is in use by another driver or program" % (path, interface))
        raise Failure("%s: cannot claim interface %d (%s)" % (path, interface, e.strerror))
    return fd


@contextlib.contextmanager
def claimed_device(path, interface):
    """The open usbdevfs node with the interface claimed; released and
    closed on the way out (the device may be gone by then)."""
    (consts,) = load_modules("usbconsts")
    fd = open_device(path, interface, consts)
    try:
        yield fd
    finally:
        try:
            usb_ioctl(fd, consts.USBDEVFS_RELEASEINTERFACE, interface)
        except OSError:
            pass
        os.close(fd)


class Reads(object):
    """Reads of a device's bulk-IN endpoint on a thread of their own: each
    completed read goes to consume(view) there (the view is valid only
    during the call) until stop is set or the device fails."""

    def __init__(self, fd, endpoint, consume, stop=None):
        (bulkvideo,) = load_modules("bulkvideo")
        try:
            self.handle = bulkvideo.attach(fd, endpoint)
        except IOError as e:
            if e.errno in (errno.ENOENT, errno.EINVAL, errno.EPIPE):
                raise Failure("no bulk-IN endpoint 0x%02x on this device (%s)" % (endpoint, e.strerror))
            raise Failure("cannot start reading endpoint 0x%02x (%s)" % (endpoint, e.strerror or e))
        self.bulkvideo = bulkvideo
        self.stop = stop or threading.Event()
        self.error = None
        self.done = False
        self.thread = threading.Thread(target=self.run, args=(consume,), name="vidtool-reads")
        self.thread.daemon = True
        self.thread.start()

    def run(self, consume):
        try:
            while not self.stop.is_set():
                view = self.bulkvideo.readVideo(self.handle)
                if self.stop.is_set():
                    break
                consume(view)
        except (IOError, EOFError) as e:
            if not self.stop.is_set():
                self.error = e
        finally:
            self.done = True

    def finish(self):
        """Stops: a blocked read ends with the detach."""
        self.stop.set()
        self.bulkvideo.detach(self.handle)
        self.thread.join(10)
        self.handle = None


POLL = 0.1   # seconds between looks at the clock and the stop signals


def record(fd, endpoint, out, seconds=None, bar=None, stop=None, interrupt=None):
    """Writes what endpoint delivers to the open file out until seconds
    pass, stop is set, a stop signal is seen (interrupt, an Interrupt) or
    the device fails. A reader thread does the reads and writes; this
    thread waits, and ends a blocked read by detaching. Returns (bytes
    written, why it stopped: "seconds", "stopped", "interrupted" or
    "device", error or None)."""
    written = [0]

    def write(view):
        # An unbuffered write may take part of the view (a disk filling
        # up); the rest goes again, and the next write then fails with
        # ENOSPC.
        view = memoryview(view)
        while len(view):
            n = out.write(view)
            written[0] += n
            view = view[n:]

    if interrupt is not None:
        interrupt.polled()
    reads = Reads(fd, endpoint, write, stop)
    deadline = None if seconds is None else time.monotonic() + seconds
    why = "device"
    shown = 0
    try:
        while not reads.done:
            if interrupt is not None and interrupt.seen:
                why = "interrupted"
                break
            if deadline is not None and time.monotonic() >= deadline:
                why = "seconds"
                break
            wait = POLL if deadline is None else max(0.0, min(POLL, deadline - time.monotonic()))
            if reads.stop.wait(wait):
                why = "stopped"
                break
            if bar is not None:
                bar.update(written[0] - shown)
                shown = written[0]
    except KeyboardInterrupt:
        why = "interrupted"
    reads.finish()
    if bar is not None:
        bar.update(written[0] - shown)
    return written[0], why, reads.error


class DeviceChunks(object):
    """A device's completed reads as the window's chunks: copied off the
    reader thread into a short queue; a full queue holds the reads back.
    take() gives the next one, or None."""

    def __init__(self, fd, endpoint):
        self.queue = queue.Queue(maxsize=64)
        self.stop = threading.Event()
        self.reads = Reads(fd, endpoint, self.put, self.stop)

    def put(self, view):
        piece = bytes(view)
        while not self.stop.is_set():
            try:
                self.queue.put(piece, timeout=0.2)
                return
            except queue.Full:
                pass

    def take(self):
        try:
            return self.queue.get_nowait()
        except queue.Empty:
            return None

    def wait(self):
        """Seconds until another look is worth it."""
        return 0.005

    def ended(self):
        return self.reads.done and self.queue.empty()

    def finish(self):
        """The reads detached; the reader thread has ended (or is left
        behind after 10 s)."""
        self.reads.finish()

    @property
    def error(self):
        return self.reads.error
