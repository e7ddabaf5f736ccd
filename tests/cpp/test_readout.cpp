// The RGB readout at the core: scratch buffer growth, allocation failure,
// rejected scales, edge tiles of frames that are no whole number of tiles,
// and shrunk blocks against the two passes of the scalar rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "alloc_fail.h"
#include "resize.h"
#include "vidframe.h"

namespace {

void fillFrame(uint32_t seed) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < (size_t)frameWidth * frameHeight; i++) frameBuffer[i] = rng();
}

// The block of w x h tiles at tile (x, y), cut to the grid, with everything
// outside the frame as zero bytes.
std::vector<uint8_t> paddedBlock(int x, int y, int w, int h) {
    std::vector<uint8_t> block((size_t)w * 16 * h * 16 * 4, 0);
    for (int r = 0; r < h * 16; r++)
        for (int c = 0; c < w * 16; c++) {
            int fx = x * 16 + c, fy = y * 16 + r;
            if (fx < frameWidth && fy < frameHeight)
                memcpy(&block[((size_t)r * w * 16 + c) * 4], &frameBuffer[(size_t)fy * frameWidth + fx], 4);
        }
    return block;
}

// What the readout must return: both passes of the rule over the whole block.
std::vector<uint8_t> expectedBlock(int x, int y, int w, int h, int tileSize) {
    std::vector<uint8_t> block = paddedBlock(x, y, w, h);
    if (tileSize == 16) return block;
    int ow = w * tileSize, oh = h * tileSize;
    std::vector<uint8_t> mid((size_t)ow * h * 16 * 4), out((size_t)ow * oh * 4);
    imageShrinkXScalar(block.data(), w * 16, h * 16, (uint32_t)w * 64, mid.data(), ow, (uint32_t)ow * 4);
    imageShrinkYScalar(mid.data(), ow, h * 16, (uint32_t)ow * 4, out.data(), oh, (uint32_t)ow * 4);
    return out;
}

std::vector<uint8_t> read(int x, int y, int w, int h, float scale, int *ow, int *oh) {
    const uint8_t *pixels = nullptr;
    EXPECT_EQ(readTiles(x, y, w, h, scale, &pixels, ow, oh), vfOk);
    if (!pixels) return {};
    return std::vector<uint8_t>(pixels, pixels + (size_t)*ow * *oh * 4);
}

class Readout : public ::testing::Test {
protected:
    void TearDown() override {
        failAllocationAfter(-1);
        setShrinkPath(bestShrinkPath());
    }
};

}  // namespace

TEST_F(Readout, ScratchBuffersGrowToExactlyTheNeedAndKeepIt) {
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);
    ASSERT_EQ(tempSize1, 65536);
    int ow, oh;
    read(0, 0, 64, 2, 1.0f, &ow, &oh);
    EXPECT_EQ(tempSize1, 131072);
    const uint8_t *grown = tempBuffer1;
    read(0, 0, 3, 1, 1.0f, &ow, &oh);
    read(0, 0, 64, 1, 0.5f, &ow, &oh);
    EXPECT_EQ(tempSize1, 131072);
    EXPECT_EQ(tempBuffer1, grown);
    EXPECT_EQ(tempSize2, 65536);
    // 960 pixels across, 4 tile rows: 960 * 4 * 64 bytes after the horizontal pass.
    read(0, 0, 64, 4, 0.9375f, &ow, &oh);
    EXPECT_EQ(tempSize2, 245760);
    EXPECT_EQ(tempSize1, 960 * 60 * 4);
}

TEST_F(Readout, AllocationFailureKeepsBothBuffers) {
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);
    uint8_t *b1 = tempBuffer1, *b2 = tempBuffer2;
    const uint8_t *pixels;
    int ow, oh;
    failAllocationAfter(0);
    EXPECT_EQ(readTiles(0, 0, 64, 2, 1.0f, &pixels, &ow, &oh), vfNoMemory);
    EXPECT_EQ(tempBuffer1, b1);
    EXPECT_EQ(tempSize1, 65536);
    // Both need to grow and the second allocation fails: neither changes.
    failAllocationAfter(1);
    EXPECT_EQ(readTiles(0, 0, 64, 48, 0.5f, &pixels, &ow, &oh), vfNoMemory);
    EXPECT_EQ(tempBuffer1, b1);
    EXPECT_EQ(tempSize1, 65536);
    EXPECT_EQ(tempBuffer2, b2);
    EXPECT_EQ(tempSize2, 65536);
    failAllocationAfter(-1);
    fillFrame(3);
    EXPECT_EQ(read(0, 0, 64, 48, 0.5f, &ow, &oh), expectedBlock(0, 0, 64, 48, 8));
    EXPECT_EQ(tempSize1, 512 * 384 * 4);
}

TEST_F(Readout, RejectedScalesChangeNothing) {
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);
    const uint8_t *pixels = nullptr;
    int ow = -7, oh = -7;
    const float bad[] = {0.0f, -0.0f, -1.0f, 0.0624f, std::nextafter(0.0625f, 0.0f),
                         -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    for (float scale : bad) {
        EXPECT_EQ(readTiles(0, 0, 64, 4, scale, &pixels, &ow, &oh), vfBadScale) << scale;
        EXPECT_EQ(tempSize1, 65536);
        EXPECT_EQ(tempSize2, 65536);
        EXPECT_EQ(ow, -7);
    }
    // Position, width and height are checked first.
    EXPECT_EQ(readTiles(64, 0, 1, 1, 0.0f, &pixels, &ow, &oh), vfBadTopLeft);
    EXPECT_EQ(readTiles(0, 0, 0, 1, 0.0f, &pixels, &ow, &oh), vfBadWidth);
    EXPECT_EQ(readTiles(0, 0, 1, 49, 0.0f, &pixels, &ow, &oh), vfBadHeight);
    // The smallest accepted scale, and scales above 1, which read full size.
    EXPECT_EQ(readTiles(0, 0, 4, 2, 0.0625f, &pixels, &ow, &oh), vfOk);
    EXPECT_EQ(ow * 100 + oh, 402);
    EXPECT_EQ(readTiles(0, 0, 1, 1, std::numeric_limits<float>::infinity(), &pixels, &ow, &oh), vfOk);
    EXPECT_EQ(ow * 100 + oh, 1616);
}

// 1000 x 600 is 62.5 x 37.5 tiles: the last tile column and row stick out.
TEST_F(Readout, EdgeTilesReadZeroOutsideTheFrame) {
    ASSERT_EQ(createFrameStore(1000, 600), vfOk);
    for (size_t i = 0; i < 1000 * 600; i++) frameBuffer[i] = 0xffffffffu;
    int ow, oh;
    std::vector<uint8_t> tile = read(62, 37, 1, 1, 1.0f, &ow, &oh);
    ASSERT_EQ(tile.size(), 1024u);
    for (int r = 0; r < 16; r++)
        for (int c = 0; c < 16; c++)
            for (int b = 0; b < 4; b++)
                ASSERT_EQ(tile[(r * 16 + c) * 4 + b], (r < 8 && c < 8) ? 255 : 0) << r << "," << c;
    // Shrunk to one pixel: the horizontal pass gives 127 for the upper half
    // (8 of 16 pixels), the vertical pass 63.
    std::vector<uint8_t> one = read(62, 37, 1, 1, 0.0625f, &ow, &oh);
    EXPECT_EQ(one, std::vector<uint8_t>(4, 63));
}

// Every tile size on every path, at the edges and across the whole grid of a
// frame that is no whole number of tiles: the readout (a tile row at a time)
// gives what the two passes give over the zero-padded block.
TEST_F(Readout, ShrunkBlocksMatchThePassesOverThePaddedBlock) {
    ASSERT_EQ(createFrameStore(1000, 600), vfOk);
    fillFrame(9);
    struct Block { int x, y, w, h; } blocks[] = {{0, 0, 63, 38}, {60, 35, 3, 3}, {61, 0, 2, 38}, {5, 36, 20, 2}};
    for (int p = shrinkScalar; p < shrinkPathCount; p++) {
        if (!setShrinkPath((ShrinkPath)p)) continue;
        for (int ts = 1; ts <= 16; ts++) {
            for (const Block &b : blocks) {
                if (p < shrinkAvx2 && b.w == 63 && ts % 4 != 3) continue;  // keep it quick
                int ow, oh;
                std::vector<uint8_t> got = read(b.x, b.y, b.w, b.h, (float)ts / 16.0f, &ow, &oh);
                ASSERT_EQ(ow, b.w * ts);
                ASSERT_EQ(oh, b.h * ts);
                ASSERT_EQ(got, expectedBlock(b.x, b.y, b.w, b.h, ts))
                    << "path " << p << " ts " << ts << " block " << b.x << "," << b.y;
            }
        }
    }
}

TEST_F(Readout, ChangedFlagsAndFrameStayAsTheyWere) {
    ASSERT_EQ(createFrameStore(200, 120), vfOk);
    fillFrame(4);
    for (int i = 0; i < tilesWidth * tilesHeight; i++) changedArray[i] = (uint8_t)(i % 3 == 0);
    std::vector<uint8_t> flags(changedArray, changedArray + tilesWidth * tilesHeight);
    std::vector<uint32_t> frame(frameBuffer, frameBuffer + 200 * 120);
    int ow, oh;
    for (float scale : {1.0f, 0.5f, 0.75f, 0.0625f}) read(0, 0, 13, 8, scale, &ow, &oh);
    EXPECT_EQ(std::vector<uint8_t>(changedArray, changedArray + tilesWidth * tilesHeight), flags);
    EXPECT_EQ(std::vector<uint32_t>(frameBuffer, frameBuffer + 200 * 120), frame);
}
