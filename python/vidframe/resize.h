// Box-filter shrinking of 4-byte pixels in 16.16 fixed point. imageShrinkX
// narrows every row, imageShrinkY shortens every column; the readout runs
// the first over the frame and the second over its result. The four bytes of
// a pixel are four independent channels, all treated alike.
//
// The rule is exact, down to the truncations and the 16-bit wrap of the
// accumulators, and every path gives the same bytes: the scalar functions
// below are its literal statement and the oracle the vector paths are tested
// against. The best path this CPU runs is installed when the library loads;
// tests and benchmarks may force one with setShrinkPath.
#ifndef RESIZE_H
#define RESIZE_H

#include <cstddef>
#include <cstdint>

// height rows of srcWidth pixels -> height rows of dstWidth pixels,
// 1 <= dstWidth < srcWidth. Strides are in bytes and may exceed width * 4.
void imageShrinkX(const uint8_t *src, int srcWidth, int height, uint32_t srcStride, uint8_t *dst,
                  int dstWidth, uint32_t dstStride);

// srcHeight rows of width pixels -> dstHeight rows, 1 <= dstHeight < srcHeight.
void imageShrinkY(const uint8_t *src, int width, int srcHeight, uint32_t srcStride, uint8_t *dst,
                  int dstHeight, uint32_t dstStride);

// The rule one pixel and one channel at a time.
void imageShrinkXScalar(const uint8_t *src, int srcWidth, int height, uint32_t srcStride,
                        uint8_t *dst, int dstWidth, uint32_t dstStride);
void imageShrinkYScalar(const uint8_t *src, int width, int srcHeight, uint32_t srcStride,
                        uint8_t *dst, int dstHeight, uint32_t dstStride);

// Fixed underlying type: an unknown value is refused, not undefined.
enum ShrinkPath : int {
    shrinkScalar = 0,  // the functions above
    shrinkSse2,        // two rows (horizontal) or four pixels (vertical) per 128-bit register
    shrinkAvx2,        // four rows or eight pixels per 256-bit register
    shrinkAvx512,      // gathered terms per eight targets, or 32 channels per 512-bit register
    shrinkPathCount
};

// Installs a path; false (and nothing changed) when this build or CPU lacks it.
bool setShrinkPath(ShrinkPath path);
ShrinkPath currentShrinkPath();
ShrinkPath bestShrinkPath();

// ---- Shared by the vector kernels ------------------------------------------

// The vertical pass keeps one accumulator per channel for this many pixels;
// wider rows are shrunk in slices of this width.
constexpr int shrinkYSlots = 2048;
// The horizontal kernels plan rows up to this many source pixels; wider rows
// go through the scalar rule.
constexpr int shrinkPlanWidth = 4096;

// What one source pixel (or row) does to the target under construction, as
// masks and weights that make every case one sequence of operations:
//   sum  = accum + (p & addMask) + mulhi(p, tailWeight)
//   emit mulhi(sum, norm) when keepMask is 0
//   accum = (sum & keepMask) + mulhi(p, headWeight)
struct ShrinkOp {
    uint16_t addMask;     // 0xffff: p is added whole
    uint16_t tailWeight;  // p's share in the target it completes
    uint16_t keepMask;    // 0: a target is completed here
    uint16_t headWeight;  // p's share in the next target
};

// The helpers below are compiled into the vector kernels' files, each built
// for its own instruction set, so every file gets its own private copy: an
// external-linkage inline function would leave the linker free to keep the
// AVX-512 file's copy for every caller.
namespace {

// Source units per target pixel, and the multiplier that turns a sum over
// them into an average (both truncated).
inline uint32_t shrinkStep(int srcSize, int dstSize) {
    return (uint32_t)((int64_t)srcSize * 65536 / dstSize);
}
inline uint16_t shrinkNorm(int srcSize, int dstSize) {
    return (uint16_t)((int64_t)dstSize * 65536 / srcSize);
}

// The op of the next source pixel (row); *remaining starts at step.
inline ShrinkOp shrinkNextOp(uint32_t step, uint32_t *remaining) {
    if (*remaining < 65536) {
        uint32_t carry = 65536 - *remaining;
        ShrinkOp op = {0, (uint16_t)*remaining, 0, (uint16_t)carry};
        *remaining = step - carry;
        return op;
    }
    *remaining -= 65536;
    if (*remaining == 0) {
        *remaining = step;
        return {0xffff, 0, 0, 0};
    }
    return {0xffff, 0, 0xffff, 0};
}

}  // namespace

// Fills ops[0 .. srcSize) and returns norm.
uint16_t planShrink(int srcSize, int dstSize, ShrinkOp *ops);

// The vertical pass as a stream of source rows, so that a caller can feed
// it a band at a time while the band is still in cache. Up to shrinkYSlots
// pixels wide.
struct ShrinkYStream {
    uint32_t step;
    uint32_t remaining;
    uint16_t norm;
    bool halving;  // two rows per target: truncated pair means
    int width;
    uint8_t *target;  // next target row
    uint32_t dstStride;
    alignas(32) uint16_t accum[shrinkYSlots * 4];
};

void shrinkYBegin(ShrinkYStream *ys, int width, int srcHeight, int dstHeight, uint8_t *dst,
                  uint32_t dstStride);
// The next `rows` source rows.
void shrinkYRows(ShrinkYStream *ys, const uint8_t *src, int rows, uint32_t srcStride);

namespace {

// The row loop of the vector kernels' vertical pass. While halving, a pair
// of rows that makes one target is averaged at once; every other row takes
// the general step. Each kernel file supplies its own two row functions.
template <void (*averageRows)(const uint8_t *a, const uint8_t *b, uint8_t *out, int n),
          void (*verticalRow)(const ShrinkOp &op, const uint8_t *p, uint16_t *accum, int n,
                              uint8_t *out, uint16_t normValue)>
inline void shrinkYRowsWith(ShrinkYStream *ys, const uint8_t *src, int rows, uint32_t srcStride) {
    int n = ys->width * 4;
    for (int s = 0; s < rows;) {
        const uint8_t *p = src + (size_t)s * srcStride;
        if (ys->halving && ys->remaining == ys->step && rows - s >= 2) {
            averageRows(p, p + srcStride, ys->target, n);
            ys->target += ys->dstStride;
            s += 2;
            continue;
        }
        ShrinkOp op = shrinkNextOp(ys->step, &ys->remaining);
        verticalRow(op, p, ys->accum, n, ys->target, ys->norm);
        if (!op.keepMask) ys->target += ys->dstStride;
        s++;
    }
}

}  // namespace

struct ShrinkKernels {
    // Same contract as imageShrinkX, for srcWidth <= shrinkPlanWidth.
    void (*shrinkX)(const uint8_t *src, int srcWidth, int height, uint32_t srcStride, uint8_t *dst,
                    int dstWidth, uint32_t dstStride);
    // Same contract as shrinkYRows.
    void (*shrinkYRows)(ShrinkYStream *ys, const uint8_t *src, int rows, uint32_t srcStride);
    // Same contract as shrinkHalveBoth.
    void (*halveBoth)(const uint8_t *src, int dstWidth, int srcRows, uint32_t srcStride, uint8_t *dst,
                      uint32_t dstStride);
    // Same contract as shrinkBand.
    bool (*band)(const uint8_t *src, int srcWidth, int rows, uint32_t srcStride, ShrinkYStream *ys);
};

// Both passes at once where each halves (the readout's tileSize 8): srcRows
// (even) rows of 2 * dstWidth pixels -> srcRows / 2 rows, every byte the
// truncated mean of two truncated pair means, as the two passes give it.
// False, and nothing written, when the installed path has no such kernel.
bool shrinkHalveBoth(const uint8_t *src, int dstWidth, int srcRows, uint32_t srcStride, uint8_t *dst,
                     uint32_t dstStride);

// Both passes over a band of `rows` source rows of srcWidth pixels at once:
// the horizontal pass to ys->width pixels and on into the vertical stream,
// with no intermediate rows in memory; the bytes are those of imageShrinkX
// followed by shrinkYRows. False, and nothing done, when the installed path
// has no such kernel for these sizes.
bool shrinkBand(const uint8_t *src, int srcWidth, int rows, uint32_t srcStride, ShrinkYStream *ys);

// Members are null where the build has no such kernels (not an x86 target).
extern const ShrinkKernels sse2ShrinkKernels;
extern const ShrinkKernels avx2ShrinkKernels;
extern const ShrinkKernels avx512ShrinkKernels;

#endif
