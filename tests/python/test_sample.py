"""The bundled sample (samples/desktop.stream, a real desktop as the adapter
sends it) through the display loop, at full size and halved: every build of
the modules, on every interpreter and ABI, must paint the same pictures.
Their digests are kept in samples/desktop.digests; where Pillow imports, the
full-size picture is also checked against samples/desktop.png in 5-6-5."""
import hashlib
import os
import unittest

import vidframe

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SAMPLES = os.path.join(TOP, "samples")
WIDTH, HEIGHT = 800, 600
CHUNK = 16384


def painted(data, scale):
    """RGB bytes of the picture the display loop paints at scale: after
    every chunk, each changed run of each tile row drawn where it belongs."""
    tiles_w, tiles_h = (WIDTH + 15) // 16, (HEIGHT + 15) // 16
    ts = int(16 * scale)
    canvas_w = tiles_w * ts
    canvas = bytearray(canvas_w * tiles_h * ts * 4)
    vidframe.createBuffer(WIDTH, HEIGHT)
    vidframe.getStats()
    for start in range(0, len(data), CHUNK):
        vidframe.videoSink(data[start:start + CHUNK])
        for row in range(tiles_h):
            for first, count in vidframe.getChanges(row, tiles_w):
                pixels, (bw, bh) = vidframe.toRGBString(first, row, count, 1, scale)
                for y in range(bh):
                    at = ((row * ts + y) * canvas_w + first * ts) * 4
                    canvas[at:at + bw * 4] = pixels[y * bw * 4:(y + 1) * bw * 4]
    out_w, out_h = (WIDTH * ts + 15) // 16, (HEIGHT * ts + 15) // 16
    rgb = bytearray()
    for y in range(out_h):
        line = canvas[y * canvas_w * 4:(y * canvas_w + out_w) * 4]
        del line[3::4]
        rgb += line
    return bytes(rgb), vidframe.getStats()


def digests():
    out = {}
    with open(os.path.join(SAMPLES, "desktop.digests")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                scale, digest = line.split()
                out[float(scale)] = digest
    return out


class SampleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(os.path.join(SAMPLES, "desktop.stream"), "rb") as f:
            cls.data = f.read()

    def test_pictures_match_the_recorded_digests(self):
        for scale, digest in sorted(digests().items()):
            rgb, stats = painted(self.data, scale)
            self.assertEqual(stats[1], 0, "out-of-range tiles at scale %s" % scale)
            self.assertEqual(hashlib.sha256(rgb).hexdigest(), digest, "scale %s" % scale)

    def test_full_size_is_the_sample_picture(self):
        try:
            from PIL import Image
        except ImportError:
            self.skipTest("Pillow is not importable here; the digest test stands for it")
        with Image.open(os.path.join(SAMPLES, "desktop.png")) as im:
            source = bytearray(im.convert("RGB").tobytes())
        for i in range(0, len(source), 3):
            source[i] &= 0xF8
            source[i + 1] &= 0xFC
            source[i + 2] &= 0xF8
        self.assertEqual(painted(self.data, 1.0)[0], bytes(source))


if __name__ == "__main__":
    unittest.main()
