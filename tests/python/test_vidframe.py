"""The frame module from Python: the operation table, createBuffer,
getStats and videoSink, on whichever interpreter runs it."""
import mmap
import os
import struct
import subprocess
import sys
import tempfile
import unittest

import vidframe

import interpreter
import streamgen
from streamgen import solid, image

PY2 = sys.version_info[0] == 2
RANGE = 'args are out of range'


def clear_module_state(width=32, height=32):
    """Completes any carried message, forgets the statistics, fresh store."""
    vidframe.videoSink(b'\xff' * 1024)
    vidframe.getStats()
    vidframe.createBuffer(width, height)


def pixel(x, y):
    """The frame pixel (x, y) as 4 ints, read back through the readout."""
    data = vidframe.toRGBString(x // 16, y // 16)[0]
    return struct.unpack_from('4B', data, ((y % 16) * 16 + x % 16) * 4)


def tile_pixels(column, row):
    data = vidframe.toRGBString(column, row)[0]
    return [struct.unpack_from('4B', data, 4 * i) for i in range(256)]


def flags(tiles_w, tiles_h):
    """Changed runs of every tile row (clears them)."""
    return [vidframe.getChanges(r, tiles_w) for r in range(tiles_h)]


def words(value):
    return [value] * 256


RED, GREEN, BLUE, WHITE = (248, 0, 0, 255), (0, 252, 0, 255), (0, 0, 248, 255), \
    (248, 252, 248, 255)


class ModuleTest(unittest.TestCase):
    TABLE = [
        ('createBuffer', 'Creates framebuffer memory'),
        ('videoSink', 'Process video data'),
        ('toRGBString', 'Read tiles in a row with resizing'),
        ('getChanges', 'Return how many tiles have changed in a row'),
        ('toGreyscale', 'Turns image to greyscale'),
        ('getStats', 'Return some statistics'),
        ('getBlackEdges', '# of black pixels on four sizes; needs (w,h) of active area.'),
    ]

    def test_doc_strings_and_table_order(self):
        self.assertIsNone(vidframe.__doc__)
        for name, doc in self.TABLE:
            self.assertEqual(getattr(vidframe, name).__doc__, doc)
        functions = [n for n in vars(vidframe) if not n.startswith('__')]
        self.assertEqual(sorted(functions), sorted(n for n, _ in self.TABLE))
        if not PY2:  # the module dict keeps the table's order on 3
            self.assertEqual(functions, [n for n, _ in self.TABLE])

    def test_version_and_origin(self):
        with open(os.path.join(os.path.dirname(__file__), '..', '..', 'VERSION')) as f:
            self.assertEqual(vidframe.__version__, f.read().strip())
        # The copy under test is the one asked for (the build's, or an installed one).
        modules = os.environ.get('TILESTREAM_MODULES')
        if modules:
            where = os.path.realpath(vidframe.__file__)
            self.assertTrue(where.startswith(os.path.realpath(modules) + os.sep), where)

    def test_fresh_process_has_no_store(self):
        # Before any createBuffer the grid is 0 x 0: every tile is out of range.
        script = ('import vidframe\n'
                  'print(vidframe.getStats())\n'
                  'print(vidframe.videoSink(b"\\x00\\xf8\\x01\\x40" + b"\\xff" * 4))\n'
                  'print(vidframe.getStats())\n'
                  'try:\n'
                  '    vidframe.getChanges(0, 0)\n'
                  'except ValueError as e:\n'
                  '    print(e)\n')
        out = subprocess.check_output(interpreter.command() + ['-c', script]).decode().split('\n')
        self.assertEqual(out[:4], ['(0, 0)', '0', '(1, 1)', RANGE])


class CreateBufferTest(unittest.TestCase):
    def setUp(self):
        clear_module_state()

    def test_limits_and_tile_grid(self):
        self.assertIsNone(vidframe.createBuffer(1920, 1600))
        self.assertEqual(vidframe.getChanges(99, 120), [])
        self.assertRaises(ValueError, vidframe.getChanges, 100, 120)
        self.assertEqual(vidframe.toRGBString(119, 99)[1], (16, 16))
        self.assertRaises(ValueError, vidframe.toRGBString, 120, 0)

        vidframe.createBuffer(1000, 600)  # 63 x 38 tiles, rounded up
        self.assertEqual(vidframe.toRGBString(0, 0, 63, 1)[1], (63 * 16, 16))
        self.assertRaises(ValueError, vidframe.toRGBString, 63, 0)
        self.assertEqual(vidframe.getChanges(37, 63), [])
        self.assertRaises(ValueError, vidframe.getChanges, 38, 63)

    def test_zero_size_store_takes_no_tiles(self):
        vidframe.createBuffer(0, 0)
        self.assertEqual(vidframe.videoSink(solid(0, 0, 0xFFFF) + image(0, 0, words(1))), 0)
        self.assertEqual(vidframe.getStats(), (0, 2))
        self.assertRaises(ValueError, vidframe.getChanges, 0, 0)

    def test_out_of_range_sizes_keep_the_store(self):
        vidframe.videoSink(solid(1, 1, 0xF800))
        for w, h in [(1921, 16), (16, 1601), (-1, 16), (16, -1), (-2**31, 0)]:
            with self.assertRaises(ValueError) as cm:
                vidframe.createBuffer(w, h)
            self.assertEqual(str(cm.exception), RANGE)
        self.assertEqual(pixel(20, 20), RED)
        self.assertRaises(ValueError, vidframe.toRGBString, 2, 0)  # still 2 x 2 tiles
        self.assertEqual(flags(2, 2), [[], [(1, 1)]])

    def test_bad_argument_types_keep_the_store(self):
        vidframe.videoSink(solid(0, 0, 0x07E0))
        bad = [(), (16,), (16, 16, 16), ('16', 16), (16, None), (2**40, 16)]
        if not PY2:
            bad.append((16.0, 16))  # 2.7 takes floats for "i" with a warning
        for args in bad:
            self.assertRaises((TypeError, OverflowError), vidframe.createBuffer, *args)
        self.assertEqual(pixel(0, 0), GREEN)

    def test_fresh_store_is_zero_also_at_the_same_size(self):
        vidframe.videoSink(solid(0, 0, 0xFFFF) + solid(1, 1, 0xFFFF))
        vidframe.createBuffer(32, 32)
        self.assertEqual(vidframe.toRGBString(0, 0, 2, 2)[0], b'\x00' * (32 * 32 * 4))
        self.assertEqual(flags(2, 2), [[], []])


class StatsTest(unittest.TestCase):
    def setUp(self):
        clear_module_state()

    def test_read_and_clear(self):
        self.assertEqual(vidframe.getStats(), (0, 0))
        chunk = streamgen.PADDING + b'\x00' * 508 + streamgen.PADDING + b'\x00' * 508 + \
            solid(5, 0, 0)
        self.assertEqual(vidframe.videoSink(chunk), 0)
        self.assertEqual(vidframe.getStats(), (2, 1))
        self.assertEqual(vidframe.getStats(), (0, 0))

    def test_extra_arguments_are_ignored(self):
        vidframe.videoSink(solid(9, 0, 0))
        self.assertEqual(vidframe.getStats(1, 'two', None), (0, 1))
        self.assertEqual(vidframe.getStats(1), (0, 0))


class VideoSinkTest(unittest.TestCase):
    def setUp(self):
        clear_module_state()

    def test_solid_tile(self):
        self.assertEqual(vidframe.videoSink(b'\x00\xf8\x01\x40'), 0)
        self.assertEqual(tile_pixels(1, 0), [RED] * 256)
        self.assertEqual(tile_pixels(0, 0), [(0, 0, 0, 0)] * 256)
        self.assertEqual(flags(2, 2), [[(1, 1)], []])

    def test_colour_expansion(self):
        for word, px in [(0xFFFF, WHITE), (0xF800, RED), (0x07E0, GREEN), (0x001F, BLUE),
                         (0x8410, (128, 128, 128, 255))]:
            vidframe.videoSink(solid(0, 0, word) + image(1, 1, words(word)))
            self.assertEqual(pixel(3, 3), px)
            self.assertEqual(pixel(19, 19), px)

    def test_image_tile_layout(self):
        tile = [streamgen.rgb565(8 * x, 4 * y, 0) for y in range(16) for x in range(16)]
        self.assertEqual(vidframe.videoSink(image(0, 1, tile)), 0)
        got = tile_pixels(0, 1)
        for y in range(16):
            for x in range(16):
                self.assertEqual(got[16 * y + x], (8 * x, 4 * y, 0, 255))

    def test_position_words(self):
        vidframe.createBuffer(96, 64)
        self.assertEqual(vidframe.videoSink(b'\x1f\x00\x85\x01' + b'\x00\xf8' * 256), 0)
        self.assertEqual(vidframe.videoSink(b'\xe0\x07\x85\x41'), 0)
        self.assertEqual(pixel(80, 48), GREEN)  # image, then solid for (5, 3)
        self.assertEqual(vidframe.getChanges(3, 6), [(5, 1)])

    def test_padding_to_the_block_end(self):
        chunk = solid(0, 0, 0xF800) + b'\xff' * 508 + solid(1, 1, 0x001F)
        self.assertEqual(len(chunk), 516)
        self.assertEqual(vidframe.videoSink(chunk), 0)
        self.assertEqual((pixel(0, 0), pixel(31, 31)), (RED, BLUE))
        self.assertEqual(vidframe.getStats(), (1, 0))

    def test_carry_over_of_a_full_chunk(self):
        msgs = [image(i % 2, (i // 2) % 2, words((i % 32) << 11)) for i in range(33)]
        stream = b''.join(msgs)
        self.assertEqual(vidframe.videoSink(stream[:16384]), 0)
        self.assertEqual(pixel(16, 16), (8 * 27, 0, 0, 255))  # message 31 is carried
        # The first 128 bytes complete it; decoding goes on at 128 (message 32).
        self.assertEqual(vidframe.videoSink(stream[16384:]), 0)
        self.assertEqual(pixel(16, 16), (8 * 31, 0, 0, 255))
        self.assertEqual(pixel(0, 0), (0, 0, 0, 255))

    def test_short_chunks_extend_the_carried_message(self):
        msg = image(1, 0, words(0x07E0))
        self.assertEqual(vidframe.videoSink(msg[:100]), 0)
        self.assertEqual(vidframe.videoSink(msg[100:200]), 1)
        self.assertEqual(flags(2, 2), [[], []])
        self.assertEqual(vidframe.videoSink(msg[200:] + b'\x12\x34'), 1)
        self.assertEqual(pixel(16, 0), GREEN)
        # Nothing is carried any more: a 4-byte solid message stands on its own.
        self.assertEqual(vidframe.videoSink(solid(0, 0, 0xF800)), 0)
        self.assertEqual(pixel(0, 0), RED)

    def test_trailing_bytes_are_dropped(self):
        self.assertEqual(vidframe.videoSink(solid(1, 1, 0xF800) + b'\x00\x00'), 1)
        self.assertEqual(pixel(16, 16), RED)
        self.assertEqual(vidframe.videoSink(b''), 0)

    def test_out_of_range_messages(self):
        chunk = image(2, 0, words(0)) + solid(0, 2, 0) + solid(1, 1, 0x001F)
        self.assertEqual(vidframe.videoSink(chunk), 0)
        self.assertEqual(vidframe.getStats(), (0, 2))
        self.assertEqual(pixel(16, 16), BLUE)
        self.assertEqual(flags(2, 2), [[], [(1, 1)]])

    def test_cut_off_out_of_range_message_counts_when_completed(self):
        msg = image(2, 0, words(0))
        self.assertEqual(vidframe.videoSink(msg[:40]), 0)
        self.assertEqual(vidframe.getStats(), (0, 0))
        self.assertEqual(vidframe.videoSink(msg[40:]), 0)
        self.assertEqual(vidframe.getStats(), (0, 1))

    def test_carried_message_lands_in_the_next_store(self):
        msg = image(3, 0, words(0x001F))
        vidframe.videoSink(msg[:8])
        vidframe.createBuffer(64, 16)
        self.assertEqual(vidframe.videoSink(msg[8:]), 0)
        self.assertEqual(pixel(63, 15), BLUE)
        self.assertEqual(vidframe.getStats(), (0, 0))

    def test_start_offsets(self):
        chunk = solid(0, 0, 0xF800)
        self.assertEqual(vidframe.videoSink(chunk, 4), 0)
        self.assertEqual(flags(2, 2), [[], []])
        for start in (-1, 5, -2**31):
            with self.assertRaises(ValueError) as cm:
                vidframe.videoSink(chunk, start)
            self.assertEqual(str(cm.exception), RANGE)
        msg = image(0, 0, words(0x07E0))
        vidframe.videoSink(msg[:60])
        self.assertEqual(vidframe.videoSink(chunk, 4), 1)  # still carrying
        self.assertRaises(ValueError, vidframe.videoSink, msg[60:], len(msg) + 1)
        self.assertEqual(vidframe.videoSink(b'junk' + msg[60:], 4), 0)
        self.assertEqual(pixel(0, 0), GREEN)

    def test_odd_start(self):
        chunk = b'\x00' + streamgen.PADDING + b'\x00' * 507 + solid(1, 1, 0xF800) + b'\x00'
        self.assertEqual(vidframe.videoSink(chunk, 1), 1)  # the last byte is dropped
        self.assertEqual(pixel(16, 16), RED)
        for tail in range(8):
            clear_module_state()
            self.assertIn(vidframe.videoSink(b'\x01' + b'\x00' * tail, 1), (0, 1))

    def test_bad_arguments(self):
        vidframe.videoSink(solid(0, 0, 0x001F))
        bad = [(), (None,), (123,), (b'', 0, 1), (b'', '0'), (b'', None), (b'', 2**40)]
        if not PY2:
            bad.append((memoryview(b'abcdefgh')[::2],))  # not contiguous
        for args in bad:
            self.assertRaises((TypeError, OverflowError, BufferError), vidframe.videoSink, *args)
        self.assertEqual(pixel(0, 0), BLUE)
        self.assertEqual(vidframe.getStats(), (0, 0))


class BufferTypesTest(unittest.TestCase):
    def setUp(self):
        clear_module_state()

    def chunk_kinds(self):
        def read_only_view(data):
            """A read-only view over memory that is not a bytes object."""
            if hasattr(memoryview, 'toreadonly'):
                return memoryview(bytearray(data)).toreadonly()
            # Before 3.8: a read-only mapping of a file that holds the bytes.
            with tempfile.TemporaryFile() as f:
                f.write(data)
                f.flush()
                return memoryview(mmap.mmap(f.fileno(), len(data), access=mmap.ACCESS_READ))

        msg = solid(1, 0, 0x07E0)
        kinds = [msg]
        if PY2:  # "s#" takes str and read-only buffers; a bytearray goes through buffer()
            kinds.append(buffer(msg))  # noqa: F821 (2.7 only)
            kinds.append(buffer(b'xx' + msg, 2))  # noqa: F821
            kinds.append(buffer(bytearray(msg)))  # noqa: F821
        else:
            kinds.append(bytearray(msg))
            kinds.append(memoryview(msg))
            kinds.append(memoryview(b'xx' + msg)[2:])
            kinds.append(read_only_view(msg))
        return kinds

    def test_read_only_buffers_are_taken(self):
        for kind in self.chunk_kinds():
            vidframe.createBuffer(32, 32)
            self.assertEqual(vidframe.videoSink(kind), 0, type(kind))
            self.assertEqual(pixel(16, 0), GREEN, type(kind))

    def test_carried_bytes_are_copied(self):
        msg = bytearray(image(0, 0, words(0xF800)))
        vidframe.videoSink(buffer(msg, 0, 300) if PY2 else memoryview(msg)[:300])  # noqa: F821
        rest = bytes(msg[300:])
        msg[:] = b'\x00' * len(msg)  # the caller reuses its memory
        self.assertEqual(vidframe.videoSink(rest), 0)
        self.assertEqual(tile_pixels(0, 0), [RED] * 256)

    def test_chunk_longer_than_32_bits_is_refused(self):
        if sys.maxsize < 2**32:
            self.skipTest('needs a 64-bit address space')
        vidframe.videoSink(solid(0, 0, 0x07E0))
        msg = image(1, 1, words(0x001F))
        vidframe.videoSink(msg[:10])  # something carried, to see it survive
        with tempfile.TemporaryFile() as f:
            f.truncate(2**31)  # sparse: nothing of it is ever touched
            m = mmap.mmap(f.fileno(), 2**31, access=mmap.ACCESS_READ)
            try:
                with self.assertRaises(ValueError) as cm:
                    vidframe.videoSink(m)
                self.assertEqual(str(cm.exception), RANGE)
            finally:
                m.close()
        self.assertEqual(vidframe.videoSink(msg[10:]), 0)
        self.assertEqual((pixel(0, 0), pixel(16, 16)), (GREEN, BLUE))
        self.assertEqual(vidframe.getStats(), (0, 0))


if __name__ == '__main__':
    unittest.main()
