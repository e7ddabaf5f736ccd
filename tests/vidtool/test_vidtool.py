"""vidtool from the command line: encode and replay round trips, and the
one-line message of every bad input. (record runs against a real kernel in
tests/qemu.) Debian's python3 with Pillow; the modules of TILESTREAM_BUILD."""
import os
import random
import subprocess
import sys
import tempfile
import unittest

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.realpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "python"))
import reference  # noqa: E402

VIDTOOL = os.path.join(TOP, "vidtool")


def vidtool(*args):
    proc = subprocess.run([VIDTOOL] + [str(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    return proc.returncode, proc.stdout, proc.stderr


def desktop_like(width, height, seed):
    """A picture of flat areas (solid tiles), gradients and noise (image tiles)."""
    rng = random.Random(seed)
    im = Image.new("RGB", (width, height), (rng.randrange(256), 80, 160))
    px = im.load()
    for _ in range(6):
        x0, y0 = rng.randrange(width), rng.randrange(height)
        x1, y1 = min(width, x0 + rng.randrange(1, 40)), min(height, y0 + rng.randrange(1, 40))
        kind, c = rng.randrange(3), tuple(rng.randrange(256) for _ in range(3))
        for y in range(y0, y1):
            for x in range(x0, x1):
                px[x, y] = c if kind == 0 else ((x * 7) & 255, (y * 5) & 255, 99) if kind == 1 \
                    else tuple(rng.randrange(256) for _ in range(3))
    return im


def quantised(im):
    """The picture as the decoder stores it: 5-6-5, low bits zero."""
    return bytes(v & m for v, m in zip(im.convert("RGB").tobytes(), [0xF8, 0xFC, 0xF8] * (im.width * im.height)))


def frame_of(im):
    """Frame store bytes (4 per pixel) of the decoded picture."""
    q = quantised(im)
    return b"".join(q[i:i + 3] + b"\xff" for i in range(0, len(q), 3))


class VidtoolTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vidtool-")

    def tearDown(self):
        subprocess.call(["rm", "-rf", self.tmp])

    def path(self, name):
        return os.path.join(self.tmp, name)

    def save(self, im, name):
        im.save(self.path(name))
        return self.path(name)

    def encode(self, picture, stream, *more):
        rc, out, err = vidtool("encode", picture, self.path(stream), *more)
        self.assertEqual((rc, err), (0, ""), out)
        return out

    def replay(self, stream, png, *more):
        rc, out, err = vidtool("replay", self.path(stream), self.path(png), *more)
        self.assertEqual((rc, err), (0, ""), out)
        with Image.open(self.path(png)) as im:
            return im.size, im.convert("RGB").tobytes(), out

    def test_round_trip_at_full_size(self):
        for (w, h), size in (((64, 48), []), ((50, 37), ["--size", "50x37"])):
            im = desktop_like(w, h, w)
            self.encode(self.save(im, "a.png"), "a.stream")
            got_size, got, out = self.replay("a.stream", "a-out.png", *size)
            self.assertEqual(got_size, (w, h))
            self.assertEqual(got, quantised(im), (w, h))
            tiles = ((w + 15) // 16) * ((h + 15) // 16)
            self.assertIn("tiles decoded %d\n" % tiles, out)
            self.assertIn("out of range  0 ", out)
            self.assertIn("incomplete    0 ", out)
        # Without --size the frame is the tiles the stream addresses.
        got_size, _, out = self.replay("a.stream", "b-out.png")
        self.assertEqual(got_size, (64, 48))
        self.assertIn("frame         64x48", out)

    def test_shrunk_replays_are_the_exact_shrink_of_the_frame(self):
        im = desktop_like(96, 64, 3)
        self.encode(self.save(im, "a.png"), "a.stream")
        frame = frame_of(im)
        for scale in (0.5, 0.75):
            size, got, _ = self.replay("a.stream", "s.png", "--scale", scale)
            block, (bw, bh) = reference.readout(frame, 96, 64, 0, 0, 6, 4, scale)
            want = bytearray(block)
            del want[3::4]
            self.assertEqual(size, (bw, bh))
            self.assertEqual(got, bytes(want), scale)

    def test_update_stream_on_top_of_the_first(self):
        first = desktop_like(80, 64, 5)
        second = first.copy()
        second.paste((10, 200, 30), (20, 20, 40, 30))      # touches tiles (1..2, 1)
        second.putpixel((79, 63), (255, 255, 255))          # the last tile
        a, b = self.save(first, "a.png"), self.save(second, "b.png")
        self.encode(a, "a.stream")
        out = self.encode(b, "b.stream", "--update-from", a)
        self.assertIn("tiles sent    3 ", out)
        with open(self.path("both.stream"), "wb") as f:
            for name in ("a.stream", "b.stream"):
                with open(self.path(name), "rb") as g:
                    f.write(g.read())
        _, got, _ = self.replay("both.stream", "both.png")
        self.assertEqual(got, quantised(second))
        # Unchanged pictures make an empty update.
        out = self.encode(a, "none.stream", "--update-from", a)
        self.assertIn("tiles sent    0 ", out)
        self.assertEqual(os.path.getsize(self.path("none.stream")), 0)

    def test_chunk_sizes_give_one_picture(self):
        im = desktop_like(160, 96, 9)
        self.encode(self.save(im, "a.png"), "a.stream", "--chunk", 4096)
        with open(self.path("a.stream"), "rb") as f:
            data = f.read()
        self.assertEqual(len(data) % 512, 0)
        pictures = set()
        for chunk in (512, 16384, 655360):
            _, got, out = self.replay("a.stream", "c.png", "--chunk", chunk)
            pictures.add(got)
            self.assertIn("incomplete    0 ", out)
        self.assertEqual(pictures, {quantised(im)})
        # In 512-byte chunks image messages run on from chunk to chunk: each
        # chunk is one block, none longer, none empty.
        out = self.encode(self.save(im, "a.png"), "b.stream", "--chunk", 512)
        size = os.path.getsize(self.path("b.stream"))
        self.assertIn("stream        %d bytes in %d chunks of up to 512 bytes" % (size, size // 512), out)
        self.assertEqual(self.replay("b.stream", "d.png")[1], quantised(im))

    def test_solid_and_image_split_and_block_padding(self):
        im = Image.new("RGB", (64, 32), (0, 0, 0))
        for tx in range(4):        # the lower tile row: noise, so image tiles
            for y in range(16, 32):
                for x in range(tx * 16, tx * 16 + 16):
                    im.putpixel((x, y), ((x * 37) & 255, (y * 11) & 255, tx * 40))
        out = self.encode(self.save(im, "a.png"), "a.stream", "--chunk", 1024)
        self.assertIn("tiles sent    8 (4 solid, 4 image)", out)
        # A 1024-byte chunk holds one image message and a marker.
        self.assertIn("stream        4096 bytes in 4 chunks", out)
        with open(self.path("a.stream"), "rb") as f:
            data = f.read()
        # Each chunk starts with a message: solid (0, 0), then the image
        # tiles (1..3, 1) that did not fit before.
        starts = [data[at + 2] | data[at + 3] << 8 for at in range(0, 4096, 1024)]
        self.assertEqual(starts, [0x4000, 0x0081, 0x0082, 0x0083])

    def test_bad_input_gets_one_line_and_a_non_zero_exit(self):
        garbage = self.path("garbage")
        with open(garbage, "wb") as f:
            f.write(bytes(random.Random(4).randrange(256) for _ in range(3000)))
        open(self.path("empty"), "wb").close()
        png = self.save(desktop_like(32, 32, 1), "ok.png")
        self.encode(png, "ok.stream")
        big = self.save(Image.new("RGB", (1921, 16)), "big.png")
        other = self.save(Image.new("RGB", (48, 32)), "other.png")
        cases = [
            (["encode", self.path("missing.png"), self.path("x")], "missing.png: no such file"),
            (["encode", garbage, self.path("x")], "garbage: not a picture Pillow can read"),
            (["encode", self.tmp, self.path("x")], "is a directory"),
            (["encode", big, self.path("x")], "1921x16 is larger than the largest frame, 1920x1600"),
            (["encode", png, self.path("x"), "--update-from", other], "an update needs pictures of one size"),
            (["encode", png, os.path.join(self.tmp, "no", "x")], "cannot write"),
            (["replay", self.path("missing"), self.path("o.png")], "missing: no such file"),
            (["replay", self.path("empty"), self.path("o.png")], "empty: empty stream"),
            (["replay", garbage, self.path("o.png")], "garbage: not a video stream"),
            (["replay", garbage, self.path("o.png"), "--size", "32x32"], "not a video stream of that size"),
            (["replay", self.path("ok.stream"), os.path.join(self.tmp, "no", "o.png")], "cannot write"),
            (["record", "--device", self.path("nonode"), self.path("r")], "nonode: no such device node"),
            (["record", "--device", "/dev/null", self.path("r")], "/dev/null: not a usbdevfs node"),
            (["record", "--device", self.tmp, self.path("r")], "is a directory, not a usbdevfs node"),
        ]
        usage = [
            (["replay", self.path("ok.stream"), self.path("o.png"), "--scale", "0.01"], "scale 0.01 is outside 0.0625 to 1"),
            (["replay", self.path("ok.stream"), self.path("o.png"), "--scale", "nan"], "scale nan is outside"),
            (["replay", self.path("ok.stream"), self.path("o.png"), "--scale", "big"], "scale must be a number"),
            (["replay", self.path("ok.stream"), self.path("o.png"), "--size", "640"], "size must be WIDTHxHEIGHT"),
            (["replay", self.path("ok.stream"), self.path("o.png"), "--size", "4000x100"], "size 4000x100 is outside 1x1 to 1920x1600"),
            (["replay", self.path("ok.stream"), self.path("o.png"), "--chunk", "1000"], "must be a multiple of 512"),
            (["encode", png, self.path("x"), "--chunk", "0"], "must be a multiple of 512"),
            (["record", "--device", "/dev/null", "--endpoint", "0x01", self.path("r")], "not a bulk-IN address"),
            (["record", "--device", "/dev/null", "--seconds", "-1", self.path("r")], "seconds must be above 0"),
        ]
        for args, message in cases + usage:
            rc, out, err = vidtool(*args)
            self.assertNotEqual(rc, 0, args)
            self.assertIn(message, err, args)
            self.assertNotIn("Traceback", err, args)
            if (args, message) in cases:
                self.assertEqual(len(err.strip().splitlines()), 1, err)
                self.assertTrue(err.startswith("vidtool: "), err)

    def test_unreadable_files(self):
        # Root reads everything: run vidtool as nobody, on files only root may read.
        if os.geteuid() != 0:
            self.skipTest("needs root to switch to another user")
        as_nobody = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                         preexec_fn=lambda: os.setuid(65534))
        if subprocess.run([VIDTOOL, "--help"], **as_nobody).returncode != 0:
            self.skipTest("the tree is not readable by nobody")
        png = self.save(desktop_like(32, 32, 2), "secret.png")
        self.encode(png, "secret.stream")
        os.chmod(self.tmp, 0o755)
        for name in ("secret.png", "secret.stream"):
            os.chmod(self.path(name), 0)
        for args, message in ((["encode", png, "/dev/null"], "secret.png: not readable"),
                              (["replay", self.path("secret.stream"), "/dev/null"],
                               "secret.stream: not readable")):
            proc = subprocess.run([VIDTOOL] + args, **as_nobody)
            self.assertEqual(proc.returncode, 1, proc.stderr)
            self.assertIn(message, proc.stderr)
            self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)

    def test_every_subcommand_has_help(self):
        for sub in ("encode", "replay", "record"):
            rc, out, _ = vidtool(sub, "--help")
            self.assertEqual(rc, 0)
            self.assertIn("usage: vidtool " + sub, out)


if __name__ == "__main__":
    unittest.main()
