#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from
the project's stream encoder (tests/python/streamgen.py). The layouts of the
inputs are described at the top of each fuzz/<target>.cpp.

    /usr/bin/python3 tools/gen_corpus.py [--out fuzz/corpus]

Deterministic: the same files every run, a few kilobytes each."""
import argparse
import os
import random
import struct
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, 'tests', 'python'))
import streamgen as sg  # noqa: E402


def u8(v):
    return struct.pack('<B', v & 0xFF)


def u16(v):
    return struct.pack('<H', v & 0xFFFF)


# ---- fuzz_videosink ---------------------------------------------------------

def videosink_input(width, height, stream, block_cuts=(), free_cuts=(), path=1):
    large = width > 160 or height > 160
    out = u8(1 if large else 0) + u16(width) + u16(height) + u8(path)
    out += u8(len(block_cuts)) + b''.join(u16(c) for c in block_cuts)
    out += u8(len(free_cuts)) + b''.join(u16(at) + u8(flags) for at, flags in free_cuts)
    return out + stream


def videosink_seeds():
    rng = random.Random(7)
    seeds = {}
    # A small frame, every kind of message, cut at several blocks.
    stream = sg.mixed_stream(2, 2, 12, seed=1)
    seeds['mixed_2x2'] = videosink_input(32, 32, stream, (1, 2, 3), ((100, 0), (515, 0x13)))
    # Edge tiles clipped: sizes that are no multiple of 16.
    stream = sg.mixed_stream(3, 2, 10, seed=2)
    seeds['edge_40x20'] = videosink_input(40, 20, stream, (1, 4), ((7, 0x21), (600, 0x05)))
    # The adapter's chunking: padding to the block end before each short chunk.
    msgs = [sg.solid(x, y, sg.rgb565(x * 40, y * 40, 90)) for y in range(3) for x in range(4)]
    msgs += [sg.image(x, 1, sg.random_words(rng)) for x in range(4)]
    data = b''.join(sg.adapter_chunks(msgs, chunk_size=1536))
    seeds['adapter_64x48'] = videosink_input(64, 48, data, (1, 2, 3, 5), ((1000, 0x30),))
    # One wide and one tall frame (tile columns and rows past the grid).
    stream = sg.mixed_stream(120, 1, 8, seed=3)
    seeds['wide_1920x8'] = videosink_input(1920, 8, stream, (2,), ())
    stream = sg.mixed_stream(1, 100, 8, seed=4)
    seeds['tall_10x1600'] = videosink_input(10, 1600, stream, (1,), ((33, 0x0F),))
    # An image message carried over a chunk end, then completed.
    data = b''.join(sg.flat_chunks([sg.image(1, 1, sg.random_words(rng)) for _ in range(3)]))
    seeds['carried_32x32'] = videosink_input(32, 32, data, (1, 2), ((300, 0), (516, 0x10)))
    return seeds


# ---- fuzz_shrink -------------------------------------------------------------

def shrink_input(horizontal, src_size, dst_size, other, pixels, src_pad=0, dst_pad=0):
    # The target decodes src = 2 + v % limit and dst = 1 + v % (src - 1).
    return (u8(0 if horizontal else 1) + u16(src_size - 2) + u16(dst_size - 1) +
            u16(other - 1) + u8(src_pad) + u8(dst_pad) + pixels)


def shrink_seeds():
    seeds = {}
    ramp = b''.join(struct.pack('BBBB', 10 * i, 10 * i, 10 * i, 10 * i) for i in range(1, 17))
    white = b'\xff' * 64
    alternate = b''.join(struct.pack('BBBB', 0 if i % 2 == 0 else 255, 0, 0, 0) for i in range(16))
    for name, pixels in (('ramp', ramp), ('white', white), ('alternate', alternate)):
        for size in (12, 8, 1):
            seeds['x_16to%d_%s' % (size, name)] = shrink_input(True, 16, size, 4, pixels)
            seeds['y_16to%d_%s' % (size, name)] = shrink_input(False, 16, size, 4, pixels, 8, 4)
    # Tile rows as the readout shrinks them: 16 * w source pixels to size * w.
    rng = random.Random(3)
    noise = bytes(rng.randrange(256) for _ in range(512))
    for tiles, size in ((5, 15), (3, 7), (64, 1), (120, 9)):
        seeds['x_tiles%d_to%d' % (tiles, size)] = shrink_input(
            True, 16 * tiles, size * tiles, 2, noise, 4 * tiles % 256, 12)
        seeds['y_tiles%d_to%d' % (tiles, size)] = shrink_input(
            False, 16 * min(tiles, 4), size * min(tiles, 4), 3, noise)
    return seeds


# ---- fuzz_readout --------------------------------------------------------------

def small(v):
    return u8(0) + u8(v)


def wide(v):
    return u8(2) + u16(v + 0x100)


def raw(v):
    return u8(3) + struct.pack('<i', v)


SCALES = [1.0, 0.5, 0.0625, 0.99, 0.75, 0.0624, 0.0, -1.0, 'nan', 'inf', '-inf', 3.0,
          1e-30, 0.9375, 0.125]


def scale(index):
    return u8(index)


def op_create(w, h):
    return u8(0) + w + h


def op_sink(data, start):
    return u8(1) + u16(len(data)) + data + start


def op_read(x, y, w, h, scale_index):
    return u8(2) + x + y + w + h + scale(scale_index)


def op_changes(row, count):
    return u8(3) + row + count


def op_grey(mark):
    return u8(4) + mark


def op_edges(w, h):
    return u8(5) + w + h


def op_stats():
    return u8(6)


def readout_seeds():
    rng = random.Random(5)
    seeds = {}
    stream = sg.mixed_stream(4, 3, 6, seed=5)
    seeds['decode_and_read'] = (
        op_create(small(64), small(48)) + op_sink(stream[:2000], small(0)) +
        op_changes(small(0), small(4)) + op_read(small(0), small(0), small(4), small(3), 0) +
        op_read(small(1), small(1), small(2), small(2), 1) + op_read(small(3), small(2), small(9), small(9), 2) +
        op_grey(small(1)) + op_changes(small(2), small(8)) + op_edges(small(64), small(48)) +
        op_stats())
    edge = sg.mixed_stream(3, 2, 5, seed=6)
    seeds['edge_tiles'] = (
        op_create(small(40), small(20)) + op_sink(edge[:1500], small(0)) +
        op_read(small(0), small(0), small(3), small(2), 3) + op_read(small(2), small(1), small(1), small(1), 1) +
        op_edges(small(40), small(20)) + op_edges(small(200), small(0)))
    seeds['bad_arguments'] = (
        op_create(raw(-1), small(5)) + op_create(wide(1921), small(5)) +
        op_create(wide(1920), wide(1600)) + op_read(raw(-1), small(0), small(0), small(1), 0) +
        op_read(small(0), small(0), small(0), small(1), 0) + op_read(small(0), small(0), small(1), small(0), 0) +
        op_read(small(0), small(0), wide(121), small(1), 0) + op_read(small(0), small(0), small(1), small(1), 6) +
        op_read(small(0), small(0), small(1), small(1), 8) + op_read(small(119), small(99), small(120), small(100), 9) +
        op_changes(raw(-1), small(5)) + op_changes(small(99), raw(0x7fffffff)) +
        op_sink(b'\x00' * 8, raw(-1)) + op_sink(b'\x00' * 8, small(9)) + op_edges(raw(-5), raw(1 << 30)))
    carry = b''.join(sg.flat_chunks([sg.image(0, 0, sg.random_words(rng))]))
    seeds['carry_across_create'] = (
        op_create(small(32), small(32)) + op_sink(carry[:300], small(0)) +
        op_create(small(16), small(16)) + op_sink(carry[300:], small(0)) + op_changes(small(0), small(1)) +
        op_stats())
    seeds['full_grid'] = (
        op_create(wide(1920), wide(1600)) + op_grey(small(1)) + op_changes(small(0), wide(12000)) +
        op_read(small(0), small(0), wide(120), small(2), 13) + op_edges(wide(1920), wide(1600)))
    return seeds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--out', default=os.path.join(TOP, 'fuzz', 'corpus'))
    args = parser.parse_args()
    for target, seeds in (('fuzz_videosink', videosink_seeds()), ('fuzz_shrink', shrink_seeds()),
                          ('fuzz_readout', readout_seeds())):
        directory = os.path.join(args.out, target)
        os.makedirs(directory, exist_ok=True)
        for name, data in sorted(seeds.items()):
            with open(os.path.join(directory, 'seed_' + name), 'wb') as f:
                f.write(data)
        print('%s: %d seeds, %d bytes' % (target, len(seeds), sum(len(d) for d in seeds.values())))


if __name__ == '__main__':
    main()
