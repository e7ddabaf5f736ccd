// 256-bit tile writers: one tile row is two stores. Built with -mavx2 and
// only called after the CPU was found to have AVX2.
#include "decode_kernels.h"

#if defined(__AVX2__)
#include <immintrin.h>

namespace {

// One tile row: sixteen 5-6-5 words to sixteen pixels. The unpacks below work
// within 128-bit halves, so the words are first arranged as 0-3 8-11 | 4-7
// 12-15; the low unpack then yields pixels 0-7 and the high one 8-15.
inline void expandRow(const uint8_t *words, uint32_t *dst) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(words));
    v = _mm256_permute4x64_epi64(v, 0xD8);
    const __m256i red = _mm256_and_si256(_mm256_srli_epi16(v, 8), _mm256_set1_epi16(0x00F8));
    const __m256i green =
        _mm256_and_si256(_mm256_slli_epi16(v, 5), _mm256_set1_epi16((short)0xFC00));
    const __m256i rg = _mm256_or_si256(red, green);
    // Blue lands in bits 3-7; the green bits shifted into the high byte are
    // covered by the fourth byte's 0xFF.
    const __m256i ba = _mm256_or_si256(_mm256_slli_epi16(v, 3), _mm256_set1_epi16((short)0xFF00));
    __m256i *d = reinterpret_cast<__m256i *>(dst);
    _mm256_storeu_si256(d, _mm256_unpacklo_epi16(rg, ba));
    _mm256_storeu_si256(d + 1, _mm256_unpackhi_epi16(rg, ba));
}

// Eight tile rows from dst on.
void solidRowsAvx2(uint32_t *dst, ptrdiff_t stride, uint32_t pixel) {
    const __m256i p = _mm256_set1_epi32((int)pixel);
#pragma GCC unroll 8
    for (int y = 0; y < 8; y++) {
        __m256i *d = reinterpret_cast<__m256i *>(dst + y * stride);
        _mm256_storeu_si256(d, p);
        _mm256_storeu_si256(d + 1, p);
    }
}

void imageRowsAvx2(uint32_t *dst, ptrdiff_t stride, const uint8_t *words) {
#pragma GCC unroll 8
    for (int y = 0; y < 8; y++) expandRow(words + 32 * y, dst + y * stride);
}

}  // namespace

const TileWriters avx2TileWriters = StaggeredWriter<solidRowsAvx2, imageRowsAvx2>::writers();

#else

const TileWriters avx2TileWriters = {nullptr, nullptr, nullptr};

#endif
