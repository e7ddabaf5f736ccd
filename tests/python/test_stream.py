"""vidtool's stream encoder and display loop, which the tests and the tool
share (tools/vidtool/stream.py, display.py): how chunks are closed, and
the tile size of the canvas against the readout's own. Runs under every
interpreter, against its vidframe."""
import os
import sys
import unittest

import vidframe

import streamgen
from streamgen import BLOCK, PADDING, image, solid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from vidtool import display, stream  # noqa: E402


def decoded(chunks, width=64, height=32):
    """The frame store after the chunks, and the decoder's (padding,
    out-of-range) counts."""
    vidframe.createBuffer(width, height)
    vidframe.getStats()
    for c in chunks:
        vidframe.videoSink(c)
    block, _ = vidframe.toRGBString(0, 0, (width + 15) // 16, (height + 15) // 16)
    return block, vidframe.getStats()


class ChunkTest(unittest.TestCase):
    def test_how_chunks_are_closed(self):
        # 1024-byte chunks: a solid message and an image message leave 504
        # bytes; 126 more solid messages fill the chunk exactly.
        fill = [solid(c % 4, 1, c) for c in range(126)]
        msgs = [solid(0, 0, 1), image(1, 0, list(range(256)))] + fill + [image(2, 0, [7] * 255 + [8])]
        chunks = stream.chunked(msgs, 1024)
        self.assertEqual([len(c) for c in chunks], [1024, 1024])
        # Filled exactly: no marker.
        self.assertEqual(chunks[0], b"".join(msgs[:-1]))
        # The last chunk is closed too: a marker, then 0xFF to the block end.
        self.assertEqual(chunks[1], msgs[-1] + PADDING + b"\xff" * (1024 - 520))
        # Where the next message does not fit, a marker closes the chunk.
        chunks = stream.chunked([image(0, 0, [1] * 255 + [2])] * 2, 1024)
        self.assertEqual([c[516:520] for c in chunks], [PADDING, PADDING])
        self.assertEqual(stream.chunked([], 1024), [])

    def test_messages_longer_than_a_chunk_run_on(self):
        msgs = [image(t % 4, t // 4, [t * 256 + i for i in range(256)]) for t in range(8)] + \
            [solid(3, 1, 0xF800)]
        whole, stats = decoded(stream.chunked(msgs, 16384))
        self.assertEqual(stats, (1, 0))
        chunks = stream.chunked(msgs, BLOCK)
        self.assertTrue(all(len(c) == BLOCK for c in chunks), [len(c) for c in chunks])
        self.assertEqual(decoded(chunks)[0], whole)
        col, row, ends = stream.scan_tiles(b"".join(chunks))
        self.assertEqual((col, row, ends), (3, 1, True))

    def test_the_tests_build_with_the_same_encoder(self):
        msgs = streamgen.picture_messages(lambda x, y: (x * 7 + y) & 0xFFFF, 4, 2)
        self.assertEqual(streamgen.adapter_chunks(msgs, 2048), stream.chunked(msgs, 2048))


class TileSizeTest(unittest.TestCase):
    def test_the_canvas_tile_is_the_readouts(self):
        vidframe.createBuffer(32, 32)
        for scale in (1.0, 0.99999999, 0.9999, 0.5, 0.3, 0.1, 0.0625 + 1e-10, 0.75):
            _, (width, height) = vidframe.toRGBString(0, 0, 1, 1, scale)
            self.assertEqual(display.tile_size(scale), width, scale)
            ts, picture, grid = display.geometry((32, 32), scale)
            self.assertEqual(picture, (2 * width, 2 * height), scale)
        # Where the double product truncates lower, the readout does not.
        self.assertEqual(int(16 * 0.99999999), 15)
        self.assertEqual(display.tile_size(0.99999999), 16)


if __name__ == "__main__":
    unittest.main()
