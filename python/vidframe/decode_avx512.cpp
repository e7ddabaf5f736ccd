// 512-bit tile writers: one tile row is one store. Built with AVX-512 F, BW,
// VL and VBMI enabled and only called after the CPU was found to have them.
#include "decode_kernels.h"

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VBMI__)
// GCC 12's AVX-512 intrinsics start from an undefined register and trip its
// own uninitialised-value warnings (fixed in GCC 13); the code is fine.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace {

// One tile row: sixteen 5-6-5 words to sixteen pixels. The words are widened
// to 32-bit lanes; one multishift then picks, for every output byte, the
// eight bits of the lane that end at the component's top bit (red: bits 8-15,
// green: bits 3-10, blue: bits -3 to 4, wrapping within the quadword into bits
// that are zero or masked), and one ternary op keeps the component bits and
// sets the fourth byte.
inline void expandRow(const uint8_t *words, uint32_t *dst) {
    const __m512i v =
        _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(words)));
    // Bit offsets per output byte of a quadword (two pixels), lowest byte last:
    // pixel 1: -, 29, 35, 40; pixel 0: -, 61, 3, 8.
    const __m512i fields = _mm512_set1_epi64(0x001D2328003D0308LL);
    const __m512i picked = _mm512_multishift_epi64_epi8(fields, v);
    // (picked & 0x00F8FCF8) | 0xFF000000
    _mm512_storeu_si512(dst, _mm512_ternarylogic_epi32(picked, _mm512_set1_epi32(0x00F8FCF8),
                                                       _mm512_set1_epi32((int)0xFF000000), 0xEA));
}

// Eight tile rows from dst on.
void solidRowsAvx512(uint32_t *dst, ptrdiff_t stride, uint32_t pixel) {
    const __m512i p = _mm512_set1_epi32((int)pixel);
#pragma GCC unroll 8
    for (int y = 0; y < 8; y++) _mm512_storeu_si512(dst + y * stride, p);
}

void imageRowsAvx512(uint32_t *dst, ptrdiff_t stride, const uint8_t *words) {
#pragma GCC unroll 8
    for (int y = 0; y < 8; y++) expandRow(words + 32 * y, dst + y * stride);
}

}  // namespace

const TileWriters avx512TileWriters =
    StaggeredWriter<solidRowsAvx512, imageRowsAvx512>::writers();

#else

const TileWriters avx512TileWriters = {nullptr, nullptr, nullptr};

#endif
