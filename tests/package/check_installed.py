"""Run by an installed interpreter from outside the source tree: every module
comes from that interpreter's site-packages, reports the project's version,
and vidframe decodes a short stream. Python 2.7 and 3."""
import os
import struct
import sys

prefix, version = os.path.realpath(sys.argv[1]), sys.argv[2]

import vidframe  # noqa: E402
names = ["vidframe"]
if sys.platform.startswith("linux"):
    import bulkvideo  # noqa: E402,F401
    import usbconsts  # noqa: E402
    names += ["bulkvideo", "usbconsts"]
    assert usbconsts.USBDEVFS_URB_TYPE_BULK == 3
for name in names:
    module = sys.modules[name]
    where = os.path.realpath(module.__file__)
    assert where.startswith(prefix + os.sep), (name, where, prefix)
    if name != "usbconsts":
        assert module.__version__ == version, (name, module.__version__, version)

# A 32x16 frame: one solid tile, one image tile of a ramp.
vidframe.createBuffer(32, 16)
stream = struct.pack("<HH", 0xF800, 0x4000 | 0)            # solid red at (0, 0)
ramp = [(i * 257) & 0xFFFF for i in range(256)]
stream += struct.pack("<HH", 0, 1) + struct.pack("<256H", *ramp)  # image at (1, 0)
stream += b"\xff" * (512 - len(stream))
assert vidframe.videoSink(stream) == 0
data, size = vidframe.toRGBString(0, 0, 2, 1, 1.0)
assert size == (32, 16), size
pixels = bytearray(data)
assert pixels[0:4] == bytearray(b"\xf8\x00\x00\xff"), pixels[0:4]
w = ramp[17]  # the image tile's pixel (1, 1)
expect = bytearray([(w >> 8) & 0xF8, (w >> 3) & 0xFC, (w << 3) & 0xF8, 0xFF])
at = (1 * 32 + 16 + 1) * 4
assert pixels[at:at + 4] == expect, (pixels[at:at + 4], expect)
print("installed: %s from %s" % (", ".join(names), prefix))
