// SSE2 kernels of the shrinking passes. The horizontal pass takes two rows
// at once, one pixel of each per 64-bit half, driven by the per-column plan;
// the vertical pass runs along each row, sixteen channels per step, against
// the accumulators of the stream. Exact halving is done with byte averages.
#include "resize.h"

#if defined(__SSE2__)

#include <emmintrin.h>

#include <cstring>

namespace {

inline __m128i splat(uint16_t v) { return _mm_set1_epi16((short)v); }

inline __m128i apply(__m128i p, __m128i *accum, __m128i add, __m128i tail, __m128i keep,
                     __m128i head) {
    __m128i sum =
        _mm_add_epi16(*accum, _mm_add_epi16(_mm_and_si128(p, add), _mm_mulhi_epu16(p, tail)));
    *accum = _mm_add_epi16(_mm_and_si128(sum, keep), _mm_mulhi_epu16(p, head));
    return sum;
}

inline __m128i floorAverage(__m128i a, __m128i b) {
    __m128i odd = _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1));
    return _mm_sub_epi8(_mm_avg_epu8(a, b), odd);
}

inline uint32_t load32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline void store32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }
// The upper 8 bytes of v, to any address.
inline void storeHigh(uint8_t *p, __m128i v) {
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_unpackhi_epi64(v, v));
}

// ---- Horizontal --------------------------------------------------------------

alignas(16) __m128i pending[shrinkPlanWidth + 1];
// The plan of the last width pair; the readout asks for the same one tile
// row after tile row.
ShrinkOp columnOps[shrinkPlanWidth];
int plannedSrc, plannedDst;
uint16_t plannedNorm;

uint16_t plan(int srcWidth, int dstWidth) {
    if (srcWidth != plannedSrc || dstWidth != plannedDst) {
        plannedNorm = planShrink(srcWidth, dstWidth, columnOps);
        plannedSrc = srcWidth;
        plannedDst = dstWidth;
    }
    return plannedNorm;
}

void flushTargets(int from, int to, __m128i norm, uint8_t *const row[2], int rows) {
    int j = from;
    for (; j + 2 <= to; j += 2) {
        __m128i a = _mm_mulhi_epu16(pending[j], norm);
        __m128i b = _mm_mulhi_epu16(pending[j + 1], norm);
        // a(0), a(1), b(0), b(1) -> a(0), b(0), a(1), b(1)
        __m128i v = _mm_shuffle_epi32(_mm_packus_epi16(a, b), _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(row[0] + j * 4), v);
        if (rows > 1) storeHigh(row[1] + j * 4, v);
    }
    if (j < to) {
        __m128i a = _mm_mulhi_epu16(pending[j], norm);
        __m128i v = _mm_packus_epi16(a, a);
        store32(row[0] + j * 4, (uint32_t)_mm_cvtsi128_si32(v));
        if (rows > 1) store32(row[1] + j * 4, (uint32_t)_mm_cvtsi128_si32(_mm_srli_si128(v, 4)));
    }
}

inline void column(__m128i p, const ShrinkOp &op, __m128i *accum, int *pos) {
    pending[*pos] = apply(p, accum, splat(op.addMask), splat(op.tailWeight), splat(op.keepMask),
                          splat(op.headWeight));
    *pos += 1 - (op.keepMask & 1);
}

void shrinkXPlanned(const uint8_t *src, int srcWidth, int height, uint32_t srcStride, uint8_t *dst,
                    int dstWidth, uint32_t dstStride) {
    __m128i norm = splat(plan(srcWidth, dstWidth));
    const __m128i zero = _mm_setzero_si128();
    for (int r = 0; r < height; r += 2) {
        int rows = height - r < 2 ? height - r : 2;
        const uint8_t *s[2] = {src + (size_t)r * srcStride,
                               src + (size_t)(r + rows - 1) * srcStride};
        uint8_t *d[2] = {dst + (size_t)r * dstStride, dst + (size_t)(r + rows - 1) * dstStride};
        __m128i accum = zero;
        int pos = 0, written = 0;
        int x = 0;
        for (; x + 4 <= srcWidth; x += 4) {
            if ((x & 15) == 0) {  // a line ahead in both rows
                _mm_prefetch(reinterpret_cast<const char *>(s[0] + x * 4 + 256), _MM_HINT_T0);
                _mm_prefetch(reinterpret_cast<const char *>(s[1] + x * 4 + 256), _MM_HINT_T0);
            }
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s[0] + x * 4));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s[1] + x * 4));
            __m128i c01 = _mm_unpacklo_epi32(a, b);
            __m128i c23 = _mm_unpackhi_epi32(a, b);
            column(_mm_unpacklo_epi8(c01, zero), columnOps[x], &accum, &pos);
            column(_mm_unpackhi_epi8(c01, zero), columnOps[x + 1], &accum, &pos);
            column(_mm_unpacklo_epi8(c23, zero), columnOps[x + 2], &accum, &pos);
            column(_mm_unpackhi_epi8(c23, zero), columnOps[x + 3], &accum, &pos);
            if (pos - written >= 32) {
                int upTo = written + ((pos - written) & ~1);
                flushTargets(written, upTo, norm, d, rows);
                written = upTo;
            }
        }
        for (; x < srcWidth; x++) {
            __m128i p = _mm_unpacklo_epi32(_mm_cvtsi32_si128((int)load32(s[0] + x * 4)),
                                           _mm_cvtsi32_si128((int)load32(s[1] + x * 4)));
            column(_mm_unpacklo_epi8(p, zero), columnOps[x], &accum, &pos);
        }
        flushTargets(written, dstWidth, norm, d, rows);
    }
}

void shrinkXHalf(const uint8_t *src, int height, uint32_t srcStride, uint8_t *dst, int dstWidth,
                 uint32_t dstStride) {
    for (int r = 0; r < height; r++) {
        const uint8_t *s = src + (size_t)r * srcStride;
        uint8_t *d = dst + (size_t)r * dstStride;
        int j = 0;
        for (; j + 4 <= dstWidth; j += 4) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + j * 8));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + j * 8 + 16));
            __m128i even = _mm_castps_si128(
                _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), 0x88));
            __m128i odd = _mm_castps_si128(
                _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), 0xdd));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + j * 4), floorAverage(even, odd));
        }
        for (; j < dstWidth; j++)
            for (int c = 0; c < 4; c++) d[j * 4 + c] = (uint8_t)((s[j * 8 + c] + s[j * 8 + 4 + c]) >> 1);
    }
}

// Halving both ways: the pair means of two rows, then their mean.
void halveBoth(const uint8_t *src, int dstWidth, int srcRows, uint32_t srcStride, uint8_t *dst,
               uint32_t dstStride) {
    for (int t = 0; t + 1 < srcRows; t += 2) {
        const uint8_t *a = src + (size_t)t * srcStride;
        const uint8_t *b = a + srcStride;
        uint8_t *d = dst + (size_t)(t / 2) * dstStride;
        int j = 0;
        for (; j + 4 <= dstWidth; j += 4) {
            __m128 a0 = _mm_loadu_ps(reinterpret_cast<const float *>(a + j * 8));
            __m128 a1 = _mm_loadu_ps(reinterpret_cast<const float *>(a + j * 8 + 16));
            __m128 b0 = _mm_loadu_ps(reinterpret_cast<const float *>(b + j * 8));
            __m128 b1 = _mm_loadu_ps(reinterpret_cast<const float *>(b + j * 8 + 16));
            __m128i upper = floorAverage(_mm_castps_si128(_mm_shuffle_ps(a0, a1, 0x88)),
                                         _mm_castps_si128(_mm_shuffle_ps(a0, a1, 0xdd)));
            __m128i lower = floorAverage(_mm_castps_si128(_mm_shuffle_ps(b0, b1, 0x88)),
                                         _mm_castps_si128(_mm_shuffle_ps(b0, b1, 0xdd)));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + j * 4), floorAverage(upper, lower));
        }
        for (; j < dstWidth; j++)
            for (int c = 0; c < 4; c++) {
                int upper = (a[j * 8 + c] + a[j * 8 + 4 + c]) >> 1;
                int lower = (b[j * 8 + c] + b[j * 8 + 4 + c]) >> 1;
                d[j * 4 + c] = (uint8_t)((upper + lower) >> 1);
            }
    }
}

void shrinkXGroups(const uint8_t *src, int k, int height, uint32_t srcStride, uint8_t *dst,
                   int dstWidth, uint32_t dstStride, uint16_t normValue) {
    __m128i norm = splat(normValue);
    const __m128i zero = _mm_setzero_si128();
    for (int r = 0; r < height; r++) {
        const uint8_t *s = src + (size_t)r * srcStride;
        uint8_t *d = dst + (size_t)r * dstStride;
        for (int j = 0; j < dstWidth; j++, s += k * 4) {
            __m128i sum = zero;
            for (int g = 0; g < k; g += 4) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + g * 4));
                sum = _mm_add_epi16(sum, _mm_add_epi16(_mm_unpacklo_epi8(v, zero),
                                                       _mm_unpackhi_epi8(v, zero)));
            }
            sum = _mm_add_epi16(sum, _mm_unpackhi_epi64(sum, sum));
            sum = _mm_mulhi_epu16(sum, norm);
            store32(d + j * 4, (uint32_t)_mm_cvtsi128_si32(_mm_packus_epi16(sum, sum)));
        }
    }
}

void shrinkX(const uint8_t *src, int srcWidth, int height, uint32_t srcStride, uint8_t *dst,
             int dstWidth, uint32_t dstStride) {
    if (srcWidth == 2 * dstWidth) {
        shrinkXHalf(src, height, srcStride, dst, dstWidth, dstStride);
    } else if (srcWidth % dstWidth == 0 && (srcWidth / dstWidth) % 4 == 0) {
        shrinkXGroups(src, srcWidth / dstWidth, height, srcStride, dst, dstWidth, dstStride,
                      shrinkNorm(srcWidth, dstWidth));
    } else {
        shrinkXPlanned(src, srcWidth, height, srcStride, dst, dstWidth, dstStride);
    }
}

// ---- Vertical ----------------------------------------------------------------

inline __m128i loadAccum(const uint16_t *a) { return _mm_load_si128(reinterpret_cast<const __m128i *>(a)); }
inline void storeAccum(uint16_t *a, __m128i v) { _mm_store_si128(reinterpret_cast<__m128i *>(a), v); }
inline uint8_t average1(uint16_t sum, uint16_t norm) {
    int16_t v = (int16_t)((sum * (uint32_t)norm) >> 16);
    return v < 0 ? 0 : v > 255 ? 255 : (uint8_t)v;
}

// One source row: n channels of p into the accumulators, completing the
// target row `out` where the op says so; sixteen channels per step.
void verticalRow(const ShrinkOp &op, const uint8_t *p, uint16_t *accum, int n, uint8_t *out,
                 uint16_t normValue) {
    const __m128i zero = _mm_setzero_si128();
    __m128i norm = splat(normValue);
    int vec = n & ~15;
    int i = 0;
    if (op.keepMask) {  // inside a target: add
        for (; i < vec; i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            storeAccum(accum + i, _mm_add_epi16(loadAccum(accum + i), _mm_unpacklo_epi8(v, zero)));
            storeAccum(accum + i + 8, _mm_add_epi16(loadAccum(accum + i + 8), _mm_unpackhi_epi8(v, zero)));
        }
        for (; i < n; i++) accum[i] = (uint16_t)(accum[i] + p[i]);
    } else if (op.addMask) {  // the target ends with this row
        for (; i < vec; i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            __m128i lo = _mm_add_epi16(loadAccum(accum + i), _mm_unpacklo_epi8(v, zero));
            __m128i hi = _mm_add_epi16(loadAccum(accum + i + 8), _mm_unpackhi_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                             _mm_packus_epi16(_mm_mulhi_epu16(lo, norm), _mm_mulhi_epu16(hi, norm)));
            storeAccum(accum + i, zero);
            storeAccum(accum + i + 8, zero);
        }
        for (; i < n; i++) {
            out[i] = average1((uint16_t)(accum[i] + p[i]), normValue);
            accum[i] = 0;
        }
    } else {  // the target ends inside this row
        __m128i tail = splat(op.tailWeight), head = splat(op.headWeight);
        for (; i < vec; i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            __m128i vlo = _mm_unpacklo_epi8(v, zero), vhi = _mm_unpackhi_epi8(v, zero);
            __m128i lo = _mm_add_epi16(loadAccum(accum + i), _mm_mulhi_epu16(vlo, tail));
            __m128i hi = _mm_add_epi16(loadAccum(accum + i + 8), _mm_mulhi_epu16(vhi, tail));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                             _mm_packus_epi16(_mm_mulhi_epu16(lo, norm), _mm_mulhi_epu16(hi, norm)));
            storeAccum(accum + i, _mm_mulhi_epu16(vlo, head));
            storeAccum(accum + i + 8, _mm_mulhi_epu16(vhi, head));
        }
        for (; i < n; i++) {
            out[i] = average1((uint16_t)(accum[i] + ((p[i] * (uint32_t)op.tailWeight) >> 16)), normValue);
            accum[i] = (uint16_t)((p[i] * (uint32_t)op.headWeight) >> 16);
        }
    }
}

void averageRows(const uint8_t *a, const uint8_t *b, uint8_t *out, int n) {
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
        __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), floorAverage(va, vb));
    }
    for (; i < n; i++) out[i] = (uint8_t)((a[i] + b[i]) >> 1);
}

}  // namespace

const ShrinkKernels sse2ShrinkKernels = {shrinkX, shrinkYRowsWith<averageRows, verticalRow>,
                                            halveBoth, nullptr};

#else

const ShrinkKernels sse2ShrinkKernels = {nullptr, nullptr, nullptr, nullptr};

#endif
