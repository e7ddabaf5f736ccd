// Every vector path of the shrinking passes against the scalar rule.
//
// Input: pass (u8: bit 0 horizontal/vertical, bit 1 both passes a band at a
// time, as the readout runs them), source size, target size and the other
// dimension (u16 each), extra stride bytes of source and target (u8 each);
// the rest fills the source pixels (repeated as needed).
// Any byte that differs from the scalar result, any byte written outside the
// target rows, or any read outside the source block aborts.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "resize.h"

namespace {

const uint8_t unwritten = 0xA5;

typedef void (*Pass)(const uint8_t *, int, int, uint32_t, uint8_t *, int, uint32_t);

// Bytes a block of `rows` rows of `rowBytes` bytes needs, the last row
// without its stride padding.
size_t blockBytes(int rows, uint32_t stride, int rowBytes) {
    return (size_t)(rows - 1) * stride + rowBytes;
}

void fill(uint8_t *dst, size_t bytes, FuzzInput &in) {
    size_t n;
    const uint8_t *pattern = in.bytes(in.left(), &n);
    static const uint8_t ramp[] = {0, 37, 74, 111, 148, 185, 222, 255, 3, 129, 66};
    if (!n) {
        pattern = ramp;
        n = sizeof ramp;
    }
    for (size_t i = 0; i < bytes; i += n) memcpy(dst + i, pattern, std::min(n, bytes - i));
}

// Both passes band by band (shrinkBand where the path has it, else the two
// passes through an intermediate) against the scalar passes over the block.
int bothPasses(FuzzInput &in) {
    static ShrinkYStream ys;
    int srcWidth = 2 + in.u16() % 600;
    int dstWidth = 1 + in.u16() % std::min(srcWidth - 1, shrinkYSlots);
    int bandRows = 8 * (1 + in.u8() % 8);
    int bands = 1 + in.u8() % std::max(1, 4096 / (srcWidth * bandRows));
    int srcHeight = bandRows * bands;
    int dstHeight = 1 + in.u16() % (srcHeight - 1);
    uint32_t srcStride = srcWidth * 4 + in.u8(), dstStride = dstWidth * 4 + in.u8();
    size_t srcBytes = blockBytes(srcHeight, srcStride, srcWidth * 4);
    size_t dstBytes = blockBytes(dstHeight, dstStride, dstWidth * 4);
    std::unique_ptr<uint8_t[]> src(new uint8_t[srcBytes]);
    fill(src.get(), srcBytes, in);

    std::vector<uint8_t> across((size_t)srcHeight * dstWidth * 4), expected(dstBytes, unwritten);
    imageShrinkXScalar(src.get(), srcWidth, srcHeight, srcStride, across.data(), dstWidth, dstWidth * 4);
    imageShrinkYScalar(across.data(), dstWidth, srcHeight, dstWidth * 4, expected.data(), dstHeight, dstStride);

    ShrinkPath best = currentShrinkPath();
    for (int p = shrinkScalar; p < shrinkPathCount; p++) {
        if (!setShrinkPath((ShrinkPath)p)) continue;
        std::vector<uint8_t> out(dstBytes, unwritten), between((size_t)bandRows * dstWidth * 4);
        shrinkYBegin(&ys, dstWidth, srcHeight, dstHeight, out.data(), dstStride);
        for (int b = 0; b < bands; b++) {
            const uint8_t *band = src.get() + (size_t)b * bandRows * srcStride;
            if (shrinkBand(band, srcWidth, bandRows, srcStride, &ys)) continue;
            imageShrinkX(band, srcWidth, bandRows, srcStride, between.data(), dstWidth, dstWidth * 4);
            shrinkYRows(&ys, between.data(), bandRows, dstWidth * 4);
        }
        if (out != expected) {
            size_t i = 0;
            while (out[i] == expected[i]) i++;
            fprintf(stderr, "path %d, bands of %d rows: %dx%d -> %dx%d: byte %zu is %u, not %u\n", p, bandRows,
                    srcWidth, srcHeight, dstWidth, dstHeight, i, out[i], expected[i]);
            abort();
        }
    }
    setShrinkPath(best);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    uint8_t mode = in.u8();
    if (mode & 2) return bothPasses(in);
    bool horizontal = !(mode & 1);
    // Sizes reach past the planned width (horizontal) and the accumulator
    // slots (vertical) so that the wide-row fallbacks run too; the ratio is
    // free, beyond the 257 source pixels per target where the sums wrap.
    int srcSize = 2 + in.u16() % (horizontal ? shrinkPlanWidth + 200 : 1920);
    int dstSize = 1 + in.u16() % (srcSize - 1);
    // At most 4K source pixels, so that each run stays short.
    const int pixelCap = 1 << 12;
    int otherLimit = std::max(1, std::min(horizontal ? 48 : shrinkYSlots + 200, pixelCap / srcSize));
    int other = 1 + in.u16() % otherLimit;
    int srcPad = in.u8(), dstPad = in.u8();

    int srcRows = horizontal ? other : srcSize;
    int srcRowBytes = 4 * (horizontal ? srcSize : other);
    int dstRows = horizontal ? other : dstSize;
    int dstRowBytes = 4 * (horizontal ? dstSize : other);
    uint32_t srcStride = srcRowBytes + srcPad, dstStride = dstRowBytes + dstPad;
    size_t srcBytes = blockBytes(srcRows, srcStride, srcRowBytes);
    size_t dstBytes = blockBytes(dstRows, dstStride, dstRowBytes);

    std::unique_ptr<uint8_t[]> src(new uint8_t[srcBytes]);
    size_t fill;
    const uint8_t *pattern = in.bytes(in.left(), &fill);
    if (!fill) {
        static const uint8_t ramp[] = {0, 37, 74, 111, 148, 185, 222, 255, 3, 129, 66};
        pattern = ramp;
        fill = sizeof ramp;
    }
    for (size_t i = 0; i < srcBytes; i += fill)
        memcpy(&src[i], pattern, std::min(fill, srcBytes - i));

    Pass scalar = horizontal ? imageShrinkXScalar : imageShrinkYScalar;
    Pass dispatched = horizontal ? imageShrinkX : imageShrinkY;
    int a = horizontal ? srcSize : other, b = horizontal ? other : srcSize;
    std::vector<uint8_t> expected(dstBytes, unwritten);
    scalar(src.get(), a, b, srcStride, expected.data(), dstSize, dstStride);

    // The reference itself writes the target rows and nothing between them.
    for (int r = 0; r + 1 < dstRows; r++)
        for (uint32_t b = dstRowBytes; b < dstStride; b++)
            FUZZ_CHECK(expected[(size_t)r * dstStride + b] == unwritten);

    ShrinkPath best = currentShrinkPath();
    for (int p = shrinkScalar + 1; p < shrinkPathCount; p++) {
        if (!setShrinkPath((ShrinkPath)p)) continue;
        std::unique_ptr<uint8_t[]> out(new uint8_t[dstBytes]);
        memset(out.get(), unwritten, dstBytes);
        dispatched(src.get(), a, b, srcStride, out.get(), dstSize, dstStride);
        if (memcmp(out.get(), expected.data(), dstBytes) != 0) {
            size_t i = 0;
            while (out[i] == expected[i]) i++;
            fprintf(stderr,
                    "path %d, %s %d -> %d (other %d, strides %u/%u): byte %zu is %u, not %u\n", p,
                    horizontal ? "horizontal" : "vertical", srcSize, dstSize, other, srcStride,
                    dstStride, i, out[i], expected[i]);
            abort();
        }
    }
    setShrinkPath(best);
    return 0;
}
