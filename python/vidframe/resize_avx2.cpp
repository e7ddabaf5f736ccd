// AVX2 kernels of the shrinking passes. The horizontal pass takes eight rows
// at once: a register holds one column of four rows, a pixel per 64-bit
// quarter, so the per-column plan (which does not depend on the row) drives
// them all. The vertical pass runs along each row, sixteen channels per
// register, against the accumulators of the stream. Exact halving (pairs of
// pixels or rows) is done with byte averages.
#include "resize.h"

#if defined(__AVX2__)

#include <immintrin.h>

#include <cstring>

namespace {

inline __m256i splat(uint16_t v) { return _mm256_set1_epi16((short)v); }

// sum = accum + (p & addMask) + mulhi(p, tailWeight); returns sum and leaves
// the next accumulator in *accum.
inline __m256i apply(__m256i p, __m256i *accum, __m256i add, __m256i tail, __m256i keep,
                     __m256i head) {
    __m256i sum = _mm256_add_epi16(
        *accum, _mm256_add_epi16(_mm256_and_si256(p, add), _mm256_mulhi_epu16(p, tail)));
    *accum = _mm256_add_epi16(_mm256_and_si256(sum, keep), _mm256_mulhi_epu16(p, head));
    return sum;
}

inline __m256i floorAverage(__m256i a, __m256i b) {
    __m256i odd = _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1));
    return _mm256_sub_epi8(_mm256_avg_epu8(a, b), odd);
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

// The plan of the last width pair (the readout asks for the same one tile
// row after tile row), and how many targets are complete before each column.
ShrinkOp columnOps[shrinkPlanWidth];
uint16_t columnSlot[shrinkPlanWidth + 1];
int plannedSrc, plannedDst;
uint16_t plannedNorm;

uint16_t plan(int srcWidth, int dstWidth) {
    if (srcWidth != plannedSrc || dstWidth != plannedDst) {
        plannedNorm = planShrink(srcWidth, dstWidth, columnOps);
        int done = 0;
        for (int x = 0; x < srcWidth; x++) {
            columnSlot[x] = (uint16_t)done;
            done += columnOps[x].keepMask ? 0 : 1;
        }
        columnSlot[srcWidth] = (uint16_t)done;
        plannedSrc = srcWidth;
        plannedDst = dstWidth;
    }
    return plannedNorm;
}

// Targets waiting to be written, as their unpacked sums: G registers of four
// rows each per target, a register's rows ordered 0, 1 | 2, 3.
constexpr int maxGroups = 2;
alignas(32) __m256i pending[(shrinkPlanWidth + 1) * maxGroups];

// Writes targets [from, to) of the pending sums into the rows.
template <int G>
void flushTargets(int from, int to, __m256i norm, uint8_t *const *row, int rows) {
    for (int g = 0; g < G; g++, row += 4, rows -= 4) {
        int j = from;
        for (; j + 2 <= to; j += 2) {
            __m256i a = _mm256_mulhi_epu16(pending[j * G + g], norm);
            __m256i b = _mm256_mulhi_epu16(pending[(j + 1) * G + g], norm);
            // per lane: a(r), a(r+1), b(r), b(r+1) -> a(r), b(r), a(r+1), b(r+1)
            __m256i v = _mm256_shuffle_epi32(_mm256_packus_epi16(a, b), _MM_SHUFFLE(3, 1, 2, 0));
            __m128i lo = _mm256_castsi256_si128(v);
            __m128i hi = _mm256_extracti128_si256(v, 1);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(row[0] + j * 4), lo);
            if (rows > 1) storeHigh(row[1] + j * 4, lo);
            if (rows > 2) _mm_storel_epi64(reinterpret_cast<__m128i *>(row[2] + j * 4), hi);
            if (rows > 3) storeHigh(row[3] + j * 4, hi);
        }
        if (j < to) {
            __m256i a = _mm256_mulhi_epu16(pending[j * G + g], norm);
            __m256i v = _mm256_packus_epi16(a, a);
            __m128i lo = _mm256_castsi256_si128(v);
            __m128i hi = _mm256_extracti128_si256(v, 1);
            store32(row[0] + j * 4, (uint32_t)_mm_cvtsi128_si32(lo));
            if (rows > 1) store32(row[1] + j * 4, (uint32_t)_mm_extract_epi32(lo, 1));
            if (rows > 2) store32(row[2] + j * 4, (uint32_t)_mm_cvtsi128_si32(hi));
            if (rows > 3) store32(row[3] + j * 4, (uint32_t)_mm_extract_epi32(hi, 1));
        }
    }
}

// Column x of G groups of four rows.
template <int G>
inline void column(const __m256i *p, int x, __m256i *accum) {
    const ShrinkOp &op = columnOps[x];
    __m256i add = splat(op.addMask), tail = splat(op.tailWeight);
    __m256i keep = splat(op.keepMask), head = splat(op.headWeight);
    __m256i *slot = pending + columnSlot[x] * G;
    for (int g = 0; g < G; g++) slot[g] = apply(p[g], &accum[g], add, tail, keep, head);
}

// Rows r .. r + rows of the block (rows <= 4 * G), G groups of four at once.
template <int G>
void shrinkXRows(const uint8_t *src, int srcWidth, int r, int rows, uint32_t srcStride,
                 uint8_t *dst, int dstWidth, uint32_t dstStride, __m256i norm) {
    const __m256i zero = _mm256_setzero_si256();
    const uint8_t *s[4 * G];
    uint8_t *d[4 * G];
    for (int k = 0; k < 4 * G; k++) {
        int kk = k < rows ? k : rows - 1;  // missing rows repeat the last one, unwritten
        s[k] = src + (size_t)(r + kk) * srcStride;
        d[k] = dst + (size_t)(r + kk) * dstStride;
    }
    __m256i accum[G];
    for (int g = 0; g < G; g++) accum[g] = zero;
    int written = 0;
    int x = 0;
    for (; x + 4 <= srcWidth; x += 4) {
        __m256i c0[G], c1[G], c2[G], c3[G];
        if ((x & 15) == 0)  // one line ahead per row; eight rows outrun the prefetcher
            for (int k = 0; k < 4 * G; k++) _mm_prefetch(reinterpret_cast<const char *>(s[k] + x * 4 + 256), _MM_HINT_T0);
        for (int g = 0; g < G; g++) {
            const uint8_t *const *q = s + 4 * g;
            // rows 0 and 2, 1 and 3 side by side; interleaving them gives two
            // columns of four rows per register, widened below.
            __m256i a = _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(q[2] + x * 4),
                                            reinterpret_cast<const __m128i *>(q[0] + x * 4));
            __m256i b = _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(q[3] + x * 4),
                                            reinterpret_cast<const __m128i *>(q[1] + x * 4));
            __m256i c01 = _mm256_unpacklo_epi32(a, b);
            __m256i c23 = _mm256_unpackhi_epi32(a, b);
            c0[g] = _mm256_unpacklo_epi8(c01, zero);
            c1[g] = _mm256_unpackhi_epi8(c01, zero);
            c2[g] = _mm256_unpacklo_epi8(c23, zero);
            c3[g] = _mm256_unpackhi_epi8(c23, zero);
        }
        column<G>(c0, x, accum);
        column<G>(c1, x + 1, accum);
        column<G>(c2, x + 2, accum);
        column<G>(c3, x + 3, accum);
        int done = columnSlot[x + 4];
        if (done - written >= 32) {
            int upTo = written + ((done - written) & ~1);
            flushTargets<G>(written, upTo, norm, d, rows);
            written = upTo;
        }
    }
    for (; x < srcWidth; x++) {
        __m256i p[G];
        for (int g = 0; g < G; g++) {
            const uint8_t *const *q = s + 4 * g;
            p[g] = _mm256_cvtepu8_epi16(_mm_setr_epi32((int)load32(q[0] + x * 4), (int)load32(q[1] + x * 4),
                                                       (int)load32(q[2] + x * 4), (int)load32(q[3] + x * 4)));
        }
        column<G>(p, x, accum);
    }
    // The plan completes exactly dstWidth targets.
    flushTargets<G>(written, dstWidth, norm, d, rows);
}

void shrinkXPlanned(const uint8_t *src, int srcWidth, int height, uint32_t srcStride, uint8_t *dst,
                    int dstWidth, uint32_t dstStride) {
    __m256i norm = splat(plan(srcWidth, dstWidth));
    int r = 0;
    for (; height - r >= 8; r += 8)
        shrinkXRows<2>(src, srcWidth, r, 8, srcStride, dst, dstWidth, dstStride, norm);
    for (; r < height; r += 4) {
        int rows = height - r < 4 ? height - r : 4;
        shrinkXRows<1>(src, srcWidth, r, rows, srcStride, dst, dstWidth, dstStride, norm);
    }
}

// Halving: every target is the truncated mean of a pixel pair.
void shrinkXHalf(const uint8_t *src, int height, uint32_t srcStride, uint8_t *dst, int dstWidth,
                 uint32_t dstStride) {
    for (int r = 0; r < height; r++) {
        const uint8_t *s = src + (size_t)r * srcStride;
        uint8_t *d = dst + (size_t)r * dstStride;
        int j = 0;
        for (; j + 8 <= dstWidth; j += 8) {
            __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + j * 8));
            __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + j * 8 + 32));
            __m256i even = _mm256_castps_si256(
                _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), 0x88));
            __m256i odd = _mm256_castps_si256(
                _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), 0xdd));
            __m256i m = _mm256_permute4x64_epi64(floorAverage(even, odd), _MM_SHUFFLE(3, 1, 2, 0));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + j * 4), m);
        }
        for (; j < dstWidth; j++)
            for (int c = 0; c < 4; c++) d[j * 4 + c] = (uint8_t)((s[j * 8 + c] + s[j * 8 + 4 + c]) >> 1);
    }
}

// Halving both ways: the pair means of two rows, then their mean. A
// rounding-up average of complements is the complement of the truncated
// average, so complementing once on the way in and once on the way out makes
// all three averages single instructions.
void halveBoth(const uint8_t *src, int dstWidth, int srcRows, uint32_t srcStride, uint8_t *dst,
               uint32_t dstStride) {
    const __m256i ones = _mm256_set1_epi8(-1);
    for (int t = 0; t + 1 < srcRows; t += 2) {
        const uint8_t *a = src + (size_t)t * srcStride;
        const uint8_t *b = a + srcStride;
        uint8_t *d = dst + (size_t)(t / 2) * dstStride;
        int j = 0;
        for (; j + 8 <= dstWidth; j += 8) {
            // A line of each row per step, well ahead of the loads.
            _mm_prefetch(reinterpret_cast<const char *>(a + j * 8 + 1024), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char *>(b + j * 8 + 1024), _MM_HINT_T0);
            __m256 a0 = _mm256_loadu_ps(reinterpret_cast<const float *>(a + j * 8));
            __m256 a1 = _mm256_loadu_ps(reinterpret_cast<const float *>(a + j * 8 + 32));
            __m256 b0 = _mm256_loadu_ps(reinterpret_cast<const float *>(b + j * 8));
            __m256 b1 = _mm256_loadu_ps(reinterpret_cast<const float *>(b + j * 8 + 32));
            __m256i upper = _mm256_avg_epu8(
                _mm256_xor_si256(_mm256_castps_si256(_mm256_shuffle_ps(a0, a1, 0x88)), ones),
                _mm256_xor_si256(_mm256_castps_si256(_mm256_shuffle_ps(a0, a1, 0xdd)), ones));
            __m256i lower = _mm256_avg_epu8(
                _mm256_xor_si256(_mm256_castps_si256(_mm256_shuffle_ps(b0, b1, 0x88)), ones),
                _mm256_xor_si256(_mm256_castps_si256(_mm256_shuffle_ps(b0, b1, 0xdd)), ones));
            __m256i m = _mm256_xor_si256(_mm256_avg_epu8(upper, lower), ones);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + j * 4),
                                _mm256_permute4x64_epi64(m, _MM_SHUFFLE(3, 1, 2, 0)));
        }
        for (; j < dstWidth; j++)
            for (int c = 0; c < 4; c++) {
                int upper = (a[j * 8 + c] + a[j * 8 + 4 + c]) >> 1;
                int lower = (b[j * 8 + c] + b[j * 8 + 4 + c]) >> 1;
                d[j * 4 + c] = (uint8_t)((upper + lower) >> 1);
            }
    }
}

// Whole groups of k = 4n pixels per target: plain sums, then norm.
void shrinkXGroups(const uint8_t *src, int k, int height, uint32_t srcStride, uint8_t *dst,
                   int dstWidth, uint32_t dstStride, uint16_t normValue) {
    __m128i norm = _mm_set1_epi16((short)normValue);
    for (int r = 0; r < height; r++) {
        const uint8_t *s = src + (size_t)r * srcStride;
        uint8_t *d = dst + (size_t)r * dstStride;
        for (int j = 0; j < dstWidth; j++, s += k * 4) {
            __m256i sum = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s)));
            for (int g = 4; g < k; g += 4)
                sum = _mm256_add_epi16(sum, _mm256_cvtepu8_epi16(_mm_loadu_si128(
                                                reinterpret_cast<const __m128i *>(s + g * 4))));
            __m128i half = _mm_add_epi16(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
            half = _mm_add_epi16(half, _mm_unpackhi_epi64(half, half));
            half = _mm_mulhi_epu16(half, norm);
            store32(d + j * 4, (uint32_t)_mm_cvtsi128_si32(_mm_packus_epi16(half, half)));
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

inline __m256i widen16(const uint8_t *p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}
inline __m256i loadAccum(const uint16_t *a) {
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(a));
}
inline void storeAccum(uint16_t *a, __m256i v) {
    _mm256_store_si256(reinterpret_cast<__m256i *>(a), v);
}
// Sixteen channels of 16-bit sums -> their averages as bytes.
inline __m128i average16(__m256i sum, __m256i norm) {
    __m256i m = _mm256_mulhi_epu16(sum, norm);
    return _mm_packus_epi16(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
}
inline uint8_t average1(uint16_t sum, uint16_t norm) {
    int16_t v = (int16_t)((sum * (uint32_t)norm) >> 16);
    return v < 0 ? 0 : v > 255 ? 255 : (uint8_t)v;
}

// One source row: n channels of p into the accumulators, completing the
// target row `out` where the op says so.
void verticalRow(const ShrinkOp &op, const uint8_t *p, uint16_t *accum, int n, uint8_t *out,
                 uint16_t normValue) {
    __m256i norm = splat(normValue);
    int vec = n & ~15;
    int i = 0;
    if (op.keepMask) {  // inside a target: add
        for (; i < vec; i += 16) storeAccum(accum + i, _mm256_add_epi16(loadAccum(accum + i), widen16(p + i)));
        for (; i < n; i++) accum[i] = (uint16_t)(accum[i] + p[i]);
    } else if (op.addMask) {  // the target ends with this row
        for (; i < vec; i += 16) {
            __m256i sum = _mm256_add_epi16(loadAccum(accum + i), widen16(p + i));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), average16(sum, norm));
            storeAccum(accum + i, _mm256_setzero_si256());
        }
        for (; i < n; i++) {
            out[i] = average1((uint16_t)(accum[i] + p[i]), normValue);
            accum[i] = 0;
        }
    } else {  // the target ends inside this row
        __m256i tail = splat(op.tailWeight), head = splat(op.headWeight);
        for (; i < vec; i += 16) {
            __m256i v = widen16(p + i);
            __m256i sum = _mm256_add_epi16(loadAccum(accum + i), _mm256_mulhi_epu16(v, tail));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), average16(sum, norm));
            storeAccum(accum + i, _mm256_mulhi_epu16(v, head));
        }
        for (; i < n; i++) {
            out[i] = average1((uint16_t)(accum[i] + ((p[i] * (uint32_t)op.tailWeight) >> 16)), normValue);
            accum[i] = (uint16_t)((p[i] * (uint32_t)op.headWeight) >> 16);
        }
    }
}

// Two rows whose pair makes one target: their truncated mean.
void averageRows(const uint8_t *a, const uint8_t *b, uint8_t *out, int n) {
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i));
        __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), floorAverage(va, vb));
    }
    for (; i < n; i++) out[i] = (uint8_t)((a[i] + b[i]) >> 1);
}

}  // namespace

const ShrinkKernels avx2ShrinkKernels = {shrinkX, shrinkYRowsWith<averageRows, verticalRow>,
                                            halveBoth, nullptr};

#else

const ShrinkKernels avx2ShrinkKernels = {nullptr, nullptr, nullptr, nullptr};

#endif
