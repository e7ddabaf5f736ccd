"""vidtool record on a scripted usbdevfs device (tests/usbfake): SIGINT and
SIGTERM end it alike, with status 0, everything read kept, the reads
detached and the interface released, also while the reads start. (The real kernel's record runs in tests/qemu.) Debian's python3
with umockdev; every wait has a bound and says what it waited for."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.realpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "python"))
sys.path.insert(0, os.path.join(TOP, "tests", "usbfake"))
sys.path.insert(0, HERE)
import scripted  # noqa: E402

VIDTOOL = os.path.join(TOP, "vidtool")
ENDS_WITHIN = 20     # seconds, a loaded machine included


class RecordTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vidtool-record-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def device(self):
        return scripted.device(self)

    def record(self, dev, out):
        err = tempfile.TemporaryFile(dir=self.tmp)
        proc = subprocess.Popen([VIDTOOL, "record", "--device", dev.node, out], env=dev.env(),
                                stdout=subprocess.PIPE, stderr=err, universal_newlines=True)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait(ENDS_WITHIN)))
        return proc, err

    def ended(self, proc, err, after):
        try:
            out = proc.communicate(timeout=ENDS_WITHIN)[0]
        except subprocess.TimeoutExpired:
            proc.kill()
            out = proc.communicate(timeout=ENDS_WITHIN)[0]
            self.fail("record did not end within %d s of %s; it said %r" % (ENDS_WITHIN, after, out))
        err.seek(0)
        return proc.returncode, out, err.read().decode(errors="replace")

    def test_sigint_and_sigterm_end_it_alike_keeping_what_was_read(self):
        for sig, name in ((signal.SIGINT, "SIGINT (Ctrl-C)"), (signal.SIGTERM, "SIGTERM")):
            dev = self.device()
            out = os.path.join(self.tmp, "out-%d.stream" % sig)
            proc, err = self.record(dev, out)
            dev.wait_queued(9, 60)
            payloads = [bytes(bytearray((k * 31 + j) & 0xFF for j in range(n))) for k, n in ((1, 16384), (2, 700))]
            for payload in payloads:
                dev.complete(payload)
            want = b"".join(payloads)
            deadline = time.monotonic() + 60
            while not os.path.exists(out) or os.path.getsize(out) < len(want):
                self.assertIsNone(proc.poll(), "record ended before the signal")
                self.assertLess(time.monotonic(), deadline, "record wrote no %d bytes within 60 s" % len(want))
                time.sleep(0.01)
            proc.send_signal(sig)
            rc, text, errors = self.ended(proc, err, name)
            self.assertEqual(rc, 0, (text, errors))
            self.assertIn("stopped       by %s\n" % name, text)
            self.assertIn("recorded      %d bytes" % len(want), text)
            with open(out, "rb") as f:
                self.assertEqual(f.read(), want)
            events = [e[0] for e in dev.events("claim", "discard", "release")]
            self.assertEqual(events, ["claim"] + ["discard"] * 9 + ["release"], name)

    def test_a_signal_while_the_reads_start_stops_it_cleanly(self):
        # The device holds the first submission: record waits in attach,
        # its interface claimed, before its loop runs; the signal counts
        # all the same.
        for sig, name in ((signal.SIGINT, "SIGINT (Ctrl-C)"), (signal.SIGTERM, "SIGTERM")):
            dev = self.device()
            dev.hold_submits()
            proc, err = self.record(dev, os.path.join(self.tmp, "early.stream"))
            dev.wait_for(lambda h: h.held, 60, "a submission")
            proc.send_signal(sig)
            dev.release_submits()
            rc, text, errors = self.ended(proc, err, name)
            self.assertEqual(rc, 0, (text, errors))
            self.assertIn("stopped       by %s\n" % name, text)
            self.assertIn("recorded      0 bytes", text)
            self.assertEqual([e[0] for e in dev.events("claim", "release")], ["claim", "release"], name)


if __name__ == "__main__":
    unittest.main()
