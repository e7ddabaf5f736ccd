"""Streams for the tests. The messages and the chunking are vidtool's
stream format (tools/vidtool/stream.py), the project's one encoder; this
adds what only tests need: the decoder's pixels, random and mixed streams,
pictures, cuts, and a device's writes.

Runs under Python 2.7 and 3; every result is a byte string."""
import os
import random
import struct
import sys

_TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'tools')
if _TOOLS not in sys.path:
    sys.path.insert(0, _TOOLS)
from vidtool import stream  # noqa: E402
from vidtool.stream import BLOCK, CHUNK, IMAGE_SIZE, PADDING  # noqa: E402,F401
from vidtool.stream import image, position_word, solid, tile_message  # noqa: E402,F401

rgb565 = stream.word565


def expand(word):
    """The frame pixel the decoder stores for a 5-6-5 word, as 4 bytes."""
    return struct.pack('BBBB', (word >> 8) & 0xF8, (word >> 3) & 0xFC, (word << 3) & 0xF8, 0xFF)


def random_words(rng):
    return [rng.randrange(0x10000) for _ in range(256)]


def picture_messages(words_at, tiles_w, tiles_h):
    """Messages for a whole picture; words_at(x, y) gives a pixel's 5-6-5 word."""
    msgs = []
    for ty in range(tiles_h):
        for tx in range(tiles_w):
            words = [words_at(tx * 16 + x, ty * 16 + y) for y in range(16) for x in range(16)]
            msgs.append(tile_message(tx, ty, words))
    return msgs


def adapter_chunks(messages, chunk_size=CHUNK):
    """Chunks as the adapter sends them (vidtool's encoder): whole messages,
    each chunk closed by a padding marker on its block boundary unless it
    is exactly full; no chunk longer than chunk_size."""
    return stream.chunked(messages, chunk_size)


def flat_chunks(messages, chunk_size=CHUNK):
    """The messages back to back, cut every chunk_size bytes wherever that
    falls: image messages cut after their header are carried over."""
    data = b''.join(messages)
    return [data[i:i + chunk_size] for i in range(0, len(data), chunk_size)]


def mixed_stream(tiles_w, tiles_h, count, seed=1, bogus=True, padding=True):
    """A random stream of solid, image, padding and out-of-range messages,
    laid out so every header lies inside one 512-byte block."""
    rng = random.Random(seed)
    out = bytearray()
    for _ in range(count):
        kind = rng.random()
        col, row = rng.randrange(tiles_w), rng.randrange(tiles_h)
        if bogus and kind < 0.05:
            col = tiles_w + rng.randrange(128 - tiles_w) if tiles_w < 128 else col
            msg = solid(col, row, rng.randrange(0x10000)) if rng.random() < 0.5 else \
                image(col, row, random_words(rng))
        elif padding and kind < 0.12:
            out += PADDING
            out += b'\xff' * (-len(out) % BLOCK)
            continue
        elif kind < 0.6:
            msg = solid(col, row, rng.randrange(0x10000))
        else:
            msg = image(col, row, random_words(rng))
        out += msg
    return bytes(out)


def split_at_blocks(data, rng, pieces):
    """data cut at up to `pieces` random 512-byte block boundaries."""
    bounds = sorted(set(rng.randrange(0, len(data) // BLOCK + 1) * BLOCK
                        for _ in range(pieces)))
    cuts = [0] + [b for b in bounds if 0 < b < len(data)] + [len(data)]
    return [data[a:b] for a, b in zip(cuts, cuts[1:])]


def sample_picture(width, height, seed=0):
    """A picture as rows of 5-6-5 words: uniform tiles (sent as solid
    messages) mixed with detailed ones, the colour extremes among them.
    The same under 2.7 and 3 (random's methods differ between them)."""
    state = [(seed * 2654435761 + 12345) & 0xFFFFFFFF]

    def next_word():
        state[0] = (state[0] * 1103515245 + 12345) & 0xFFFFFFFF
        return state[0] >> 16

    extremes = [0x0000, 0xFFFF, 0xF800, 0x07E0, 0x001F, 0x8410]
    rows = [[0] * width for _ in range(height)]
    for ty in range((height + 15) // 16):
        for tx in range((width + 15) // 16):
            kind = next_word() % 4
            base = extremes[next_word() % len(extremes)] if kind == 0 else next_word()
            for y in range(ty * 16, min(height, ty * 16 + 16)):
                row = rows[y]
                for x in range(tx * 16, min(width, tx * 16 + 16)):
                    if kind <= 1:
                        row[x] = base
                    elif kind == 2:
                        row[x] = (base + x * 37 + y * 101) & 0xFFFF
                    else:
                        row[x] = next_word()
    return rows


def expected_frame(rows):
    """The frame store bytes (4 per pixel, row-major) the picture decodes to."""
    cache = {}
    out = []
    for row in rows:
        for w in row:
            px = cache.get(w)
            if px is None:
                px = cache[w] = expand(w)
            out.append(px)
    return b''.join(out)


def usb_writes(chunks, max_packet=BLOCK, transfer=CHUNK):
    """The device's writes for chunks sent as separate bulk transfers: a
    chunk shorter than the host's transfer that ends on a whole packet needs
    a zero-length packet after it, or the host keeps filling the transfer."""
    writes = []
    for chunk in chunks:
        writes.append(chunk)
        if chunk and len(chunk) < transfer and len(chunk) % max_packet == 0:
            writes.append(b'')
    return writes


def write_records(path, writes):
    """Writes as records of a little-endian 32-bit length and the bytes."""
    with open(path, 'wb') as f:
        for w in writes:
            f.write(struct.pack('<I', len(w)))
            f.write(w)
