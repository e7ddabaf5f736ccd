// The stream decoder against hand-built chunks: message kinds, colour
// expansion, padding arithmetic, carry-over between chunks, out-of-range
// tiles, clipped edge tiles, odd start offsets and the diagnostic record.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "vidframe.h"

namespace {

using Bytes = std::vector<uint8_t>;

void putWord(Bytes &b, unsigned w) {
    b.push_back((uint8_t)w);
    b.push_back((uint8_t)(w >> 8));
}

Bytes solid(int column, int row, unsigned colour) {
    Bytes b;
    putWord(b, colour);
    putWord(b, 0x4000 | row << 7 | column);
    return b;
}

// Pixel (x, y) of the tile gets wordAt(x, y).
template <class F> Bytes imageOf(int column, int row, F wordAt) {
    Bytes b;
    putWord(b, 0x1234);  // colour word of an image message: not interpreted
    putWord(b, row << 7 | column);
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 16; x++) putWord(b, wordAt(x, y));
    return b;
}

Bytes image(int column, int row, unsigned word = 0xF800) {
    return imageOf(column, row, [word](int, int) { return word; });
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes fill(size_t n, uint8_t v) { return Bytes(n, v); }

uint32_t px(int r, int g, int b) { return r | g << 8 | b << 16 | 0xFFu << 24; }

int sink(const Bytes &b, int start = 0) {
    int result = -1;
    EXPECT_EQ(sinkVideo(b.data(), (int)b.size(), start, &result), vfOk);
    return result;
}

uint32_t pixelAt(int x, int y) { return frameBuffer[y * frameWidth + x]; }

int countFlags() {
    int n = 0;
    for (int i = 0; i < tilesWidth * tilesHeight; i++) n += changedArray[i];
    return n;
}

class Decoder : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(createFrameStore(32, 32), vfOk);
        leftoverDataSize = leftoverDataNeeded = 0;
        statsPadding = statsBogus = 0;
    }
    void TearDown() override { leftoverDataSize = leftoverDataNeeded = 0; }
};

TEST_F(Decoder, SolidTileFillsOnlyItsTileAndFlag) {
    Bytes chunk = {0x00, 0xF8, 0x01, 0x40};  // colour 0xF800, solid, column 1, row 0
    EXPECT_EQ(sink(chunk), 0);
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 32; x++)
            EXPECT_EQ(pixelAt(x, y), x >= 16 && y < 16 ? px(248, 0, 0) : 0u) << x << "," << y;
    EXPECT_EQ(changedArray[1], 1);
    EXPECT_EQ(countFlags(), 1);
}

TEST_F(Decoder, ColourExpansionLeavesLowBitsZero) {
    struct {
        unsigned word;
        uint32_t pixel;
    } cases[] = {{0xFFFF, px(248, 252, 248)}, {0xF800, px(248, 0, 0)}, {0x07E0, px(0, 252, 0)},
                 {0x001F, px(0, 0, 248)},     {0x8410, px(128, 128, 128)}, {0x0000, px(0, 0, 0)}};
    for (auto &c : cases) {
        sink(solid(0, 0, c.word));
        EXPECT_EQ(pixelAt(7, 7), c.pixel) << std::hex << c.word;
        sink(image(1, 1, c.word));
        EXPECT_EQ(pixelAt(23, 23), c.pixel) << std::hex << c.word;
    }
}

TEST_F(Decoder, ImageTilePixelOrderAndKindBit) {
    // Each pixel carries its own coordinates: red = x, green = y.
    auto word = [](int x, int y) { return (unsigned)(x << 11 | y << 5); };
    EXPECT_EQ(sink(imageOf(1, 1, word)), 0);
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 16; x++) EXPECT_EQ(pixelAt(16 + x, 16 + y), px(x << 3, y << 2, 0));
    EXPECT_EQ(changedArray[3], 1);
    EXPECT_EQ(countFlags(), 1);

    // Bit 15 of the position word is ignored; 0x0185 is column 5, row 3.
    ASSERT_EQ(createFrameStore(96, 64), vfOk);
    Bytes msg = image(5, 3);
    msg[3] |= 0x80;
    EXPECT_EQ(sink(msg), 0);
    EXPECT_EQ(changedArray[3 * 6 + 5], 1);
    EXPECT_EQ(pixelAt(80, 48), px(248, 0, 0));
    EXPECT_EQ(sink(Bytes{0x1F, 0x00, 0x85, 0x41}), 0);  // 0x4185: the solid one
    EXPECT_EQ(pixelAt(95, 63), px(0, 0, 248));
}

TEST_F(Decoder, LaterMessageForTheSameTileWins) {
    EXPECT_EQ(sink(solid(0, 0, 0xF800) + image(0, 0, 0x001F) + solid(0, 0, 0x07E0)), 0);
    EXPECT_EQ(pixelAt(3, 3), px(0, 252, 0));
}

TEST_F(Decoder, PaddingSkipsToTheNextBlockOfTheChunk) {
    // Solid at 0, filler from 4, solid for (1, 1) at 512.
    Bytes chunk = solid(0, 0, 0xFFFF) + fill(508, 0xFF) + solid(1, 1, 0x001F);
    ASSERT_EQ(chunk.size(), 516u);
    EXPECT_EQ(sink(chunk), 0);
    EXPECT_EQ(pixelAt(0, 0), px(248, 252, 248));
    EXPECT_EQ(pixelAt(31, 31), px(0, 0, 248));
    EXPECT_EQ(statsPadding, 1);
    EXPECT_EQ(statsBogus, 0);

    // A marker on a boundary skips a whole block; one at 508 skips 4 bytes;
    // a marker whose block runs past the chunk's end ends the chunk cleanly.
    statsPadding = 0;
    Bytes boundary = fill(4, 0xFF) + fill(508, 0) + solid(0, 1, 0xF800);
    EXPECT_EQ(sink(boundary), 0);
    EXPECT_EQ(pixelAt(0, 16), px(248, 0, 0));
    Bytes late = fill(508, 0);  // 127 solid messages for tile (0, 0)
    for (size_t i = 0; i < late.size(); i += 4) {
        Bytes s = solid(0, 0, 0x07E0);
        std::copy(s.begin(), s.end(), late.begin() + i);
    }
    late = late + fill(4, 0xFF) + solid(1, 0, 0x001F) + fill(4, 0xFF) + fill(10, 0);
    EXPECT_EQ(sink(late), 0);
    EXPECT_EQ(pixelAt(16, 0), px(0, 0, 248));
    EXPECT_EQ(statsPadding, 3);
}

TEST_F(Decoder, ImageMessagesCarryOverAcrossChunks) {
    // Message i goes to tile (i % 2, i / 2 % 2) with red = 8 * (i % 32).
    Bytes stream;
    for (int i = 0; i < 40; i++) stream = stream + image(i % 2, i / 2 % 2, (i % 32) << 11);
    auto red = [](int i) { return px(8 * (i % 32), 0, 0); };
    Bytes first(stream.begin(), stream.begin() + 16384);
    EXPECT_EQ(sink(first), 0);
    EXPECT_EQ(leftoverDataSize, 388);  // 16384 - 31 * 516
    EXPECT_EQ(leftoverDataNeeded, 516);
    EXPECT_EQ(0, memcmp(leftoverData, stream.data() + 31 * 516, 388));
    EXPECT_EQ(pixelAt(16, 16), red(27));  // message 31 for (1, 1) is still carried

    // The next chunk's first 128 bytes complete message 31; decoding goes on at 128.
    Bytes second(stream.begin() + 16384, stream.end());
    EXPECT_EQ(sink(second), 0);
    EXPECT_EQ(leftoverDataSize, 0);
    EXPECT_EQ(leftoverDataNeeded, 0);
    EXPECT_EQ(pixelAt(16, 16), red(39));
    EXPECT_EQ(pixelAt(0, 16), red(38));
    EXPECT_EQ(countFlags(), 4);
}

TEST_F(Decoder, ShortChunksExtendTheCarriedMessage) {
    Bytes msg = image(1, 0, 0x07E0);
    EXPECT_EQ(sink(Bytes(msg.begin(), msg.begin() + 100)), 0);
    EXPECT_EQ(leftoverDataSize, 100);
    EXPECT_EQ(sink(Bytes(msg.begin() + 100, msg.begin() + 200)), 1);
    EXPECT_EQ(leftoverDataSize, 200);
    EXPECT_EQ(countFlags(), 0);
    // The remaining 316 bytes plus 2 stray ones: the tile, then the 2 are dropped.
    EXPECT_EQ(sink(Bytes(msg.begin() + 200, msg.end()) + Bytes{0x12, 0x34}), 1);
    EXPECT_EQ(leftoverDataSize, 0);
    EXPECT_EQ(leftoverDataNeeded, 0);
    EXPECT_EQ(pixelAt(16, 0), px(0, 252, 0));
    EXPECT_EQ(changedArray[1], 1);
}

TEST_F(Decoder, TrailingBytesAreDroppedWithResultOne) {
    EXPECT_EQ(sink(solid(1, 1, 0xF800) + Bytes{0xAA, 0xBB}), 1);
    EXPECT_EQ(pixelAt(16, 16), px(248, 0, 0));
    EXPECT_EQ(sink(Bytes{0x01, 0x02, 0x03}), 1);
    EXPECT_EQ(leftoverDataSize, 0);
    EXPECT_EQ(sink(Bytes{}), 0);
}

TEST_F(Decoder, OutOfRangeMessagesAreSkippedByTheirLength) {
    // Image for column 2 (516 bytes), solid for row 2 (4 bytes), then a valid one.
    Bytes chunk = image(2, 0) + solid(0, 2, 0xFFFF) + solid(1, 1, 0x07E0);
    EXPECT_EQ(sink(chunk), 0);
    EXPECT_EQ(statsBogus, 2);
    EXPECT_EQ(statsPadding, 0);
    EXPECT_EQ(countFlags(), 1);
    EXPECT_EQ(pixelAt(16, 16), px(0, 252, 0));
    int padding, bogus;
    takeStats(&padding, &bogus);
    EXPECT_EQ(padding, 0);
    EXPECT_EQ(bogus, 2);
    takeStats(&padding, &bogus);
    EXPECT_EQ(bogus, 0);
}

TEST_F(Decoder, CutOffOutOfRangeMessageCountsOnlyWhenCompleted) {
    Bytes msg = image(5, 0);
    EXPECT_EQ(sink(Bytes(msg.begin(), msg.begin() + 300)), 0);
    EXPECT_EQ(leftoverDataSize, 300);
    EXPECT_EQ(statsBogus, 0);
    EXPECT_EQ(sink(Bytes(msg.begin() + 300, msg.end())), 0);
    EXPECT_EQ(statsBogus, 1);
    EXPECT_EQ(countFlags(), 0);
}

TEST_F(Decoder, CarriedMessageIsDecodedAgainstTheNewStore) {
    Bytes msg = image(3, 0, 0x001F);  // out of range for 32 x 32, fine for 64 x 16
    EXPECT_EQ(sink(Bytes(msg.begin(), msg.begin() + 8)), 0);
    ASSERT_EQ(createFrameStore(64, 16), vfOk);
    EXPECT_EQ(leftoverDataSize, 8);
    EXPECT_EQ(sink(Bytes(msg.begin() + 8, msg.end())), 0);
    EXPECT_EQ(statsBogus, 0);
    EXPECT_EQ(pixelAt(63, 15), px(0, 0, 248));
}

TEST_F(Decoder, StartAtTheEndAndOutOfRangeStarts) {
    Bytes chunk = solid(0, 0, 0xF800);
    EXPECT_EQ(sink(chunk, 4), 0);
    EXPECT_EQ(countFlags(), 0);
    Bytes msg = image(0, 0);
    sink(Bytes(msg.begin(), msg.begin() + 50));
    EXPECT_EQ(sink(chunk, 4), 1);
    EXPECT_EQ(leftoverDataSize, 50);

    int result = 7;
    EXPECT_EQ(sinkVideo(chunk.data(), 4, -1, &result), vfOutOfRange);
    EXPECT_EQ(sinkVideo(chunk.data(), 4, 5, &result), vfOutOfRange);
    EXPECT_EQ(sinkVideo(chunk.data(), -1, 0, &result), vfOutOfRange);
    EXPECT_EQ(result, 7);
    EXPECT_EQ(leftoverDataSize, 50);  // nothing changed
    EXPECT_EQ(leftoverDataNeeded, 516);
}

TEST_F(Decoder, StartSkipsBytesButBlocksCountFromByteZero) {
    // From start 512 the marker at 1020 skips 4 bytes to 1024, not 512.
    Bytes chunk = fill(512, 0xEE) + fill(508, 0) + fill(4, 0xFF) + solid(1, 0, 0x001F);
    for (size_t i = 512; i < 1020; i += 4) {
        Bytes s = solid(0, 0, 0xF800);
        std::copy(s.begin(), s.end(), chunk.begin() + i);
    }
    EXPECT_EQ(sink(chunk, 512), 0);
    EXPECT_EQ(statsBogus, 0);
    EXPECT_EQ(statsPadding, 1);
    EXPECT_EQ(pixelAt(16, 0), px(0, 0, 248));
}

TEST_F(Decoder, OddStartNeverReadsPastTheChunk) {
    // A marker at 1 skips 511 bytes to the boundary at 512.
    Bytes chunk = Bytes{0} + fill(4, 0xFF) + fill(507, 0) + solid(1, 1, 0x07E0);
    EXPECT_EQ(sink(chunk, 1), 0);
    EXPECT_EQ(pixelAt(16, 16), px(0, 252, 0));
    // Odd starts that leave 1 to 3 bytes, or an image header near the end.
    for (int tail = 0; tail < 8; tail++) {
        Bytes c = Bytes{0} + solid(0, 0, 0xF800) + Bytes(tail, 0);  // 0x0000 0x0000: image header
        int r = sink(c, 1);
        EXPECT_EQ(r, tail >= 1 && tail <= 3 ? 1 : 0) << tail;
        EXPECT_EQ(leftoverDataSize, tail >= 4 ? tail : 0) << tail;
        leftoverDataSize = leftoverDataNeeded = 0;
    }
    // An odd marker near the chunk's end skips only what is there.
    Bytes end = Bytes{0, 0, 0} + fill(4, 0xFF) + Bytes{1, 2};
    EXPECT_EQ(sink(end, 3), 0);
}

TEST_F(Decoder, DiagnosticRecordKeepsTheTailOfLongChunks) {
    Bytes longChunk;
    for (int i = 0; i < 1000; i++) longChunk = longChunk + solid(i % 2, 0, i);
    EXPECT_EQ(sink(longChunk), 0);  // 4000 bytes, last header at 3996
    EXPECT_EQ(hackhack, 3996);
    EXPECT_EQ(0, memcmp(previousData, longChunk.data() + 4000 - 2048, 2048));
    EXPECT_EQ(previousMessage, 3996 - (4000 - 2048));

    Bytes shortChunk = solid(1, 1, 0xFFFF) + solid(0, 1, 0xFFFF);
    EXPECT_EQ(sink(shortChunk), 0);
    EXPECT_EQ(hackhack, 4);
    EXPECT_EQ(0, memcmp(previousData, longChunk.data() + 4000 - 2048, 2048));
    EXPECT_EQ(previousMessage, 3996 - (4000 - 2048));

    // A chunk that only extends a carried message leaves hackhack alone; one
    // that completes it from a late start leaves it pointing into
    // leftoverData, so previousMessage goes negative.
    Bytes msg = image(0, 0);
    EXPECT_EQ(sink(solid(0, 0, 1) + Bytes(msg.begin(), msg.begin() + 8)), 0);
    EXPECT_EQ(hackhack, 4);
    EXPECT_EQ(sink(Bytes(msg.begin() + 8, msg.begin() + 108)), 1);
    EXPECT_EQ(hackhack, 4);
    Bytes late = Bytes(3000 - 408, 0x55) + Bytes(msg.begin() + 108, msg.end());
    EXPECT_EQ(sink(late, 3000 - 408), 0);
    EXPECT_EQ(hackhack, 0);
    EXPECT_EQ(previousMessage, 0 - (3000 - 2048));
    EXPECT_EQ(0, memcmp(previousData, late.data() + 3000 - 2048, 2048));
}

TEST_F(Decoder, WithoutAFrameEveryTileIsOutOfRange) {
    ASSERT_EQ(createFrameStore(0, 0), vfOk);
    EXPECT_EQ(sink(solid(0, 0, 1) + image(0, 0)), 0);
    EXPECT_EQ(statsBogus, 2);
}

TEST_F(Decoder, StatisticsWrapInsteadOfOverflowing) {
    statsPadding = INT_MAX;
    statsBogus = INT_MAX;
    sink(fill(4, 0xFF) + fill(508, 0) + solid(9, 9, 0));
    EXPECT_EQ(statsPadding, INT_MIN);
    EXPECT_EQ(statsBogus, INT_MIN);
}

// Edge tiles of a frame whose size is not a multiple of 16 are clipped: the
// in-frame part is written, nothing else is touched. The frame is swapped for
// one with guard words around it so an overrun shows without a sanitizer.
TEST_F(Decoder, EdgeTilesAreClippedToTheFrame) {
    const uint32_t guard = 0xDEADBEEF;
    const int pad = 64;
    for (int extra = 1; extra <= 15; extra++) {
        for (int shape = 0; shape < 3; shape++) {
            int w = 32 + (shape != 1 ? extra : 0), h = 32 + (shape != 0 ? extra : 0);
            ASSERT_EQ(createFrameStore(w, h), vfOk);
            std::vector<uint32_t> guarded((size_t)w * h + 2 * pad, guard);
            std::fill(guarded.begin() + pad, guarded.end() - pad, 0u);
            uint32_t *own = frameBuffer;
            frameBuffer = guarded.data() + pad;

            Bytes chunk;
            for (int ty = 0; ty < tilesHeight; ty++)
                for (int tx = 0; tx < tilesWidth; tx++)
                    if (tx == tilesWidth - 1 || ty == tilesHeight - 1)
                        chunk = chunk + ((tx + ty) % 2 ? solid(tx, ty, 0xFFFF)
                                                       : image(tx, ty, 0xFFFF));
            EXPECT_EQ(sink(chunk), 0);
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++) {
                    bool edge = x >= 16 * (tilesWidth - 1) || y >= 16 * (tilesHeight - 1);
                    ASSERT_EQ(pixelAt(x, y), edge ? px(248, 252, 248) : 0u)
                        << w << "x" << h << " at " << x << "," << y;
                }
            for (int i = 0; i < pad; i++) {
                ASSERT_EQ(guarded[i], guard) << w << "x" << h;
                ASSERT_EQ(guarded[guarded.size() - 1 - i], guard) << w << "x" << h;
            }
            EXPECT_EQ(countFlags(), tilesWidth + tilesHeight - 1);
            frameBuffer = own;
        }
    }
}

}  // namespace
