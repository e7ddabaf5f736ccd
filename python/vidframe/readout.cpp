// The RGB readout: blocks of whole tiles out of the frame, full size or shrunk.
//
// A block may reach past the frame's right or bottom edge when the frame is
// not a whole number of tiles; the pixels out there read as zero bytes and
// the frame's memory is never read beyond its end.
#include <cstdlib>
#include <cstring>

#include "resize.h"
#include "vidframe.h"

namespace {

// Edge rows are copied here, zero-padded to whole tiles, before the
// horizontal pass sees them: one tile row of the widest block.
uint8_t edgeRows[tileSide * maxFrameWidth * 4];

// The vertical pass's state (16 KiB of accumulators), kept here rather than
// on the stack of every readout, however small.
ShrinkYStream shrinkState;

// A scratch buffer about to grow: the new block is allocated first and only
// replaces the old one (and its size) once every allocation has succeeded,
// so a failure leaves both buffers and their sizes as they were.
struct Growth {
    uint8_t **buffer;
    int *size;
    uint8_t *fresh;  // null: big enough already
    int needed;
};

bool prepare(Growth *g, uint8_t **buffer, int *size, int needed) {
    *g = {buffer, size, nullptr, needed};
    if (*size >= needed) return true;
    g->fresh = static_cast<uint8_t *>(malloc((size_t)needed));
    return g->fresh != nullptr;
}

void commit(const Growth *g) {
    if (!g->fresh) return;
    free(*g->buffer);
    *g->buffer = g->fresh;
    *g->size = g->needed;
}

void abandon(const Growth *g) { free(g->fresh); }

// Pixels of frame row `row` from pixel column `left`, `width` pixels, with
// what lies outside the frame as zeros.
void copyRow(uint8_t *dst, int left, int row, int width) {
    int inside = 0;
    if (row < frameHeight) {
        inside = frameWidth - left < width ? frameWidth - left : width;
        memcpy(dst, frameBuffer + (size_t)row * frameWidth + left, (size_t)inside * 4);
    }
    if (inside < width) memset(dst + (size_t)inside * 4, 0, (size_t)(width - inside) * 4);
}

// The tile row of the block at pixel row `top` as the passes read it:
// straight from the frame where it lies inside, else a zero-padded copy.
const uint8_t *tileRowSource(int left, int top, int srcWidth, uint32_t *stride) {
    if (left + srcWidth <= frameWidth && top + tileSide <= frameHeight) {
        *stride = (uint32_t)frameWidth * 4;
        return reinterpret_cast<const uint8_t *>(frameBuffer + (size_t)top * frameWidth + left);
    }
    for (int i = 0; i < tileSide; i++) copyRow(edgeRows + (size_t)i * srcWidth * 4, left, top + i, srcWidth);
    *stride = (uint32_t)srcWidth * 4;
    return edgeRows;
}

}  // namespace

int readTiles(int x, int y, int w, int h, float scale, const uint8_t **pixels, int *outWidth,
              int *outHeight) {
    if (x < 0 || x >= tilesWidth || y < 0 || y >= tilesHeight) return vfBadTopLeft;
    if (w < 1 || w > tilesWidth) return vfBadWidth;
    if (h < 1 || h > tilesHeight) return vfBadHeight;
    // Below 1/16 there is no pixel left of a tile; NaN fails this test too.
    if (!(scale >= 0.0625f)) return vfBadScale;
    if (w > tilesWidth - x) w = tilesWidth - x;
    if (h > tilesHeight - y) h = tilesHeight - y;
    if (scale > 1.0f) scale = 1.0f;
    int tileSize = (int)(float)(scale * 16.0f);

    int width = w * tileSize;
    int height = h * tileSize;
    int bytes = width * height * 4;
    int left = x * tileSide;
    int top = y * tileSide;
    int srcWidth = w * tileSide;
    int srcHeight = h * tileSide;

    Growth g1, g2;
    if (!prepare(&g1, &tempBuffer1, &tempSize1, bytes)) return vfNoMemory;
    if (tileSize < tileSide) {
        if (!prepare(&g2, &tempBuffer2, &tempSize2, width * h * 64)) {
            abandon(&g1);
            return vfNoMemory;
        }
        commit(&g2);
    }
    commit(&g1);

    if (tileSize == tileSide) {
        size_t rowBytes = (size_t)srcWidth * 4;
        if (left + srcWidth <= frameWidth && top + srcHeight <= frameHeight) {
            const uint32_t *row = frameBuffer + (size_t)top * frameWidth + left;
            if (rowBytes <= 1024) {
                // Rows of a few tiles: 64 bytes (a tile's row) at a time,
                // which the compiler copies inline; a library call per row
                // would cost more than the copy.
                for (int r = 0; r < srcHeight; r++, row += frameWidth) {
                    uint8_t *d = tempBuffer1 + r * rowBytes;
                    const uint8_t *s = reinterpret_cast<const uint8_t *>(row);
                    for (size_t i = 0; i < rowBytes; i += 64) memcpy(d + i, s + i, 64);
                }
            } else {
                for (int r = 0; r < srcHeight; r++, row += frameWidth)
                    memcpy(tempBuffer1 + r * rowBytes, row, rowBytes);
            }
        } else {
            for (int r = 0; r < srcHeight; r++) copyRow(tempBuffer1 + r * rowBytes, left, top + r, srcWidth);
        }
    } else {
        // A tile row at a time: the horizontal pass into tempBuffer2, then
        // on through the vertical pass while those rows are still in cache.
        // The vertical pass carries its state from band to band, so the
        // bytes are those of the two passes run over the whole block.
        ShrinkYStream &ys = shrinkState;
        uint32_t stride = (uint32_t)width * 4;
        shrinkYBegin(&ys, width, srcHeight, height, tempBuffer1, stride);
        for (int r = 0; r < srcHeight; r += tileSide) {
            uint32_t srcStride;
            const uint8_t *src = tileRowSource(left, top + r, srcWidth, &srcStride);
            // Halving both ways needs no intermediate at all.
            if (tileSize == tileSide / 2 &&
                shrinkHalveBoth(src, width, tileSide, srcStride, tempBuffer1 + (size_t)(r / 2) * stride, stride))
                continue;
            // Both passes at once where a kernel can, else through tempBuffer2.
            if (shrinkBand(src, srcWidth, tileSide, srcStride, &ys)) continue;
            imageShrinkX(src, srcWidth, tileSide, srcStride, tempBuffer2, width, stride);
            shrinkYRows(&ys, tempBuffer2, tileSide, stride);
        }
    }
    *pixels = tempBuffer1;
    *outWidth = width;
    *outHeight = height;
    return vfOk;
}
