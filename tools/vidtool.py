"""vidtool: the adapter's video stream from the command line.

    vidtool encode PICTURE OUT [--update-from OLDPICTURE] [--chunk N]
    vidtool replay STREAM OUT.png [--scale S] [--chunk N] [--size WxH]
    vidtool record --device /dev/bus/usb/BBB/DDD [--endpoint 0x81] [--seconds N] OUT
    vidtool view (STREAM [--rate MB/s] | --device NODE --size WxH) [--scale S]

It uses the project's modules as the application does: vidframe decodes
and reads back, bulkvideo reads a device, usbconsts (generated at build
time for this interpreter's ABI) gives the usbdevfs request numbers. They
come from an installed package, else from the build tree (build/, or
$TILESTREAM_BUILD). Python 3 with Pillow and tqdm; view also needs Tk,
loaded only by view.
"""
import argparse
import contextlib
import errno
import fcntl
import os
import queue
import signal
import struct
import sys
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCK = 512
PADDING = b"\xff\xff\xff\xff"
IMAGE_MESSAGE = 516
MAX_WIDTH, MAX_HEIGHT = 1920, 1600   # the largest frame store
MAX_CHUNK = 64 << 20


class Failure(Exception):
    """A bad input or a failing device: one line for the user, exit status 1."""


def load_modules(*names):
    """The named modules: installed ones first, else those of the build tree."""
    build = os.environ.get("TILESTREAM_BUILD") or os.path.join(TOP, "build")
    abi = "usbconsts_i386" if struct.calcsize("P") == 4 else "usbconsts"
    found = []
    for name in names:
        try:
            found.append(__import__(name))
            continue
        except ImportError:
            pass
        for folder in (os.path.join(build, "python3"), os.path.join(build, "usbconstgen")):
            if folder not in sys.path:
                sys.path.append(folder)
        try:
            found.append(__import__(abi if name == "usbconsts" else name))
        except ImportError:
            raise Failure("the %s module is not built: run ./scripts/demo.sh (or ./scripts/build.sh) first"
                          % name)
    return found


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


# ---- the stream ---------------------------------------------------------------

def rgb565(rgb_bytes):
    """5-6-5 words of a picture's RGB bytes (3 per pixel), in pixel order."""
    r, g, b = rgb_bytes[0::3], rgb_bytes[1::3], rgb_bytes[2::3]
    return [(r[i] >> 3) << 11 | (g[i] >> 2) << 5 | (b[i] >> 3) for i in range(len(r))]


def tile_words(words, width, height, column, row):
    """The tile's 256 words, row by row; pixels outside the picture repeat
    its last column or row, so an edge tile of one colour stays solid."""
    out = []
    x0, y0 = column * 16, row * 16
    for y in range(y0, y0 + 16):
        base = min(y, height - 1) * width
        for x in range(x0, x0 + 16):
            out.append(words[base + min(x, width - 1)])
    return out


def tile_message(column, row, tile):
    position = (row & 0x7F) << 7 | (column & 0x7F)
    if all(w == tile[0] for w in tile):
        return struct.pack("<HH", tile[0], 0x4000 | position)
    return struct.pack("<HH", 0, position) + struct.pack("<256H", *tile)


def chunked(messages, chunk):
    """Chunks as the adapter sends them: whole messages; where the next one
    does not fit, a padding marker closes the chunk at a block boundary.
    Every chunk is a whole number of 512-byte blocks."""
    chunks, cur = [], bytearray()
    for msg in messages:
        if len(cur) + len(msg) + len(PADDING) > chunk:
            close(cur)
            chunks.append(bytes(cur))
            cur = bytearray()
        cur += msg
    if cur:
        close(cur)
        chunks.append(bytes(cur))
    return chunks


def close(cur):
    """Pads a chunk to its block boundary (a marker, then fill bytes that
    the decoder skips); one that ends on a boundary needs none."""
    if len(cur) % BLOCK:
        cur += PADDING
        cur += b"\xff" * (-len(cur) % BLOCK)


def scan_tiles(data):
    """(highest column, highest row, whether the last message ends with the
    data) of what the stream addresses, walking it as the decoder does with
    512-byte blocks from the stream's start; column and row are -1 when it
    addresses no tile."""
    pos, end = 0, len(data)
    top_col = top_row = -1
    while pos + 4 <= end:
        w1 = data[pos + 2] | data[pos + 3] << 8
        if data[pos:pos + 4] == PADDING:
            pos += BLOCK - pos % BLOCK
            continue
        if w1 & 0x4000 or pos + IMAGE_MESSAGE <= end:
            top_col = max(top_col, w1 & 0x7F)
            top_row = max(top_row, (w1 >> 7) & 0x7F)
        pos += 4 if w1 & 0x4000 else IMAGE_MESSAGE
    return top_col, top_row, pos == end


# ---- encode -------------------------------------------------------------------

def read_picture(path):
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
    return width, height, rgb565(data)


def encode(picture, old=None, chunk=16384):
    """(chunks, tiles sent, solid tiles) for picture (width, height, words);
    with old, only the tiles whose words differ from it."""
    width, height, words = picture
    messages, solid = [], 0
    for row in range((height + 15) // 16):
        for column in range((width + 15) // 16):
            tile = tile_words(words, width, height, column, row)
            if old is not None and tile == tile_words(old[2], width, height, column, row):
                continue
            msg = tile_message(column, row, tile)
            solid += len(msg) == 4
            messages.append(msg)
    return chunked(messages, chunk), len(messages), solid


def cmd_encode(args):
    picture = read_picture(args.picture)
    old = None
    if args.update_from:
        old = read_picture(args.update_from)
        if old[:2] != picture[:2]:
            raise Failure("%s is %dx%d but %s is %dx%d: an update needs pictures of one size"
                          % (args.update_from, old[0], old[1], args.picture, picture[0], picture[1]))
    chunks, tiles, solid = encode(picture, old, args.chunk)
    data = b"".join(chunks)
    write_file(args.out, data)
    print("tiles sent    %d (%d solid, %d image)" % (tiles, solid, tiles - solid))
    print("stream        %d bytes in %d chunks of up to %d bytes, %dx%d picture"
          % (len(data), len(chunks), args.chunk, picture[0], picture[1]))
    return 0


def write_file(path, data):
    try:
        with open(path, "wb") as f:
            f.write(data)
    except OSError as e:
        raise Failure("%s: cannot write (%s)" % (path, e.strerror or e))


# ---- replay -------------------------------------------------------------------

def tile_size(scale):
    """Pixels per tile side at scale, as the readout computes it (single precision)."""
    return int(struct.unpack("f", struct.pack("f", min(scale, 1.0)))[0] * 16)


def canvas_geometry(size, scale):
    """(tile size, picture size, tile grid) of a frame of size shown at scale:
    runs are drawn at (first * ts, row * ts); the picture is the frame's
    part of the tile grid's canvas."""
    width, height = size
    ts = tile_size(scale)
    return ts, ((width * ts + 15) // 16, (height * ts + 15) // 16), ((width + 15) // 16, (height + 15) // 16)


def sink(vidframe, piece, stats):
    """One chunk through videoSink, timed and counted into stats."""
    t0 = time.perf_counter()
    stats["incomplete"] += vidframe.videoSink(piece)
    stats["decode_s"] += time.perf_counter() - t0
    stats["chunks"] += 1
    stats["bytes"] += len(piece)


def display_loop(vidframe, grid, scale, draw):
    """getChanges for every tile row, toRGBString for every run, and
    draw(first, row, width, height, pixels) of its 4-byte pixels. Returns
    the tiles drawn."""
    tiles_w, tiles_h = grid
    tiles = 0
    for row in range(tiles_h):
        for first, count in vidframe.getChanges(row, tiles_w):
            tiles += count
            pixels, (bw, bh) = vidframe.toRGBString(first, row, count, 1, scale)
            draw(first, row, bw, bh, pixels)
    return tiles


def new_stats():
    return dict(tiles=0, padding=0, bogus=0, incomplete=0, chunks=0, bytes=0, decode_s=0.0)


def take_stats(vidframe, stats):
    padding, bogus = vidframe.getStats()
    stats["padding"] += padding
    stats["bogus"] += bogus


def replay(data, size, scale=1.0, chunk=16384, bar=None):
    """Decodes data into a frame of size through videoSink, chunk bytes at a
    time, and runs the display loop after every chunk. Returns (RGB bytes of
    the picture, its size, statistics)."""
    (vidframe,) = load_modules("vidframe")
    ts, (out_w, out_h), grid = canvas_geometry(size, scale)
    canvas_w = grid[0] * ts
    canvas = bytearray(canvas_w * grid[1] * ts * 4)

    def draw(first, row, bw, bh, pixels):
        for y in range(bh):
            at = ((row * ts + y) * canvas_w + first * ts) * 4
            canvas[at:at + bw * 4] = pixels[y * bw * 4:(y + 1) * bw * 4]

    vidframe.createBuffer(*size)
    vidframe.getStats()
    stats = new_stats()
    view = memoryview(data)
    for start in range(0, len(data), chunk):
        piece = view[start:start + chunk]
        sink(vidframe, piece, stats)
        stats["tiles"] += display_loop(vidframe, grid, scale, draw)
        if bar is not None:
            bar.update(len(piece))
    take_stats(vidframe, stats)
    # Rows of 4-byte pixels cut to the picture, the fourth byte dropped.
    rgb = bytearray()
    for y in range(out_h):
        row = canvas[y * canvas_w * 4:(y * canvas_w + out_w) * 4]
        del row[3::4]
        rgb += row
    return bytes(rgb), (out_w, out_h), stats


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
    col, row, whole = scan_tiles(data)
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


def decode_rate(stats):
    """MB/s of videoSink alone."""
    return stats["bytes"] / stats["decode_s"] / 1e6 if stats["decode_s"] > 0 else float("inf")


def cmd_replay(args):
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


# ---- record -------------------------------------------------------------------

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


def usb_ioctl(fd, request, value):
    fcntl.ioctl(fd, request, struct.pack("I", value))


def open_device(path, interface, consts):
    try:
        fd = os.open(path, os.O_RDWR)
    except FileNotFoundError:
        raise Failure("%s: no such device node" % path)
    except PermissionError:
        raise Failure("%s: permission denied (run as root or add a udev rule)" % path)
    except IsADirectoryError:
        raise Failure("%s: is a directory, not a usbdevfs node" % path)
    except OSError as e:
        raise Failure("%s: cannot open (%s)" % (path, e.strerror))
    try:
        usb_ioctl(fd, consts.USBDEVFS_CLAIMINTERFACE, interface)
    except OSError as e:
        os.close(fd)
        if e.errno in (errno.ENOTTY, errno.EINVAL, errno.ENOSYS):
            raise Failure("%s: not a usbdevfs node (%s)" % (path, e.strerror))
        if e.errno == errno.EBUSY:
            raise Failure("%s: interface %d is in use by another driver or program" % (path, interface))
        raise Failure("%s: cannot claim interface %d (%s)" % (path, interface, e.strerror))
    return fd


class Reads(object):
    """Reads of a device's bulk-IN endpoint on a thread of their own: each
    completed read goes to consume(view) there (the view is valid only
    during the call) until stop is set or the device fails."""

    def __init__(self, fd, endpoint, consume, stop=None):
        (bulkvideo,) = load_modules("bulkvideo")
        try:
            self.handle = bulkvideo.attach(fd, endpoint)
        except IOError as e:
            if e.errno in (errno.ENOENT, errno.EINVAL, errno.EPIPE):
                raise Failure("no bulk-IN endpoint 0x%02x on this device (%s)" % (endpoint, e.strerror))
            raise Failure("cannot start reading endpoint 0x%02x (%s)" % (endpoint, e.strerror or e))
        self.bulkvideo = bulkvideo
        self.stop = stop or threading.Event()
        self.error = None
        self.done = False
        self.thread = threading.Thread(target=self.run, args=(consume,), name="vidtool-reads")
        self.thread.daemon = True
        self.thread.start()

    def run(self, consume):
        try:
            while not self.stop.is_set():
                view = self.bulkvideo.readVideo(self.handle)
                if self.stop.is_set():
                    break
                consume(view)
        except (IOError, EOFError) as e:
            if not self.stop.is_set():
                self.error = e
        finally:
            self.done = True

    def finish(self):
        """Stops: a blocked read ends with the detach."""
        self.stop.set()
        self.bulkvideo.detach(self.handle)
        self.thread.join(10)
        self.handle = None


class Interrupt(object):
    """Notes the given signals in a flag that the main loop polls. The
    handler takes no lock: one that raised or set an Event could strike
    while this thread holds the lock it needs."""

    def __init__(self, *signals):
        self.seen = False
        for sig in signals:
            signal.signal(sig, self.note)

    def note(self, *_):
        self.seen = True


def record(fd, endpoint, out, seconds=None, bar=None, stop=None, interrupt=None):
    """Writes what endpoint delivers to the open file out until seconds pass,
    stop is set, the interrupt is seen (or SIGINT raises) or the device
    fails. A reader thread does the
    reads and writes; this thread waits, and ends a blocked read by
    detaching. Returns (bytes written, why it stopped, error or None)."""
    written = [0]

    def write(view):
        # An unbuffered write may take part of the view (a disk filling
        # up); the rest goes again, and the next write then fails with
        # ENOSPC.
        view = memoryview(view)
        while len(view):
            n = out.write(view)
            written[0] += n
            view = view[n:]

    reads = Reads(fd, endpoint, write, stop)
    deadline = None if seconds is None else time.monotonic() + seconds
    why = "device"
    shown = 0
    try:
        while not reads.done:
            if interrupt is not None and interrupt.seen:
                why = "interrupted"
                break
            if deadline is not None and time.monotonic() >= deadline:
                why = "seconds"
                break
            wait = 0.2 if deadline is None else max(0.0, min(0.2, deadline - time.monotonic()))
            if reads.stop.wait(wait):
                why = "stopped"
                break
            if bar is not None:
                bar.update(written[0] - shown)
                shown = written[0]
    except KeyboardInterrupt:
        why = "interrupted"
    reads.finish()
    if bar is not None:
        bar.update(written[0] - shown)
    return written[0], why, reads.error


@contextlib.contextmanager
def claimed_device(path, interface):
    """The open usbdevfs node with the interface claimed; released and
    closed on the way out (the device may be gone by then)."""
    (consts,) = load_modules("usbconsts")
    fd = open_device(path, interface, consts)
    try:
        yield fd
    finally:
        try:
            usb_ioctl(fd, consts.USBDEVFS_RELEASEINTERFACE, interface)
        except OSError:
            pass
        os.close(fd)


def read_error(error, kept):
    """The one line for a read that stopped on error; kept says where what
    was read went."""
    if isinstance(error, EOFError):
        return "the device stopped delivering; %s" % kept
    return "stopped on an error (%s); %s" % (getattr(error, "strerror", None) or error, kept)


def cmd_record(args):
    with claimed_device(args.device, args.interface) as fd:
        try:
            out = open(args.out, "wb", buffering=0)
        except OSError as e:
            raise Failure("%s: cannot write (%s)" % (args.out, e.strerror or e))
        started = time.monotonic()
        with out, progress(unit="B", unit_scale=True, desc="record") as bar:
            total, why, error = record(fd, args.endpoint, out, args.seconds, bar,
                                       interrupt=Interrupt(signal.SIGINT))
        elapsed = max(time.monotonic() - started, 1e-9)
    print("recorded      %d bytes in %.1f s (%.2f MB/s) to %s" % (total, elapsed, total / elapsed / 1e6, args.out))
    if error is not None:
        if getattr(error, "errno", None) == errno.ENOSPC:
            raise Failure("%s: disk full; the %d bytes written before are kept" % (args.out, total))
        raise Failure(read_error(error, "%d bytes kept in %s" % (total, args.out)))
    print("stopped       %s" % {"seconds": "after %s s" % args.seconds, "interrupted": "by Ctrl-C",
                                "stopped": "on request", "device": "by the device"}[why])
    return 0


# ---- view ---------------------------------------------------------------------

class FileChunks(object):
    """A stream file's chunks, at rate MB/s (None: as fast as they are
    taken). take() gives the next chunk that is due, or None."""

    def __init__(self, data, chunk, rate):
        self.view, self.chunk, self.rate = memoryview(data), chunk, rate
        self.pos = 0
        self.started = None
        self.error = None

    def take(self):
        if self.pos >= len(self.view):
            return None
        now = time.monotonic()
        if self.started is None:
            self.started = now
        if self.rate is not None and self.pos > 0 and self.pos > (now - self.started) * self.rate * 1e6:
            return None
        piece = self.view[self.pos:self.pos + self.chunk]
        self.pos += len(piece)
        return piece

    def wait(self):
        """Seconds until the next chunk is due."""
        if self.rate is None or self.started is None:
            return 0.0
        return max(0.0, self.started + self.pos / (self.rate * 1e6) - time.monotonic())

    def ended(self):
        return self.pos >= len(self.view)


class DeviceChunks(object):
    """The completed reads of a device, copied off the reader thread into a
    short queue; a full queue holds the reads back."""

    def __init__(self, fd, endpoint, stop):
        self.queue = queue.Queue(maxsize=64)
        self.stop = stop
        self.reads = Reads(fd, endpoint, self.put, stop)

    def put(self, view):
        piece = bytes(view)
        while not self.stop.is_set():
            try:
                self.queue.put(piece, timeout=0.2)
                return
            except queue.Full:
                pass

    def take(self):
        try:
            return self.queue.get_nowait()
        except queue.Empty:
            return None

    def wait(self):
        return 0.005

    def ended(self):
        return self.reads.done and self.queue.empty()

    @property
    def error(self):
        return self.reads.error


def open_window(title):
    """A Tk root window, or a Failure saying why there can be none."""
    try:
        import tkinter
        import tkinter.font
    except ImportError:
        raise Failure("Tk is missing: apt-get install python3-tk")
    try:
        root = tkinter.Tk()
    except tkinter.TclError as e:
        raise Failure("cannot open a window (%s)" % e)
    root.title(title)
    return tkinter, root


class Viewer(object):
    """The display loop in a window: after each chunk, every run of changed
    tiles is put into the photo image where the application draws it; Tk
    shows the result between slices of work."""

    SLICE = 0.03      # seconds of decoding before Tk gets to redraw
    STATUS = 0.25     # seconds between status updates

    def __init__(self, tkinter, root, vidframe, size, scale, source, stop, interrupt):
        self.tk, self.root, self.vidframe = root.tk, root, vidframe
        self.size, self.scale, self.source, self.stop = size, scale, source, stop
        self.interrupt = interrupt
        self.ts, self.picture, self.grid = canvas_geometry(size, scale)
        self.photo = tkinter.PhotoImage(master=root, width=self.grid[0] * self.ts,
                                        height=self.grid[1] * self.ts)
        self.canvas = tkinter.Canvas(root, width=self.picture[0], height=self.picture[1], bd=0,
                                     highlightthickness=0, background="black")
        self.canvas.create_image(0, 0, image=self.photo, anchor="nw")
        self.canvas.pack(side="top", anchor="nw")
        # The status line keeps one size, so the picture never moves.
        width = max(self.picture[0], 480)
        lines = tkinter.font.nametofont("TkDefaultFont").metrics("linespace")
        box = tkinter.Frame(root, width=width, height=4 * lines + 4)
        box.pack_propagate(False)
        box.pack(side="top", fill="x")
        self.status = tkinter.Label(box, anchor="nw", justify="left", wraplength=width - 4)
        self.status.pack(fill="both", expand=True)
        self.title = root.title()
        root.protocol("WM_DELETE_WINDOW", stop.set)
        self.stats = new_stats()
        self.busy_s = 0.0          # videoSink, the display loop and the drawing
        self.shows = []            # when slices that drew anything ended, for fps
        self.shown_at = None       # the status line's last update
        self.ended = False
        self.announced = False     # the end's statistics and geometry printed
        # A device's stream has no end: where the picture is goes out as
        # soon as the window is up.
        self.live = not isinstance(source, FileChunks)
        self.placed = False

    def draw(self, first, row, width, height, pixels):
        rgb = bytearray(pixels)
        del rgb[3::4]
        self.tk.call(self.photo, "put", b"P6 %d %d 255\n" % (width, height) + rgb,
                     "-format", "ppm", "-to", first * self.ts, row * self.ts)

    def run(self):
        self.root.after_idle(self.pump)
        self.root.mainloop()

    def pump(self):
        if self.interrupt.seen or self.stop.is_set():
            self.stop.set()
            self.root.quit()
            return
        started = time.monotonic()
        drew = 0
        while time.monotonic() - started < self.SLICE:
            piece = self.source.take()
            if piece is None:
                break
            t0 = time.perf_counter()
            sink(self.vidframe, piece, self.stats)
            drew += display_loop(self.vidframe, self.grid, self.scale, self.draw)
            self.busy_s += time.perf_counter() - t0
        now = time.monotonic()
        take_stats(self.vidframe, self.stats)
        self.stats["tiles"] += drew
        if drew:
            self.shows.append(now)
        self.shows = [t for t in self.shows if t > now - 1.0]
        if self.source.ended() and not self.ended:
            self.ended = True
            self.show_status(now)
        elif self.shown_at is None or now - self.shown_at >= self.STATUS:
            self.show_status(now)
        if self.live and not self.placed and self.canvas.winfo_viewable():
            self.placed = True
            self.root.update_idletasks()
            self.where()
        if self.ended and not self.announced and self.canvas.winfo_viewable():
            # Once the window is up (a fast stream may end before that).
            self.announced = True
            self.root.update_idletasks()
            self.at_end()
        delay = 100 if self.ended else 1 if drew else int(min(0.05, self.source.wait()) * 1000) + 1
        self.root.after(delay, self.pump)

    def show_status(self, now):
        self.shown_at = now
        s = self.stats
        fps = len(self.shows)
        loop = s["bytes"] / self.busy_s / 1e6 if self.busy_s > 0 else 0.0
        if not self.ended:
            state = "playing" if isinstance(self.source, FileChunks) else "reading the device"
        elif self.source.error is None:
            state = "end of stream"
        else:
            state = read_error(self.source.error, "the last picture stays")
        self.status.configure(text="%s\n%d fps, decode %.1f MB/s, loop %.1f MB/s\n"
                              "%.2f MB in %d chunks, %d tiles\n"
                              "padding %d markers, out of range %d, incomplete %d"
                              % (state, fps, decode_rate(s) if s["decode_s"] else 0.0, loop,
                                 s["bytes"] / 1e6, s["chunks"], s["tiles"], s["padding"], s["bogus"],
                                 s["incomplete"]))
        self.root.title("%s - %d fps" % (self.title, fps))

    def summary(self):
        s = self.stats
        loop = s["bytes"] / self.busy_s / 1e6 if self.busy_s > 0 else float("inf")
        print("frame         %dx%d, picture %dx%d at scale %g" % (self.size + self.picture + (self.scale,)))
        print("stream        %d bytes in %d chunks" % (s["bytes"], s["chunks"]))
        print("tiles decoded %d" % s["tiles"])
        print("padding       %d markers" % s["padding"])
        print("out of range  %d tile messages" % s["bogus"])
        print("incomplete    %d chunks" % s["incomplete"])
        print("decode        %.1f MB/s (videoSink alone), %.1f MB/s with the loop and drawing"
              % (decode_rate(s), loop))

    def at_end(self):
        """At the end of the stream: the statistics, and where the picture
        is on the screen (for a screenshot)."""
        self.summary()
        self.where()

    def where(self):
        root = self.root
        print("shown         picture %dx%d at +%d+%d in a window %dx%d at +%d+%d of display %s"
              % (self.picture + (self.canvas.winfo_rootx(), self.canvas.winfo_rooty(),
                                 root.winfo_width(), root.winfo_height(), root.winfo_rootx(),
                                 root.winfo_rooty(), root.winfo_screen())))
        sys.stdout.flush()


def show(title, vidframe, size, scale, source, stop, interrupt):
    """Runs the window until stop is set (closing it) or the interrupt is
    seen (Ctrl-C, SIGTERM); returns the viewer for its statistics."""
    tkinter, root = open_window(title)
    try:
        vidframe.createBuffer(*size)
        vidframe.getStats()
        viewer = Viewer(tkinter, root, vidframe, size, scale, source, stop, interrupt)
        viewer.run()
    finally:
        try:
            root.destroy()
        except tkinter.TclError:
            pass   # the display went away
    return viewer


def cmd_view(args):
    if (args.stream is None) == (args.device is None):
        raise Failure("view needs a STREAM file or --device NODE (one of them)")
    if args.device is not None and args.size is None:
        raise Failure("%s: a device's stream does not say its frame size: give --size WxH" % args.device)
    if args.device is not None and args.rate is not None:
        raise Failure("--rate paces a stream file; a device delivers at its own rate")
    (vidframe,) = load_modules("vidframe")
    stop = threading.Event()
    # Ctrl-C (and a polite kill) end the window at its next slice of work.
    interrupt = Interrupt(signal.SIGINT, signal.SIGTERM)
    if args.stream is not None:
        data, size = stream_frame(args.stream, args.size)
        source = FileChunks(data, args.chunk, args.rate)
        viewer = show("vidtool view: %s" % os.path.basename(args.stream), vidframe, size,
                      args.scale, source, stop, interrupt)
    else:
        with claimed_device(args.device, args.interface) as fd:
            source = DeviceChunks(fd, args.endpoint, stop)
            try:
                viewer = show("vidtool view: %s" % args.device, vidframe, args.size, args.scale,
                              source, stop, interrupt)
            finally:
                source.reads.finish()
    if not viewer.ended:
        viewer.summary()
    print("closed        %s" % ("at the end of the stream" if viewer.ended else "before the end"))
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
                       "writes the raw stream. Ctrl-C or --seconds stops; what was read is kept.")
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
                       "the last picture stays; Ctrl-C or closing the window ends it.")
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
    args = parser().parse_args(argv)
    try:
        return args.run(args)
    except Failure as e:
        sys.stderr.write("vidtool: %s\n" % e)
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("vidtool: interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(main())
