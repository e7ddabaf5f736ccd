// Input-chosen sequences of the frame module's operations, through the core,
// with arbitrary arguments: createBuffer, videoSink, toRGBString, getChanges,
// toGreyscale, getBlackEdges and getStats.
//
// Input: up to 64 operations, each an opcode byte and its arguments (see
// below); sizes and positions come either small or as raw 32-bit values.
// Besides memory safety, each operation is checked for what holds whatever
// its arguments: refusals change nothing, the readout leaves the flags alone
// and returns the frame's bytes at full size, the changed-tile runs are the
// set flags, and so on.
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "vidframe.h"

namespace {

// A value that is small and plausible (mode 0 and 1), near a limit, or raw.
int32_t chooseInt(FuzzInput &in, int small) {
    switch (in.u8() & 3) {
    case 0:
    case 1: return in.u8() % (small + 1);
    case 2: return (int32_t)in.u16() - 0x100;
    default: return in.i32();
    }
}

float chooseScale(FuzzInput &in) {
    static const float scales[] = {1.0f, 0.5f, 0.0625f, 0.99f, 0.75f, 0.0624f, 0.0f, -1.0f,
                                   NAN,  INFINITY, -INFINITY, 3.0f, 1e-30f, 0.9375f, 0.125f};
    uint8_t pick = in.u8();
    if (pick < 16 * (sizeof scales / sizeof scales[0])) return scales[pick % 15];
    return in.f32();
}

void checkStore() {
    FUZZ_CHECK(frameWidth >= 0 && frameWidth <= maxFrameWidth);
    FUZZ_CHECK(frameHeight >= 0 && frameHeight <= maxFrameHeight);
    FUZZ_CHECK(tilesWidth == (frameWidth + 15) / 16 && tilesHeight == (frameHeight + 15) / 16);
    if (frameBuffer) FUZZ_CHECK(changedArray && tempBuffer1 && tempBuffer2);
    FUZZ_CHECK(tempSize1 >= frameWidth * 64 && tempSize2 >= frameWidth * 64);
    if (leftoverDataNeeded == 0)
        FUZZ_CHECK(leftoverDataSize == 0);
    else
        FUZZ_CHECK(leftoverDataNeeded == imageMessageSize && leftoverDataSize >= 4 &&
                   leftoverDataSize < imageMessageSize);
    for (int i = 0; i < tilesWidth * tilesHeight; i++) FUZZ_CHECK(changedArray[i] <= 1);
}

std::vector<uint8_t> flags() {
    return std::vector<uint8_t>(changedArray, changedArray + (size_t)tilesWidth * tilesHeight);
}

void opCreate(FuzzInput &in) {
    int w = chooseInt(in, 255), h = chooseInt(in, 255);
    // Full-width or full-height stores, but not both: each run should stay
    // short, and a whole-frame pass over the largest store takes long.
    const int pixelCap = 1 << 16;
    if (w > 0 && w <= maxFrameWidth && h > 0 && h <= maxFrameHeight && w * h > pixelCap)
        h %= pixelCap / w + 1;
    uint32_t *oldFrame = frameBuffer;
    int oldW = frameWidth, oldH = frameHeight;
    int status = createFrameStore(w, h);
    bool valid = w >= 0 && w <= maxFrameWidth && h >= 0 && h <= maxFrameHeight;
    if (!valid) {
        FUZZ_CHECK(status == vfOutOfRange);
        FUZZ_CHECK(frameBuffer == oldFrame && frameWidth == oldW && frameHeight == oldH);
        return;
    }
    FUZZ_CHECK(status == vfOk && frameWidth == w && frameHeight == h);
    for (int i = 0; i < tilesWidth * tilesHeight; i++) FUZZ_CHECK(changedArray[i] == 0);
}

void opSink(FuzzInput &in) {
    size_t n;
    const uint8_t *bytes = in.bytes(in.u16() % 2200, &n);
    int start = chooseInt(in, 8);
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[n]);
    if (n) memcpy(chunk.get(), bytes, n);
    int carried = leftoverDataSize, result = 7;
    int status = sinkVideo(chunk.get(), (int)n, start, &result);
    if (start < 0 || (size_t)start > n) {
        FUZZ_CHECK(status == vfOutOfRange && result == 7 && carried == leftoverDataSize);
        return;
    }
    FUZZ_CHECK(status == vfOk && (result == 0 || result == 1));
}

void opRead(FuzzInput &in) {
    int x = chooseInt(in, 130), y = chooseInt(in, 110);
    int w = chooseInt(in, 130), h = chooseInt(in, 110);
    float scale = chooseScale(in);
    std::vector<uint8_t> before = flags();
    const uint8_t *pixels = nullptr;
    int outWidth = -1, outHeight = -1;
    int status = readTiles(x, y, w, h, scale, &pixels, &outWidth, &outHeight);
    FUZZ_CHECK(flags() == before);
    if (x < 0 || x >= tilesWidth || y < 0 || y >= tilesHeight) {
        FUZZ_CHECK(status == vfBadTopLeft);
        return;
    }
    if (w < 1 || w > tilesWidth) {
        FUZZ_CHECK(status == vfBadWidth);
        return;
    }
    if (h < 1 || h > tilesHeight) {
        FUZZ_CHECK(status == vfBadHeight);
        return;
    }
    if (!(scale >= 0.0625f)) {
        FUZZ_CHECK(status != vfOk);
        return;
    }
    FUZZ_CHECK(status == vfOk);
    int cutW = w < tilesWidth - x ? w : tilesWidth - x;
    int cutH = h < tilesHeight - y ? h : tilesHeight - y;
    int tileSize = scale >= 1.0f ? 16 : (int)(scale * 16.0f);
    FUZZ_CHECK(outWidth == cutW * tileSize && outHeight == cutH * tileSize);
    size_t bytes = (size_t)outWidth * outHeight * 4;
    FUZZ_CHECK(pixels == tempBuffer1 && bytes <= (size_t)tempSize1);
    // Every byte of the result is readable; at full size the pixels inside
    // the frame are the frame's own.
    std::vector<uint8_t> copy(pixels, pixels + bytes);
    if (tileSize != 16) return;
    const uint32_t *out = reinterpret_cast<const uint32_t *>(copy.data());
    for (int r = 0; r < outHeight && y * 16 + r < frameHeight; r++)
        for (int c = 0; c < outWidth && x * 16 + c < frameWidth; c++)
            FUZZ_CHECK(out[(size_t)r * outWidth + c] ==
                       frameBuffer[(size_t)(y * 16 + r) * frameWidth + x * 16 + c]);
}

void opChanges(FuzzInput &in) {
    int row = chooseInt(in, 110), count = chooseInt(in, 140);
    std::vector<uint8_t> before = flags();
    const TileRun *runs = nullptr;
    int nRuns = -1;
    int status = collectChanges(row, count, &runs, &nRuns);
    if (row < 0 || row >= tilesHeight) {
        FUZZ_CHECK(status == vfOutOfRange && flags() == before);
        return;
    }
    std::vector<uint8_t> after = flags();
    if (status != vfOk) {
        FUZZ_CHECK(after == before);
        return;
    }
    // The runs, in order and apart, are exactly the set flags of the scanned
    // range (cut to the array), and exactly those are cleared.
    size_t base = (size_t)row * tilesWidth;
    size_t scanned = count <= 0 ? 0 : std::min((size_t)count, before.size() - base);
    std::vector<uint8_t> reported(scanned, 0);
    int lastEnd = -1;
    for (int i = 0; i < nRuns; i++) {
        FUZZ_CHECK(runs[i].count > 0 && runs[i].first > lastEnd);
        FUZZ_CHECK((size_t)runs[i].first + runs[i].count <= scanned);
        for (int k = 0; k < runs[i].count; k++) reported[runs[i].first + k] = 1;
        lastEnd = runs[i].first + runs[i].count;
    }
    for (size_t i = 0; i < before.size(); i++) {
        bool inScan = i >= base && i - base < scanned;
        if (inScan) {
            FUZZ_CHECK(reported[i - base] == before[i]);
            FUZZ_CHECK(after[i] == 0);
        } else {
            FUZZ_CHECK(after[i] == before[i]);
        }
    }
}

void opGrey(FuzzInput &in) {
    int mark = chooseInt(in, 1);
    std::vector<uint8_t> before = flags();
    greyscaleFrame(mark);
    std::vector<uint8_t> after = flags();
    if (mark == 0)
        FUZZ_CHECK(after == before);
    else
        for (uint8_t f : after) FUZZ_CHECK(f == 1);
}

void opEdges(FuzzInput &in) {
    int w = chooseInt(in, 255), h = chooseInt(in, 255);
    int edges[4] = {-1, -1, -1, -1};
    measureBlackEdges(w, h, edges);
    for (int e : edges) FUZZ_CHECK(e >= 0 && e <= 74);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    // Each input starts from the state of a freshly loaded module.
    FUZZ_CHECK(createFrameStore(0, 0) == vfOk);
    leftoverDataSize = leftoverDataNeeded = 0;
    int padding, bogus;
    takeStats(&padding, &bogus);

    for (int ops = 0; ops < 64 && in.left() > 0; ops++) {
        switch (in.u8() % 7) {
        case 0: opCreate(in); break;
        case 1: opSink(in); break;
        case 2: opRead(in); break;
        case 3: opChanges(in); break;
        case 4: opGrey(in); break;
        case 5: opEdges(in); break;
        default:
            takeStats(&padding, &bogus);
            takeStats(&padding, &bogus);
            FUZZ_CHECK(padding == 0 && bogus == 0);
        }
        checkStore();
    }
    return 0;
}
