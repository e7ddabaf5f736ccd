"""The adapter's video stream: tile messages, padding markers, chunks laid
out in 512-byte blocks as the adapter sends them, a picture encoded as such
a stream, and what a stream addresses. The project's one encoder: vidtool
encodes with it and the tests build their streams with it
(tests/python/streamgen.py). Python 2.7 and 3; every result is a byte
string."""
import struct

BLOCK = 512
CHUNK = 16384                  # one bulk transfer: the default chunk
PADDING = b"\xff\xff\xff\xff"  # a marker; the decoder skips to the next block
FILL = b"\xff"                 # what follows a marker up to the block's end
SOLID_SIZE = 4
IMAGE_SIZE = 516               # header and 256 words
SOLID = 0x4000                 # the position word's flag of a solid tile
MAX_WIDTH, MAX_HEIGHT = 1920, 1600   # the largest frame store


def word565(r, g, b):
    """The 5-6-5 word of an RGB pixel: each component's low bits dropped."""
    return (r >> 3) << 11 | (g >> 2) << 5 | (b >> 3)


def picture_words(rgb):
    """5-6-5 words of a picture's RGB bytes (3 per pixel), in pixel order."""
    rgb = bytearray(rgb)
    return list(map(word565, rgb[0::3], rgb[1::3], rgb[2::3]))


def position_word(column, row, solid):
    return (SOLID if solid else 0) | (row & 0x7F) << 7 | (column & 0x7F)


def solid(column, row, colour):
    """A solid tile message: the whole tile in one 5-6-5 colour."""
    return struct.pack("<HH", colour & 0xFFFF, position_word(column, row, True))


def image(column, row, words, colour_word=0):
    """An image tile message; words are the tile's 256 5-6-5 values, row by
    row (the header's colour word is unused: 0 unless given)."""
    assert len(words) == 256
    return struct.pack("<HH", colour_word, position_word(column, row, False)) + struct.pack("<256H", *words)


def tile_message(column, row, words):
    """Solid when the tile is uniform, image otherwise, as the adapter does."""
    if all(w == words[0] for w in words):
        return solid(column, row, words[0])
    return image(column, row, words)


def close_chunk(cur):
    """Pads a chunk (a bytearray) to its block boundary: a marker, then fill
    bytes that the decoder skips. One that ends on a boundary needs none."""
    if len(cur) % BLOCK:
        cur += PADDING
        cur += FILL * (-len(cur) % BLOCK)


def chunked(messages, chunk=CHUNK):
    """Chunks as the adapter sends them, none longer than chunk (a multiple
    of 512): whole messages; where the next one does not fit, a padding
    marker closes the chunk on a block boundary, and a chunk filled exactly
    needs none. The last chunk is closed the same way, so every chunk is
    whole blocks and streams can follow one another. A message longer than
    a whole chunk (an image message in 512-byte chunks) runs on into the
    next, which the decoder carries over."""
    assert chunk > 0 and chunk % BLOCK == 0, chunk
    chunks, cur = [], bytearray()
    for msg in messages:
        if cur and len(cur) + len(msg) > chunk:
            close_chunk(cur)
            chunks.append(bytes(cur))
            cur = bytearray()
        cur += msg
        while len(cur) >= chunk:
            chunks.append(bytes(cur[:chunk]))
            del cur[:chunk]
    if cur:
        close_chunk(cur)
        chunks.append(bytes(cur))
    return chunks


def scan_tiles(data):
    """(highest column, highest row, whether the last message ends with the
    data) of what the stream addresses, walking it as the decoder does with
    512-byte blocks from the stream's start; column and row are -1 when it
    addresses no tile."""
    pos, end = 0, len(data)
    top_col = top_row = -1
    while pos + 4 <= end:
        w0, w1 = struct.unpack_from("<HH", data, pos)
        if w0 == 0xFFFF and w1 == 0xFFFF:
            pos += BLOCK - pos % BLOCK
            continue
        if w1 & SOLID or pos + IMAGE_SIZE <= end:
            top_col = max(top_col, w1 & 0x7F)
            top_row = max(top_row, (w1 >> 7) & 0x7F)
        pos += SOLID_SIZE if w1 & SOLID else IMAGE_SIZE
    return top_col, top_row, pos == end


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


def encode(picture, old=None, chunk=CHUNK):
    """(chunks, tiles sent, solid tiles) for picture (width, height, words);
    with old, only the tiles whose words differ from it."""
    width, height, words = picture
    messages, solids = [], 0
    for row in range((height + 15) // 16):
        for column in range((width + 15) // 16):
            tile = tile_words(words, width, height, column, row)
            if old is not None and tile == tile_words(old[2], width, height, column, row):
                continue
            msg = tile_message(column, row, tile)
            solids += len(msg) == SOLID_SIZE
            messages.append(msg)
    return chunked(messages, chunk), len(messages), solids
