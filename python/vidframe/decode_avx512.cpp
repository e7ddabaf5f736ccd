// 512-bit tile writers: one tile row is one store. Built with AVX-512 F, BW
// and VL enabled and only called after the CPU was found to have F and BW.
#include "decode_kernels.h"

#if defined(__AVX512F__) && defined(__AVX512BW__)
#include <immintrin.h>

namespace {

// Two tile rows: 32 words to 32 pixels. Unpacks work within 128-bit quarters,
// so the quadwords are arranged as (0 4)(1 5)(2 6)(3 7): the low unpack then
// yields the first row's pixels and the high unpack the second row's.
inline void expandTwoRows(const uint8_t *words, uint32_t *row0, uint32_t *row1) {
    const __m512i order = _mm512_set_epi64(7, 3, 6, 2, 5, 1, 4, 0);
    __m512i v = _mm512_loadu_si512(words);
    // (The zero-masking form only avoids a false uninitialised warning of GCC 12.)
    v = _mm512_maskz_permutexvar_epi64((__mmask8)0xFF, order, v);
    // rg: bits of 0x00F8 from v >> 8, the rest from v << 5, kept to 0xFC00.
    const __m512i rg = _mm512_ternarylogic_epi32(_mm512_set1_epi16(0x00F8), _mm512_srli_epi16(v, 8),
                                                 _mm512_slli_epi16(v, 5), 0xCA);
    const __m512i rgMasked = _mm512_and_si512(rg, _mm512_set1_epi16((short)0xFCF8));
    // ba: (v << 3) & 0x00F8 | 0xFF00.
    const __m512i ba = _mm512_ternarylogic_epi32(_mm512_slli_epi16(v, 3), _mm512_set1_epi16(0x00F8),
                                                 _mm512_set1_epi16((short)0xFF00), 0xEA);
    _mm512_storeu_si512(row0, _mm512_unpacklo_epi16(rgMasked, ba));
    _mm512_storeu_si512(row1, _mm512_unpackhi_epi16(rgMasked, ba));
}

// Eight tile rows from dst on.
void solidRowsAvx512(uint32_t *dst, ptrdiff_t stride, uint32_t pixel) {
    const __m512i p = _mm512_set1_epi32((int)pixel);
#pragma GCC unroll 8
    for (int y = 0; y < 8; y++) _mm512_storeu_si512(dst + y * stride, p);
}

void imageRowsAvx512(uint32_t *dst, ptrdiff_t stride, const uint8_t *words) {
#pragma GCC unroll 4
    for (int y = 0; y < 8; y += 2)
        expandTwoRows(words + 32 * y, dst + y * stride, dst + (y + 1) * stride);
}

}  // namespace

const TileWriters avx512TileWriters =
    StaggeredWriter<solidRowsAvx512, imageRowsAvx512>::writers();

#else

const TileWriters avx512TileWriters = {nullptr, nullptr, nullptr};

#endif
