"""The bundled sample (samples/desktop.stream, a real desktop as the adapter
sends it) through the display loop, at full size and halved: every build of
the modules, on every interpreter and ABI, must paint the same pictures.
The loop and canvas are vidtool's (tools/vidtool/display.py), the ones the
tool and the benchmark run. Their digests are kept in
samples/desktop.digests; where Pillow imports, the full-size picture is
also checked against samples/desktop.png in 5-6-5."""
import hashlib
import os
import struct
import sys
import unittest

import vidframe

from required import skip_or_fail

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SAMPLES = os.path.join(TOP, "samples")
sys.path.insert(0, os.path.join(TOP, "tools"))
from vidtool import display  # noqa: E402

WIDTH, HEIGHT = 800, 600
CHUNK = 16384


def painted(data, scale):
    """(RGB bytes of the picture the display loop paints at scale, the
    decoder's statistics)."""
    rgb, _, stats = display.replay(vidframe, data, (WIDTH, HEIGHT), scale, CHUNK)
    return rgb, stats


def pillow_is_provided():
    """The setup installs Pillow (python3-pil) for Debian's own 64-bit
    python3; other interpreters cannot have it."""
    return struct.calcsize("P") == 8 and \
        os.path.realpath(sys.executable) == os.path.realpath("/usr/bin/python3")


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
            self.assertEqual(stats["bogus"], 0, "out-of-range tiles at scale %s" % scale)
            self.assertEqual(hashlib.sha256(rgb).hexdigest(), digest, "scale %s" % scale)

    def test_full_size_is_the_sample_picture(self):
        try:
            from PIL import Image
        except ImportError:
            why = "Pillow is not importable here; the digest test stands for it"
            if pillow_is_provided():
                skip_or_fail(self, "pillow", why)
            self.skipTest(why)
        with Image.open(os.path.join(SAMPLES, "desktop.png")) as im:
            source = bytearray(im.convert("RGB").tobytes())
        for i in range(0, len(source), 3):
            source[i] &= 0xF8
            source[i + 1] &= 0xFC
            source[i + 2] &= 0xF8
        self.assertEqual(painted(self.data, 1.0)[0], bytes(source))


if __name__ == "__main__":
    unittest.main()
