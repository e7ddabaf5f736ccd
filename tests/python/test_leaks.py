"""Leak and reference checks: every operation of the modules, with good and
with bad arguments, called many times in a loop; memory must stay level.

On 3: memory traced by tracemalloc, the interpreter's allocated blocks and
the resident size; on 2.7: the objects the collector tracks and the resident
size. Each case runs a warm-up round, then a measured round.

On 2.7 the collector stays off during the measured round, and what it
tracks is counted without a collection at its end: a collection stops
tracking every tuple (and dict) that holds only atomic objects, so a tuple
of ints kept per call, like a leaked result of getStats, would otherwise be
seen only in the resident size, which memory freed earlier in the process
can hide altogether.

The quick run (the default) makes 4,000 calls per case (12,000 on 2.7); set
TILESTREAM_LEAK_FULL=1 for 100,000 (scripts/test.sh does, once), and
TILESTREAM_LEAK_REPORT=1 to print the growth of every case."""
import gc
import os
import sys
import unittest

import vidframe

import streamgen

try:
    import bulkvideo
except ImportError:  # not built on this platform
    bulkvideo = None

try:
    import tracemalloc
except ImportError:  # 2.7
    tracemalloc = None

PY2 = sys.version_info[0] == 2
FULL = os.environ.get('TILESTREAM_LEAK_FULL') == '1'
# 2.7 sees a leak of atomic objects (ints, strings) only in the resident
# size, so its quick run is longer; it also runs faster without tracemalloc.
CALLS = 100000 if FULL else 12000 if PY2 else 4000
PAGE = os.sysconf('SC_PAGE_SIZE')
# Under AddressSanitizer freed blocks wait in a quarantine of up to 256 MiB,
# so the resident size grows whatever the module does: it is not measured.
SANITIZED = 'libasan' in os.environ.get('LD_PRELOAD', '')

# Allowed growth over the measured round, whatever its length: far below
# what a leak of one small object (or one small block) per call adds up to.
RSS_SLACK = 320 * 1024
TRACED_SLACK = 16 * 1024
COUNT_SLACK = 50


def resident():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * PAGE


def counted(collect=True):
    """Objects (2.7: those the collector tracks) or allocated blocks (3),
    after a collection unless told otherwise."""
    if collect or not PY2:
        gc.collect()
    if PY2:
        return len(gc.get_objects())
    return sys.getallocatedblocks()


class QuietStderr(object):
    """Sends file descriptor 2 to /dev/null (bulkvideo reports a failed
    submission with perror on every call)."""

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        os.close(self.saved)


# range builds a list of ints on 2.7, whose blocks the interpreter keeps
# for good: the loop itself would grow the resident size.
counter = xrange if PY2 else range  # noqa: F821 (2.7 only)


def run(call, n):
    for _ in counter(n):
        call()


def raising(exc, fn, *args):
    def call():
        try:
            fn(*args)
        except exc:
            pass
        else:
            raise AssertionError('%s%r did not raise %s' % (fn.__name__, args, exc.__name__))
    return call


class LeakCase(unittest.TestCase):
    def setUp(self):
        vidframe.videoSink(b'\xff' * 1024)  # nothing carried
        vidframe.getStats()
        vidframe.createBuffer(256, 128)

    def assertLevel(self, call, calls=CALLS):
        call()  # fails loudly before any measuring if the call is wrong
        run(call, calls // 4)  # warm-up: caches, free lists, scratch growth
        if tracemalloc:
            tracemalloc.start()
        if PY2:
            gc.disable()
        try:
            rss0, count0 = resident(), counted()
            traced0 = tracemalloc.get_traced_memory()[0] if tracemalloc else 0
            run(call, calls)
            traced1 = tracemalloc.get_traced_memory()[0] if tracemalloc else 0
            rss1, count1 = resident(), counted(collect=False)
        finally:
            if PY2:
                gc.enable()
            if tracemalloc:
                tracemalloc.stop()
        if os.environ.get('TILESTREAM_LEAK_REPORT') == '1':
            sys.stdout.write('\n%s: %d calls: resident %+d B, count %+d, traced %+d B' % (
                self.id(), calls, rss1 - rss0, count1 - count0, traced1 - traced0))
        if not SANITIZED:
            self.assertLess(rss1 - rss0, RSS_SLACK, 'resident size grew by %d' % (rss1 - rss0))
        self.assertLess(count1 - count0, COUNT_SLACK, 'count grew by %d' % (count1 - count0))
        self.assertLess(traced1 - traced0, TRACED_SLACK, 'traced grew by %d' % (traced1 - traced0))


class Harness(LeakCase):
    def test_a_leak_is_seen(self):
        # One small object kept per call, the smallest leak a reference
        # mistake makes, must fail the check.
        kept = []
        with self.assertRaises(AssertionError):
            self.assertLevel(lambda: kept.append([len(kept)]))

    def test_a_leak_of_untracked_objects_is_seen(self):
        # A tuple of ints, like a leaked result of getStats (on 2.7 a
        # collection would stop tracking it).
        kept = []
        with self.assertRaises(AssertionError):
            self.assertLevel(lambda: kept.append((len(kept), None)))


class VidframeGood(LeakCase):
    def test_createBuffer(self):
        sizes = [(64, 48), (80, 40), (0, 0), (33, 17)]
        state = [0]

        def call():
            state[0] += 1
            vidframe.createBuffer(*sizes[state[0] % 4])
        self.assertLevel(call)

    def test_videoSink(self):
        # Whole messages, padding, out-of-range tiles and a message carried
        # over from one chunk to the next.
        stream = streamgen.mixed_stream(16, 8, 40, seed=3)
        chunks = streamgen.flat_chunks([stream], chunk_size=1500)
        state = [0]

        def call():
            state[0] += 1
            vidframe.videoSink(chunks[state[0] % len(chunks)])
        self.assertLevel(call)
        vidframe.videoSink(chunks[0], 8)
        self.assertLevel(lambda: vidframe.videoSink(chunks[0], 8))

    def test_videoSink_buffers(self):
        data = streamgen.solid(1, 1, 0xF800) * 64
        if PY2:
            views = [buffer(data)]  # noqa: F821 (2.7 only; "s#" takes read-only buffers)
        else:
            views = [bytearray(data), memoryview(data)]
        for view in views:
            self.assertLevel(lambda: vidframe.videoSink(view))

    def test_toRGBString(self):
        self.assertLevel(lambda: vidframe.toRGBString(0, 0, 4, 2))
        self.assertLevel(lambda: vidframe.toRGBString(1, 1, 8, 3, 0.5))
        self.assertLevel(lambda: vidframe.toRGBString(15, 7, 16, 8, 0.0625))

    def test_getChanges(self):
        def call():
            vidframe.toGreyscale()
            vidframe.getChanges(3, 16)  # one run of every flag
        self.assertLevel(call)
        self.assertLevel(lambda: vidframe.getChanges(3, 16))  # empty list

    def test_toGreyscale_getStats_getBlackEdges(self):
        self.assertLevel(lambda: vidframe.toGreyscale(0))
        self.assertLevel(lambda: vidframe.getStats())
        self.assertLevel(lambda: vidframe.getStats(1, 'extra'))
        self.assertLevel(lambda: vidframe.getBlackEdges(256, 128))
        self.assertLevel(lambda: vidframe.getBlackEdges(-3, 5000))


class VidframeBad(LeakCase):
    def test_createBuffer(self):
        self.assertLevel(raising(ValueError, vidframe.createBuffer, -1, 5))
        self.assertLevel(raising(ValueError, vidframe.createBuffer, 1921, 5))
        self.assertLevel(raising(TypeError, vidframe.createBuffer, 'a', 5))
        self.assertLevel(raising(TypeError, vidframe.createBuffer))

    def test_videoSink(self):
        chunk = streamgen.solid(0, 0, 1) * 8
        self.assertLevel(raising(ValueError, vidframe.videoSink, chunk, -1))
        self.assertLevel(raising(ValueError, vidframe.videoSink, chunk, len(chunk) + 1))
        self.assertLevel(raising(TypeError, vidframe.videoSink, 12))
        self.assertLevel(raising(TypeError, vidframe.videoSink, bytearray(chunk), 'x'))
        self.assertLevel(raising(TypeError, vidframe.videoSink, chunk, 0, 1))

    def test_toRGBString(self):
        self.assertLevel(raising(ValueError, vidframe.toRGBString, -1, 0))
        self.assertLevel(raising(ValueError, vidframe.toRGBString, 0, 0, 0))
        self.assertLevel(raising(ValueError, vidframe.toRGBString, 0, 0, 1, 99))
        self.assertLevel(raising(ValueError, vidframe.toRGBString, 0, 0, 1, 1, 0.0))
        self.assertLevel(raising(ValueError, vidframe.toRGBString, 0, 0, 1, 1, float('nan')))
        self.assertLevel(raising(TypeError, vidframe.toRGBString, 'a', 0))

    def test_others(self):
        self.assertLevel(raising(ValueError, vidframe.getChanges, -1, 5))
        self.assertLevel(raising(TypeError, vidframe.getChanges, 0))
        self.assertLevel(raising(TypeError, vidframe.toGreyscale, 'x'))
        self.assertLevel(raising(TypeError, vidframe.getBlackEdges, 'a', 1))


@unittest.skipIf(bulkvideo is None, 'bulkvideo is not built here')
class Bulkvideo(LeakCase):
    """Without a device: /dev/null refuses every submission, so attach fails
    after allocating its instance, which must then be freed."""

    def setUp(self):
        LeakCase.setUp(self)
        self.fd = os.open(os.devnull, os.O_RDWR)

    def tearDown(self):
        os.close(self.fd)

    def test_attach_refused(self):
        with QuietStderr():
            self.assertLevel(raising(IOError, bulkvideo.attach, self.fd, 0x81))

    def test_bad_arguments(self):
        self.assertLevel(raising(ValueError, bulkvideo.attach, self.fd, 0x01))
        self.assertLevel(raising(TypeError, bulkvideo.attach, 'x', 0x81))
        self.assertLevel(raising(TypeError, bulkvideo.readVideo, None))
        self.assertLevel(raising(TypeError, bulkvideo.detach, 42))
        self.assertLevel(raising(TypeError, bulkvideo.readVideo))


if __name__ == '__main__':
    unittest.main()
