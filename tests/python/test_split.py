"""Split independence: a stream decoded in one call, or cut at any set of
512-byte block boundaries (with and without start offsets), leaves the same
frame, changed flags and statistics; and the one-call decode matches the
plain model in refdecoder."""
import random
import unittest

import vidframe

import streamgen
from refdecoder import RefDecoder

SIZES = [(80, 64), (75, 61), (16, 16), (33, 17)]


def clear_module_state():
    """Completes any carried message, then forgets the statistics."""
    vidframe.videoSink(b'\xff' * 1024)
    vidframe.getStats()


def snapshot(width, height):
    """Frame pixels (whole tiles), per-row changed runs and statistics."""
    tw, th = (width + 15) // 16, (height + 15) // 16
    pixels = vidframe.toRGBString(0, 0, tw, th)[0] if tw and th else b''
    runs = [vidframe.getChanges(r, tw) for r in range(th)]
    return pixels, runs, vidframe.getStats()


def ref_runs(ref):
    runs = []
    for r in range(ref.tiles_h):
        row, cur = [], None
        for c in range(ref.tiles_w):
            if ref.changed[r * ref.tiles_w + c]:
                if cur is None:
                    cur = [c, 0]
                    row.append(cur)
                cur[1] += 1
            else:
                cur = None
        runs.append([tuple(x) for x in row])
    return runs


def decode(width, height, calls):
    """Fresh store; calls are (chunk, start) pairs. Returns the snapshot."""
    clear_module_state()
    vidframe.createBuffer(width, height)
    for chunk, start in calls:
        vidframe.videoSink(chunk, start)
    return snapshot(width, height)


def block_cuts(data, rng, pieces):
    """Sorted cut positions (block boundaries) including 0 and len(data)."""
    blocks = len(data) // streamgen.BLOCK
    inner = set(rng.randrange(1, blocks + 1) * streamgen.BLOCK for _ in range(pieces))
    return [0] + sorted(c for c in inner if c < len(data)) + [len(data)]


class SplitTest(unittest.TestCase):
    def streams(self):
        for width, height in SIZES:
            tw, th = (width + 15) // 16, (height + 15) // 16
            for seed in (1, 2, 3):
                yield width, height, seed, streamgen.mixed_stream(tw, th, 120, seed=seed)

    def test_one_call_matches_the_model(self):
        for width, height, seed, data in self.streams():
            clear_module_state()
            vidframe.createBuffer(width, height)
            ref = RefDecoder(width, height)
            self.assertEqual(vidframe.videoSink(data), ref.sink(data))
            got = snapshot(width, height)
            self.assertEqual(got[0], ref.tile_block(), (width, height, seed))
            self.assertEqual(got[1], ref_runs(ref))
            self.assertEqual(got[2], ref.stats())

    def test_random_block_cuts(self):
        rng = random.Random(5)
        for width, height, seed, data in self.streams():
            whole = decode(width, height, [(data, 0)])
            for pieces in (1, 3, 10, 40):
                cuts = block_cuts(data, rng, pieces)
                spans = list(zip(cuts, cuts[1:]))
                # Plain pieces.
                got = decode(width, height, [(data[a:b], 0) for a, b in spans])
                self.assertEqual(got, whole, (width, height, seed, cuts))
                # Each piece behind whole blocks of junk, skipped by start.
                junked = []
                for a, b in spans:
                    skip = streamgen.BLOCK * rng.randrange(3)
                    junk = bytes(bytearray(rng.randrange(256) for _ in range(skip)))
                    junked.append((junk + data[a:b], skip))
                self.assertEqual(decode(width, height, junked), whole, cuts)
                # Each piece as the stream's prefix up to its end, from start a.
                self.assertEqual(decode(width, height, [(data[:b], a) for a, b in spans]),
                                 whole, cuts)

    def test_every_block_and_adapter_sized_chunks(self):
        for width, height, seed, data in self.streams():
            whole = decode(width, height, [(data, 0)])
            blocks = [(data[i:i + 512], 0) for i in range(0, len(data), 512)]
            self.assertEqual(decode(width, height, blocks), whole)
            flat = [(c, 0) for c in streamgen.flat_chunks([data], 1024)]
            self.assertEqual(decode(width, height, flat), whole)

    def test_adapter_chunks_of_a_picture(self):
        # Whole-picture messages sent as the adapter does: padding closes chunks.
        width, height = 75, 61
        rng = random.Random(9)
        noise = [rng.randrange(0x10000) for _ in range(width * height)]

        def words_at(x, y):
            if x >= width or y >= height or (x // 16 + y // 16) % 3 == 0:
                return 0x1234  # uniform tiles become solid messages
            return noise[y * width + x]

        msgs = streamgen.picture_messages(words_at, 5, 4)
        chunks = streamgen.adapter_chunks(msgs, 2048)
        # None of these fills its chunk exactly: a marker closes each, the
        # last one too, so that the stream is whole blocks.
        self.assertTrue(all(len(c) % 512 == 0 and c.endswith(b'\xff' * 8) for c in chunks))
        ref = RefDecoder(width, height)
        for c in chunks:
            ref.sink(c)
        got = decode(width, height, [(c, 0) for c in chunks])
        self.assertEqual(got[0], ref.tile_block())
        self.assertEqual(got[1], ref_runs(ref))
        self.assertEqual(got[2], ref.stats())
        self.assertEqual(got[2][0], len(chunks))


if __name__ == '__main__':
    unittest.main()
