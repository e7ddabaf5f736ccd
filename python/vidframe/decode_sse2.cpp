// 128-bit tile writers: the portable x86 level (every x86-64 CPU has SSE2).
#include "decode_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>

namespace {

// Eight 5-6-5 words to eight pixels. The red and green bytes are built in one
// 16-bit lane, blue and the constant fourth byte in another, and interleaving
// the two lanes gives the pixels in memory order.
inline void expandEight(const uint8_t *words, uint32_t *dst) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(words));
    const __m128i red = _mm_and_si128(_mm_srli_epi16(v, 8), _mm_set1_epi16(0x00F8));
    const __m128i green = _mm_and_si128(_mm_slli_epi16(v, 5), _mm_set1_epi16((short)0xFC00));
    const __m128i rg = _mm_or_si128(red, green);
    // Blue lands in bits 3-7; the green bits shifted into the high byte are
    // covered by the fourth byte's 0xFF.
    const __m128i ba = _mm_or_si128(_mm_slli_epi16(v, 3), _mm_set1_epi16((short)0xFF00));
    __m128i *d = reinterpret_cast<__m128i *>(dst);
    _mm_storeu_si128(d, _mm_unpacklo_epi16(rg, ba));
    _mm_storeu_si128(d + 1, _mm_unpackhi_epi16(rg, ba));
}

// Eight tile rows from dst on.
void solidRowsSse2(uint32_t *dst, ptrdiff_t stride, uint32_t pixel) {
    const __m128i p = _mm_set1_epi32((int)pixel);
#pragma GCC unroll 8
    for (int y = 0; y < 8; y++) {
        __m128i *d = reinterpret_cast<__m128i *>(dst + y * stride);
        _mm_storeu_si128(d, p);
        _mm_storeu_si128(d + 1, p);
        _mm_storeu_si128(d + 2, p);
        _mm_storeu_si128(d + 3, p);
    }
}

void imageRowsSse2(uint32_t *dst, ptrdiff_t stride, const uint8_t *words) {
#pragma GCC unroll 8
    for (int y = 0; y < 8; y++) {
        expandEight(words + 32 * y, dst + y * stride);
        expandEight(words + 32 * y + 16, dst + y * stride + 8);
    }
}

}  // namespace

const TileWriters sse2TileWriters = StaggeredWriter<solidRowsSse2, imageRowsSse2>::writers();

#else

const TileWriters sse2TileWriters = {nullptr, nullptr, nullptr};

#endif
