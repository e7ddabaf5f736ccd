"""The display loop the application runs, and a canvas for its picture.

    for each chunk: videoSink(chunk)
        for each tile row: getChanges(row, tiles)
            for each run: toRGBString(first, row, count, 1, scale), drawn
            at (first, row) times the tile size

vidtool's replay and view, the sample test and the display-loop benchmark
all run this one loop. It takes the vidframe module as an argument, so each
caller brings the build it tests. Python 2.7 and 3."""
import struct
import time

from .stream import CHUNK

timer = getattr(time, "perf_counter", time.time)


def tile_size(scale):
    """Pixels per tile side at scale, as the readout computes it: scale
    times 16 in single precision, truncated (so 0.99999999 gives 16)."""
    return int(struct.unpack("f", struct.pack("f", min(scale, 1.0)))[0] * 16)


def geometry(size, scale):
    """(tile size, picture size, tile grid) of a frame of size shown at
    scale: runs are drawn at (first * ts, row * ts) of the tile grid's
    canvas, and the picture is the frame's part of that canvas."""
    width, height = size
    ts = tile_size(scale)
    return ts, ((width * ts + 15) // 16, (height * ts + 15) // 16), ((width + 15) // 16, (height + 15) // 16)


class Canvas(object):
    """The tile grid's canvas as 4-byte pixels, drawn run by run."""

    def __init__(self, size, scale):
        self.ts, self.picture, self.grid = geometry(size, scale)
        self.width = self.grid[0] * self.ts
        self.pixels = bytearray(self.width * self.grid[1] * self.ts * 4)

    def draw(self, first, row, width, height, pixels):
        line = width * 4
        at = (row * self.ts * self.width + first * self.ts) * 4
        for y in range(height):
            self.pixels[at:at + line] = pixels[y * line:(y + 1) * line]
            at += self.width * 4

    def rgb(self):
        """The picture's RGB bytes: the canvas cut to the frame, each
        pixel's fourth byte dropped."""
        out_w, out_h = self.picture
        rgb = bytearray()
        for y in range(out_h):
            row = self.pixels[y * self.width * 4:(y * self.width + out_w) * 4]
            del row[3::4]
            rgb += row
        return bytes(rgb)


def display_loop(vidframe, grid, scale, draw=None):
    """getChanges for every tile row of grid, toRGBString for every run and
    draw(first, row, width, height, pixels) of its 4-byte pixels (none
    without draw). Returns the tiles read out."""
    tiles_w, tiles_h = grid
    changes, read = vidframe.getChanges, vidframe.toRGBString
    tiles = 0
    for row in range(tiles_h):
        for first, count in changes(row, tiles_w):
            tiles += count
            pixels, (bw, bh) = read(first, row, count, 1, scale)
            if draw is not None:
                draw(first, row, bw, bh, pixels)
    return tiles


def new_frame(vidframe, size):
    """A fresh frame store of size, the decoder's statistics cleared."""
    vidframe.createBuffer(*size)
    vidframe.getStats()


def new_stats():
    return dict(tiles=0, padding=0, bogus=0, incomplete=0, chunks=0, bytes=0, decode_s=0.0)


def sink(vidframe, piece, stats):
    """One chunk through videoSink, timed and counted into stats."""
    t0 = timer()
    stats["incomplete"] += vidframe.videoSink(piece)
    stats["decode_s"] += timer() - t0
    stats["chunks"] += 1
    stats["bytes"] += len(piece)


def take_stats(vidframe, stats):
    """The decoder's counters (padding markers, out-of-range tiles) added
    to stats, and cleared."""
    padding, bogus = vidframe.getStats()
    stats["padding"] += padding
    stats["bogus"] += bogus


def decode_rate(stats):
    """MB/s of videoSink alone."""
    return stats["bytes"] / stats["decode_s"] / 1e6 if stats["decode_s"] > 0 else float("inf")


def replay(vidframe, data, size, scale=1.0, chunk=CHUNK, bar=None):
    """Decodes data into a new frame of size, chunk bytes at a time, and
    runs the display loop onto a canvas after every chunk. Returns (RGB
    bytes of the picture, its size, statistics); bar (a progress bar) is
    told the bytes done."""
    new_frame(vidframe, size)
    canvas = Canvas(size, scale)
    stats = new_stats()
    for start in range(0, len(data), chunk):
        piece = data[start:start + chunk]
        sink(vidframe, piece, stats)
        stats["tiles"] += display_loop(vidframe, canvas.grid, scale, canvas.draw)
        if bar is not None:
            bar.update(len(piece))
    take_stats(vidframe, stats)
    return canvas.rgb(), canvas.picture, stats
