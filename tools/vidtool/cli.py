"""vidtool's command line: the arguments, the files it reads and writes,
and what each subcommand prints. Python 3 with Pillow and tqdm (loaded
when a subcommand needs them); view also needs Tk, loaded by the window
alone."""
import argparse
import errno
import os
import sys
import time

from . import stream
from .common import Failure, Interrupt, Interrupted, load_modules, read_error, signal_text
from .display import decode_rate, replay as replay_with
from .stream import BLOCK, MAX_HEIGHT, MAX_WIDTH

MAX_CHUNK = 64 << 20


def image_module():
    try:
        from PIL import Image
    except ImportError:
        raise Failure("Pillow is missing: apt-get install python3-pil")
    return Image


def progress(**kw):
    """A tqdm bar on standard error (quiet when that is not a terminal and
    the work is short)."""
    try:
        from tqdm import tqdm
    except ImportError:
        raise Failure("tqdm is missing: apt-get install python3-tqdm")
    kw.setdefault("file", sys.stderr)
    kw.setdefault("leave", False)
    kw.setdefault("disable", None)   # no bar when standard error is no terminal
    return tqdm(**kw)


# ---- files --------------------------------------------------------------------

def read_picture(path):
    """(width, height, 5-6-5 words) of a picture file."""
    Image = image_module()
    try:
        with Image.open(path) as im:
            im = im.convert("RGB")
            size = im.size
            data = im.tobytes()
    except FileNotFoundError:
        raise Failure("%s: no such file" % path)
    except PermissionError:
        raise Failure("%s: not readable" % path)
    except IsADirectoryError:
        raise Failure("%s: is a directory" % path)
    except (OSError, ValueError, SyntaxError) as e:  # Pillow's UnidentifiedImageError is an OSError
        raise Failure("%s: not a picture Pillow can read (%s)" % (path, e))
    width, height = size
    if width > MAX_WIDTH or height > MAX_HEIGHT:
        raise Failure("%s: %dx%d is larger than the largest frame, %dx%d"
                      % (path, width, height, MAX_WIDTH, MAX_HEIGHT))
    return width, height, stream.picture_words(data)


def write_file(path, data):
    try:
        with open(path, "wb") as f:
            f.write(data)
    except OSError as e:
        raise Failure("%s: cannot write (%s)" % (path, e.strerror or e))


def read_stream(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        raise Failure("%s: no such file" % path)
    except IsADirectoryError:
        raise Failure("%s: is a directory" % path)
    except OSError as e:
        raise Failure("%s: not readable (%s)" % (path, e.strerror or e))


def stream_frame(path, size=None):
    """(the stream file's bytes, the frame size to decode it into): size, or
    the tiles the stream addresses."""
    data = read_stream(path)
    if not data:
        raise Failure("%s: empty stream" % path)
    if size is not None:
        return data, size
    col, row, whole = stream.scan_tiles(data)
    if col < 0:
        raise Failure("%s: no tile messages found: not a video stream" % path)
    size = ((col + 1) * 16, (row + 1) * 16)
    if not whole:
        raise Failure("%s: not a video stream: its last message runs past the end of the "
                      "file (give --size to decode it anyway)" % path)
    if size[0] > MAX_WIDTH or size[1] > MAX_HEIGHT:
        raise Failure("%s: not a video stream of a frame up to %dx%d: it addresses tile "
                      "column %d, row %d (give --size to decode it anyway)"
                      % (path, MAX_WIDTH, MAX_HEIGHT, col, row))
    return data, size


def replay(data, size, scale=1.0, chunk=stream.CHUNK, bar=None):
    """Decodes data into a frame of size with the build's vidframe, chunk
    bytes at a time, running the display loop after every chunk. Returns
    (RGB bytes of the picture, its size, statistics)."""
    (vidframe,) = load_modules("vidframe")
    return replay_with(vidframe, data, size, scale, chunk, bar)


# ---- arguments ----------------------------------------------------------------

def parse_size(text):
    try:
        w, h = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError("size must be WIDTHxHEIGHT, e.g. 1024x768, not %r" % text)
    if not (1 <= w <= MAX_WIDTH and 1 <= h <= MAX_HEIGHT):
        raise argparse.ArgumentTypeError("size %dx%d is outside 1x1 to %dx%d"
                                         % (w, h, MAX_WIDTH, MAX_HEIGHT))
    return w, h


def parse_scale(text):
    try:
        s = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("scale must be a number, not %r" % text)
    if not (0.0625 <= s <= 1.0):
        raise argparse.ArgumentTypeError("scale %s is outside 0.0625 to 1" % text)
    return s


def parse_chunk(text):
    try:
        n = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError("chunk must be a whole number of bytes, not %r" % text)
    if n < BLOCK or n % BLOCK or n > MAX_CHUNK:
        raise argparse.ArgumentTypeError("chunk %s must be a multiple of 512 from 512 to %d"
                                         % (text, MAX_CHUNK))
    return n


def parse_endpoint(text):
    try:
        ep = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError("endpoint must be a number such as 0x81, not %r" % text)
    if not (0x81 <= ep <= 0x8F):
        raise argparse.ArgumentTypeError("endpoint %s is not a bulk-IN address (0x81 to 0x8f)" % text)
    return ep


def positive_number(what, unit=""):
    """An argparse type: a finite number above 0 (what, unit: for the message)."""
    def parse(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%s must be a number%s, not %r"
                                             % (what, unit and " of " + unit, text))
        if not value > 0 or value == float("inf"):
            raise argparse.ArgumentTypeError("%s must be above 0%s, not %s"
                                             % (what, unit and " " + unit, text))
        return value
    return parse


# ---- subcommands ----------------------------------------------------------------

def cmd_encode(args, _interrupt):
    picture = read_picture(args.picture)
    old = None
    if args.update_from:
        old = read_picture(args.update_from)
        if old[:2] != picture[:2]:
            raise Failure("%s is %dx%d but %s is %dx%d: an update needs pictures of one size"
                          % (args.update_from, old[0], old[1], args.picture, picture[0], picture[1]))
    chunks, tiles, solid = stream.encode(picture, old, args.chunk)
    data = b"".join(chunks)
    write_file(args.out, data)
    print("tiles sent    %d (%d solid, %d image)" % (tiles, solid, tiles - solid))
    print("stream        %d bytes in %d chunks of up to %d bytes, %dx%d picture"
          % (len(data), len(chunks), args.chunk, picture[0], picture[1]))
    return 0


def cmd_replay(args, _interrupt):
    data, size = stream_frame(args.stream, args.size)
    with progress(total=len(data), unit="B", unit_scale=True, desc="replay") as bar:
        rgb, out_size, stats = replay(data, size, args.scale, args.chunk, bar)
    if stats["tiles"] == 0:
        raise Failure("%s: no tile of the %dx%d frame decoded: not a video stream of that size"
                      % (args.stream, size[0], size[1]))
    Image = image_module()
    try:
        Image.frombytes("RGB", out_size, rgb).save(args.out, format="PNG")
    except (OSError, ValueError) as e:
        raise Failure("%s: cannot write (%s)" % (args.out, getattr(e, "strerror", None) or e))
    print("frame         %dx%d, picture %dx%d at scale %g" % (size + out_size + (args.scale,)))
    print("stream        %d bytes in %d chunks of up to %d bytes" % (len(data), stats["chunks"], args.chunk))
    print("tiles decoded %d" % stats["tiles"])
    print("padding       %d markers" % stats["padding"])
    print("out of range  %d tile messages" % stats["bogus"])
    print("incomplete    %d chunks" % stats["incomplete"])
    print("decode        %.1f MB/s (videoSink alone)" % decode_rate(stats))
    print("written       %s" % args.out)
    return 0


def cmd_record(args, interrupt):
    from .device import claimed_device, record
    with claimed_device(args.device, args.interface) as fd:
        try:
            out = open(args.out, "wb", buffering=0)
        except OSError as e:
            raise Failure("%s: cannot write (%s)" % (args.out, e.strerror or e))
        started = time.monotonic()
        with out, progress(unit="B", unit_scale=True, desc="record") as bar:
            total, why, error = record(fd, args.endpoint, out, args.seconds, bar, interrupt=interrupt)
        elapsed = max(time.monotonic() - started, 1e-9)
    print("recorded      %d bytes in %.1f s (%.2f MB/s) to %s" % (total, elapsed, total / elapsed / 1e6, args.out))
    if error is not None:
        if getattr(error, "errno", None) == errno.ENOSPC:
            raise Failure("%s: disk full; the %d bytes written before are kept" % (args.out, total))
        raise Failure(read_error(error, "%d bytes kept in %s" % (total, args.out)))
    if why == "interrupted":
        said = "by " + signal_text(interrupt.seen)
    else:
        said = {"seconds": "after %s s" % args.seconds, "stopped": "on request", "device": "by the device"}[why]
    print("stopped       %s" % said)
    return 0


def cmd_view(args, interrupt):
    if (args.stream is None) == (args.device is None):
        raise Failure("view needs a STREAM file or --device NODE (one of them)")
    if args.device is not None and args.size is None:
        raise Failure("%s: a device's stream does not say its frame size: give --size WxH" % args.device)
    if args.device is not None and args.rate is not None:
        raise Failure("--rate paces a stream file; a device delivers at its own rate")
    from .window import FileChunks, show
    (vidframe,) = load_modules("vidframe")
    if args.stream is not None:
        data, size = stream_frame(args.stream, args.size)
        source = FileChunks(data, args.chunk, args.rate)
        viewer = show("vidtool view: %s" % os.path.basename(args.stream), vidframe, size,
                      args.scale, source, interrupt)
    else:
        from .device import DeviceChunks, claimed_device
        with claimed_device(args.device, args.interface) as fd:
            interrupt.polled()
            source = DeviceChunks(fd, args.endpoint)
            try:
                viewer = show("vidtool view: %s" % args.device, vidframe, args.size, args.scale,
                              source, interrupt)
            finally:
                source.finish()
    # The statistics, unless the end of the file already printed them.
    if not viewer.announced:
        viewer.summary()
    print("closed        %s, %s" % ("at the end of the stream" if viewer.ended else "before the end",
                                    viewer.closed_by))
    if source.error is not None:
        raise Failure(read_error(source.error, "%d bytes shown" % viewer.stats["bytes"]))
    return 0


# ---- command line ---------------------------------------------------------------

def parser():
    ap = argparse.ArgumentParser(prog="vidtool", description="Encode, replay and record the "
                                 "adapter's video stream.")
    sub = ap.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    p = sub.add_parser("encode", help="a picture as the adapter's stream",
                       description="Encodes a picture into the adapter's stream: solid tile messages "
                       "for uniform tiles, image tile messages otherwise, in chunks padded to 512-byte "
                       "blocks.")
    p.add_argument("picture", help="any picture Pillow reads")
    p.add_argument("out", help="the stream file to write")
    p.add_argument("--update-from", metavar="OLDPICTURE",
                   help="send only the tiles that differ from this picture (same size)")
    p.add_argument("--chunk", type=parse_chunk, default=16384, help="chunk size in bytes (default 16384)")
    p.set_defaults(run=cmd_encode)

    p = sub.add_parser("replay", help="decode a stream into a PNG through the display loop",
                       description="Decodes a stream file with videoSink chunk by chunk, runs the "
                       "display loop (getChanges, toRGBString) and writes the picture.")
    p.add_argument("stream")
    p.add_argument("out", help="the PNG to write")
    p.add_argument("--scale", type=parse_scale, default=1.0, help="0.0625 to 1 (default 1)")
    p.add_argument("--chunk", type=parse_chunk, default=16384, help="chunk size in bytes (default 16384)")
    p.add_argument("--size", type=parse_size, help="frame size WxH (default: the tiles the stream addresses)")
    p.set_defaults(run=cmd_replay)

    p = sub.add_parser("record", help="record a device's video stream (Linux)",
                       description="Reads the video endpoint of an adapter through usbdevfs and "
                       "writes the raw stream. Ctrl-C, SIGTERM or --seconds stops; what was read "
                       "is kept.")
    p.add_argument("--device", required=True, help="the usbdevfs node, /dev/bus/usb/BBB/DDD")
    p.add_argument("--endpoint", type=parse_endpoint, default=0x81, help="bulk-IN endpoint (default 0x81)")
    p.add_argument("--interface", type=int, default=0, help="interface to claim (default 0)")
    p.add_argument("--seconds", type=positive_number("seconds"), help="stop after this many seconds")
    p.add_argument("out", help="the stream file to write")
    p.set_defaults(run=cmd_record)

    p = sub.add_parser("view", help="watch a stream file or a device in a window",
                       description="The display loop in a window: videoSink chunk by chunk, then "
                       "getChanges and toRGBString, each run drawn where its tiles are; frames per "
                       "second, decode rate and statistics in the status line. At the end of a file "
                       "the last picture stays; Ctrl-C, SIGTERM or closing the window ends it.")
    p.add_argument("stream", nargs="?", help="a stream file (or give --device)")
    p.add_argument("--device", help="watch this usbdevfs node live (Linux), opened as record opens it")
    p.add_argument("--endpoint", type=parse_endpoint, default=0x81, help="bulk-IN endpoint (default 0x81)")
    p.add_argument("--interface", type=int, default=0, help="interface to claim (default 0)")
    p.add_argument("--scale", type=parse_scale, default=1.0, help="0.0625 to 1 (default 1)")
    p.add_argument("--rate", type=positive_number("rate", "MB/s"), metavar="MB/s",
                   help="feed a file at this many MB/s (default: as fast as it goes)")
    p.add_argument("--chunk", type=parse_chunk, default=16384, help="chunk size in bytes (default 16384)")
    p.add_argument("--size", type=parse_size,
                   help="frame size WxH (a file's default: the tiles it addresses; needed for a device)")
    p.set_defaults(run=cmd_view)
    return ap


def main(argv=None):
    """Runs the command line argv (default: the process's); returns the
    exit status. SIGINT and SIGTERM are this function's while it runs: a
    subcommand's loop ends on them cleanly (status 0); before a loop runs
    they end the subcommand at once (128 plus the signal's number)."""
    args = parser().parse_args(argv)
    try:
        with Interrupt() as interrupt:
            return args.run(args, interrupt)
    except Failure as e:
        sys.stderr.write("vidtool: %s\n" % e)
        return 1
    except Interrupted as e:
        sys.stderr.write("vidtool: interrupted by %s\n" % e)
        return 128 + e.signum
    except KeyboardInterrupt:
        sys.stderr.write("vidtool: interrupted\n")
        return 130
