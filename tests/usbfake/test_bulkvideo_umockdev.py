"""bulkvideo against a scripted usbdevfs device (umockdev), in child
interpreters of CPython 2.7 and 3. The fixture decides what every URB
completes with while the module runs; every wait has a timeout."""
import ast
import errno
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    import queue
except ImportError:  # the fixture runs on 3; this keeps 2.7 from choking on import
    import Queue as queue

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

import streamgen  # noqa: E402
from usbfake import FakeUsbDevice  # noqa: E402

BUILD = os.environ.get("TILESTREAM_BUILD", os.path.join(HERE, "..", "..", "build"))
CLIENT = os.path.join(HERE, "client.py")
SLOT = 16384


def pattern(k, n):
    """Data item k: byte j is (k*31 + j*7 + 1) & 0xff."""
    return bytes(bytearray((k * 31 + j * 7 + 1) & 0xFF for j in range(n)))


def sha1(data):
    return hashlib.sha1(data).hexdigest()


class Client(object):
    """A child interpreter running client.py under the preload."""

    def __init__(self, dev, python, modules):
        self.err = tempfile.TemporaryFile()
        env = dev.env()
        env["PYTHONPATH"] = modules
        env.pop("PYTHONHOME", None)
        self.proc = subprocess.Popen([python, "-u", CLIENT, dev.node], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.err, env=env)
        self.replies = queue.Queue()
        reader = threading.Thread(target=self._read)
        reader.daemon = True
        reader.start()

    def _read(self):
        for line in iter(self.proc.stdout.readline, b""):
            self.replies.put(json.loads(line.decode("utf-8")))
        self.replies.put(None)

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode("utf-8", "replace")

    def send(self, code):
        self.proc.stdin.write((json.dumps(code) + "\n").encode("utf-8"))
        self.proc.stdin.flush()

    def reply(self, timeout=10.0):
        try:
            r = self.replies.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("client did not answer within %.1f s; stderr:\n%s" % (timeout, self.stderr()))
        if r is None:
            raise AssertionError("client died (status %r); stderr:\n%s" % (self.proc.wait(), self.stderr()))
        return r

    def no_reply_within(self, seconds):
        try:
            r = self.replies.get(timeout=seconds)
        except queue.Empty:
            return True
        self.replies.put(r)
        return False

    def value(self, timeout=10.0):
        r = self.reply(timeout)
        if "exc" in r:
            raise AssertionError("client raised %s: %s\n%s" % (r["exc"], r["args"], r.get("trace", "")))
        return ast.literal_eval(r["value"])

    def call(self, code, timeout=10.0):
        self.send(code)
        return self.value(timeout)

    def raises(self, code, timeout=10.0):
        self.send(code)
        r = self.reply(timeout)
        if "exc" not in r:
            raise AssertionError("%s returned %s instead of raising" % (code, r["value"]))
        return r

    def close(self):
        try:
            self.proc.stdin.close()
        except (IOError, OSError):
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.err.close()


class RingCases(object):
    python = None
    modules = None

    def setUp(self):
        if not self.python or not os.path.exists(self.python):
            self.skipTest("interpreter not found: %r" % self.python)
        self.dev = FakeUsbDevice()
        self.addCleanup(self.dev.close)
        self.cl = Client(self.dev, self.python, self.modules)
        self.addCleanup(self.cl.close)
        self.cl.call("fd = os.open(NODE, os.O_RDWR)")

    def attach(self, ep=0x81):
        self.cl.call("h = bulkvideo.attach(fd, %d)" % ep)
        self.dev.wait_queued(9)

    def assertIOError(self, reply, err):
        self.assertTrue(reply["ioerror"], reply)
        if self.python_major == 2:
            self.assertEqual(reply["exc"], "IOError")
        self.assertEqual(reply["errno"], err, reply)

    def read_info(self):
        return self.cl.call("info(bulkvideo.readVideo(h))")

    def discard_count(self, since=0):
        return len(self.dev.events_since(since, "discard", "discard-failed"))

    # ---- the ring ----

    def test_attach_queues_nine_requests_from_the_template(self):
        self.attach()
        submits = self.dev.events("submit")
        self.assertEqual(len(submits), 9)
        self.assertEqual(self.dev.events("reap", "blocked"), [])
        buffers = set()
        contexts = set()
        for _, addr, f in submits:
            self.assertEqual((f["type"], f["endpoint"], f["status"], f["flags"], f["buffer_length"],
                              f["actual_length"], f["start_frame"], f["number_of_packets"],
                              f["error_count"], f["signr"]),
                             (3, 0x81, 0, 0, SLOT, 0, 0, 0, 0, 0))
            self.assertNotEqual(f["buffer"], 0)
            self.assertNotEqual(f["usercontext"], 0)
            buffers.add(f["buffer"])
            contexts.add(f["usercontext"])
        starts = sorted(buffers)
        self.assertEqual(len(starts), 9)
        self.assertEqual(len(contexts), 9)
        # Nine separate 16 KiB buffers, none overlapping another.
        self.assertTrue(all(b - a >= SLOT for a, b in zip(starts, starts[1:])))

    def test_data_short_and_zero_length_completions(self):
        self.attach()
        sizes = [SLOT, 7000, 0, 100, 512, 1]
        for k, n in enumerate(sizes):
            self.dev.complete(pattern(k, n))
        view_type = "buffer" if self.python_major == 2 else "memoryview"
        for k, n in enumerate(sizes):
            got = self.read_info()
            self.assertEqual(got, {"type": view_type, "len": n, "readonly": True,
                                   "sha1": sha1(pattern(k, n))})

    def test_requests_are_handed_out_in_completion_order(self):
        self.attach()
        addrs = [e[1] for e in self.dev.events("submit")]
        self.dev.complete(pattern(12, 50), index=-1)
        self.dev.complete(pattern(13, 60), index=4)
        self.dev.complete(pattern(14, 70))
        for k, n in ((12, 50), (13, 60), (14, 70)):
            self.assertEqual(self.read_info()["sha1"], sha1(pattern(k, n)))
        self.assertEqual([e[1] for e in self.dev.events("reap")], [addrs[8], addrs[4], addrs[0]])

    def test_handed_out_slot_is_requeued_before_the_next_wait(self):
        self.attach()
        first_addr = self.dev.events("submit")[0][1]
        self.dev.complete(pattern(0, 300))
        mark = self.dev.mark()
        self.assertEqual(self.read_info()["len"], 300)
        # The first read after attach only reaps.
        self.assertEqual(self.dev.events_since(mark), [("reap", first_addr, 0, 300)])

        mark = self.dev.mark()
        self.cl.send("info(bulkvideo.readVideo(h))")
        self.dev.wait_blocked()
        events = self.dev.events_since(mark)
        self.assertEqual([e[:2] for e in events], [("submit", first_addr), ("blocked",)])
        self.assertEqual(self.dev.queued_count(), 9)
        # Nothing is due, so the read keeps waiting.
        self.assertTrue(self.cl.no_reply_within(0.3))
        self.dev.complete(pattern(1, 400))
        self.assertEqual(self.cl.value()["sha1"], sha1(pattern(1, 400)))

    def test_failed_completion_raises_once_and_the_ring_goes_on_without_it(self):
        self.attach()
        failing = self.dev.events("submit")[0][1]
        self.dev.complete(status=-errno.EPROTO)
        self.assertIOError(self.cl.raises("bulkvideo.readVideo(h)"), errno.EPROTO)
        self.dev.complete(pattern(2, 1000))
        self.assertEqual(self.read_info()["sha1"], sha1(pattern(2, 1000)))
        # The next read requeues the slot just handed out, not the failed one.
        self.cl.send("info(bulkvideo.readVideo(h))")
        self.dev.wait_blocked()
        self.assertEqual(self.dev.queued_count(), 8)
        self.dev.complete(pattern(3, 10))
        self.assertEqual(self.cl.value()["len"], 10)
        self.assertEqual([e for e in self.dev.events("submit") if e[1] == failing][1:], [])

    def test_read_with_every_slot_dropped_out_fails_instead_of_waiting(self):
        self.attach()
        for _ in range(9):
            self.dev.complete(status=-errno.EPROTO)
        for _ in range(9):
            self.assertIOError(self.cl.raises("bulkvideo.readVideo(h)"), errno.EPROTO)
        self.assertIOError(self.cl.raises("bulkvideo.readVideo(h)"), errno.ENODATA)
        self.assertEqual(self.dev.events("blocked"), [])

    def test_length_beyond_the_buffer_is_refused(self):
        self.attach()
        self.dev.complete(b"", length=SLOT + 1)
        self.assertIOError(self.cl.raises("bulkvideo.readVideo(h)"), errno.EIO)
        self.dev.complete(pattern(4, 64))
        self.assertEqual(self.read_info()["len"], 64)

    def test_interrupted_reap_is_retried(self):
        self.attach()
        self.dev.inject_eintr(3)
        self.cl.send("info(bulkvideo.readVideo(h))")
        self.dev.wait_blocked()
        self.dev.complete(pattern(5, 2048))
        self.assertEqual(self.cl.value()["sha1"], sha1(pattern(5, 2048)))
        self.assertEqual([e[0] for e in self.dev.events("eintr", "blocked", "reap")],
                         ["eintr", "eintr", "eintr", "blocked", "reap"])

    # ---- detach and the handle's end ----

    def test_detach_from_another_thread_ends_a_blocked_read(self):
        self.attach()
        self.dev.set_tick(0.01)
        self.cl.call("bg = Background(lambda: bulkvideo.readVideo(h))")
        self.dev.wait_blocked()
        mark = self.dev.mark()
        self.assertIsNone(self.cl.call("bulkvideo.detach(h)"))
        self.assertIOError(self.cl.raises("bg.result()"), errno.ENOENT)
        self.assertEqual(self.cl.raises("bulkvideo.readVideo(h)")["exc"], "EOFError")
        self.assertEqual(self.discard_count(), 9)
        # The read, ended by one of the discarded requests, reaps the other
        # eight before it returns (detach could not while it waited).
        reaped = self.dev.events_since(mark, "reapndelay")
        self.assertEqual(len(reaped), 8)
        self.assertTrue(all(e[2] == -errno.ENOENT for e in reaped))
        # Dropping the handle then leaves the descriptor alone: the
        # application may have closed it by then.
        mark = self.dev.mark()
        self.cl.call("del h, bg; gc.collect()")
        self.assertEqual(self.dev.events_since(mark), [])

    def test_detach_while_a_read_requeues(self):
        # The reader's resubmission is still in flight when detach walks the
        # ring; the request must not be left queued behind the handle's back.
        self.attach()
        self.dev.complete(pattern(11, 8))
        self.read_info()
        self.dev.set_tick(0.01)  # should the reader get to its reap after all
        self.dev.hold_submits()
        self.cl.call("bg = Background(lambda: bulkvideo.readVideo(h))")
        self.dev.wait_for(lambda h: h.held, what="a held resubmission")
        self.cl.send("bulkvideo.detach(h)")
        time.sleep(0.3)  # detach runs up to its first discard, queued behind the submit
        self.dev.release_submits()
        self.assertEqual(self.cl.value(), None)
        r = self.cl.raises("bg.result()")
        if r["exc"] != "EOFError":  # detach came late: the read saw a discard
            self.assertIOError(r, errno.ENOENT)
        self.cl.call("del h, bg; gc.collect()")
        self.assertEqual(self.dev.queued_count(), 0)
        self.assertEqual(self.discard_count(), 9)

    def test_detach_twice_then_eof(self):
        self.attach()
        mark = self.dev.mark()
        self.assertIsNone(self.cl.call("bulkvideo.detach(h)"))
        # detach reaps what it discarded at once, while the descriptor is
        # surely still the application's.
        self.assertEqual(len(self.dev.events_since(mark, "reapndelay")), 9)
        self.assertEqual(self.dev.queued_count(), 0)
        self.assertIsNone(self.cl.call("bulkvideo.detach(h)"))
        self.assertEqual(self.discard_count(), 9)
        for _ in range(2):
            r = self.cl.raises("bulkvideo.readVideo(h)")
            self.assertEqual((r["exc"], r["args"]), ("EOFError", "()"))
        # Dropping the handle later does nothing on the descriptor, which
        # the application may have closed (and opened again) meanwhile.
        mark = self.dev.mark()
        self.cl.call("del h; gc.collect()")
        self.assertEqual(self.dev.events_since(mark), [])

    def test_dropping_the_handle_takes_back_its_requests(self):
        self.attach()
        self.dev.complete(pattern(6, 32))
        self.read_info()
        mark = self.dev.mark()
        self.cl.call("del h; gc.collect()")
        self.assertEqual(self.discard_count(mark), 8)
        self.assertEqual(len(self.dev.events_since(mark, "reapndelay")), 8)
        self.assertEqual(self.dev.queued_count(), 0)
        # A new attachment on the same descriptor sees only its own data.
        self.attach()
        self.dev.complete(pattern(7, 33))
        self.assertEqual(self.read_info()["sha1"], sha1(pattern(7, 33)))

    def test_dropping_the_handle_waits_for_slow_unlinks(self):
        self.attach()
        self.dev.delay_discards(0.15)
        mark = self.dev.mark()
        self.cl.call("del h; gc.collect()")
        # Every discarded request was reaped before the memory went.
        self.assertEqual(len(self.dev.events_since(mark, "reapndelay")), 9)
        self.assertTrue(self.dev.events_since(mark, "reapndelay-again"))

    def test_unlinks_that_never_complete_do_not_hang_the_destructor(self):
        self.attach()
        self.dev.delay_discards(None)
        start = time.time()
        self.cl.call("del h; gc.collect()", timeout=20)
        self.assertLess(time.time() - start, 10)
        self.assertEqual(self.discard_count(), 9)
        self.assertEqual(self.dev.events("reapndelay"), [])

    def test_view_keeps_its_memory_alive(self):
        self.attach()
        self.dev.complete(pattern(8, 5000))
        self.cl.call("v = bulkvideo.readVideo(h)")
        mark = self.dev.mark()
        self.cl.call("del h; gc.collect()")
        self.assertEqual(self.dev.events_since(mark), [])
        self.assertEqual(self.cl.call("info(v)")["sha1"], sha1(pattern(8, 5000)))
        self.cl.call("del v; gc.collect()")
        self.assertEqual(self.discard_count(mark), 8)

    def test_attachments_do_not_leak(self):
        if os.environ.get("USBFAKE_EXTRA_PRELOAD"):
            self.skipTest("a sanitizer's allocator keeps freed memory in quarantine")
        # Each instance is about 148 KB; forty lost ones would show plainly.
        rss = "int(open('/proc/self/statm').read().split()[1]) * os.sysconf('SC_PAGE_SIZE')"
        cycle = "h = bulkvideo.attach(fd, 0x81); v = bulkvideo.readVideo(h); bulkvideo.detach(h); del h, v"
        before = None
        for i in range(48):
            if i == 8:
                before = self.cl.call(rss)
            self.dev.complete(pattern(i, 100))
            self.cl.call(cycle)
        growth = self.cl.call(rss) - before
        self.assertLess(growth, 2 << 20)
        self.assertEqual(self.dev.queued_count(), 0)

    # ---- bad input ----

    def test_wrong_handle_types(self):
        self.attach()
        for code in ("bulkvideo.readVideo(None)", "bulkvideo.readVideo(fd)", "bulkvideo.detach('h')",
                     "bulkvideo.readVideo(foreign_handle())", "bulkvideo.detach(foreign_handle())"):
            r = self.cl.raises(code)
            self.assertEqual((r["exc"], r["args"]), ("TypeError", "()"), code)
        for code in ("bulkvideo.readVideo()", "bulkvideo.detach(h, h)", "bulkvideo.attach(fd)",
                     "bulkvideo.attach('fd', 0x81)"):
            self.assertEqual(self.cl.raises(code)["exc"], "TypeError", code)
        # The real handle is untouched.
        self.assertEqual(self.discard_count(), 0)
        self.dev.complete(pattern(9, 77))
        self.assertEqual(self.read_info()["len"], 77)

    def test_out_endpoint_is_refused_without_submitting(self):
        r = self.cl.raises("bulkvideo.attach(fd, 0x02)")
        self.assertEqual(r["exc"], "ValueError")
        self.assertEqual(self.dev.events(), [])
        self.attach(0x81)

    def test_descriptor_that_rejects_submissions(self):
        self.dev.fail_submits(errno.ENODEV)
        self.assertIOError(self.cl.raises("bulkvideo.attach(fd, 0x81)"), errno.ENODEV)
        self.assertIn("SUBMITURB: %s\n" % os.strerror(errno.ENODEV), self.cl.stderr())
        self.assertEqual([e[0] for e in self.dev.events()], ["submit-failed"])
        # Not a usbdevfs descriptor at all.
        r = self.cl.raises("bulkvideo.attach(os.open('/dev/null', os.O_RDONLY), 0x81)")
        self.assertIOError(r, errno.ENOTTY)
        self.assertIn("SUBMITURB: %s\n" % os.strerror(errno.ENOTTY), self.cl.stderr())

    def test_failed_attach_takes_back_what_it_submitted(self):
        self.dev.fail_submits(errno.ENOMEM, after=4)
        self.assertIOError(self.cl.raises("bulkvideo.attach(fd, 0x81)"), errno.ENOMEM)
        submitted = [e[1] for e in self.dev.events("submit")]
        self.assertEqual(len(submitted), 4)
        self.assertEqual([e[1] for e in self.dev.events("discard")], submitted)
        reaped = self.dev.events("reapndelay")
        self.assertEqual(sorted(e[1] for e in reaped), sorted(submitted))
        self.assertEqual(self.dev.queued_count(), 0)
        self.attach()
        self.dev.complete(pattern(10, 900))
        self.assertEqual(self.read_info()["sha1"], sha1(pattern(10, 900)))

    # ---- into the frame module ----

    def test_views_decode_in_videoSink(self):
        rows = streamgen.sample_picture(256, 128, seed=3)
        msgs = streamgen.picture_messages(lambda x, y: rows[y][x], 16, 8)
        chunks = streamgen.adapter_chunks(msgs, 4096)
        self.assertGreater(len(chunks), 9)
        self.attach()
        self.cl.call("import vidframe, hashlib; vidframe.createBuffer(256, 128)")
        for chunk in chunks:
            self.dev.complete(chunk)
            self.cl.call("vidframe.videoSink(bulkvideo.readVideo(h))")
        frame = self.cl.call("hashlib.sha1(vidframe.toRGBString(0, 0, 16, 8)[0]).hexdigest()")
        self.assertEqual(frame, sha1(streamgen.expected_frame(rows)))


class Py2RingTest(RingCases, unittest.TestCase):
    python = os.environ.get("TILESTREAM_PYTHON2")
    python_major = 2
    modules = os.path.join(BUILD, "python2")


class Py3RingTest(RingCases, unittest.TestCase):
    python = os.environ.get("TILESTREAM_PYTHON3", "/usr/bin/python3")
    python_major = 3
    modules = os.path.join(BUILD, "python3")


if __name__ == "__main__":
    unittest.main()
