"""A scripted usbdevfs device for testing a URB ring without hardware.

umockdev's preload library redirects the client's open() of the device node
and its ioctl() calls on that descriptor to a handler in this process
(Debian's python3 with gi). The handler keeps the submitted URBs, and the
test decides what each one completes with, while the client runs:

    dev = FakeUsbDevice()
    proc = subprocess.Popen([...], env=dev.env())
    dev.wait_queued(9)
    dev.complete(b'payload')          # the oldest queued URB completes
    dev.complete(status=-errno.EPIPE)  # ... or fails
    dev.wait_blocked()                 # a REAPURB waits for a completion

The handler runs on umockdev's worker thread; the test calls in from its
own thread. One lock guards all state, and every reply to the client goes
through IoctlClient.complete, which umockdev allows from any thread.

Limits of the preload: ioctls on one descriptor are serialised, so a
DISCARDURB from a second client thread cannot pass a blocked REAPURB. With
set_tick(ms) a blocked REAPURB is answered with EINTR every ms milliseconds,
which a correct client retries, and the other thread gets its turn in
between. Signals are blocked in the client while an emulated ioctl runs.
The handler speaks the native (x86-64) URB layout only.
"""
import collections
import errno
import os
import struct
import threading
import time

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

# struct usbdevfs_urb on x86-64: type, endpoint, status, flags, buffer,
# buffer_length, actual_length, start_frame, number_of_packets, error_count,
# signr, usercontext.
URB_FORMAT = "=BBxxiI4xQiiiiiIQ"
URB_SIZE = struct.calcsize(URB_FORMAT)
URB_FIELDS = ("type", "endpoint", "status", "flags", "buffer", "buffer_length", "actual_length",
              "start_frame", "number_of_packets", "error_count", "signr", "usercontext")
STATUS_OFFSET = 4
BUFFER_OFFSET = 16
ACTUAL_LENGTH_OFFSET = 28
POINTER_SIZE = 8


def _ioc(direction, nr, size):
    return direction << 30 | size << 16 | ord("U") << 8 | nr


USBDEVFS_SUBMITURB = _ioc(2, 10, URB_SIZE)
USBDEVFS_DISCARDURB = _ioc(0, 11, 0)
USBDEVFS_REAPURB = _ioc(1, 12, POINTER_SIZE)
USBDEVFS_REAPURBNDELAY = _ioc(1, 13, POINTER_SIZE)
USBDEVFS_CLAIMINTERFACE = _ioc(2, 15, 4)
USBDEVFS_RELEASEINTERFACE = _ioc(2, 16, 4)

BUS, ADDRESS = 1, 2
DEVNODE = "/dev/bus/usb/%03d/%03d" % (BUS, ADDRESS)

# A high-speed device with one vendor interface (bulk 0x81 in, 0x02 out).
# The N: line makes umockdev create the device node.
DEVICE_DESCRIPTION = """P: /devices/pci0000:00/0000:00:14.0/usb1/1-1
N: bus/usb/%03d/%03d
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
E: DEVNAME=%s
E: BUSNUM=%03d
E: DEVNUM=%03d
A: busnum=%d
A: devnum=%d
A: speed=480
A: idVendor=abcd
A: idProduct=0001
""" % (BUS, ADDRESS, DEVNODE, BUS, ADDRESS, BUS, ADDRESS)


class Urb(object):
    """One submitted URB: its memory in the client, mirrored here."""

    def __init__(self, data, fields):
        self.data = data            # IoctlData of the struct
        self.addr = data.client_addr
        self.fields = fields        # as submitted
        self.buffer = None          # IoctlData of the transfer buffer
        self.status = 0
        self.length = 0


class UsbFakeHandler(UMockdev.IoctlBase):
    def __init__(self):
        super(UsbFakeHandler, self).__init__()
        self.cond = threading.Condition(threading.RLock())
        self.queued = []                     # submitted, not completed, oldest first
        self.ready = collections.deque()     # completed, waiting to be reaped
        self.script = collections.deque()    # (payload, status, length, index) not yet applied
        self.blocked = None                  # (client, which) of a waiting REAPURB
        self.submit_errors = collections.deque()  # answers for the next submits; None accepts
        self.hold = False                    # park submissions until release_submits()
        self.held = []                       # (client, urb) parked
        self.eintr_pending = 0
        self.log = []                        # events, in order
        self.tick = 0.0
        self.discard_delay = 0.0             # > 0: discarded URBs complete that much later; None: never
        self._ticker = None
        self._closing = False

    # ---- worker thread ----

    def do_handle_ioctl(self, client):
        request = client.get_request()
        arg = client.get_arg()
        with self.cond:
            try:
                if request == USBDEVFS_SUBMITURB:
                    self._submit(client, arg)
                elif request == USBDEVFS_REAPURB:
                    self._reap(client, arg, wait=True)
                elif request == USBDEVFS_REAPURBNDELAY:
                    self._reap(client, arg, wait=False)
                elif request == USBDEVFS_DISCARDURB:
                    self._discard(client, arg)
                elif request in (USBDEVFS_CLAIMINTERFACE, USBDEVFS_RELEASEINTERFACE):
                    # Any interface is there to claim: logged as
                    # ("claim" or "release", interface).
                    (interface,) = struct.unpack("=I", bytes(arg.resolve(0, 4).retrieve()))
                    self._event("claim" if request == USBDEVFS_CLAIMINTERFACE else "release", interface)
                    client.complete(0, 0)
                else:
                    self._event("other", request)
                    client.complete(-1, errno.ENOTTY)
            finally:
                self.cond.notify_all()
        return True

    def _event(self, *event):
        self.log.append(event)

    def _submit(self, client, arg):
        data = arg.resolve(0, URB_SIZE)
        fields = dict(zip(URB_FIELDS, struct.unpack(URB_FORMAT, bytes(data.retrieve()))))
        err = self.submit_errors.popleft() if self.submit_errors else None
        if err:
            self._event("submit-failed", data.client_addr, err)
            client.complete(-1, err)
            return
        urb = Urb(data, fields)
        if 0 < fields["buffer_length"] <= 1 << 20:
            urb.buffer = data.resolve(BUFFER_OFFSET, fields["buffer_length"])
        if self.hold:
            self.held.append((client, urb))
            self._event("held", urb.addr)
            return
        self._accept(client, urb)

    def _accept(self, client, urb):
        self.queued.append(urb)
        self._event("submit", urb.addr, urb.fields)
        client.complete(0, 0)
        self._pump()

    def _reap(self, client, arg, wait):
        name = "reap" if wait else "reapndelay"
        if wait and self.eintr_pending:
            self.eintr_pending -= 1
            self._event("eintr")
            client.complete(-1, errno.EINTR)
            return
        which = arg.resolve(0, POINTER_SIZE)
        if self.ready:
            self._deliver(client, which, self.ready.popleft(), name)
        elif wait:
            self.blocked = (client, which)
            self._event("blocked")
        else:
            self._event(name + "-again")
            client.complete(-1, errno.EAGAIN)

    def _discard(self, client, arg):
        (addr,) = struct.unpack("=Q", bytes(arg.retrieve())[:POINTER_SIZE])
        for i, urb in enumerate(self.queued):
            if urb.addr == addr:
                del self.queued[i]
                self._event("discard", addr)
                client.complete(0, 0)
                if self.discard_delay == 0:
                    self._unlinked(urb)
                elif self.discard_delay is not None:
                    timer = threading.Timer(self.discard_delay, self._unlinked, (urb,))
                    timer.daemon = True
                    timer.start()
                return
        self._event("discard-failed", addr)
        client.complete(-1, errno.EINVAL)

    # ---- either thread, lock held ----

    def _apply(self, urb, payload, status, length):
        if payload:
            urb.buffer.update(0, list(bytearray(payload)))
        urb.status = status
        urb.length = length
        urb.data.update(STATUS_OFFSET, list(bytearray(struct.pack("=i", status))))
        urb.data.update(ACTUAL_LENGTH_OFFSET, list(bytearray(struct.pack("=i", length))))

    def _unlinked(self, urb):
        with self.cond:
            if self._closing:
                return
            self._apply(urb, b"", -errno.ENOENT, 0)
            self.ready.append(urb)
            self._pump()

    def _deliver(self, client, which, urb, name):
        which.set_ptr(0, urb.data)
        self._event(name, urb.addr, urb.status, urb.length)
        client.complete(0, 0)

    def _pump(self):
        while self.script and len(self.queued) > max(self.script[0][3], -1 - self.script[0][3]):
            payload, status, length, index = self.script.popleft()
            urb = self.queued.pop(index)
            self._apply(urb, payload, status, length)
            self.ready.append(urb)
        if self.blocked and self.ready:
            client, which = self.blocked
            self.blocked = None
            self._deliver(client, which, self.ready.popleft(), "reap")
        self.cond.notify_all()

    def _tick_loop(self):
        while True:
            with self.cond:
                if self._closing or not self.tick:
                    return
                period = self.tick
                if self.blocked:
                    client, _ = self.blocked
                    self.blocked = None
                    self._event("tick")
                    client.complete(-1, errno.EINTR)
            time.sleep(period)


class FakeUsbDevice(object):
    """The testbed, one fake device node, and the test's controls."""

    def __init__(self):
        self.testbed = UMockdev.Testbed.new()
        if not self.testbed.add_from_string(DEVICE_DESCRIPTION):
            raise RuntimeError("umockdev refused the device description")
        self.handler = UsbFakeHandler()
        if not self.testbed.attach_ioctl(DEVNODE, self.handler):
            raise RuntimeError("umockdev could not attach the ioctl handler")
        self.node = DEVNODE

    def close(self):
        h = self.handler
        with h.cond:
            h._closing = True
            # Never leave a client hanging in the handler.
            for client, _ in h.held:
                client.complete(-1, errno.ENODEV)
            h.held = []
            if h.blocked:
                client, _ = h.blocked
                h.blocked = None
                client.complete(-1, errno.ENODEV)
        if h._ticker:
            h._ticker.join(5)
        self.testbed.detach_ioctl(DEVNODE)

    def env(self, base=None):
        env = dict(os.environ if base is None else base)
        # USBFAKE_EXTRA_PRELOAD goes first, e.g. the ASan runtime for a
        # sanitized module in an uninstrumented interpreter.
        extra = os.environ.get("USBFAKE_EXTRA_PRELOAD", "")
        env["LD_PRELOAD"] = (extra + " " if extra else "") + "libumockdev-preload.so.0"
        env["UMOCKDEV_DIR"] = self.testbed.get_root_dir()
        return env

    # ---- driving the device ----

    def complete(self, payload=b"", status=0, length=None, index=0):
        """Completes the oldest queued URB (or the next one submitted) with
        payload, or with a nonzero status; length overrides the actual length,
        and index picks another URB in submission order (-1: the newest)."""
        h = self.handler
        with h.cond:
            h.script.append((bytes(payload), status, len(payload) if length is None else length, index))
            h._pump()

    def fail_submits(self, err, count=1, after=0):
        """The next `after` submissions succeed, then `count` fail with err."""
        with self.handler.cond:
            self.handler.submit_errors.extend([None] * after + [err] * count)

    def delay_discards(self, seconds):
        """Discarded URBs complete `seconds` later (None: never), as an
        unlink that takes its time."""
        with self.handler.cond:
            self.handler.discard_delay = seconds

    def hold_submits(self):
        """Submissions wait in the handler until release_submits()."""
        with self.handler.cond:
            self.handler.hold = True

    def release_submits(self):
        h = self.handler
        with h.cond:
            h.hold = False
            held, h.held = h.held, []
            for client, urb in held:
                h._accept(client, urb)

    def inject_eintr(self, count):
        """The next `count` REAPURBs return EINTR at once."""
        with self.handler.cond:
            self.handler.eintr_pending += count

    def set_tick(self, seconds):
        """Answers a blocked REAPURB with EINTR every `seconds`."""
        h = self.handler
        with h.cond:
            h.tick = seconds
            if seconds and not h._ticker:
                h._ticker = threading.Thread(target=h._tick_loop)
                h._ticker.daemon = True
                h._ticker.start()

    # ---- observing it ----

    def wait_for(self, predicate, timeout=10.0, what="condition"):
        h = self.handler
        deadline = time.time() + timeout
        with h.cond:
            while not predicate(h):
                left = deadline - time.time()
                if left <= 0:
                    raise AssertionError("timed out waiting for %s; log tail: %r" % (what, h.log[-12:]))
                h.cond.wait(left)

    def wait_queued(self, n, timeout=10.0):
        self.wait_for(lambda h: len(h.queued) == n, timeout, "%d queued URBs" % n)

    def wait_blocked(self, timeout=10.0):
        self.wait_for(lambda h: h.blocked is not None, timeout, "a blocked REAPURB")

    def queued_count(self):
        with self.handler.cond:
            return len(self.handler.queued)

    def events(self, *names):
        """The logged events, or only those with the given names."""
        with self.handler.cond:
            return [e for e in self.handler.log if not names or e[0] in names]

    def mark(self):
        """A position in the log, for events_since."""
        with self.handler.cond:
            return len(self.handler.log)

    def events_since(self, mark, *names):
        with self.handler.cond:
            return [e for e in self.handler.log[mark:] if not names or e[0] in names]
