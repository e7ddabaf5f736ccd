#!/usr/bin/env python3
"""Decodes a video stream file with vidframe the way the application does
(16 KiB chunks into one frame store), prints what the decoder saw and writes
the frame as a PNG.

    demo.py [stream] [--size WxH] [--out frame.png]

Runs under Python 2.7 and 3 with vidframe on the module path."""
import argparse
import os
import struct
import sys
import time
import zlib

import vidframe

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHUNK = 16384


def png_chunk(kind, data):
    body = kind + data
    return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path, width, height, rgba, stride):
    """An 8-bit RGB PNG from rows of 4-byte pixels `stride` bytes apart."""
    rows = []
    for y in range(height):
        row = bytearray(rgba[y * stride:y * stride + width * 4])
        del row[3::4]  # drop the fourth byte of every pixel
        rows.append(b'\x00' + bytes(row))  # filter type 0
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(png_chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)))
        f.write(png_chunk(b'IDAT', zlib.compress(b''.join(rows), 6)))
        f.write(png_chunk(b'IEND', b''))


def parse_size(text):
    try:
        w, h = (int(v) for v in text.lower().split('x'))
    except ValueError:
        raise argparse.ArgumentTypeError('size must be WIDTHxHEIGHT, e.g. 1024x768')
    return w, h


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('stream', nargs='?', default=os.path.join(TOP, 'samples', 'desktop.stream'))
    ap.add_argument('--size', type=parse_size, default=(1024, 768), help='frame size, WxH')
    ap.add_argument('--out', default=os.path.join(TOP, 'out', 'frame.png'))
    args = ap.parse_args(argv)
    width, height = args.size

    with open(args.stream, 'rb') as f:
        data = f.read()
    vidframe.createBuffer(width, height)
    vidframe.getStats()  # start the counters from zero
    tiles_w, tiles_h = (width + 15) // 16, (height + 15) // 16

    started = time.time()
    short = 0
    for offset in range(0, len(data), CHUNK):
        short += vidframe.videoSink(data[offset:offset + CHUNK])
    elapsed = time.time() - started
    padding, bogus = vidframe.getStats()
    changed = sum(n for row in range(tiles_h) for _, n in vidframe.getChanges(row, tiles_w))

    chunks = (len(data) + CHUNK - 1) // CHUNK
    print('stream        %s' % args.stream)
    print('decoded       %d bytes in %d chunks of up to %d bytes, %.1f ms'
          % (len(data), chunks, CHUNK, elapsed * 1000))
    print('padding       %d markers' % padding)
    print('out of range  %d tile messages' % bogus)
    print('incomplete    %d chunks' % short)
    print('changed tiles %d of %d' % (changed, tiles_w * tiles_h))

    if not hasattr(vidframe, 'toRGBString'):
        print('no readout in this build: PNG not written')
        return 0
    pixels, (block_w, _) = vidframe.toRGBString(0, 0, tiles_w, tiles_h)
    out_dir = os.path.dirname(os.path.abspath(args.out))
    if not os.path.isdir(out_dir):
        os.makedirs(out_dir)
    write_png(args.out, width, height, pixels, block_w * 4)
    print('frame         %dx%d written to %s' % (width, height, args.out))
    return 0


if __name__ == '__main__':
    sys.exit(main())
