// Changed-tile runs, greyscale and black edge measurement: the operations
// that look at the whole frame store rather than at one block of tiles.
#include <algorithm>
#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "cpufeatures.h"
#include "vidframe.h"

// ---- Changed-tile runs -----------------------------------------------------

// Runs never touch, so a whole flag array holds at most every other flag as
// a run of one.
constexpr int maxTiles = ((maxFrameWidth + 15) / 16) * ((maxFrameHeight + 15) / 16);
static TileRun changeRuns[(maxTiles + 1) / 2];

int collectChanges(int row, int count, const TileRun **runs, int *nRuns) {
    if (row < 0 || row >= tilesHeight) return vfOutOfRange;
    *runs = changeRuns;
    *nRuns = 0;

    // The scan may run on into later tile rows, but never past the array's
    // end. Indices are worked out in size_t, so no count can overflow them.
    size_t first = (size_t)row * (size_t)tilesWidth;
    size_t available = (size_t)tilesWidth * (size_t)tilesHeight - first;
    if (count <= 0) return vfOk;
    size_t scan = std::min((size_t)count, available);

    uint8_t *flags = changedArray + first;
    const void *hit = memchr(flags, 1, scan);
    if (!hit) return vfOk;

    int n = 0;
    int end = (int)scan;  // scan <= count, an int
    int runStart = -1;
    for (int i = (int)(static_cast<const uint8_t *>(hit) - flags); i < end; i++) {
        if (flags[i]) {
            if (runStart < 0) runStart = i;
            flags[i] = 0;
        } else if (runStart >= 0) {
            changeRuns[n++] = TileRun{runStart, i - runStart};
            runStart = -1;
        }
    }
    if (runStart >= 0) changeRuns[n++] = TileRun{runStart, end - runStart};
    *nRuns = n;
    return vfOk;
}

// ---- Greyscale -------------------------------------------------------------

// grey = (r + g + b) / 3 truncated. For sums up to 765, (sum * 21846) >> 16
// is exactly that, and 21846 still fits a signed 16-bit SIMD multiplier.
constexpr unsigned thirdMul = 21846;

static inline uint32_t greyPixel(uint32_t p) {
    unsigned sum = (p & 0xFF) + (p >> 8 & 0xFF) + (p >> 16 & 0xFF);
    uint32_t grey = (sum * thirdMul) >> 16;
    return (p & 0xFF000000u) | grey * 0x010101u;
}

#if defined(__i386__) || defined(__x86_64__)
// Every x86-64 has SSE2; a 32-bit build asks the processor once.
static bool haveSse2() {
#if defined(__SSE2__)
    return true;
#else
    return cpuFeatures().sse2;
#endif
}

// Four pixels per step. Each pixel's red + green and its blue sit in two
// 16-bit lanes; one multiply-add gives their sum times thirdMul, and one
// multiply spreads the grey over red, green and blue.
__attribute__((target("sse2"))) static size_t greyPixelsSse2(uint32_t *pixels, size_t n) {
    const __m128i redBlue = _mm_set1_epi32(0x00FF00FF);
    const __m128i green = _mm_set1_epi32(0xFF);
    const __m128i fourth = _mm_set1_epi32((int)0xFF000000u);
    const __m128i third = _mm_set1_epi16((short)thirdMul);
    const __m128i spread = _mm_set1_epi32(0x00010101);  // lanes 0x0101, 0x0001
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128i *at = reinterpret_cast<__m128i *>(pixels + i);
        __m128i p = _mm_loadu_si128(at);
        __m128i pairs = _mm_add_epi16(_mm_and_si128(p, redBlue),
                                      _mm_and_si128(_mm_srli_epi32(p, 8), green));
        // (r + g) * thirdMul + b * thirdMul: at most 765 * 21846, within 31 bits.
        __m128i grey = _mm_srli_epi32(_mm_madd_epi16(pairs, third), 16);
        __m128i rgb = _mm_mullo_epi16(_mm_or_si128(grey, _mm_slli_epi32(grey, 16)), spread);
        _mm_storeu_si128(at, _mm_or_si128(rgb, _mm_and_si128(p, fourth)));
    }
    return i;
}

// Converts a leading part of the pixels; returns how many.
static size_t greyPixelsSimd(uint32_t *pixels, size_t n) {
    return haveSse2() ? greyPixelsSse2(pixels, n) : 0;
}
#else
static size_t greyPixelsSimd(uint32_t *, size_t) { return 0; }
#endif

void greyscaleFrame(int markChanged) {
    // Rows follow each other without a gap, so the frame is one run of pixels.
    size_t n = (size_t)frameWidth * (size_t)frameHeight;
    if (frameBuffer && n) {
        for (size_t i = greyPixelsSimd(frameBuffer, n); i < n; i++)
            frameBuffer[i] = greyPixel(frameBuffer[i]);
    }
    size_t flags = (size_t)tilesWidth * (size_t)tilesHeight;
    if (markChanged && changedArray && flags) memset(changedArray, 1, flags);
}

// ---- Black edges -----------------------------------------------------------

// Black: red and green below 32, blue below 64; the fourth byte is ignored.
constexpr uint32_t blackMask = 0xC0E0E0;
constexpr int edgeCap = 75;

static inline bool isBlack(uint32_t p) { return (p & blackMask) == 0; }

// Only pixels inside the frame are tested: a row outside the frame holds no
// black pixel (0), and a count beyond the frame's width stops at its edge.
int isBlackLine(int row, int count) {
    if (count <= 0) return 1;
    if (row < 0 || row >= frameHeight) return 0;
    int n = std::min(count, frameWidth);
    const uint32_t *p = frameBuffer + (size_t)row * frameWidth;
    for (int x = 0; x < n; x++)
        if (!isBlack(p[x])) return 0;
    return 1;
}

// The same for a column, counting rows down from row 0.
int isBlackColumn(int column, int count) {
    if (count <= 0) return 1;
    if (column < 0 || column >= frameWidth) return 0;
    int n = std::min(count, frameHeight);
    const uint32_t *p = frameBuffer + column;
    for (int y = 0; y < n; y++, p += frameWidth)
        if (!isBlack(*p)) return 0;
    return 1;
}

// Black lines from one side: line(i) tests the i-th line from that side, for
// i below `lines`, the lines that side has to offer (at most the cap). A scan
// that runs through all of them returns edgeCap: nothing but black there.
template <typename Test>
static int countBlack(int lines, Test line) {
    int limit = std::min(lines, edgeCap);
    int i = 0;
    while (i < limit && line(i)) i++;
    return i == limit ? edgeCap : i;
}

// The active area is clamped to the frame; an area with no pixel left gives
// (0, 0, 0, 0). The top and left scans look at the frame's first lines
// whatever the area's size, the bottom and right ones at the area's last,
// and none passes the frame's edge or line 0: a side whose every line up to
// there is black counts as all black, as 75 black lines do, and sets it and
// its opposite side to 0.
void measureBlackEdges(int w, int h, int edges[4]) {
    edges[0] = edges[1] = edges[2] = edges[3] = 0;
    w = std::min(w, frameWidth);
    h = std::min(h, frameHeight);
    if (w < 1 || h < 1) return;

    int top = countBlack(frameHeight, [&](int i) { return isBlackLine(i, w); });
    int bottom = countBlack(h, [&](int i) { return isBlackLine(h - 1 - i, w); });
    int left = countBlack(frameWidth, [&](int i) { return isBlackColumn(i, h); });
    int right = countBlack(w, [&](int i) { return isBlackColumn(w - 1 - i, h); });
    if (top == edgeCap || bottom == edgeCap) top = bottom = 0;
    if (left == edgeCap || right == edgeCap) left = right = 0;
    edges[0] = left;
    edges[1] = right;
    edges[2] = top;
    edges[3] = bottom;
}
