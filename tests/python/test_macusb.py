"""macusb against the stand-in of the macOS frameworks (tests/macstub): the
operation table, enumeration, open with every failure and undo path, the
pipe and descriptor operations, and no object left alive afterwards.
Skipped where macusb is not built (an installed package has none)."""
import gc
import mmap
import os
import signal
import sys
import tempfile
import threading
import time
import unittest

try:
    import macusb
except ImportError:
    macusb = None

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "macstub"))
import macstub  # noqa: E402
import streamgen  # noqa: E402

PY2 = sys.version_info[0] == 2
VID, PID = 0x1234, 0x5678
NOT_FOUND = "Device not found, or no devices."
FULL = os.environ.get("TILESTREAM_LEAK_FULL") == "1"


def signed(code):
    return code - (1 << 32) if code >= 1 << 31 else code


def line(step, site, code):
    return "%s:%d failed w/ 0x%08x\n" % (step, site, code)


def parser_error(args, fmt):
    """The exception that the interpreter's argument parser raises for args
    under fmt (a handle then one "s#"-like item), or None."""
    import ctypes
    parse = getattr(ctypes.pythonapi, "_PyArg_ParseTuple_SizeT", None) or ctypes.pythonapi.PyArg_ParseTuple
    parse.restype = ctypes.c_int
    handle, data, size = ctypes.py_object(), ctypes.c_char_p(), ctypes.c_ssize_t()
    try:
        parse(ctypes.py_object(args), fmt, ctypes.py_object(type(args[0])), ctypes.byref(handle),
              ctypes.byref(data), ctypes.byref(size))
    except Exception as e:  # PyDLL raises what the call left set
        return e
    return None


class Reader(threading.Thread):
    """Runs op(*args) on its own thread; result or error afterwards."""

    def __init__(self, op, *args):
        threading.Thread.__init__(self)
        self.daemon = True
        self.op, self.args = op, args
        self.result = self.error = None
        self.start()

    def run(self):
        try:
            self.result = self.op(*self.args)
        except Exception as e:
            self.error = e

    def finish(self, test):
        self.join(15)
        test.assertFalse(self.is_alive(), "still blocked")
        return self


def descriptor(text):
    """A string descriptor of 8-bit text."""
    body = bytearray()
    for c in text:
        body += bytearray([ord(c), 0])
    return bytes(bytearray([2 + len(body), 3]) + body)


@unittest.skipIf(macusb is None, "macusb is not built here")
class MacUsbTest(unittest.TestCase):
    def setUp(self):
        macstub.reset()

    def tearDown(self):
        gc.collect()
        self.assertEqual(macstub.live_by_kind(), {})

    def enum(self, *args):
        with macstub.captured_stdout() as out:
            result = macusb.enum(*args)
        return result, out[0]

    def open(self, *args):
        """(handle or the LookupError's message, what was printed)."""
        with macstub.captured_stdout() as out:
            try:
                result = macusb.open(*args)
            except LookupError as e:
                result = str(e)
        return result, out[0]

    # ---- the module ----------------------------------------------------------

    def test_table_and_constants(self):
        rows = [("enum", "Search for suitable devices, return a list of unique strings"),
                ("open", "Search for particular device, return a useful object."),
                ("read", "Read from device"), ("write", "Write from device"),
                ("getString", "Read a string descriptor"), ("getDescriptor", "Read any descriptor"),
                ("readVideo", "Read video data from device"), ("getHiSpeed", "Is it in high-speed mode?")]
        self.assertIsNone(macusb.__doc__)
        for name, doc in rows:
            self.assertEqual(getattr(macusb, name).__doc__, doc)
        self.assertEqual(macusb.maxDevices, 100)
        self.assertTrue(0 <= macusb.expectedVID < 0x10000 and 0 <= macusb.expectedPID < 0x10000)
        names = [n for n in vars(macusb) if not n.startswith("__")]
        if not PY2:
            self.assertEqual(names[:len(rows) + 5], [n for n, _ in rows] + ["syskeys", "syskeysDisable",
                                                                           "expectedVID", "expectedPID",
                                                                           "maxDevices"])

    # ---- enumeration ---------------------------------------------------------

    def test_enum_order_filters_and_duplicates(self):
        self.assertEqual(self.enum(), ([], ""))
        vid, pid = macusb.expectedVID, macusb.expectedPID
        macstub.add_device(vid, pid, "A")
        macstub.add_device(vid, (pid + 1) & 0xFFFF, "X")  # another product: never seen
        macstub.add_device(vid, pid, "B")
        macstub.add_device(vid, pid, "A")
        # No filter: every one in IOKit's order, duplicates kept.
        self.assertEqual(self.enum(), (["A", "B", "A"], ""))
        self.assertEqual(macusb.enum("B"), ["B"])
        self.assertEqual(macusb.enum("A", vid, pid), ["A", "A"])
        self.assertEqual(macusb.enum("C"), [])
        self.assertEqual(macusb.enum(""), [])
        # The ids keep their low 16 bits.
        self.assertEqual(macusb.enum("B", vid + 0x10000, pid + 0x10000), ["B"])
        self.assertEqual(macstub.requests(1), [])  # another product
        self.assertEqual(set(macstub.requests(2)), set([(0x80, 6, 0x0303, 0, 255)]))
        with self.assertRaises(TypeError):
            macusb.enum(None)
        self.assertEqual(macstub.calls("USBDeviceOpen"), 0)  # not opened to read serials

    def test_enum_decodes_descriptors_by_their_rules(self):
        dev = macstub.add_device(VID, PID, "unused")
        cases = [
            (b"\x01\x03", ""),                                  # bLength 1
            (b"\x0a\x03" + b"W\x01X\x00Y\x00Z\x00", "WXYZ"),    # 10: 4 characters, high bytes dropped
            (bytes(bytearray([255, 3])) + b"q\x00" * 126 + b"!", "q" * 126),  # 255: 126
            (b"\x0a\x03A\x00B\x00", "AB"),                      # 10 claimed, 6 delivered: only those
        ]
        for data, want in cases:
            macstub.set_string(dev, 3, data)
            self.assertEqual(macusb.enum(want, VID, PID), [want], data)
        # Index 0: the language table taken as the serial (one per language ID).
        macstub.set_serial_index(dev, 0)
        macstub.set_string(dev, 0, b"\x06\x03\x09\x04\x07\x04")
        self.assertEqual(macusb.enum("\x09\x07", VID, PID), ["\x09\x07"])

    def test_enum_failures_print_their_lines(self):
        a = macstub.add_device(VID, PID, "A")
        macstub.add_device(VID, PID, "B")
        macstub.fail_next("IOMasterPort", 0xE00002BC)
        self.assertEqual(self.enum("A", VID, PID), ([], line("deviceIterator", 170, 0xE00002BC)))
        for call in ("IOServiceMatching", "CFNumberCreate"):
            macstub.fail_next(call, 0, null=True)
            self.assertEqual(self.enum("A", VID, PID), ([], ""), call)
            self.assertEqual(macstub.live_by_kind(), {}, call)
        macstub.fail_next("IOCreatePlugInInterfaceForService", macstub.kIOReturnNoResources)
        self.assertEqual(self.enum("B", VID, PID), (["B"], ""))  # A skipped silently
        macstub.fail_next("IOCreatePlugInInterfaceForService", 0xE00002C7)
        self.assertEqual(self.enum("B", VID, PID), (["B"], line("enumWork", 310, 0xE00002C7)))
        macstub.fail_next("IOCreatePlugInInterfaceForService", 0, null=True)
        self.assertEqual(self.enum("B", VID, PID), (["B"], line("enumWork", 310, 0)))
        macstub.fail_next("QueryInterface", 0x80000004)
        self.assertEqual(self.enum("B", VID, PID), (["B"], line("enumWork", 320, 0x80000004)))
        macstub.fail_next("QueryInterface", 0, null=True)
        self.assertEqual(self.enum("B", VID, PID), (["B"], line("enumWork", 320, 0)))
        # A serial that cannot be read: left out, and the device reset.
        macstub.fail_next("USBGetSerialNumberStringIndex", 0xE00002ED)
        self.assertEqual(self.enum("B", VID, PID), (["B"], line("getSerialNumber", 141, 0xE00002ED)))
        self.assertEqual(macstub.state(a, "resets"), 1)
        macstub.set_string(a, 3, None)
        self.assertEqual(self.enum("B", VID, PID), (["B"], ""))
        self.assertEqual((macstub.state(a, "resets"), macstub.state(a, "open")), (2, 0))
        self.assertEqual(macstub.calls("IOServiceGetMatchingServices"), 7)

    # ---- open ----------------------------------------------------------------

    def test_open_finds_opens_and_configures(self):
        self.assertEqual(self.open("A", VID, PID), (NOT_FOUND, ""))
        a = macstub.add_device(VID, PID, "A")
        b = macstub.add_device(VID, PID, "B")
        h, printed = self.open("B", VID, PID)
        self.assertEqual(printed, "")
        self.assertEqual(macusb.getString(h, 3), "B")
        self.assertEqual([macstub.state(b, k) for k in ("open", "interface_open", "configuration")], [1, 1, 1])
        self.assertEqual(macstub.state(a, "open"), 0)
        # Every interface of the configuration matches the search.
        self.assertEqual(macstub.searches(b), [(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF)])
        self.assertEqual(macstub.searches(a), [])
        # Held by us: passed over silently; the other one is free.
        self.assertEqual(self.open("B", VID, PID), (NOT_FOUND, ""))
        h2, _ = self.open("A", VID, PID)
        self.assertEqual(macusb.getString(h2, 3), "A")
        del h, h2
        gc.collect()
        self.assertEqual([macstub.state(b, k) for k in ("open", "interface_open")], [0, 0])
        # Dropped: it opens again. Held by another client: passed over.
        h, _ = self.open("B", VID, PID)
        del h
        macstub.hold_elsewhere(b)
        self.assertEqual(self.open("B", VID, PID), (NOT_FOUND, ""))
        self.assertEqual(self.open("nobody", VID, PID), (NOT_FOUND, ""))
        self.assertEqual(macstub.state(a, "open"), 0)
        with self.assertRaises(TypeError):
            macusb.open(None)

    def test_open_without_filter_takes_the_first_that_opens(self):
        a = macstub.add_device(macusb.expectedVID, macusb.expectedPID, "A")
        macstub.add_device(macusb.expectedVID, macusb.expectedPID, "B")
        macstub.hold_elsewhere(a)
        h, printed = self.open()
        self.assertEqual((macusb.getString(h, 3), printed), ("B", ""))

    def test_configurations_and_endpoints_that_do_not_fit(self):
        dev = macstub.add_device(VID, PID, "A")
        macstub.set_configurations(dev, 2)
        self.assertEqual(self.open("A", VID, PID), (NOT_FOUND, line("openWork", 455, 0)))
        macstub.set_configurations(dev, 1)
        for endpoints in ([2], [4], [4, 3]):  # only the first interface is tried
            macstub.set_interfaces(dev, endpoints)
            self.assertEqual(self.open("A", VID, PID), (NOT_FOUND, ""), endpoints)
            self.assertEqual([macstub.state(dev, k) for k in ("open", "interface_open")], [0, 0])
        macstub.set_interfaces(dev, [3, 2])
        h, printed = self.open("A", VID, PID)
        self.assertEqual(printed, "")

    def test_every_open_failure_line_and_undo(self):
        dev = macstub.add_device(VID, PID, "A")
        err = 0xE00002BC
        cases = [
            ("IOCreatePlugInInterfaceForService", err, False, "openWork", 412),
            ("QueryInterface", err, False, "openWork", 422),
            ("QueryInterface", 0, True, "openWork", 422),
            ("USBGetSerialNumberStringIndex", err, False, "getSerialNumber", 141),
            ("USBDeviceOpen", err, False, "openWork", 446),
            ("GetNumberOfConfigurations", err, False, "openWork", 455),
            ("GetConfigurationDescriptorPtr", err, False, "openWork", 462),
            ("GetConfigurationDescriptorPtr", 0, True, "openWork", 462),
            ("SetConfiguration", err, False, "openWork", 470),
            ("CreateInterfaceIterator", err, False, "openWork", 482),
            ("IOCreatePlugInInterfaceForService", err, False, "setupInterface", 242),
            ("QueryInterface", err, False, "setupInterface", 252),
            ("USBInterfaceOpen", err, False, "setupInterface", 258),
            ("GetNumEndpoints", err, False, "setupInterface", 267),
        ]
        for call, code, null, step, site in cases:
            # The interface's own plug-in and query come after the device's.
            second = step == "setupInterface" and call in ("IOCreatePlugInInterfaceForService",
                                                           "QueryInterface")
            macstub.fail_next(call, code, null, after=1 if second else 0)
            self.assertEqual(self.open("A", VID, PID), (NOT_FOUND, line(step, site, code)), (call, site))
            self.assertEqual([macstub.state(dev, k) for k in ("open", "interface_open")], [0, 0], call)
            self.assertEqual(macstub.live_by_kind(), {}, call)
        # Undo steps that fail print too, and still let everything go.
        macstub.fail_next("USBDeviceOpen", macstub.kIOReturnExclusiveAccess)
        self.assertEqual(self.open("A", VID, PID), (NOT_FOUND, ""))
        macstub.set_configurations(dev, 2)
        macstub.fail_next("USBDeviceClose", err)
        macstub.fail_next("DeviceRelease", 1)
        self.assertEqual(self.open("A", VID, PID),
                         (NOT_FOUND, line("openWork", 455, 0) + line("openWork", 504, err) +
                          line("openWork", 507, 1)))
        macstub.set_configurations(dev, 1)
        macstub.set_interfaces(dev, [2])
        macstub.fail_next("USBInterfaceClose", err)
        macstub.fail_next("InterfaceRelease", 1)
        self.assertEqual(self.open("A", VID, PID),
                         (NOT_FOUND, line("setupInterface", 281, err) + line("setupInterface", 284, 1)))
        macstub.set_interfaces(dev, [3])
        h, printed = self.open("A", VID, PID)
        self.assertEqual(printed, "")

    # ---- pipes and descriptors -----------------------------------------------

    def opened(self):
        dev = macstub.add_device(VID, PID, "A")
        return dev, macusb.open("A", VID, PID)

    def assertIOKitError(self, cm, handler, site, code):
        e = cm.exception
        self.assertEqual((e.errno, e.strerror, e.filename),
                         (signed(code), "IOKit Error", "%s:%d err=0x%08x" % (handler, site, code)))

    def test_read_and_write(self):
        dev, h = self.opened()
        macstub.queue_data(dev, 2, b"hello")
        macstub.queue_data(dev, 2, b"x" * 100)
        v = macusb.read(h)
        self.assertEqual(bytes(v), b"hello")
        self.assertEqual(type(v), buffer if PY2 else memoryview)  # noqa: F821
        if not PY2:
            self.assertTrue(v.readonly)
        self.assertEqual(bytes(macusb.read(h)), b"x" * 64)  # up to 64 a call
        self.assertEqual(macstub.reads(dev), [(2, 64, None, None)] * 2)  # untimed, pipe 2
        self.assertEqual(bytes(v[:5]), b"xxxxx")           # the same buffer, refilled
        macstub.queue_error(dev, 2, macstub.kIOReturnNoDevice)
        with self.assertRaises(IOError) as cm:
            macusb.read(h)
        self.assertIOKitError(cm, "devRead", 536, macstub.kIOReturnNoDevice)
        self.assertEqual(cm.exception.errno, -536870208)
        self.assertIsNone(macusb.write(h, b""))
        self.assertIsNone(macusb.write(h, b"\x00data"))
        self.assertEqual(macstub.written(dev, 3), [b"", b"\x00data"])
        macstub.fail_next("WritePipe", 0xE000404F)
        with self.assertRaises(IOError) as cm:
            macusb.write(h, b"z")
        self.assertIOKitError(cm, "devWrite", 675, 0xE000404F)

    def test_a_write_too_long_for_one_transfer_is_refused(self):
        dev, h = self.opened()
        size = 2 ** 32 + 1
        if PY2:
            with tempfile.TemporaryFile() as f:
                f.truncate(size)  # sparse: never touched
                m = mmap.mmap(f.fileno(), size, access=mmap.ACCESS_READ)
                try:
                    with self.assertRaises(ValueError):
                        macusb.write(h, buffer(m))  # noqa: F821
                finally:
                    m.close()
        else:
            data = bytes(size)  # calloc'd: its pages are never touched
            with self.assertRaises(ValueError):
                macusb.write(h, data)
            del data
        self.assertEqual(macstub.written(dev, 3), [])

    def test_views_keep_their_handle_alive(self):
        dev, h = self.opened()
        macstub.queue_data(dev, 2, b"kept")
        v = macusb.read(h)
        del h
        gc.collect()
        self.assertEqual(macstub.state(dev, "open"), 1)
        self.assertEqual(bytes(v), b"kept")
        del v
        gc.collect()
        self.assertEqual(macstub.state(dev, "open"), 0)

    def test_strings_and_descriptors(self):
        dev, h = self.opened()
        for index in (0, 256, -1):
            with self.assertRaises(IndexError) as cm:
                macusb.getString(h, index)
            self.assertEqual(str(cm.exception), "String index is bogus")
        macstub.set_string(dev, 5, descriptor("Product"))
        self.assertEqual(macusb.getString(h, 5), "Product")
        macstub.set_string(dev, 6, b"\x10\x03A\x00")  # claims 16, delivers 4
        self.assertEqual(macusb.getString(h, 6), "A")
        with self.assertRaises(KeyError) as cm:
            macusb.getString(h, 7)
        self.assertEqual(cm.exception.args[0], "Didn't find the string idx/trouble")
        d = macusb.getDescriptor(h)
        self.assertEqual((type(d), len(d), d[:1]), (bytes, 18, b"\x12"))
        self.assertEqual(macusb.getDescriptor(h, 2), b"\x09\x02\x27\x00\x01\x01\x00\x80\x32")
        with self.assertRaises(OverflowError):
            macusb.getDescriptor(h, 256)
        macstub.set_descriptor(dev, 1, b"\x12\x01\x00\x02")  # claims 18, delivers 4
        self.assertEqual(macusb.getDescriptor(h, 1), b"\x12\x01\x00\x02")
        macstub.fail_next("DeviceRequest", 0xE000404F)
        with self.assertRaises(IOError) as cm:
            macusb.getDescriptor(h)
        self.assertIOKitError(cm, "devGetDescriptor", 644, 0xE000404F)
        # Standard GET_DESCRIPTOR requests for 255 bytes, no language ID in
        # wIndex: the serial number's (open), then each of the above.
        values = [0x0303, 0x0305, 0x0306, 0x0307, 0x0100, 0x0200, 0x0100, 0x0100]
        self.assertEqual(macstub.requests(dev), [(0x80, 6, v, 0, 255) for v in values])

    def test_hi_speed(self):
        dev, h = self.opened()
        self.assertEqual(macusb.getHiSpeed(h), 1)
        macstub.set_speed(dev, 1)
        self.assertEqual(macusb.getHiSpeed(h), 0)
        macstub.fail_next("GetDeviceSpeed", macstub.kIOReturnNoDevice)
        with self.assertRaises(IOError) as cm:
            macusb.getHiSpeed(h)
        self.assertIOKitError(cm, "devGetHiSpeed", 701, macstub.kIOReturnNoDevice)

    def test_handles_are_recognised(self):
        dev, h = self.opened()
        others = [1, None, "handle"]
        if PY2:
            import ctypes
            make = ctypes.pythonapi.PyCObject_FromVoidPtr
            make.restype, make.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_void_p]
        else:
            import ctypes
            make = ctypes.pythonapi.PyCapsule_New
            make.restype = ctypes.py_object
            make.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        forged = make(1, b"macusb.device", None) if not PY2 else make(1, None)
        for op in (macusb.read, macusb.readVideo, macusb.getHiSpeed, macusb.getDescriptor):
            for bad in others + [forged]:
                with self.assertRaises(TypeError):
                    op(bad)

    def test_read_video(self):
        dev, h = self.opened()
        stream = b"".join(streamgen.adapter_chunks([streamgen.solid(1, 0, 0xF800),
                                                    streamgen.image(0, 1, list(range(256)))]))
        macstub.queue_timeouts(dev, 1, 2)
        macstub.queue_data(dev, 1, stream)
        start = time.time()
        v = macusb.readVideo(h)
        took = time.time() - start
        self.assertEqual(bytes(v), stream)
        # Two timed-out attempts retried, each given up after its 250 ms
        # completion timeout, well before the 1000 ms without data.
        self.assertEqual(macstub.reads(dev), [(1, 0xA0000, 1000, 250)] * 3)
        self.assertGreaterEqual(took, 0.49)
        import vidframe
        vidframe.createBuffer(32, 32)
        self.assertEqual(vidframe.videoSink(v), 0)
        data, size = vidframe.toRGBString(0, 0, 2, 2)
        frame = bytearray(data)
        self.assertEqual(bytes(frame[(0 * 32 + 16) * 4:(0 * 32 + 17) * 4]), b"\xf8\x00\x00\xff")
        self.assertEqual(bytes(frame[(17 * 32 + 1) * 4:(17 * 32 + 2) * 4]), streamgen.expand(17))
        macstub.queue_error(dev, 1, macstub.kIOReturnNoDevice)
        with self.assertRaises(IOError) as cm:
            macusb.readVideo(h)
        self.assertIOKitError(cm, "devReadVideo", 574, macstub.kIOReturnNoDevice)

    def test_read_video_waits_until_a_signal_handler_raises(self):
        dev, h = self.opened()

        class Stop(Exception):
            pass

        def raise_stop(signum, frame):
            raise Stop()

        old = signal.signal(signal.SIGALRM, raise_stop)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        start = time.time()
        try:
            with self.assertRaises(Stop):
                macusb.readVideo(h)  # nothing comes: timeouts until the handler raises
        finally:
            took = time.time() - start
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
        # The handler ran once the attempt in progress had timed out, not before.
        attempts = macstub.reads(dev)
        self.assertGreaterEqual(len(attempts), 1)
        self.assertEqual(set(attempts), set([(1, 0xA0000, 1000, 250)]))
        self.assertGreaterEqual(took, 0.245 * len(attempts))

    # ---- the interpreter lock around transfers ---------------------------------

    def test_a_blocked_read_lets_other_threads_run(self):
        dev, h = self.opened()
        reader = Reader(macusb.read, h)
        # This thread runs Python code while the read waits for data ...
        self.assertTrue(macstub.wait_for_blocked(dev, 2, timeout=10), "read never blocked")
        work = sum(i * i for i in range(20000))
        self.assertEqual((work, macstub.waiting(dev, 2), reader.is_alive()), (2666466670000, 1, True))
        # ... and uses the same handle meanwhile.
        self.assertIsNone(macusb.write(h, b"meanwhile"))
        macstub.queue_data(dev, 2, b"posted")
        reader.finish(self)
        self.assertEqual((bytes(reader.result), reader.error), (b"posted", None))
        # Aborted while it waits: the IOKit error.
        reader = Reader(macusb.read, h)
        self.assertTrue(macstub.wait_for_blocked(dev, 2, timeout=10))
        self.assertEqual(macstub.abort_pipe(dev, 2), 1)
        reader.finish(self)
        self.assertIsInstance(reader.error, IOError)
        e = reader.error
        aborted = macstub.kIOReturnAborted
        self.assertEqual((e.errno, e.filename), (signed(aborted), "devRead:536 err=0x%08x" % aborted))
        self.assertEqual(macstub.written(dev, 3), [b"meanwhile"])
        self.assertEqual(macstub.gave_up(), 0)

    def test_a_blocked_write_lets_other_threads_run(self):
        dev, h = self.opened()
        macstub.hold_writes(dev, 3)
        writer = Reader(macusb.write, h, b"slow")
        self.assertTrue(macstub.wait_for_blocked(dev, 3, timeout=10), "write never blocked")
        macstub.queue_data(dev, 2, b"in")
        self.assertEqual(bytes(macusb.read(h)), b"in")  # the same handle, meanwhile
        self.assertEqual(macstub.written(dev, 3), [])
        macstub.hold_writes(dev, 3, False)
        writer.finish(self)
        self.assertEqual((writer.result, writer.error), (None, None))
        self.assertEqual(macstub.written(dev, 3), [b"slow"])
        macstub.hold_writes(dev, 3)
        writer = Reader(macusb.write, h, b"dropped")
        self.assertTrue(macstub.wait_for_blocked(dev, 3, timeout=10))
        macstub.abort_pipe(dev, 3)
        writer.finish(self)
        self.assertEqual(writer.error.filename, "devWrite:675 err=0x%08x" % macstub.kIOReturnAborted)
        self.assertEqual(macstub.written(dev, 3), [b"slow"])

    def test_read_and_write_while_read_video_waits(self):
        dev, h = self.opened()
        video = Reader(macusb.readVideo, h)
        self.assertTrue(macstub.wait_for_blocked(dev, 1, timeout=10), "readVideo never waited")
        macstub.queue_data(dev, 2, b"key")
        self.assertEqual(bytes(macusb.read(h)), b"key")
        macusb.write(h, b"ack")
        self.assertTrue(video.is_alive())
        macstub.queue_data(dev, 1, b"frame")
        video.finish(self)
        self.assertEqual((bytes(video.result), video.error), (b"frame", None))
        # An abort ends the wait with the IOKit error, not with another attempt.
        video = Reader(macusb.readVideo, h)
        for _ in range(100):  # an abort between two attempts ends none
            self.assertTrue(macstub.wait_for_blocked(dev, 1, timeout=10))
            if macstub.abort_pipe(dev, 1):
                break
        video.finish(self)
        self.assertEqual(video.error.filename, "devReadVideo:574 err=0x%08x" % macstub.kIOReturnAborted)

    # ---- what "write" takes ------------------------------------------------------

    def test_views_of_read_and_read_video_write_back(self):
        dev, h = self.opened()
        macstub.queue_data(dev, 2, b"echo")
        macstub.queue_data(dev, 1, b"frame")
        self.assertIsNone(macusb.write(h, macusb.read(h)))
        self.assertIsNone(macusb.write(h, macusb.readVideo(h)))
        self.assertEqual(macstub.written(dev, 3), [b"echo", b"frame"])

    def test_write_takes_bytes_like_objects_and_refuses_the_rest_as_before(self):
        dev, h = self.opened()
        taken = [(b"bytes", b"bytes"), ("text", b"text")]
        if PY2:
            taken.append((buffer(b"abuffer", 1), b"buffer"))  # noqa: F821
        else:
            import array
            taken += [("\xe9", b"\xc3\xa9"),  # str: its UTF-8 bytes, as ever
                      (bytearray(b"array"), b"array"), (memoryview(b"view"), b"view"),
                      (memoryview(bytearray(b"xwritablex"))[1:-1], b"writable"),
                      (memoryview(b"ab\x00cd").cast("B", (5,)), b"ab\x00cd"),
                      (array.array("B", [1, 2]), b"\x01\x02")]
        for data, sent in taken:
            self.assertIsNone(macusb.write(h, data), repr(data))
        self.assertEqual(macstub.written(dev, 3), [sent for _, sent in taken])
        # What is no bytes-like object is refused as "s#" refuses it.
        refused = [5, None, [1], object()]
        if PY2:
            refused += [bytearray(b"rw"), memoryview(b"mv")]
        else:
            refused.append(memoryview(b"stride")[::2])  # not contiguous
        for data in refused:
            with self.assertRaises(TypeError) as cm:
                macusb.write(h, data)
            want = parser_error((h, data), b"O!s#")
            self.assertEqual((type(want), str(cm.exception)), (TypeError, str(want)), repr(data))
        self.assertEqual(len(macstub.written(dev, 3)), len(taken))
        if PY2:
            return
        # A buffer is let go on every path: resizable again afterwards.
        data = bytearray(b"grow")
        macusb.write(h, data)
        with self.assertRaises(TypeError):
            macusb.write(5, data)
        macstub.fail_next("WritePipe", 0xE000404F)
        with self.assertRaises(IOError):
            macusb.write(h, data)
        data += b"n"
        self.assertEqual(data, bytearray(b"grown"))

    def test_open_read_drop_cycles_leak_nothing(self):
        dev = macstub.add_device(VID, PID, "A")
        rounds = 100000 if FULL else 3000

        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096

        def cycle(n):
            for _ in range(n):
                macstub.queue_data(dev, 2, b"0123")
                h = macusb.open("A", VID, PID)
                macusb.read(h)
                del h

        cycle(200)
        before = rss()
        cycle(rounds)
        gc.collect()
        self.assertEqual(macstub.live_by_kind(), {})
        # Under ASan freed blocks sit in its quarantine: only the counts tell.
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            self.assertLess(rss() - before, 4 << 20)


if __name__ == "__main__":
    unittest.main()
