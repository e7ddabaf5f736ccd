"""Slow, plain-Python statement of the shrinking rule and of the RGB readout,
the twin the module's results are compared with. Pixels are 4 bytes, each
byte a channel of its own; blocks are byte strings of packed rows.

Runs under Python 2.7 and 3."""
import math
import struct

TILE = 16


def mulhi(a, b):
    return ((a & 0xFFFF) * (b & 0xFFFF)) >> 16


def sat8(v):
    """A 16-bit value read as signed, clamped to a byte."""
    v &= 0xFFFF
    if v >= 0x8000:
        return 0
    return min(v, 255)


def _step_norm(src_size, dst_size):
    return src_size * 65536 // dst_size, (dst_size * 65536 // src_size) & 0xFFFF


def _shrink_line(values, dst_size, step, norm):
    """One channel along one row (or column), by the rule."""
    out = []
    accum = 0
    remaining = step
    for p in values:
        if remaining < 65536:
            out.append(sat8(mulhi((mulhi(remaining, p) + accum) & 0xFFFF, norm)))
            carry = 65536 - remaining
            accum = mulhi(carry, p)
            remaining = step - carry
        else:
            accum = (accum + p) & 0xFFFF
            remaining -= 65536
            if remaining == 0:
                out.append(sat8(mulhi(accum, norm)))
                accum = 0
                remaining = step
    assert len(out) == dst_size
    return out


def shrink_x(block, src_width, height, dst_width):
    """height rows of src_width pixels -> rows of dst_width pixels."""
    data = bytearray(block)
    step, norm = _step_norm(src_width, dst_width)
    out = bytearray(dst_width * height * 4)
    for r in range(height):
        for c in range(4):
            start = r * src_width * 4 + c
            line = data[start:start + src_width * 4:4]
            o = r * dst_width * 4 + c
            out[o:o + dst_width * 4:4] = bytearray(_shrink_line(line, dst_width, step, norm))
    return bytes(out)


def shrink_y(block, width, src_height, dst_height):
    """src_height rows of width pixels -> dst_height rows."""
    data = bytearray(block)
    step, norm = _step_norm(src_height, dst_height)
    out = bytearray(width * dst_height * 4)
    for i in range(width * 4):
        column = data[i::width * 4]
        out[i::width * 4] = bytearray(_shrink_line(column, dst_height, step, norm))
    return bytes(out)


def tile_size(scale):
    """Pixels per tile side for a scale, in single precision like the module."""
    scale = struct.unpack('f', struct.pack('f', scale))[0]
    if scale > 1.0:
        scale = 1.0
    return int(scale * 16.0)


def readout(frame, frame_width, frame_height, x, y, w=1, h=1, scale=1.0):
    """What toRGBString returns for the frame's bytes, or the message of the
    ValueError it raises."""
    tiles_w = (frame_width + 15) // 16
    tiles_h = (frame_height + 15) // 16
    if x < 0 or x >= tiles_w or y < 0 or y >= tiles_h:
        return 'top-left x,y out of range'
    if w < 1 or w > tiles_w:
        return 'width out of range'
    if h < 1 or h > tiles_h:
        return 'height out of range'
    if math.isnan(scale) or struct.unpack('f', struct.pack('f', scale))[0] < 0.0625:
        return 'scale must be a number from 0.0625 up'
    w = min(w, tiles_w - x)
    h = min(h, tiles_h - y)
    ts = tile_size(scale)
    src_w, src_h = w * TILE, h * TILE
    # The block, with whatever lies outside the frame as zero bytes.
    rows = []
    for r in range(src_h):
        fy = y * TILE + r
        row = b''
        if fy < frame_height:
            start = (fy * frame_width + x * TILE) * 4
            row = frame[start:start + (min(frame_width, x * TILE + src_w) - x * TILE) * 4]
        rows.append(row + b'\x00' * (src_w * 4 - len(row)))
    block = b''.join(rows)
    if ts == TILE:
        return block, (src_w, src_h)
    mid = shrink_x(block, src_w, src_h, w * ts)
    return shrink_y(mid, w * ts, src_h, h * ts), (w * ts, h * ts)
