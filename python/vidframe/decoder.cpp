// The video stream decoder: tile messages in, 4-byte pixels and changed
// flags out, with an image tile message cut off at a chunk's end carried over
// to the next chunk.
//
// Stream format, little-endian 16-bit words:
//   header  = colour word, position word (bits 0-6 column, 7-13 row, 14 solid)
//   FF FF FF FF        padding: skip to the next 512-byte boundary of the chunk
//   solid (bit 14 = 1) 4 bytes; the colour word fills the whole tile
//   image (bit 14 = 0) 516 bytes; 256 colour words follow, row by row
#include <algorithm>
#include <cstring>

#include "decode_kernels.h"
#include "vidframe.h"

static inline unsigned readWord(const uint8_t *p) { return p[0] | (unsigned)p[1] << 8; }

// 5-6-5 to the frame's pixel; the low bits of each component stay zero.
static inline uint32_t expand565(unsigned v) {
    return ((v >> 8) & 0xF8) | ((v >> 3) & 0xFC) << 8 | ((v << 3) & 0xF8) << 16 | 0xFF000000u;
}

// The counters wrap instead of overflowing on a stream left running for days.
static inline void bump(int &counter) { counter = (int)((unsigned)counter + 1u); }

// Edge tiles of a frame whose size is not a multiple of 16 are clipped to it.
static inline uint32_t *tileOrigin(int column, int row, int *cols, int *rows) {
    int x0 = column * tileSide, y0 = row * tileSide;
    *cols = std::min(tileSide, frameWidth - x0);
    *rows = std::min(tileSide, frameHeight - y0);
    return frameBuffer + (size_t)y0 * frameWidth + x0;
}

static void writeSolidTile(int column, int row, unsigned colour) {
    int cols, rows;
    uint32_t *dst = tileOrigin(column, row, &cols, &rows);
    uint32_t pixel = expand565(colour);
    if (tileWriters.solid && cols == tileSide && rows == tileSide) {
        tileWriters.solid(dst, frameWidth, pixel);  // whole tile: vector path
        return;
    }
    for (int y = 0; y < rows; y++, dst += frameWidth)
        for (int x = 0; x < cols; x++) dst[x] = pixel;
}

static void writeImageTile(int column, int row, const uint8_t *words) {
    int cols, rows;
    uint32_t *dst = tileOrigin(column, row, &cols, &rows);
    if (tileWriters.image && cols == tileSide && rows == tileSide) {
        tileWriters.image(dst, frameWidth, words);
        return;
    }
    for (int y = 0; y < rows; y++, dst += frameWidth, words += 2 * tileSide)
        for (int x = 0; x < cols; x++) dst[x] = expand565(readWord(words + 2 * x));
}

// The vector writers may hold back part of their last few tiles.
static inline void finishTiles() {
    if (tileWriters.finish) tileWriters.finish();
}

int ProcessVideoData(const uint8_t *data, int total, int position, bool mayCarry) {
    int remaining = total - position;
    while (remaining >= 4) {
        const uint8_t *msg = data + position;
        unsigned w0 = readWord(msg), w1 = readWord(msg + 2);
        hackhack = position;

        if (w0 == 0xFFFF && w1 == 0xFFFF) {
            bump(statsPadding);
            int skip = std::min(blockSize - position % blockSize, remaining);
            position += skip;
            remaining -= skip;
            continue;
        }

        bool solid = (w1 & 0x4000) != 0;
        if (!solid && remaining < imageMessageSize) {
            finishTiles();
            leftoverDataSize = leftoverDataNeeded = 0;
            if (!mayCarry) return total - remaining;
            memcpy(leftoverData, msg, remaining);
            leftoverDataSize = remaining;
            leftoverDataNeeded = imageMessageSize;
            return total;
        }

        int column = w1 & 0x7F, row = (w1 >> 7) & 0x7F;
        int length = solid ? 4 : imageMessageSize;
        if (column >= tilesWidth || row >= tilesHeight) {
            bump(statsBogus);
        } else {
            if (solid)
                writeSolidTile(column, row, w0);
            else
                writeImageTile(column, row, msg + 4);
            changedArray[row * tilesWidth + column] = 1;
        }
        position += length;
        remaining -= length;
    }
    // 0 to 3 bytes are left; a header that short cannot be classified.
    finishTiles();
    leftoverDataSize = leftoverDataNeeded = 0;
    return total - remaining;
}

int sinkVideo(const uint8_t *data, int length, int start, int *result) {
    if (length < 0 || start < 0 || start > length) return vfOutOfRange;

    if (leftoverDataNeeded != 0) {
        int n = std::min(length - start, leftoverDataNeeded - leftoverDataSize);
        memcpy(leftoverData + leftoverDataSize, data + start, n);
        start += n;
        leftoverDataSize += n;
        if (leftoverDataSize == leftoverDataNeeded)
            ProcessVideoData(leftoverData, leftoverDataSize, 0, false);
    }

    if (leftoverDataSize != 0)
        *result = 1;  // the chunk only extended the carried message
    else
        *result = ProcessVideoData(data, length, start, true) != length;

    if (length >= previousDataSize) {
        memcpy(previousData, data + length - previousDataSize, previousDataSize);
        previousMessage = hackhack - (length - previousDataSize);
    }
    return vfOk;
}
