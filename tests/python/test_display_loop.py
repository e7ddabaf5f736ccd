"""The display loop as the application runs it: a picture goes through the
adapter's stream into the frame store, and the changed runs of every tile
row are read back out and drawn onto a canvas, at full size and halved."""
import unittest

import reference
import streamgen
import vidframe

WIDTH, HEIGHT = 400, 300            # the last tile row is cut by the frame
TILES_W, TILES_H = 25, 19


def source(x, y):
    """The picture: solid areas, areas that only turn uniform in 5-6-5,
    gradients and noise, as (r, g, b)."""
    if y < 64 and x < 128:
        return (40, 90, 200)
    if y < 64:
        return (96 + x % 8, 200 + y % 4, 16 + (x + y) % 8)  # one 5-6-5 colour
    if y < 160:
        return (x * 255 // WIDTH, y * 255 // HEIGHT, (x ^ y) & 0xFF)
    noise = (x * 7919 + y * 104729) % 65521
    return (noise & 0xFF, noise >> 8 & 0xFF, (noise * 13) & 0xFF)


def changed_source(x, y):
    """What the tiles of the update show instead."""
    r, g, b = source(x, y)
    return (255 - r, g // 2, 255 - b) if (x // 16 + y // 16) % 3 else (0, 0, 0)


def word_of(picture):
    return lambda x, y: streamgen.rgb565(*picture(x, y))


# Tiles of the update: several runs in a row, runs at both ends of a row,
# a whole row, the cut last row, and rows without any change.
UPDATED = sorted(set([(0, 0), (1, 0), (2, 0), (24, 0), (3, 5), (7, 5), (8, 5), (9, 5),
                      (10, 5), (23, 9), (24, 9)] + [(c, 12) for c in range(TILES_W)] +
                     [(0, 18), (12, 18), (24, 18)]), key=lambda t: (t[1], t[0]))


def expected_runs(tiles, row):
    runs = []
    for c in sorted(c for c, r in tiles if r == row):
        if runs and runs[-1][0] + runs[-1][1] == c:
            runs[-1] = (runs[-1][0], runs[-1][1] + 1)
        else:
            runs.append((c, 1))
    return runs


def decoded(picture):
    """The frame the decoder makes of the picture, over whole tiles: each
    pixel expanded from its 5-6-5 word, the part beyond the frame zero."""
    out = bytearray(TILES_W * 16 * TILES_H * 16 * 4)
    stride = TILES_W * 16 * 4
    for y in range(HEIGHT):
        row = b''.join(streamgen.expand(streamgen.rgb565(*picture(x, y))) for x in range(WIDTH))
        out[y * stride:y * stride + len(row)] = row
    return bytes(out)


def halved(frame, width, height):
    """The frame shrunk to half its size by the plain statement of the rule."""
    narrow = reference.shrink_x(frame, width, height, width // 2)
    return reference.shrink_y(narrow, width // 2, height, height // 2)


def send(messages):
    for chunk in streamgen.adapter_chunks(messages):
        vidframe.videoSink(chunk)


class DisplayLoopTest(unittest.TestCase):
    def setUp(self):
        vidframe.createBuffer(WIDTH, HEIGHT)
        vidframe.getStats()

    def run_loop(self, canvas, scale=1.0):
        """One pass of the application's loop; returns the runs per row."""
        side = int(16 * scale)
        stride = TILES_W * side * 4
        reported = []
        for row in range(TILES_H):
            runs = vidframe.getChanges(row, TILES_W)
            reported.append(runs)
            for first, count in runs:
                data, size = vidframe.toRGBString(first, row, count, 1, scale)
                self.assertEqual(size, (count * side, side))
                line = count * side * 4
                self.assertEqual(len(data), line * side)
                for y in range(side):
                    at = (row * side + y) * stride + first * side * 4
                    canvas[at:at + line] = data[y * line:(y + 1) * line]
        return reported

    def assert_flags_clear(self):
        for row in range(TILES_H):
            self.assertEqual(vidframe.getChanges(row, TILES_W), [])
        self.assertEqual(vidframe.getChanges(0, 2 ** 31 - 1), [])

    def show(self, scale):
        side = int(16 * scale)
        canvas = bytearray(b'\x55' * (TILES_W * side * TILES_H * side * 4))
        first = streamgen.picture_messages(word_of(source), TILES_W, TILES_H)
        kinds = set(len(m) for m in first)
        self.assertEqual(kinds, set([4, streamgen.IMAGE_SIZE]))  # both message kinds occur
        chunks = streamgen.adapter_chunks(first)
        self.assertGreater(len(chunks), 10)
        for chunk in chunks:
            self.assertEqual(vidframe.videoSink(chunk), 0)
        self.assertEqual(vidframe.getStats()[1], 0)
        runs = self.run_loop(canvas, scale)
        self.assertEqual(runs, [[(0, TILES_W)]] * TILES_H)
        self.assert_flags_clear()
        yield bytes(canvas), decoded(source)

        after = lambda x, y: changed_source(x, y) if (x // 16, y // 16) in UPDATED \
            else source(x, y)
        words = word_of(changed_source)
        send([streamgen.tile_message(c, r, [words(c * 16 + x, r * 16 + y)
                                            for y in range(16) for x in range(16)])
              for c, r in UPDATED])
        runs = self.run_loop(canvas, scale)
        self.assertEqual(runs, [expected_runs(UPDATED, r) for r in range(TILES_H)])
        self.assert_flags_clear()
        yield bytes(canvas), decoded(after)

    def test_full_size_pictures_are_the_source_in_5_6_5(self):
        for canvas, frame in self.show(1.0):
            self.assertEqual(canvas, frame)

    def test_halved_pictures_are_the_shrunk_frame(self):
        for canvas, frame in self.show(0.5):
            self.assertEqual(canvas, halved(frame, TILES_W * 16, TILES_H * 16))


if __name__ == '__main__':
    unittest.main()
