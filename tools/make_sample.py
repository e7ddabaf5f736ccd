#!/usr/bin/env python3
"""Writes samples/desktop.stream: a synthetic 1024 x 768 desktop (wallpaper,
icons, two windows with text, a taskbar, a pointer) encoded as the adapter's
video stream with the project's encoder, in adapter-style 16 KiB chunks.

Deterministic for a given interpreter; the bundled sample is made with Debian's python3:
    python3 tools/make_sample.py [output]"""
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, 'tests', 'python'))
import streamgen  # noqa: E402

WIDTH, HEIGHT = 1024, 768
rgb = streamgen.rgb565


class Canvas(object):
    """A picture of 5-6-5 words with rectangle fills and blocky text."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.words = [0] * (width * height)

    def fill(self, x0, y0, x1, y1, word):
        x0, x1 = max(0, x0), min(self.width, x1)
        for y in range(max(0, y0), min(self.height, y1)):
            base = y * self.width
            self.words[base + x0:base + x1] = [word] * (x1 - x0)

    def frame(self, x0, y0, x1, y1, word):
        self.fill(x0, y0, x1, y0 + 1, word)
        self.fill(x0, y1 - 1, x1, y1, word)
        self.fill(x0, y0, x0 + 1, y1, word)
        self.fill(x1 - 1, y0, x1, y1, word)

    def text(self, x, y, line, word, rng):
        """Glyph-like 5 x 7 blots in 6 x 10 cells; blanks stay blank."""
        for i, ch in enumerate(line):
            if ch == ' ':
                continue
            bits = rng.getrandbits(35) | 1 << (rng.randrange(5))
            for gy in range(7):
                for gx in range(5):
                    if bits >> (gy * 5 + gx) & 1:
                        px, py = x + 6 * i + gx, y + gy
                        if 0 <= px < self.width and 0 <= py < self.height:
                            self.words[py * self.width + px] = word

    def at(self, x, y):
        if x >= self.width or y >= self.height:
            return 0
        return self.words[y * self.width + x]


def window(c, rng, x0, y0, x1, y1, title, body, fg, lines):
    c.fill(x0 + 6, y0 + 6, x1 + 6, y1 + 6, rgb(24, 48, 64))  # shadow
    c.fill(x0, y0, x1, y1, body)
    for x in range(x0, x1):  # title bar shading left to right
        shade = 60 + 120 * (x - x0) // (x1 - x0)
        c.fill(x, y0, x + 1, y0 + 22, rgb(40, shade // 2 + 40, shade + 60))
    c.text(x0 + 8, y0 + 8, title, rgb(255, 255, 255), rng)
    for i, colour in enumerate((rgb(230, 80, 70), rgb(240, 200, 60), rgb(90, 200, 90))):
        c.fill(x1 - 60 + 18 * i, y0 + 6, x1 - 48 + 18 * i, y0 + 16, colour)
    c.frame(x0, y0, x1, y1, rgb(90, 90, 100))
    for i, line in enumerate(lines):
        y = y0 + 34 + 14 * i
        if y + 10 > y1:
            break
        c.text(x0 + 12, y, line, fg, rng)


def desktop():
    rng = random.Random(2024)
    c = Canvas(WIDTH, HEIGHT)
    # Wallpaper: bands of 16 rows, so its tiles are uniform (solid messages).
    for band in range(HEIGHT // 16):
        c.fill(0, band * 16, WIDTH, band * 16 + 16, rgb(20 + band, 70 + band * 2, 120 + band))
    # Icons with labels down the left edge.
    for i, colour in enumerate((rgb(240, 200, 80), rgb(120, 180, 240), rgb(200, 120, 200),
                                rgb(120, 220, 140))):
        y = 24 + 88 * i
        c.fill(28, y, 60, y + 32, colour)
        c.frame(28, y, 60, y + 32, rgb(30, 30, 30))
        c.text(16, y + 40, ['Files', 'Network', 'Notes', 'Trash'][i], rgb(250, 250, 250), rng)
    words = 'the quick brown fox jumps over a lazy dog while tiles stream past'.split()

    def lines(n, width):
        out = []
        for _ in range(n):
            line = ''
            while len(line) < width - 8:
                line += rng.choice(words) + ' '
            out.append(line[:width])
        return out

    window(c, rng, 140, 70, 700, 520, 'Document - Editor', rgb(250, 250, 248),
           rgb(30, 30, 40), lines(30, 88))
    window(c, rng, 470, 300, 990, 690, 'Terminal', rgb(16, 16, 16), rgb(90, 240, 90),
           ['$ make -j2'] + lines(25, 82) + ['$ _'])
    # Taskbar, start button and clock.
    c.fill(0, HEIGHT - 32, WIDTH, HEIGHT, rgb(40, 40, 48))
    c.fill(0, HEIGHT - 32, WIDTH, HEIGHT - 31, rgb(110, 110, 120))
    c.fill(6, HEIGHT - 27, 86, HEIGHT - 5, rgb(60, 140, 80))
    c.text(16, HEIGHT - 20, 'Start', rgb(255, 255, 255), rng)
    c.fill(160, HEIGHT - 27, 330, HEIGHT - 5, rgb(70, 70, 84))
    c.text(168, HEIGHT - 20, 'Document - Editor', rgb(230, 230, 230), rng)
    c.text(WIDTH - 60, HEIGHT - 20, '03:45', rgb(230, 230, 230), rng)
    # Pointer: an arrow with a dark outline.
    for y in range(18):
        for x in range(y // 2 + 1):
            edge = x == 0 or x == y // 2 or y == 17
            c.fill(600 + x, 200 + y, 601 + x, 201 + y, rgb(0, 0, 0) if edge else rgb(255, 255, 255))
    return c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, 'samples', 'desktop.stream')
    c = desktop()
    msgs = streamgen.picture_messages(c.at, (WIDTH + 15) // 16, (HEIGHT + 15) // 16)
    data = b''.join(streamgen.adapter_chunks(msgs))
    with open(out, 'wb') as f:
        f.write(data)
    solid = sum(1 for m in msgs if len(m) == 4)
    print('%s: %d bytes, %d tiles (%d solid, %d image)' % (out, len(data), len(msgs), solid,
                                                           len(msgs) - solid))


if __name__ == '__main__':
    main()
