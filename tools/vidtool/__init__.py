"""vidtool: the adapter's video stream from the command line.

    vidtool encode PICTURE OUT [--update-from OLDPICTURE] [--chunk N]
    vidtool replay STREAM OUT.png [--scale S] [--chunk N] [--size WxH]
    vidtool record --device /dev/bus/usb/BBB/DDD [--endpoint 0x81] [--seconds N] OUT
    vidtool view (STREAM [--rate MB/s] | --device NODE --size WxH) [--scale S]

It uses the project's modules as the application does: vidframe decodes
and reads back, bulkvideo reads a device, usbconsts (generated at build
time for this interpreter's ABI) gives the usbdevfs request numbers. They
come from an installed package, else from the build tree (build/, or
$TILESTREAM_BUILD).

The package, by layer; each uses only those above it:

    common   the one-line failure, the project's modules, stop signals
    stream   the stream format: messages, chunks, a picture encoded
    display  the display loop and its canvas
    device   a usbdevfs device: claim, reads on a thread, release
    window   the display loop in a Tk window
    cli      the command line

common, stream and display import under Python 2.7 too: the tests and the
display-loop benchmark run the same code on every interpreter. The rest is
Python 3 with Pillow and tqdm; Tk is loaded by the window alone.
"""
from .stream import encode  # noqa: F401


def main(argv=None):
    """The command line (argv, default the process's); the exit status."""
    from .cli import main
    return main(argv)


def replay(data, size, scale=1.0, chunk=16384, bar=None):
    """(RGB bytes of the picture, its size, statistics) of the stream data
    decoded into a frame of size by the build's vidframe."""
    from .cli import replay
    return replay(data, size, scale, chunk, bar)


def read_picture(path):
    """(width, height, 5-6-5 words) of a picture file (Pillow)."""
    from .cli import read_picture
    return read_picture(path)
