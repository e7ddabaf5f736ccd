"""A slow, plain model of the frame module's decoder, for checking the real
one: the same frame store, carry-over, statistics and results, with edge
tiles clipped to the frame. Runs under Python 2.7 and 3."""
import struct

BLOCK = 512
IMAGE_SIZE = 516


def expand(word):
    return ((word >> 8) & 0xF8, (word >> 3) & 0xFC, (word << 3) & 0xF8, 0xFF)


class RefDecoder(object):
    def __init__(self, width, height):
        self.carry = bytearray()
        self.padding = self.bogus = 0
        self.create(width, height)

    def create(self, width, height):
        self.width, self.height = width, height
        self.tiles_w, self.tiles_h = (width + 15) // 16, (height + 15) // 16
        self.pixels = [(0, 0, 0, 0)] * (width * height)
        self.changed = [0] * (self.tiles_w * self.tiles_h)

    def stats(self):
        result = (self.padding, self.bogus)
        self.padding = self.bogus = 0
        return result

    def _put(self, column, row, colour_at):
        for y in range(16):
            fy = row * 16 + y
            if fy >= self.height:
                break
            for x in range(16):
                fx = column * 16 + x
                if fx >= self.width:
                    break
                self.pixels[fy * self.width + fx] = expand(colour_at(x, y))
        self.changed[row * self.tiles_w + column] = 1

    def _process(self, data, position, may_carry):
        total = len(data)
        while total - position >= 4:
            w0, w1 = struct.unpack_from('<HH', data, position)
            remaining = total - position
            if w0 == 0xFFFF and w1 == 0xFFFF:
                self.padding += 1
                position += min(BLOCK - position % BLOCK, remaining)
                continue
            solid = bool(w1 & 0x4000)
            if not solid and remaining < IMAGE_SIZE:
                self.carry = bytearray(data[position:]) if may_carry else bytearray()
                return total if may_carry else position
            column, row = w1 & 0x7F, (w1 >> 7) & 0x7F
            if column >= self.tiles_w or row >= self.tiles_h:
                self.bogus += 1
            elif solid:
                self._put(column, row, lambda x, y: w0)
            else:
                words = struct.unpack_from('<256H', data, position + 4)
                self._put(column, row, lambda x, y: words[16 * y + x])
            position += 4 if solid else IMAGE_SIZE
        self.carry = bytearray()
        return position

    def sink(self, data, start=0):
        """videoSink: returns 0 or 1."""
        data = bytes(data)
        if start < 0 or start > len(data):
            raise ValueError('args are out of range')
        if self.carry:
            n = min(len(data) - start, IMAGE_SIZE - len(self.carry))
            self.carry += data[start:start + n]
            start += n
            if len(self.carry) == IMAGE_SIZE:
                self._process(bytes(self.carry), 0, False)
        if self.carry:
            return 1
        return int(self._process(data, start, True) != len(data))

    def tile_block(self):
        """The whole grid as 4-byte pixels, whole tiles, zero outside the frame:
        what the readout returns at full size for every tile."""
        w, h = self.tiles_w * 16, self.tiles_h * 16
        out = bytearray(w * h * 4)
        for y in range(self.height):
            row = b''.join(struct.pack('4B', *p)
                           for p in self.pixels[y * self.width:(y + 1) * self.width])
            out[y * w * 4:y * w * 4 + len(row)] = row
        return bytes(out)
