// The shrinking rule as written (one pixel, one channel at a time), the plan
// the vector kernels follow, and the choice of kernels.
#include "resize.h"

#include <cstring>

#include "cpufeatures.h"

namespace {

inline uint16_t mulhi(uint32_t a, uint32_t b) {
    return (uint16_t)(((a & 0xffff) * (b & 0xffff)) >> 16);
}

// A 16-bit value read as signed, clamped to a byte.
inline uint8_t sat8(uint16_t v) {
    int16_t s = (int16_t)v;
    return s < 0 ? 0 : s > 255 ? 255 : (uint8_t)s;
}

void shrinkYSlice(const uint8_t *src, int width, int srcHeight, uint32_t srcStride, uint8_t *dst,
                  uint32_t dstStride, uint32_t step, uint16_t norm) {
    uint16_t accum[shrinkYSlots * 4];
    memset(accum, 0, sizeof accum);
    int n = width * 4;
    uint32_t remaining = step;
    for (int s = 0; s < srcHeight; s++) {
        const uint8_t *p = src + (size_t)s * srcStride;
        if (remaining < 65536) {
            uint32_t carry = 65536 - remaining;
            for (int i = 0; i < n; i++) {
                dst[i] = sat8(mulhi((uint16_t)(mulhi(p[i], remaining) + accum[i]), norm));
                accum[i] = mulhi(p[i], carry);
            }
            dst += dstStride;
            remaining = step - carry;
        } else {
            for (int i = 0; i < n; i++) accum[i] = (uint16_t)(accum[i] + p[i]);
            remaining -= 65536;
            if (remaining == 0) {
                for (int i = 0; i < n; i++) {
                    dst[i] = sat8(mulhi(accum[i], norm));
                    accum[i] = 0;
                }
                dst += dstStride;
                remaining = step;
            }
        }
    }
}

// The rule row by row, for the stream on the scalar path.
void shrinkYRowsScalar(ShrinkYStream *ys, const uint8_t *src, int rows, uint32_t srcStride) {
    int n = ys->width * 4;
    uint16_t *accum = ys->accum;
    for (int s = 0; s < rows; s++) {
        const uint8_t *p = src + (size_t)s * srcStride;
        uint8_t *dst = ys->target;
        if (ys->remaining < 65536) {
            uint32_t carry = 65536 - ys->remaining;
            for (int i = 0; i < n; i++) {
                dst[i] = sat8(mulhi((uint16_t)(mulhi(p[i], ys->remaining) + accum[i]), ys->norm));
                accum[i] = mulhi(p[i], carry);
            }
            ys->target += ys->dstStride;
            ys->remaining = ys->step - carry;
        } else {
            for (int i = 0; i < n; i++) accum[i] = (uint16_t)(accum[i] + p[i]);
            ys->remaining -= 65536;
            if (ys->remaining == 0) {
                for (int i = 0; i < n; i++) {
                    dst[i] = sat8(mulhi(accum[i], ys->norm));
                    accum[i] = 0;
                }
                ys->target += ys->dstStride;
                ys->remaining = ys->step;
            }
        }
    }
}

ShrinkKernels installed = {nullptr, nullptr, nullptr, nullptr};
ShrinkPath current = shrinkScalar;

const ShrinkKernels *kernelsOf(ShrinkPath path) {
    static const ShrinkKernels scalar = {nullptr, nullptr, nullptr, nullptr};
    switch (path) {
    case shrinkScalar: return &scalar;
    case shrinkSse2: return &sse2ShrinkKernels;
    case shrinkAvx2: return &avx2ShrinkKernels;
    case shrinkAvx512: return &avx512ShrinkKernels;
    default: return nullptr;
    }
}

bool cpuRuns(ShrinkPath path, const CpuFeatures &cpu) {
    switch (path) {
    case shrinkScalar: return true;
    case shrinkSse2: return cpu.sse2;
    case shrinkAvx2: return cpu.avx2;
    case shrinkAvx512:
        return cpu.avx2 && cpu.avx512f && cpu.avx512bw && cpu.avx512vl && cpu.avx512vbmi;
    default: return false;
    }
}

struct Installer {
    Installer() { setShrinkPath(bestShrinkPath()); }
} installer;

}  // namespace

bool shrinkPathAvailableOn(ShrinkPath path, const CpuFeatures &cpu) {
    const ShrinkKernels *k = kernelsOf(path);
    if (!k) return false;
    if (path != shrinkScalar && (!k->shrinkX || !k->shrinkYRows)) return false;
    // The AVX-512 kernels hand the widths they do not plan to the AVX2 ones.
    if (path == shrinkAvx512 && !shrinkPathAvailableOn(shrinkAvx2, cpu)) return false;
    return cpuRuns(path, cpu);
}

ShrinkPath bestShrinkPathOn(const CpuFeatures &cpu) {
    for (int p = shrinkPathCount - 1; p > shrinkScalar; p--)
        if (shrinkPathAvailableOn((ShrinkPath)p, cpu)) return (ShrinkPath)p;
    return shrinkScalar;
}

void imageShrinkXScalar(const uint8_t *src, int srcWidth, int height, uint32_t srcStride,
                        uint8_t *dst, int dstWidth, uint32_t dstStride) {
    uint32_t step = shrinkStep(srcWidth, dstWidth);
    uint16_t norm = shrinkNorm(srcWidth, dstWidth);
    for (int r = 0; r < height; r++) {
        const uint8_t *p = src + (size_t)r * srcStride;
        uint8_t *d = dst + (size_t)r * dstStride;
        uint16_t accum[4] = {0, 0, 0, 0};
        uint32_t remaining = step;
        for (int x = 0; x < srcWidth; x++, p += 4) {
            if (remaining < 65536) {
                for (int c = 0; c < 4; c++)
                    d[c] = sat8(mulhi((uint16_t)(mulhi(remaining, p[c]) + accum[c]), norm));
                d += 4;
                uint32_t carry = 65536 - remaining;
                for (int c = 0; c < 4; c++) accum[c] = mulhi(carry, p[c]);
                remaining = step - carry;
            } else {
                for (int c = 0; c < 4; c++) accum[c] = (uint16_t)(accum[c] + p[c]);
                remaining -= 65536;
                if (remaining == 0) {
                    for (int c = 0; c < 4; c++) {
                        d[c] = sat8(mulhi(accum[c], norm));
                        accum[c] = 0;
                    }
                    d += 4;
                    remaining = step;
                }
            }
        }
    }
}

void imageShrinkYScalar(const uint8_t *src, int width, int srcHeight, uint32_t srcStride,
                        uint8_t *dst, int dstHeight, uint32_t dstStride) {
    uint32_t step = shrinkStep(srcHeight, dstHeight);
    uint16_t norm = shrinkNorm(srcHeight, dstHeight);
    // Columns are independent, so rows wider than the accumulator array are
    // done in slices rather than overrunning it.
    for (int x = 0; x < width; x += shrinkYSlots) {
        int slice = width - x < shrinkYSlots ? width - x : shrinkYSlots;
        shrinkYSlice(src + (size_t)x * 4, slice, srcHeight, srcStride, dst + (size_t)x * 4,
                     dstStride, step, norm);
    }
}

uint16_t planShrink(int srcSize, int dstSize, ShrinkOp *ops) {
    uint32_t step = shrinkStep(srcSize, dstSize);
    uint32_t remaining = step;
    for (int x = 0; x < srcSize; x++) ops[x] = shrinkNextOp(step, &remaining);
    return shrinkNorm(srcSize, dstSize);
}

void imageShrinkX(const uint8_t *src, int srcWidth, int height, uint32_t srcStride, uint8_t *dst,
                  int dstWidth, uint32_t dstStride) {
    if (installed.shrinkX && srcWidth <= shrinkPlanWidth)
        installed.shrinkX(src, srcWidth, height, srcStride, dst, dstWidth, dstStride);
    else
        imageShrinkXScalar(src, srcWidth, height, srcStride, dst, dstWidth, dstStride);
}

void shrinkYBegin(ShrinkYStream *ys, int width, int srcHeight, int dstHeight, uint8_t *dst,
                  uint32_t dstStride) {
    ys->step = shrinkStep(srcHeight, dstHeight);
    ys->remaining = ys->step;
    ys->norm = shrinkNorm(srcHeight, dstHeight);
    ys->halving = srcHeight == 2 * dstHeight;
    ys->width = width;
    ys->target = dst;
    ys->dstStride = dstStride;
    memset(ys->accum, 0, (size_t)width * 4 * sizeof ys->accum[0]);
}

void shrinkYRows(ShrinkYStream *ys, const uint8_t *src, int rows, uint32_t srcStride) {
    if (installed.shrinkYRows)
        installed.shrinkYRows(ys, src, rows, srcStride);
    else
        shrinkYRowsScalar(ys, src, rows, srcStride);
}

bool shrinkHalveBoth(const uint8_t *src, int dstWidth, int srcRows, uint32_t srcStride, uint8_t *dst,
                     uint32_t dstStride) {
    if (!installed.halveBoth) return false;
    installed.halveBoth(src, dstWidth, srcRows, srcStride, dst, dstStride);
    return true;
}

bool shrinkBand(const uint8_t *src, int srcWidth, int rows, uint32_t srcStride, ShrinkYStream *ys) {
    return installed.band && srcWidth <= shrinkPlanWidth && installed.band(src, srcWidth, rows, srcStride, ys);
}

void imageShrinkY(const uint8_t *src, int width, int srcHeight, uint32_t srcStride, uint8_t *dst,
                  int dstHeight, uint32_t dstStride) {
    ShrinkYStream ys;
    for (int x = 0; x < width; x += shrinkYSlots) {
        int slice = width - x < shrinkYSlots ? width - x : shrinkYSlots;
        shrinkYBegin(&ys, slice, srcHeight, dstHeight, dst + (size_t)x * 4, dstStride);
        shrinkYRows(&ys, src + (size_t)x * 4, srcHeight, srcStride);
    }
}

bool setShrinkPath(ShrinkPath path) {
    if (!shrinkPathAvailableOn(path, cpuFeatures())) return false;
    installed = *kernelsOf(path);
    current = path;
    return true;
}

ShrinkPath currentShrinkPath() { return current; }

ShrinkPath bestShrinkPath() { return bestShrinkPathOn(cpuFeatures()); }
