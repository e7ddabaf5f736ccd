// AVX-512 kernels of the shrinking passes (F, BW, VL and VBMI).
//
// Horizontal: a target pixel's sum is a handful of terms, each one source
// pixel taken whole or times a weight (truncated), so the plan is laid out
// per call as, for every group of eight targets and every term, a byte
// gather (vpermt2b over a 32-pixel window of the row, zero-extending to
// 16-bit lanes), the weights and the mask of lanes that are weighted. A row
// is then a few gathers, multiplies and adds per eight targets, and the
// plan serves eight rows at a time. Rows whose groups reach over more than 32
// pixels or more than maxTerms terms go to the AVX2 kernel.
//
// Vertical and halving: as in AVX2, 32 or 64 channels per step.
#include "resize.h"

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__AVX512VBMI__)

#include <immintrin.h>

#include <cstring>

namespace {

inline __m512i splat(uint16_t v) { return _mm512_set1_epi16((short)v); }

// 16-bit sums read as signed, clamped to bytes (the rule's sat8).
// (The zero-masked forms spare GCC 12 a false "may be used uninitialized".)
inline __m256i saturate(__m512i v) {
    return _mm512_maskz_cvtusepi16_epi8(~(__mmask32)0, _mm512_max_epi16(v, _mm512_setzero_si512()));
}

inline __m512i floorAverage(__m512i a, __m512i b) {
    __m512i odd = _mm512_and_si512(_mm512_xor_si512(a, b), _mm512_set1_epi8(1));
    return _mm512_sub_epi8(_mm512_avg_epu8(a, b), odd);
}

// ---- Horizontal --------------------------------------------------------------

// Even and odd pixels of a, b (16 each) by in-lane shuffles; their pair
// results come out in lane order, which fixLanes puts right.
inline __m512i evenPixels(__m512i a, __m512i b) {
    return _mm512_castps_si512(_mm512_shuffle_ps(_mm512_castsi512_ps(a), _mm512_castsi512_ps(b), 0x88));
}
inline __m512i oddPixels(__m512i a, __m512i b) {
    return _mm512_castps_si512(_mm512_shuffle_ps(_mm512_castsi512_ps(a), _mm512_castsi512_ps(b), 0xdd));
}
inline __m512i fixLanes(__m512i v) {
    return _mm512_maskz_permutexvar_epi64(0xff, _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), v);
}

constexpr int maxTerms = 5;
constexpr int windowPixels = 32;
constexpr int maxGroups = (shrinkPlanWidth + 7) / 8;

struct alignas(64) Term {
    uint8_t index[64];    // byte of the window for each byte of the result
    uint16_t weight[32];  // weighted lanes: mulhi by this
    uint64_t present;     // bytes that take a source byte (the rest are 0)
    uint32_t weighted;    // lanes multiplied; the others take the pixel whole
};

struct Group {
    int x0;     // first pixel of the window
    int terms;  // terms in use
    __mmask64 loadLow, loadHigh;  // the window's pixels inside the row
    __mmask32 store;              // bytes of targets inside the row
};

struct Plan {
    int srcWidth = 0, dstWidth = 0;
    bool fits = false;
    uint16_t norm = 0;
    int groups = 0;
    Group group[maxGroups];
    Term term[maxGroups][maxTerms];
};

Plan plan;

struct Contribution {
    int pixel;
    uint16_t weight;  // 0: the pixel whole
};

// Lays out the plan of the width pair unless it is the last one; false when
// it does not fit the kernel.
bool layOut(int srcWidth, int dstWidth) {
    if (plan.srcWidth == srcWidth && plan.dstWidth == dstWidth) return plan.fits;
    plan.srcWidth = srcWidth;
    plan.dstWidth = dstWidth;
    plan.fits = false;
    static ShrinkOp ops[shrinkPlanWidth];
    plan.norm = planShrink(srcWidth, dstWidth, ops);
    plan.groups = (dstWidth + 7) / 8;
    memset(plan.term, 0, sizeof(Term) * maxTerms * plan.groups);
    // Walk the plan, collecting each target's contributions.
    Contribution c[8][maxTerms];
    int counts[8] = {0};
    int target = 0;
    auto add = [&](int t, int pixel, uint16_t weight) -> bool {
        if (t >= dstWidth) return true;  // past the last target: never emitted
        int slot = t & 7;
        if (counts[slot] == maxTerms) return false;
        c[slot][counts[slot]++] = {pixel, weight};
        return true;
    };
    auto finish = [&](int g) -> bool {
        Group &G = plan.group[g];
        int first = 1 << 30, last = -1, terms = 0;
        for (int t = 0; t < 8 && g * 8 + t < dstWidth; t++) {
            for (int k = 0; k < counts[t]; k++) {
                first = c[t][k].pixel < first ? c[t][k].pixel : first;
                last = c[t][k].pixel > last ? c[t][k].pixel : last;
            }
            terms = counts[t] > terms ? counts[t] : terms;
        }
        if (last - first + 1 > windowPixels) return false;
        G.x0 = first;
        G.terms = terms;
        int inside = srcWidth - first < windowPixels ? srcWidth - first : windowPixels;
        uint64_t bytes = (uint64_t)inside * 4;  // 4 .. 128
        G.loadLow = bytes >= 64 ? ~(__mmask64)0 : (((__mmask64)1 << bytes) - 1);
        G.loadHigh = bytes <= 64 ? 0 : bytes >= 128 ? ~(__mmask64)0 : (((__mmask64)1 << (bytes - 64)) - 1);
        int targets = dstWidth - g * 8 < 8 ? dstWidth - g * 8 : 8;
        G.store = targets == 8 ? ~(__mmask32)0 : (((__mmask32)1 << (targets * 4)) - 1);
        for (int t = 0; t < targets; t++)
            for (int k = 0; k < counts[t]; k++) {
                Term &T = plan.term[g][k];
                for (int ch = 0; ch < 4; ch++) {
                    int lane = t * 4 + ch;
                    T.index[lane * 2] = (uint8_t)((c[t][k].pixel - first) * 4 + ch);
                    T.present |= (uint64_t)1 << (lane * 2);
                    T.weight[lane] = c[t][k].weight;
                    if (c[t][k].weight) T.weighted |= (uint32_t)1 << lane;
                }
            }
        for (int t = 0; t < 8; t++) counts[t] = 0;
        return true;
    };
    for (int x = 0; x < srcWidth; x++) {
        const ShrinkOp &op = ops[x];
        if (!add(target, x, op.addMask ? 0 : op.tailWeight)) return false;
        if (op.keepMask) continue;
        // Target complete; a split pixel's rest opens the next one.
        if ((target & 7) == 7 || target + 1 == dstWidth)
            if (!finish(target >> 3)) return false;
        target++;
        if (!op.addMask && !add(target, x, op.headWeight)) return false;
    }
    if (target < dstWidth) return false;  // cannot happen: the plan completes them all
    plan.fits = true;
    return true;
}

// The horizontal sums of group g in R rows (s: their starts), prefetching
// every other group the rows `ahead` bytes further on (the next band's;
// prefetches never fault).
template <int R>
inline void groupSums(const uint8_t *const *s, int g, size_t ahead, __m512i *sum) {
    const Group &G = plan.group[g];
    __m512i low[R], high[R];
    if ((g & 1) == 0)
#pragma GCC unroll 8
        for (int r = 0; r < R; r++)
            _mm_prefetch(reinterpret_cast<const char *>(s[r] + ahead + (size_t)G.x0 * 4), _MM_HINT_T0);
#pragma GCC unroll 8
    for (int r = 0; r < R; r++) {
        const uint8_t *p = s[r] + (size_t)G.x0 * 4;
        low[r] = _mm512_maskz_loadu_epi8(G.loadLow, p);
        high[r] = _mm512_maskz_loadu_epi8(G.loadHigh, p + 64);
        sum[r] = _mm512_setzero_si512();
    }
    for (int k = 0; k < G.terms; k++) {
        const Term &T = plan.term[g][k];
        __m512i index = _mm512_load_si512(T.index);
        __m512i weight = _mm512_load_si512(T.weight);
        __mmask64 present = T.present;
        __mmask32 weighted = T.weighted;
#pragma GCC unroll 8
        for (int r = 0; r < R; r++) {
            __m512i v = _mm512_maskz_permutex2var_epi8(present, low[r], index, high[r]);
            sum[r] = _mm512_add_epi16(sum[r], _mm512_mask_mulhi_epu16(v, weighted, v, weight));
        }
    }
}

// R rows, one group at a time for all of them.
template <int R>
void shrinkXRows(const uint8_t *const *s, uint8_t *const *d, __m512i norm, size_t ahead) {
    for (int g = 0; g < plan.groups; g++) {
        __m512i sum[R];
        groupSums<R>(s, g, ahead, sum);
#pragma GCC unroll 8
        for (int r = 0; r < R; r++)
            _mm256_mask_storeu_epi8(d[r] + (size_t)g * 32, plan.group[g].store,
                                    saturate(_mm512_mulhi_epu16(sum[r], norm)));
    }
}

// Halving: every target is the truncated mean of a pixel pair.
void shrinkXHalf(const uint8_t *src, int height, uint32_t srcStride, uint8_t *dst, int dstWidth,
                 uint32_t dstStride) {
    for (int r = 0; r < height; r++) {
        const uint8_t *s = src + (size_t)r * srcStride;
        uint8_t *d = dst + (size_t)r * dstStride;
        int j = 0;
        for (; j + 16 <= dstWidth; j += 16) {
            __m512i a = _mm512_loadu_si512(s + j * 8);
            __m512i b = _mm512_loadu_si512(s + j * 8 + 64);
            _mm512_storeu_si512(d + j * 4, fixLanes(floorAverage(evenPixels(a, b), oddPixels(a, b))));
        }
        for (; j < dstWidth; j++)
            for (int c = 0; c < 4; c++) d[j * 4 + c] = (uint8_t)((s[j * 8 + c] + s[j * 8 + 4 + c]) >> 1);
    }
}

void shrinkX(const uint8_t *src, int srcWidth, int height, uint32_t srcStride, uint8_t *dst,
             int dstWidth, uint32_t dstStride) {
    if (srcWidth == 2 * dstWidth) {
        shrinkXHalf(src, height, srcStride, dst, dstWidth, dstStride);
        return;
    }
    if (!layOut(srcWidth, dstWidth)) {
        // This path is only installed where the AVX2 kernels are.
        avx2ShrinkKernels.shrinkX(src, srcWidth, height, srcStride, dst, dstWidth, dstStride);
        return;
    }
    __m512i norm = splat(plan.norm);
    size_t ahead = (size_t)height * srcStride;
    const uint8_t *s[8];
    uint8_t *d[8];
    int r = 0;
    for (; r + 8 <= height; r += 8) {
        for (int k = 0; k < 8; k++) {
            s[k] = src + (size_t)(r + k) * srcStride;
            d[k] = dst + (size_t)(r + k) * dstStride;
        }
        shrinkXRows<8>(s, d, norm, ahead);
    }
    for (; r + 4 <= height; r += 4) {
        for (int k = 0; k < 4; k++) {
            s[k] = src + (size_t)(r + k) * srcStride;
            d[k] = dst + (size_t)(r + k) * dstStride;
        }
        shrinkXRows<4>(s, d, norm, ahead);
    }
    for (; r < height; r++) {
        s[0] = src + (size_t)r * srcStride;
        d[0] = dst + (size_t)r * dstStride;
        shrinkXRows<1>(s, d, norm, ahead);
    }
}

// Halving both ways: complements make the three truncated averages single
// rounding-up averages (see the AVX2 kernel).
void halveBoth(const uint8_t *src, int dstWidth, int srcRows, uint32_t srcStride, uint8_t *dst,
               uint32_t dstStride) {
    const __m512i ones = _mm512_set1_epi8(-1);
    for (int t = 0; t + 1 < srcRows; t += 2) {
        const uint8_t *a = src + (size_t)t * srcStride;
        const uint8_t *b = a + srcStride;
        uint8_t *d = dst + (size_t)(t / 2) * dstStride;
        int j = 0;
        for (; j + 16 <= dstWidth; j += 16) {
            __m512i a0 = _mm512_loadu_si512(a + j * 8), a1 = _mm512_loadu_si512(a + j * 8 + 64);
            __m512i b0 = _mm512_loadu_si512(b + j * 8), b1 = _mm512_loadu_si512(b + j * 8 + 64);
            __m512i upper = _mm512_avg_epu8(_mm512_xor_si512(evenPixels(a0, a1), ones),
                                            _mm512_xor_si512(oddPixels(a0, a1), ones));
            __m512i lower = _mm512_avg_epu8(_mm512_xor_si512(evenPixels(b0, b1), ones),
                                            _mm512_xor_si512(oddPixels(b0, b1), ones));
            _mm512_storeu_si512(d + j * 4, fixLanes(_mm512_xor_si512(_mm512_avg_epu8(upper, lower), ones)));
        }
        for (; j < dstWidth; j++)
            for (int c = 0; c < 4; c++) {
                int upper = (a[j * 8 + c] + a[j * 8 + 4 + c]) >> 1;
                int lower = (b[j * 8 + c] + b[j * 8 + 4 + c]) >> 1;
                d[j * 4 + c] = (uint8_t)((upper + lower) >> 1);
            }
    }
}

// ---- Vertical ----------------------------------------------------------------

inline __m512i widen32(const uint8_t *p) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}
inline __m512i loadAccum(const uint16_t *a) { return _mm512_loadu_si512(a); }
inline void storeAccum(uint16_t *a, __m512i v) { _mm512_storeu_si512(a, v); }
inline void storeOut(uint8_t *out, __m512i sum, __m512i norm) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), saturate(_mm512_mulhi_epu16(sum, norm)));
}
inline uint8_t average1(uint16_t sum, uint16_t norm) {
    int16_t v = (int16_t)((sum * (uint32_t)norm) >> 16);
    return v < 0 ? 0 : v > 255 ? 255 : (uint8_t)v;
}

void verticalRow(const ShrinkOp &op, const uint8_t *p, uint16_t *accum, int n, uint8_t *out,
                 uint16_t normValue) {
    __m512i norm = splat(normValue);
    int vec = n & ~31;
    int i = 0;
    if (op.keepMask) {  // inside a target: add
        for (; i < vec; i += 32) storeAccum(accum + i, _mm512_add_epi16(loadAccum(accum + i), widen32(p + i)));
        for (; i < n; i++) accum[i] = (uint16_t)(accum[i] + p[i]);
    } else if (op.addMask) {  // the target ends with this row
        for (; i < vec; i += 32) {
            storeOut(out + i, _mm512_add_epi16(loadAccum(accum + i), widen32(p + i)), norm);
            storeAccum(accum + i, _mm512_setzero_si512());
        }
        for (; i < n; i++) {
            out[i] = average1((uint16_t)(accum[i] + p[i]), normValue);
            accum[i] = 0;
        }
    } else {  // the target ends inside this row
        __m512i tail = splat(op.tailWeight), head = splat(op.headWeight);
        for (; i < vec; i += 32) {
            __m512i v = widen32(p + i);
            storeOut(out + i, _mm512_add_epi16(loadAccum(accum + i), _mm512_mulhi_epu16(v, tail)), norm);
            storeAccum(accum + i, _mm512_mulhi_epu16(v, head));
        }
        for (; i < n; i++) {
            out[i] = average1((uint16_t)(accum[i] + ((p[i] * (uint32_t)op.tailWeight) >> 16)), normValue);
            accum[i] = (uint16_t)((p[i] * (uint32_t)op.headWeight) >> 16);
        }
    }
}

void averageRows(const uint8_t *a, const uint8_t *b, uint8_t *out, int n) {
    int i = 0;
    for (; i + 64 <= n; i += 64)
        _mm512_storeu_si512(out + i, floorAverage(_mm512_loadu_si512(a + i), _mm512_loadu_si512(b + i)));
    for (; i < n; i++) out[i] = (uint8_t)((a[i] + b[i]) >> 1);
}

// Up to 64 source rows as the vertical pass takes them: each row's op, the
// target row it adds to, and its weights splatted. The same for every strip
// of the rows.
struct RowRun {
    int rows;
    ShrinkOp ops[64];
    uint8_t *targets[64];
    __m512i tails[64], heads[64];
};

// The next `rows` (<= 64) rows of the stream, which it advances past them.
void takeRows(ShrinkYStream *ys, int rows, RowRun *run) {
    run->rows = rows;
    for (int s = 0; s < rows; s++) {
        run->ops[s] = shrinkNextOp(ys->step, &ys->remaining);
        run->tails[s] = splat(run->ops[s].tailWeight);
        run->heads[s] = splat(run->ops[s].headWeight);
        run->targets[s] = ys->target;
        if (!run->ops[s].keepMask) ys->target += ys->dstStride;
    }
}

// Row s of the run, values v (16-bit, one per channel), into the
// accumulators acc of the 32 channels whose target bytes start at out;
// returns the accumulators that follow.
inline __m512i verticalStep(const RowRun &run, int s, __m512i acc, __m512i v, uint8_t *out, __mmask32 lanes,
                            __m512i norm) {
    const ShrinkOp &op = run.ops[s];
    if (op.keepMask) return _mm512_add_epi16(acc, v);  // inside a target
    if (op.addMask) {                                  // the target ends with this row
        _mm256_mask_storeu_epi8(out, lanes, saturate(_mm512_mulhi_epu16(_mm512_add_epi16(acc, v), norm)));
        return _mm512_setzero_si512();
    }
    // The target ends inside this row.
    __m512i sum = _mm512_add_epi16(acc, _mm512_mulhi_epu16(v, run.tails[s]));
    _mm256_mask_storeu_epi8(out, lanes, saturate(_mm512_mulhi_epu16(sum, norm)));
    return _mm512_mulhi_epu16(v, run.heads[s]);
}

// A run of source rows in strips of 32 channels: each strip walks every row
// of the run with its accumulators in a register, so they touch memory once
// per run rather than once per row.
void shrinkYRunStrips(ShrinkYStream *ys, const uint8_t *src, int rows, uint32_t srcStride) {
    static RowRun run;
    const int n = ys->width * 4;
    const __m512i norm = splat(ys->norm);
    for (int s0 = 0; s0 < rows; s0 += 64) {
        uint8_t *first = ys->target;
        takeRows(ys, rows - s0 < 64 ? rows - s0 : 64, &run);
        const uint8_t *base = src + (size_t)s0 * srcStride;
        // Where the next run of as many rows will write, for prefetching.
        int completed = (int)((ys->target - first) / ys->dstStride);
        const uint8_t *next = ys->target;
        for (int i = 0; i < n; i += 32) {
            int left = n - i;
            __mmask32 lanes = left >= 32 ? ~(__mmask32)0 : (((__mmask32)1 << left) - 1);
            if ((i & 63) == 0)
                for (int k = 0; k < completed; k++)
                    _mm_prefetch(reinterpret_cast<const char *>(next + (size_t)k * ys->dstStride + i), _MM_HINT_ET0);
            __m512i acc = _mm512_maskz_loadu_epi16(lanes, ys->accum + i);
            const uint8_t *p = base + i;
            for (int s = 0; s < run.rows; s++, p += srcStride) {
                __m512i v = _mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(lanes, p));
                acc = verticalStep(run, s, acc, v, run.targets[s] + i, lanes, norm);
            }
            _mm512_mask_storeu_epi16(ys->accum + i, lanes, acc);
        }
    }
}

void shrinkYRowsStrips(ShrinkYStream *ys, const uint8_t *src, int rows, uint32_t srcStride) {
    if (ys->halving)
        shrinkYRowsWith<averageRows, verticalRow>(ys, src, rows, srcStride);
    else
        shrinkYRunStrips(ys, src, rows, srcStride);
}

// ---- Both passes -------------------------------------------------------------

// Eight rows of the band from row r: the horizontal pass as in shrinkXRows,
// each group's results clamped to bytes in registers and taken straight on
// through the vertical pass, whose accumulators for the group's 32 channels
// are loaded and stored once.
void bandRows8(const uint8_t *src, uint32_t srcStride, int r, const RowRun &run, ShrinkYStream *ys,
               size_t ahead) {
    const __m512i normX = splat(plan.norm), normY = splat(ys->norm);
    const __m512i zero = _mm512_setzero_si512(), top = splat(255);
    const uint8_t *s[8];
    for (int k = 0; k < 8; k++) s[k] = src + (size_t)(r + k) * srcStride;
    for (int g = 0; g < plan.groups; g++) {
        const Group &G = plan.group[g];
        __m512i sum[8];
        groupSums<8>(s, g, ahead, sum);
        __mmask32 lanes = G.store;  // a target's channel: one 16-bit lane here, one byte out there
        __m512i acc = _mm512_maskz_loadu_epi16(lanes, ys->accum + g * 32);
#pragma GCC unroll 8
        for (int k = 0; k < 8; k++) {
            // The horizontal result as the byte it would be stored as.
            __m512i v = _mm512_min_epi16(_mm512_max_epi16(_mm512_mulhi_epu16(sum[k], normX), zero), top);
            acc = verticalStep(run, r + k, acc, v, run.targets[r + k] + (size_t)g * 32, lanes, normY);
        }
        _mm512_mask_storeu_epi16(ys->accum + g * 32, lanes, acc);
    }
}

bool band(const uint8_t *src, int srcWidth, int rows, uint32_t srcStride, ShrinkYStream *ys) {
    static RowRun run;
    if (ys->halving || rows > 64 || rows % 8 != 0 || ys->width > shrinkYSlots || ys->width >= srcWidth ||
        !layOut(srcWidth, ys->width))
        return false;
    takeRows(ys, rows, &run);
    size_t ahead = (size_t)rows * srcStride;
    for (int r = 0; r < rows; r += 8) bandRows8(src, srcStride, r, run, ys, ahead);
    return true;
}

}  // namespace

const ShrinkKernels avx512ShrinkKernels = {shrinkX, shrinkYRowsStrips, halveBoth, band};

#else

const ShrinkKernels avx512ShrinkKernels = {nullptr, nullptr, nullptr, nullptr};

#endif
