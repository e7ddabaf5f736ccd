"""toRGBString from Python: the block geometry and its range checks, full
size and shrunk results against the plain-Python twin (reference.py), frames
that are no whole number of tiles, and what a readout leaves unchanged."""
import math
import random
import struct
import subprocess
import sys
import unittest

import vidframe

import interpreter
import reference
import streamgen

SCALE_ERROR = 'scale must be a number from 0.0625 up'


def reset_store(width, height):
    """A fresh store, with no message carried over from earlier tests."""
    vidframe.videoSink(b'\xff' * 1024)
    vidframe.getStats()
    vidframe.createBuffer(width, height)


def load_picture(width, height, seed):
    """Sends a whole sample picture through the decoder; returns the frame's bytes."""
    rows = streamgen.sample_picture(width, height, seed)

    def word(x, y):
        return rows[y][x] if x < width and y < height else 0

    tiles_w, tiles_h = (width + 15) // 16, (height + 15) // 16
    for chunk in streamgen.adapter_chunks(streamgen.picture_messages(word, tiles_w, tiles_h)):
        vidframe.videoSink(chunk)
    return streamgen.expected_frame(rows)


def call(*args):
    """toRGBString's result, or the message of its ValueError."""
    try:
        return vidframe.toRGBString(*args)
    except ValueError as e:
        return str(e)


class GridGeometry(unittest.TestCase):
    """A 1024 x 768 frame, 64 x 48 tiles, detailed tiles at the top-left."""

    @classmethod
    def setUpClass(cls):
        reset_store(1024, 768)
        rng = random.Random(5)
        cls.words = {}
        msgs = []
        for ty in range(3):
            for tx in range(5):
                words = [rng.randrange(0x10000) for _ in range(256)]
                cls.words[tx, ty] = words
                msgs.append(streamgen.image(tx, ty, words))
        for chunk in streamgen.adapter_chunks(msgs):
            vidframe.videoSink(chunk)
        vidframe.getStats()

    def byte_at(self, x, y, channel):
        word = self.words[x // 16, y // 16][(y % 16) * 16 + x % 16]
        return bytearray(streamgen.expand(word))[channel]

    def test_block_size_and_clipping_at_the_grid_edge(self):
        data, size = vidframe.toRGBString(0, 0)
        self.assertEqual((len(data), size), (1024, (16, 16)))
        self.assertIsInstance(data, bytes)  # str on 2.7
        data, size = vidframe.toRGBString(62, 0, 5)
        self.assertEqual((len(data), size), (2048, (32, 16)))
        self.assertEqual(vidframe.toRGBString(5, 0, 64)[1], (59 * 16, 16))
        self.assertEqual(vidframe.toRGBString(0, 47, 1, 48)[1], (16, 16))

    def test_range_errors_first_failing_check_decides(self):
        cases = [((0, 0, 65), 'width out of range'),
                 ((0, 0, 0), 'width out of range'),
                 ((0, 0, 1, 0), 'height out of range'),
                 ((0, 0, 1, 49), 'height out of range'),
                 ((64, 0), 'top-left x,y out of range'),
                 ((0, -1), 'top-left x,y out of range'),
                 ((0, 48), 'top-left x,y out of range'),
                 ((-1, 0, 0), 'top-left x,y out of range'),
                 ((0, 0, 0, 0, 0.0), 'width out of range'),
                 ((0, 0, 1, 1, 0.0), SCALE_ERROR)]
        for args, message in cases:
            self.assertEqual(call(*args), message, args)

    def test_argument_types_are_the_parsers(self):
        for args in [(), (0,), ('0', 0), (0, 0, 1, 1, 'half'), (0, 0, 1, 1, 1.0, 5), (0.0, 0)]:
            self.assertRaises(TypeError, vidframe.toRGBString, *args)
        self.assertRaises(OverflowError, vidframe.toRGBString, 2 ** 40, 0)
        # Whatever the parser takes for an int or a float is taken, exact or not.
        class Int(int):
            pass
        half, full = vidframe.toRGBString(1, 1, 1, 1, 0.5), vidframe.toRGBString(1, 1)
        self.assertEqual(vidframe.toRGBString(True, Int(1), 1, 1, 0.5), half)
        self.assertEqual(vidframe.toRGBString(1, 1, True, 1, Int(1)), full)

    def test_halving_is_nested_truncated_means(self):
        data, size = vidframe.toRGBString(0, 0, 2, 1, 0.5)
        self.assertEqual((len(data), size), (512, (16, 8)))
        data = bytearray(data)
        for y in range(8):
            for x in range(16):
                for c in range(4):
                    a, b = self.byte_at(2 * x, 2 * y, c), self.byte_at(2 * x + 1, 2 * y, c)
                    d, e = self.byte_at(2 * x, 2 * y + 1, c), self.byte_at(2 * x + 1, 2 * y + 1, c)
                    self.assertEqual(data[(y * 16 + x) * 4 + c], ((a + b) // 2 + (d + e) // 2) // 2)

    def test_scale_sets_tile_size_in_single_precision(self):
        data, size = vidframe.toRGBString(0, 0, 2, 1, 0.99)
        self.assertEqual((len(data), size), (1800, (30, 15)))
        full = vidframe.toRGBString(0, 0, 2, 1)
        for scale in (1.0, 3.0, float('inf')):
            self.assertEqual(vidframe.toRGBString(0, 0, 2, 1, scale), full)
        self.assertEqual(vidframe.toRGBString(0, 0, 1, 1, 1.0 / 3)[1], (5, 5))
        self.assertEqual(vidframe.toRGBString(0, 0, 1, 1, 0.0625)[1], (1, 1))

    def test_one_pixel_per_tile_is_the_mean_of_row_means(self):
        data, size = vidframe.toRGBString(0, 0, 4, 2, 0.0625)
        self.assertEqual((len(data), size), (32, (4, 2)))
        data = bytearray(data)
        for ty in range(2):
            for tx in range(4):
                for c in range(4):
                    means = [sum(self.byte_at(tx * 16 + x, ty * 16 + y, c) for x in range(16)) // 16
                             for y in range(16)]
                    self.assertEqual(data[(ty * 4 + tx) * 4 + c], sum(means) // 16)

    def test_rejected_scales_change_nothing(self):
        before = vidframe.toRGBString(0, 0, 5, 3, 0.75)
        for scale in (0.0, -0.0, -1.0, 0.06, 0.0624999, float('nan'), float('-inf')):
            self.assertEqual(call(0, 0, 5, 3, scale), SCALE_ERROR, scale)
        self.assertEqual(vidframe.toRGBString(0, 0, 5, 3, 0.75), before)

    def test_large_blocks_then_small_ones(self):
        # The first needs more than the scratch buffers hold at the start.
        big, size = vidframe.toRGBString(0, 0, 64, 2)
        self.assertEqual((len(big), size), (131072, (1024, 32)))
        self.assertEqual(big[:1024 * 4 * 16][:80 * 4], vidframe.toRGBString(0, 0, 5)[0][:80 * 4])
        self.assertEqual(len(vidframe.toRGBString(0, 0, 64, 48, 0.9375)[0]), 960 * 720 * 4)
        self.assertEqual(vidframe.toRGBString(0, 0)[1], (16, 16))

    def test_readout_leaves_changed_flags_alone(self):
        msgs = [streamgen.solid(t, 10, 0x1234) for t in (3, 4, 5, 9)]
        for chunk in streamgen.adapter_chunks(msgs):
            vidframe.videoSink(chunk)
        for args in [(0, 10, 64), (3, 10, 3, 1, 0.5), (0, 0, 64, 48, 0.0625), (9, 10)]:
            vidframe.toRGBString(*args)
        self.assertEqual(vidframe.getChanges(10, 64), [(3, 3), (9, 1)])


class EdgeFrame(unittest.TestCase):
    """A 200 x 120 frame: 13 x 8 tiles, the last column and row half outside."""

    @classmethod
    def setUpClass(cls):
        reset_store(200, 120)
        cls.frame = load_picture(200, 120, seed=3)

    def check(self, *args):
        got = vidframe.toRGBString(*args)
        want = reference.readout(self.frame, 200, 120, *args)
        self.assertEqual(got[1], want[1], args)
        self.assertTrue(got[0] == want[0], 'bytes differ for %r' % (args,))

    def test_full_size_is_the_frame_with_zeros_outside(self):
        data, size = vidframe.toRGBString(0, 0, 13, 8)
        self.assertEqual(size, (208, 128))
        data = bytearray(data)
        self.assertEqual(data[:200 * 4], bytearray(self.frame[:200 * 4]))
        self.assertEqual(data[200 * 4:208 * 4], bytearray(32))
        self.assertEqual(data[208 * 4 * 120:], bytearray(208 * 4 * 8))
        self.check(0, 0, 13, 8)
        self.check(12, 7)

    def test_every_tile_size_on_the_edge_tiles(self):
        for ts in range(1, 16):
            self.check(11, 6, 2, 2, ts / 16.0)
            self.check(12, 0, 1, 8, ts / 16.0)

    def test_whole_grid_shrunk(self):
        for ts in (1, 5, 8, 12, 15):
            self.check(0, 0, 13, 8, ts / 16.0)


class FreshProcess(unittest.TestCase):
    def test_no_store_means_no_tiles(self):
        code = ('import vidframe\n'
                'try:\n'
                '    vidframe.toRGBString(0, 0)\n'
                'except ValueError as e:\n'
                '    print(e)\n')
        out = subprocess.check_output(interpreter.command() + ['-c', code])
        self.assertEqual(out.decode().strip(), 'top-left x,y out of range')


if __name__ == '__main__':
    unittest.main()
