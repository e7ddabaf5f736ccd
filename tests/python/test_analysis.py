"""Changed-tile runs, greyscale and black edges through the module, with the
frame filled by decoding streams as the adapter sends them."""
import struct
import unittest

import streamgen
import vidframe

ORANGE = streamgen.rgb565(200, 100, 48)
BLACK = 0


def feed(messages):
    for chunk in streamgen.adapter_chunks(messages):
        vidframe.videoSink(chunk)


def set_tiles(tiles, colour=ORANGE):
    """Writes the (column, row) tiles, which sets their changed flags."""
    feed([streamgen.solid(c, r, colour) for c, r in tiles])


def paint(width, height, background, rects):
    """Decodes a picture into the store: background with (x, y, w, h, word)
    rectangles drawn over it in order; uniform tiles go as solid messages.
    Every changed flag is cleared afterwards."""
    tiles_w, tiles_h = (width + 15) // 16, (height + 15) // 16
    msgs = []
    for ty in range(tiles_h):
        for tx in range(tiles_w):
            x0, y0 = tx * 16, ty * 16
            hits = [r for r in rects if r[0] < x0 + 16 and x0 < r[0] + r[2] and
                    r[1] < y0 + 16 and y0 < r[1] + r[3]]
            if not hits:
                msgs.append(streamgen.solid(tx, ty, background))
                continue
            words = []
            for y in range(y0, y0 + 16):
                for x in range(x0, x0 + 16):
                    word = background
                    for rx, ry, rw, rh, rword in hits:
                        if rx <= x < rx + rw and ry <= y < ry + rh:
                            word = rword
                    words.append(word)
            msgs.append(streamgen.tile_message(tx, ty, words))
    feed(msgs)
    for row in range(tiles_h):
        vidframe.getChanges(row, tiles_w)


def pixel(x, y):
    """The 4 bytes of frame pixel (x, y), read through the full-size readout."""
    data, size = vidframe.toRGBString(x // 16, y // 16)
    offset = ((y % 16) * 16 + x % 16) * 4
    return struct.unpack('4B', data[offset:offset + 4])


def all_flags_clear(tiles_w, tiles_h):
    return all(vidframe.getChanges(r, tiles_w) == [] for r in range(tiles_h))


class ChangesTest(unittest.TestCase):
    def setUp(self):
        vidframe.createBuffer(1024, 768)  # 64 x 48 tiles

    def test_runs_are_reported_once_and_cleared(self):
        set_tiles([(2, 3), (3, 3), (4, 3), (10, 3), (63, 3), (0, 4)])
        self.assertEqual(vidframe.getChanges(3, 64), [(2, 3), (10, 1), (63, 1)])
        self.assertEqual(vidframe.getChanges(3, 64), [])
        self.assertEqual(vidframe.getChanges(4, 64), [(0, 1)])
        set_tiles([(c, 0) for c in range(64)])
        self.assertEqual(vidframe.getChanges(0, 64), [(0, 64)])
        self.assertTrue(all_flags_clear(64, 48))

    def test_short_and_empty_counts(self):
        set_tiles([(5, 2), (6, 2)])
        self.assertEqual(vidframe.getChanges(2, 6), [(5, 1)])
        for count in (0, -1, -2 ** 31):
            self.assertEqual(vidframe.getChanges(2, count), [])
        self.assertEqual(vidframe.getChanges(2, 64), [(6, 1)])

    def test_counts_run_into_the_next_rows_and_stop_at_the_array_end(self):
        set_tiles([(63, 6), (0, 7), (1, 7), (6, 7)])
        # Index 70 is tile 6 of row 7, just outside a count of 70.
        self.assertEqual(vidframe.getChanges(6, 70), [(63, 3)])
        self.assertEqual(vidframe.getChanges(7, 64), [(6, 1)])
        for count in (65, 1000, 2 ** 31 - 2, 2 ** 31 - 1):
            set_tiles([(63, 47)])
            self.assertEqual(vidframe.getChanges(47, count), [(63, 1)])
        set_tiles([(10, 0), (5, 47)])
        self.assertEqual(vidframe.getChanges(0, 2 ** 31 - 1), [(10, 1), (47 * 64 + 5, 1)])
        self.assertTrue(all_flags_clear(64, 48))

    def test_bad_arguments_change_nothing(self):
        set_tiles([(0, 0)])
        for row in (-1, 48, -2 ** 31):
            with self.assertRaises(ValueError) as cm:
                vidframe.getChanges(row, 64)
            self.assertEqual(str(cm.exception), 'args are out of range')
        for args in ((0,), (0, 64, 1), ('0', 64), (0, 1.5)):
            self.assertRaises(TypeError, vidframe.getChanges, *args)
        self.assertRaises(OverflowError, vidframe.getChanges, 0, 2 ** 31)
        self.assertEqual(vidframe.getChanges(0, 64), [(0, 1)])

    def test_no_rows_before_a_frame(self):
        vidframe.createBuffer(0, 0)
        self.assertRaises(ValueError, vidframe.getChanges, 0, 64)


class GreyscaleTest(unittest.TestCase):
    def test_pixels_and_the_fourth_byte(self):
        vidframe.createBuffer(64, 32)
        set_tiles([(0, 0)], 0xFFFF)
        set_tiles([(1, 0)], 0xF800)
        set_tiles([(2, 0)], BLACK)
        set_tiles([(3, 0)], streamgen.rgb565(8, 4, 0))  # sum 12
        self.assertIsNone(vidframe.toGreyscale())
        self.assertEqual(pixel(0, 0), (249, 249, 249, 255))
        self.assertEqual(pixel(16, 0), (82, 82, 82, 255))
        self.assertEqual(pixel(32, 0), (0, 0, 0, 255))
        self.assertEqual(pixel(48, 0), (4, 4, 4, 255))
        self.assertEqual(pixel(63, 31), (0, 0, 0, 0))  # never decoded
        before = vidframe.toRGBString(0, 0, 4, 2)
        vidframe.toGreyscale()
        self.assertEqual(vidframe.toRGBString(0, 0, 4, 2), before)

    def test_flags_are_set_only_when_asked(self):
        vidframe.createBuffer(1024, 768)
        set_tiles([(3, 3)])
        vidframe.toGreyscale(0)
        self.assertEqual(vidframe.getChanges(3, 64), [(3, 1)])
        self.assertTrue(all_flags_clear(64, 48))
        for args in ((), (1,), (-7,)):
            vidframe.toGreyscale(*args)
            for row in range(48):
                self.assertEqual(vidframe.getChanges(row, 64), [(0, 64)])

    def test_bad_arguments_and_no_frame(self):
        vidframe.createBuffer(32, 32)
        set_tiles([(0, 0)])
        self.assertRaises(TypeError, vidframe.toGreyscale, 'x')
        self.assertRaises(TypeError, vidframe.toGreyscale, 1, 2)
        self.assertEqual(pixel(0, 0)[:3], (200, 100, 48))
        self.assertEqual(vidframe.getChanges(0, 2), [(0, 1)])
        vidframe.createBuffer(0, 0)
        self.assertIsNone(vidframe.toGreyscale())


class BlackEdgesTest(unittest.TestCase):
    def picture(self, rects, width=1024, height=768, background=ORANGE):
        vidframe.createBuffer(width, height)
        paint(width, height, background, [r + (BLACK,) if len(r) == 4 else r for r in rects])

    def test_borders(self):
        self.picture([(0, 0, 1024, 10), (0, 758, 1024, 10), (0, 0, 4, 768)])
        self.assertEqual(vidframe.getBlackEdges(1024, 768), (4, 0, 10, 10))
        self.assertTrue(all_flags_clear(64, 48))  # measuring changes nothing

    def test_a_fresh_store_is_all_black(self):
        vidframe.createBuffer(1024, 768)
        self.assertEqual(vidframe.getBlackEdges(1024, 768), (0, 0, 0, 0))

    def test_threshold_at_the_edge_of_the_mask(self):
        # The darkest colours the stream has above black, channel by channel.
        almost = streamgen.rgb565(24, 28, 56)
        for word, black in ((almost, True), (streamgen.rgb565(32, 0, 0), False),
                            (streamgen.rgb565(0, 32, 0), False),
                            (streamgen.rgb565(0, 0, 64), False)):
            self.picture([(0, 0, 1024, 3), (0, 3, 1024, 1, word)])
            self.assertEqual(vidframe.getBlackEdges(1024, 768)[2], 4 if black else 3)

    def test_seventy_five_lines_are_no_border(self):
        self.picture([(0, 0, 1024, 74), (0, 760, 1024, 8), (0, 0, 2, 768)])
        self.assertEqual(vidframe.getBlackEdges(1024, 768), (2, 0, 74, 8))
        self.picture([(0, 0, 1024, 75), (0, 760, 1024, 8), (0, 0, 2, 768)])
        self.assertEqual(vidframe.getBlackEdges(1024, 768), (2, 0, 0, 0))
        self.picture([(949, 0, 75, 768), (0, 0, 6, 768), (0, 0, 1024, 3)])
        self.assertEqual(vidframe.getBlackEdges(1024, 768), (0, 0, 3, 0))

    def test_a_coloured_corner_ends_two_scans(self):
        self.picture([(0, 0, 1024, 10), (0, 0, 8, 768), (1016, 0, 8, 768),
                      (1023, 0, 1, 1, ORANGE)])
        self.assertEqual(vidframe.getBlackEdges(1024, 768), (8, 0, 0, 0))

    def test_areas_beyond_the_frame_are_clamped(self):
        self.picture([(0, 0, 200, 3), (0, 97, 200, 3), (0, 0, 7, 100), (196, 0, 4, 100)],
                     200, 100)
        whole = vidframe.getBlackEdges(200, 100)
        self.assertEqual(whole, (7, 4, 3, 3))
        self.assertEqual(vidframe.getBlackEdges(201, 101), whole)
        self.assertEqual(vidframe.getBlackEdges(2 ** 31 - 1, 2 ** 31 - 1), whole)
        for w, h in ((0, 100), (200, 0), (-1, 50), (-2 ** 31, -2 ** 31)):
            self.assertEqual(vidframe.getBlackEdges(w, h), (0, 0, 0, 0))

    def test_small_frames_and_short_areas(self):
        vidframe.createBuffer(40, 30)  # fewer than 75 lines each way, all black
        self.assertEqual(vidframe.getBlackEdges(40, 30), (0, 0, 0, 0))
        self.picture([(0, 0, 40, 4), (0, 28, 40, 2), (0, 0, 1, 30)], 40, 30)
        self.assertEqual(vidframe.getBlackEdges(40, 30), (1, 0, 4, 2))
        # An active area that is black down to its row 0 has no border.
        self.picture([(0, 0, 1024, 20), (0, 0, 3, 768)])
        self.assertEqual(vidframe.getBlackEdges(1024, 20), (0, 0, 0, 0))
        self.assertEqual(vidframe.getBlackEdges(1024, 21), (3, 0, 20, 0))

    def test_bad_arguments(self):
        vidframe.createBuffer(32, 32)
        for args in ((1,), (1, 2, 3), ('a', 1), (1, None)):
            self.assertRaises(TypeError, vidframe.getBlackEdges, *args)


if __name__ == '__main__':
    unittest.main()
