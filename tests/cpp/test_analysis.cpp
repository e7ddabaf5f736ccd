// Changed-tile runs, greyscale and black edges on the frame store.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <utility>
#include <vector>

#include "vidframe.h"

namespace {

using Runs = std::vector<std::pair<int, int>>;

Runs changes(int row, int count) {
    const TileRun *runs = nullptr;
    int n = -1;
    EXPECT_EQ(collectChanges(row, count, &runs, &n), vfOk);
    Runs out;
    for (int i = 0; i < n; i++) out.emplace_back(runs[i].first, runs[i].count);
    return out;
}

uint8_t &flag(int column, int row) { return changedArray[row * tilesWidth + column]; }

uint32_t rgba(unsigned r, unsigned g, unsigned b, unsigned a = 255) {
    return r | g << 8 | b << 16 | a << 24;
}

uint32_t &pixel(int x, int y) { return frameBuffer[(size_t)y * frameWidth + x]; }

void fill(uint32_t p) {
    for (size_t i = 0; i < (size_t)frameWidth * frameHeight; i++) frameBuffer[i] = p;
}

void blackRows(int from, int to) {
    for (int y = from; y <= to; y++)
        for (int x = 0; x < frameWidth; x++) pixel(x, y) = rgba(0, 0, 0);
}

void blackColumns(int from, int to) {
    for (int y = 0; y < frameHeight; y++)
        for (int x = from; x <= to; x++) pixel(x, y) = rgba(0, 0, 0);
}

std::vector<int> edges(int w, int h) {
    int e[4] = {-1, -1, -1, -1};
    measureBlackEdges(w, h, e);
    return {e[0], e[1], e[2], e[3]};
}

using Edges = std::vector<int>;

}  // namespace

// ---- Changed-tile runs -----------------------------------------------------

TEST(Changes, RunsAreReportedOnceAndCleared) {
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);  // 64 x 48 tiles
    for (int c : {2, 3, 4, 10, 63}) flag(c, 3) = 1;
    flag(0, 4) = 1;  // the next row is not scanned with count = tilesWidth
    EXPECT_EQ(changes(3, 64), (Runs{{2, 3}, {10, 1}, {63, 1}}));
    for (int c = 0; c < 64; c++) EXPECT_EQ(flag(c, 3), 0) << c;
    EXPECT_EQ(flag(0, 4), 1);
    EXPECT_EQ(changes(3, 64), Runs{});

    for (int c = 0; c < 64; c++) flag(c, 0) = 1;
    EXPECT_EQ(changes(0, 64), (Runs{{0, 64}}));
}

TEST(Changes, ShortAndEmptyCounts) {
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);
    flag(5, 2) = flag(6, 2) = 1;
    EXPECT_EQ(changes(2, 6), (Runs{{5, 1}}));
    EXPECT_EQ(flag(5, 2), 0);
    EXPECT_EQ(flag(6, 2), 1);
    for (int count : {0, -1, INT_MIN}) EXPECT_EQ(changes(2, count), Runs{}) << count;
    EXPECT_EQ(flag(6, 2), 1);
}

TEST(Changes, LongCountsRunIntoLaterRowsButStopAtTheArrayEnd) {
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);
    flag(63, 6) = flag(0, 7) = flag(1, 7) = 1;
    flag(6, 7) = 1;  // index 70: just past a count of 70
    EXPECT_EQ(changes(6, 70), (Runs{{63, 3}}));
    EXPECT_EQ(flag(0, 7) | flag(1, 7), 0);
    EXPECT_EQ(flag(6, 7), 1);

    // The last row: any larger count scans only its 64 flags.
    for (int count : {65, 1000, INT_MAX - 1, INT_MAX}) {
        flag(63, 47) = 1;
        EXPECT_EQ(changes(47, count), (Runs{{63, 1}})) << count;
        EXPECT_EQ(flag(63, 47), 0);
    }

    // From row 0 the whole array is one scan, with indices past the row.
    flag(6, 7) = 0;
    flag(10, 0) = flag(5, 47) = 1;
    EXPECT_EQ(changes(0, INT_MAX), (Runs{{10, 1}, {47 * 64 + 5, 1}}));
}

TEST(Changes, TheLargestGridAlternatingGivesTheMostRuns) {
    ASSERT_EQ(createFrameStore(1920, 1600), vfOk);
    int n = tilesWidth * tilesHeight;
    for (int i = 0; i < n; i += 2) changedArray[i] = 1;
    Runs runs = changes(0, INT_MAX);
    ASSERT_EQ((int)runs.size(), n / 2);
    EXPECT_EQ(runs.back(), std::make_pair(n - 2, 1));
    for (int i = 0; i < n; i++) ASSERT_EQ(changedArray[i], 0) << i;
}

TEST(Changes, RowOutOfRangeIsRefusedAndChangesNothing) {
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);
    flag(0, 0) = 1;
    const TileRun *runs;
    int n;
    EXPECT_EQ(collectChanges(-1, 64, &runs, &n), vfOutOfRange);
    EXPECT_EQ(collectChanges(48, 64, &runs, &n), vfOutOfRange);
    EXPECT_EQ(collectChanges(INT_MIN, 64, &runs, &n), vfOutOfRange);
    EXPECT_EQ(flag(0, 0), 1);
    ASSERT_EQ(createFrameStore(0, 0), vfOk);
    EXPECT_EQ(collectChanges(0, 1, &runs, &n), vfOutOfRange);
    // Rows of no tiles at all exist and have nothing to report.
    ASSERT_EQ(createFrameStore(0, 32), vfOk);
    EXPECT_EQ(changes(1, INT_MAX), Runs{});
}

// ---- Greyscale -------------------------------------------------------------

TEST(Greyscale, AveragesTruncatingAndKeepsTheFourthByte) {
    ASSERT_EQ(createFrameStore(32, 16), vfOk);
    const std::pair<uint32_t, uint32_t> cases[] = {
        {rgba(248, 252, 248), rgba(249, 249, 249)},
        {rgba(248, 0, 0), rgba(82, 82, 82)},
        {rgba(0, 0, 0), rgba(0, 0, 0)},
        {rgba(255, 255, 255, 0), rgba(255, 255, 255, 0)},
        {rgba(1, 1, 0, 0x5A), rgba(0, 0, 0, 0x5A)},
        {rgba(0, 0, 0, 0), rgba(0, 0, 0, 0)},
    };
    int i = 0;
    for (auto &c : cases) frameBuffer[i++] = c.first;
    frameBuffer[frameWidth * frameHeight - 1] = rgba(10, 20, 33, 7);  // the last pixel
    greyscaleFrame(0);
    i = 0;
    for (auto &c : cases) EXPECT_EQ(frameBuffer[i++], c.second) << i;
    EXPECT_EQ(frameBuffer[frameWidth * frameHeight - 1], rgba(21, 21, 21, 7));
}

// The sum of the three colour bytes of test pixel i, for i from 0 to 765.
static uint32_t pixelWithSum(unsigned s, unsigned fourth) {
    return rgba(std::min(s, 255u), s > 510 ? 255 : s > 255 ? s - 255 : 0, s > 510 ? s - 510 : 0,
                fourth);
}

static uint32_t greyRule(uint32_t p) {
    unsigned g = ((p & 0xFF) + (p >> 8 & 0xFF) + (p >> 16 & 0xFF)) / 3;
    return (p & 0xFF000000u) | g * 0x010101u;
}

TEST(Greyscale, EverySumMatchesTheRuleInVectorsAndOnItsOwn) {
    // Frames of three pixels are converted one pixel at a time.
    for (unsigned s = 0; s < 766; s += 3) {
        ASSERT_EQ(createFrameStore(3, 1), vfOk);
        for (unsigned k = 0; k < 3; k++) frameBuffer[k] = pixelWithSum(s + k, s & 0xFF);
        greyscaleFrame(0);
        for (unsigned k = 0; k < 3 && s + k < 766; k++)
            ASSERT_EQ(frameBuffer[k], greyRule(pixelWithSum(s + k, s & 0xFF))) << s + k;
    }
    // Larger frames: every sum and random pixels, with every remainder
    // after whole vectors of four.
    std::mt19937 rng(7);
    for (int width = 1; width <= 9; width++) {
        ASSERT_EQ(createFrameStore(width, 801), vfOk);
        size_t n = (size_t)width * 801;
        std::vector<uint32_t> before(n);
        for (size_t i = 0; i < n; i++) {
            before[i] = i < 766 ? pixelWithSum((unsigned)i, (unsigned)i & 0xFF) : (uint32_t)rng();
            frameBuffer[i] = before[i];
        }
        greyscaleFrame(1);
        for (size_t i = 0; i < n; i++)
            ASSERT_EQ(frameBuffer[i], greyRule(before[i])) << "width " << width << " pixel " << i;
    }
}

TEST(Greyscale, MarksEveryTileOnlyWhenAsked) {
    ASSERT_EQ(createFrameStore(1000, 600), vfOk);  // 63 x 38 tiles
    flag(3, 3) = 1;
    greyscaleFrame(0);
    for (int i = 0; i < tilesWidth * tilesHeight; i++)
        ASSERT_EQ(changedArray[i], i == 3 * 63 + 3) << i;
    for (int mark : {1, -5}) {
        memset(changedArray, 0, (size_t)tilesWidth * tilesHeight);
        greyscaleFrame(mark);
        for (int i = 0; i < tilesWidth * tilesHeight; i++) ASSERT_EQ(changedArray[i], 1) << i;
    }
    for (int r = 0; r < tilesHeight; r++) EXPECT_EQ(changes(r, 63), (Runs{{0, 63}})) << r;

    pixel(999, 599) = rgba(9, 9, 200);
    greyscaleFrame(1);
    uint32_t once = pixel(999, 599);
    greyscaleFrame(1);
    EXPECT_EQ(pixel(999, 599), once);
    EXPECT_EQ(once, rgba(72, 72, 72));

    ASSERT_EQ(createFrameStore(0, 0), vfOk);
    greyscaleFrame(1);  // nothing to do
}

// ---- Black edges -----------------------------------------------------------

TEST(BlackEdges, TheMaskDecidesPerChannelAndIgnoresTheFourthByte) {
    ASSERT_EQ(createFrameStore(64, 64), vfOk);
    pixel(0, 0) = rgba(31, 31, 63, 255);
    pixel(1, 0) = rgba(31, 31, 63, 0);
    EXPECT_EQ(isBlackLine(0, 2), 1);
    for (uint32_t p : {rgba(32, 0, 0), rgba(0, 32, 0), rgba(0, 0, 64), rgba(128, 128, 128)}) {
        pixel(1, 0) = p;
        pixel(0, 1) = p;
        EXPECT_EQ(isBlackLine(0, 2), 0) << std::hex << p;
        EXPECT_EQ(isBlackLine(0, 1), 1);
        EXPECT_EQ(isBlackColumn(0, 2), 0) << std::hex << p;
        EXPECT_EQ(isBlackColumn(0, 1), 1);
    }
}

TEST(BlackEdges, BordersOfAFullSizeFrame) {
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);
    EXPECT_EQ(edges(1024, 768), (Edges{0, 0, 0, 0}));  // all black

    fill(rgba(200, 100, 50));
    blackRows(0, 9);
    blackRows(758, 767);
    blackColumns(0, 3);
    EXPECT_EQ(edges(1024, 768), (Edges{4, 0, 10, 10}));

    // A coloured corner pixel ends the top and the right scan at once.
    blackColumns(1020, 1023);
    EXPECT_EQ(edges(1024, 768), (Edges{4, 4, 10, 10}));
    pixel(1023, 0) = rgba(0, 0, 64);
    EXPECT_EQ(edges(1024, 768), (Edges{4, 0, 0, 10}));
}

TEST(BlackEdges, SeventyFiveLinesCountAsNoBorderForBothSides) {
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);
    fill(rgba(200, 100, 50));
    blackRows(0, 73);
    blackRows(760, 767);
    blackColumns(0, 1);
    EXPECT_EQ(edges(1024, 768), (Edges{2, 0, 74, 8}));
    blackRows(74, 74);
    EXPECT_EQ(edges(1024, 768), (Edges{2, 0, 0, 0}));
    blackRows(75, 200);
    EXPECT_EQ(edges(1024, 768), (Edges{2, 0, 0, 0}));

    fill(rgba(200, 100, 50));
    blackColumns(949, 1023);  // 75 at the right
    blackColumns(0, 5);
    blackRows(0, 2);
    EXPECT_EQ(edges(1024, 768), (Edges{0, 0, 3, 0}));
}

TEST(BlackEdges, ScansOfASmallerActiveArea) {
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);
    fill(rgba(200, 100, 50));
    // An 800 x 600 picture inside the frame with 5-pixel borders; the
    // bottom and right scans start at the area's last line.
    blackRows(0, 4);
    blackRows(595, 599);
    blackColumns(0, 4);
    blackColumns(795, 799);
    EXPECT_EQ(edges(800, 600), (Edges{5, 5, 5, 5}));
    // Only the first w pixels of a row, and the first h of a column, count.
    pixel(900, 2) = rgba(255, 0, 0);
    pixel(2, 700) = rgba(255, 0, 0);
    EXPECT_EQ(edges(800, 600), (Edges{5, 5, 5, 5}));
}

TEST(BlackEdges, AreasBeyondTheFrameAreClampedToIt) {
    ASSERT_EQ(createFrameStore(200, 100), vfOk);
    fill(rgba(200, 100, 50));
    blackRows(0, 2);
    blackRows(97, 99);
    blackColumns(0, 6);
    blackColumns(196, 199);
    Edges whole = edges(200, 100);
    EXPECT_EQ(whole, (Edges{7, 4, 3, 3}));
    EXPECT_EQ(edges(201, 101), whole);
    EXPECT_EQ(edges(INT_MAX, INT_MAX), whole);
    for (auto wh : {std::make_pair(0, 100), std::make_pair(200, 0), std::make_pair(-1, 50),
                    std::make_pair(INT_MIN, INT_MIN), std::make_pair(50, -7)})
        EXPECT_EQ(edges(wh.first, wh.second), (Edges{0, 0, 0, 0})) << wh.first << "x" << wh.second;
    ASSERT_EQ(createFrameStore(0, 0), vfOk);
    EXPECT_EQ(edges(1024, 768), (Edges{0, 0, 0, 0}));
}

TEST(BlackEdges, ScansThatWouldPassLineZeroOrTheFrameEdgeStop) {
    // A frame of fewer than 75 lines each way, all black: no border.
    ASSERT_EQ(createFrameStore(40, 30), vfOk);
    EXPECT_EQ(edges(40, 30), (Edges{0, 0, 0, 0}));
    // Borders in it are still measured.
    fill(rgba(200, 100, 50));
    blackRows(0, 3);
    blackRows(28, 29);
    blackColumns(0, 0);
    EXPECT_EQ(edges(40, 30), (Edges{1, 0, 4, 2}));

    // A short active area black down to row 0: its bottom scan runs out of
    // rows, which counts as all black; the top scan alone would stop at 20.
    ASSERT_EQ(createFrameStore(1024, 768), vfOk);
    fill(rgba(200, 100, 50));
    blackRows(0, 19);
    blackColumns(0, 2);
    EXPECT_EQ(edges(1024, 20), (Edges{0, 0, 0, 0}));
    EXPECT_EQ(edges(1024, 21), (Edges{3, 0, 20, 0}));
    // The same for columns: a narrow area black across.
    fill(rgba(200, 100, 50));
    blackColumns(0, 9);
    blackRows(0, 0);
    EXPECT_EQ(edges(10, 768), (Edges{0, 0, 0, 0}));
    EXPECT_EQ(edges(11, 768), (Edges{10, 0, 1, 0}));
}

TEST(BlackEdges, LineTestsAreSafeForAnyArguments) {
    ASSERT_EQ(createFrameStore(48, 32), vfOk);  // all black
    for (int r : {INT_MIN, -1, 0, 31, 32, INT_MAX}) {
        EXPECT_EQ(isBlackLine(r, 0), 1) << r;
        EXPECT_EQ(isBlackColumn(r, 0), 1) << r;
        EXPECT_EQ(isBlackLine(r, INT_MIN), 1) << r;
    }
    // Lines outside the frame have no black pixel.
    for (int r : {INT_MIN, -1, 32, INT_MAX}) EXPECT_EQ(isBlackLine(r, 1), 0) << r;
    for (int c : {INT_MIN, -1, 48, INT_MAX}) EXPECT_EQ(isBlackColumn(c, 1), 0) << c;
    // Counts beyond the frame test the whole line and no further.
    EXPECT_EQ(isBlackLine(31, INT_MAX), 1);
    EXPECT_EQ(isBlackColumn(47, INT_MAX), 1);
    pixel(47, 31) = rgba(0, 64, 0);
    EXPECT_EQ(isBlackLine(31, INT_MAX), 0);
    EXPECT_EQ(isBlackColumn(47, INT_MAX), 0);
    EXPECT_EQ(isBlackLine(31, 47), 1);
    EXPECT_EQ(isBlackColumn(47, 31), 1);
}
