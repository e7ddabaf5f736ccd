// The shrinking passes: the rule's worked values, and every vector path
// byte for byte against the scalar rule, with sources that end at a page
// boundary and guard bytes around every destination.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "reported_cpu.h"
#include "resize.h"

namespace {

// Bytes that end exactly where a protected page begins, so a read past the
// last byte faults.
struct PageEndBuffer {
    uint8_t *base = nullptr;
    size_t mapped = 0;
    uint8_t *data = nullptr;
    explicit PageEndBuffer(size_t size) {
        size_t page = (size_t)sysconf(_SC_PAGESIZE);
        size_t body = (size + page - 1) / page * page;
        mapped = body + page;
        base = static_cast<uint8_t *>(
            mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base == MAP_FAILED) abort();
        mprotect(base + body, page, PROT_NONE);
        data = base + body - size;
    }
    ~PageEndBuffer() { munmap(base, mapped); }
    PageEndBuffer(const PageEndBuffer &) = delete;
    PageEndBuffer &operator=(const PageEndBuffer &) = delete;
};

enum Fill { fillRandom, fillWhite, fillAlternating };

// A source block of `rows` rows; the last row ends at the page end.
struct Source {
    PageEndBuffer buffer;
    uint32_t stride;
    Source(int width, int rows, uint32_t stride_, Fill fill, std::mt19937 &rng)
        : buffer((size_t)(rows - 1) * stride_ + (size_t)width * 4), stride(stride_) {
        size_t n = (size_t)(rows - 1) * stride + (size_t)width * 4;
        for (size_t i = 0; i < n; i++) {
            switch (fill) {
            case fillRandom: buffer.data[i] = (uint8_t)rng(); break;
            case fillWhite: buffer.data[i] = 255; break;
            case fillAlternating: buffer.data[i] = ((i / 4) & 1) ? 255 : 0; break;
            }
        }
    }
    const uint8_t *data() const { return buffer.data; }
};

constexpr int guardBytes = 64;
constexpr uint8_t guardValue = 0xa5;

// A destination of `rows` rows of `width` pixels at `stride`, with guard
// bytes before, after and between the rows.
struct Target {
    std::vector<uint8_t> bytes;
    int width, rows;
    uint32_t stride;
    Target(int width_, int rows_, uint32_t stride_)
        : bytes(2 * guardBytes + (size_t)rows_ * stride_, guardValue),
          width(width_), rows(rows_), stride(stride_) {}
    uint8_t *data() { return bytes.data() + guardBytes; }
    // Offset of the first byte written outside the rows, or -1.
    long strayWrite() const {
        for (size_t i = 0; i < bytes.size(); i++) {
            long off = (long)i - guardBytes;
            bool inside = off >= 0 && off < (long)rows * (long)stride &&
                          (size_t)off % stride < (size_t)width * 4;
            if (!inside && bytes[i] != guardValue) return off;
        }
        return -1;
    }
};

class ShrinkPaths : public ::testing::Test {
protected:
    void TearDown() override { setShrinkPath(bestShrinkPath()); }

    // The vector paths this machine runs.
    static std::vector<ShrinkPath> vectorPaths() {
        std::vector<ShrinkPath> paths;
        for (ShrinkPath p : {shrinkSse2, shrinkAvx2, shrinkAvx512})
            if (setShrinkPath(p)) paths.push_back(p);
        setShrinkPath(bestShrinkPath());
        return paths;
    }

    // Every vector path against the scalar rule on one horizontal problem.
    static void checkX(const Source &src, int srcWidth, int height, int dstWidth, uint32_t dstStride) {
        Target want(dstWidth, height, dstStride);
        imageShrinkXScalar(src.data(), srcWidth, height, src.stride, want.data(), dstWidth, dstStride);
        for (ShrinkPath p : vectorPaths()) {
            ASSERT_TRUE(setShrinkPath(p));
            Target got(dstWidth, height, dstStride);
            imageShrinkX(src.data(), srcWidth, height, src.stride, got.data(), dstWidth, dstStride);
            ASSERT_EQ(got.strayWrite(), -1) << "path " << p << " " << srcWidth << "->" << dstWidth;
            ASSERT_EQ(got.bytes, want.bytes)
                << "path " << p << " " << srcWidth << "->" << dstWidth << " x" << height;
        }
    }

    static void checkY(const Source &src, int width, int srcHeight, int dstHeight, uint32_t dstStride) {
        Target want(width, dstHeight, dstStride);
        imageShrinkYScalar(src.data(), width, srcHeight, src.stride, want.data(), dstHeight, dstStride);
        for (ShrinkPath p : vectorPaths()) {
            ASSERT_TRUE(setShrinkPath(p));
            Target got(width, dstHeight, dstStride);
            imageShrinkY(src.data(), width, srcHeight, src.stride, got.data(), dstHeight, dstStride);
            ASSERT_EQ(got.strayWrite(), -1) << "path " << p << " " << srcHeight << "->" << dstHeight;
            ASSERT_EQ(got.bytes, want.bytes)
                << "path " << p << " width " << width << " " << srcHeight << "->" << dstHeight;
        }
    }
};

// One channel's values through the scalar rule and every path, as a row.
std::vector<int> shrinkRow(const std::vector<int> &values, int dstWidth, int channel) {
    std::vector<uint8_t> src(values.size() * 4, 0), dst((size_t)dstWidth * 4, 0);
    for (size_t i = 0; i < values.size(); i++) src[i * 4 + channel] = (uint8_t)values[i];
    imageShrinkX(src.data(), (int)values.size(), 1, (uint32_t)src.size(), dst.data(), dstWidth,
                 (uint32_t)dst.size());
    std::vector<int> out;
    for (int j = 0; j < dstWidth; j++) out.push_back(dst[j * 4 + channel]);
    return out;
}

// The same values as a column through the vertical pass.
std::vector<int> shrinkColumn(const std::vector<int> &values, int dstHeight, int channel) {
    std::vector<uint8_t> src(values.size() * 4, 0), dst((size_t)dstHeight * 4, 0);
    for (size_t i = 0; i < values.size(); i++) src[i * 4 + channel] = (uint8_t)values[i];
    imageShrinkY(src.data(), 1, (int)values.size(), 4, dst.data(), dstHeight, 4);
    std::vector<int> out;
    for (int j = 0; j < dstHeight; j++) out.push_back(dst[j * 4 + channel]);
    return out;
}

std::vector<ShrinkPath> allPaths() {
    std::vector<ShrinkPath> paths;
    for (int p = shrinkScalar; p < shrinkPathCount; p++)
        if (setShrinkPath((ShrinkPath)p)) paths.push_back((ShrinkPath)p);
    setShrinkPath(bestShrinkPath());
    return paths;
}

}  // namespace

// The scalar path is always there, the best one is installed at load, and a
// path is taken exactly when this build has its kernels and the processor
// runs its sets, as the compiler runtime reports them (other architectures
// build no x86 kernels: the scalar path only); a refused path leaves the
// current one in place.
TEST_F(ShrinkPaths, SelectionRefusesWhatTheCpuLacks) {
    ReportedCpu cpu = compilerRuntimeCpu();
    std::vector<ShrinkPath> runs = shrinkPathsFor(cpu);
    EXPECT_EQ(currentShrinkPath(), bestShrinkPath());
    EXPECT_EQ(bestShrinkPath(), runs.back()) << "processor: " << describe(cpu);
    ASSERT_TRUE(setShrinkPath(shrinkScalar));
    EXPECT_FALSE(setShrinkPath(shrinkPathCount));
    EXPECT_FALSE(setShrinkPath((ShrinkPath)-1));
    for (int p = shrinkSse2; p < shrinkPathCount; p++) {
        ASSERT_TRUE(setShrinkPath(shrinkScalar));
        bool has = std::find(runs.begin(), runs.end(), (ShrinkPath)p) != runs.end();
        EXPECT_EQ(setShrinkPath((ShrinkPath)p), has)
            << "path " << p << "; processor: " << describe(cpu);
        EXPECT_EQ(currentShrinkPath(), has ? (ShrinkPath)p : shrinkScalar) << "path " << p;
    }
    EXPECT_EQ(allPaths(), runs);
}

TEST_F(ShrinkPaths, WorkedValuesOnEveryPath) {
    const std::vector<int> ramp = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 130, 140, 150, 160};
    std::vector<int> alternating, white(16, 255);
    for (int i = 0; i < 16; i++) alternating.push_back(i % 2 ? 255 : 0);

    for (ShrinkPath p : allPaths()) {
        ASSERT_TRUE(setShrinkPath(p));
        SCOPED_TRACE(p);
        for (int channel = 0; channel < 4; channel++) {
            // Constant 255 leans down where the step is not whole pixels.
            EXPECT_EQ(shrinkRow(white, 12, channel), std::vector<int>(12, 254));
            for (int n : {8, 4, 2, 1}) EXPECT_EQ(shrinkRow(white, n, channel), std::vector<int>(n, 255));
            const std::vector<int> rampWant = {12, 24, 36, 51, 64, 76, 92, 104, 116, 132, 144, 156};
            EXPECT_EQ(shrinkRow(ramp, 12, channel), rampWant);
            const std::vector<int> altWant = {63, 127, 190, 63, 127, 190, 63, 127, 190, 63, 127, 190};
            EXPECT_EQ(shrinkRow(alternating, 12, channel), altWant);
            // Columns come out as rows do.
            EXPECT_EQ(shrinkColumn(ramp, 12, channel), rampWant);
            EXPECT_EQ(shrinkColumn(alternating, 12, channel), altWant);
            EXPECT_EQ(shrinkColumn(white, 12, channel), std::vector<int>(12, 254));
        }
    }
}

TEST_F(ShrinkPaths, HalvingIsTheTruncatedPairMean) {
    std::mt19937 rng(7);
    std::vector<int> values(64);
    for (int &v : values) v = (int)(rng() & 255);
    values[0] = 255, values[1] = 254, values[2] = 0, values[3] = 1;
    for (ShrinkPath p : allPaths()) {
        ASSERT_TRUE(setShrinkPath(p));
        for (int channel = 0; channel < 4; channel++) {
            std::vector<int> row = shrinkRow(values, 32, channel), col = shrinkColumn(values, 32, channel);
            for (int j = 0; j < 32; j++) {
                ASSERT_EQ(row[j], (values[2 * j] + values[2 * j + 1]) / 2) << p << " pixel " << j;
                ASSERT_EQ(col[j], (values[2 * j] + values[2 * j + 1]) / 2) << p << " row " << j;
            }
        }
    }
}

TEST_F(ShrinkPaths, TileToOnePixelIsTheMeanOfRowMeans) {
    std::mt19937 rng(11);
    std::vector<uint8_t> tile(16 * 16 * 4), row(16 * 4), one(4);
    for (uint8_t &b : tile) b = (uint8_t)rng();
    for (ShrinkPath p : allPaths()) {
        ASSERT_TRUE(setShrinkPath(p));
        imageShrinkX(tile.data(), 16, 16, 64, row.data(), 1, 4);
        imageShrinkY(row.data(), 1, 16, 4, one.data(), 1, 4);
        for (int c = 0; c < 4; c++) {
            int sum = 0;
            for (int y = 0; y < 16; y++) {
                int rowSum = 0;
                for (int x = 0; x < 16; x++) rowSum += tile[(y * 16 + x) * 4 + c];
                sum += rowSum / 16;
            }
            EXPECT_EQ(one[c], sum / 16) << p << " channel " << c;
        }
    }
}

// Whole tiles as the readout shrinks them: every tile size, run widths and
// heights sampled over the frame's range, padded strides, all three fills.
TEST_F(ShrinkPaths, ReadoutGeometryMatchesScalar) {
    SKIP_UNLESS_THE_CPUS_VECTOR_PATHS(missingShrinkPaths(), !vectorPaths().empty(), "shrink");
    std::mt19937 rng(1);
    const int widths[] = {1, 2, 3, 4, 5, 7, 8, 9, 13, 16, 31, 33, 64, 97, 119, 120};
    const int heights[] = {1, 2, 3, 5, 8, 17, 50, 100};
    for (int ts = 1; ts <= 15; ts++) {
        for (int wi = 0; wi < (int)(sizeof widths / sizeof *widths); wi++) {
            int w = widths[wi];
            Fill fill = (Fill)((ts + wi) % 3);
            int rows = 1 + (int)(rng() % 9);  // odd counts leave rows over for the vector paths
            Source src(w * 16, rows, (uint32_t)(w * 64 + 4 * (rng() % 5)), fill, rng);
            checkX(src, w * 16, rows, w * ts, (uint32_t)(w * ts * 4 + 4 * (rng() % 3)));
        }
        for (int hi = 0; hi < (int)(sizeof heights / sizeof *heights); hi++) {
            int h = heights[hi];
            int w = widths[(ts * 5 + hi * 3) % (sizeof widths / sizeof *widths)];
            if (h * w > 2000) w = 1 + w % 13;  // keep the scalar reference quick
            Fill fill = (Fill)((ts + hi) % 3);
            int width = w * ts;
            Source src(width, h * 16, (uint32_t)(width * 4 + 4 * (rng() % 5)), fill, rng);
            checkY(src, width, h * 16, h * ts, (uint32_t)(width * 4 + 4 * (rng() % 3)));
        }
    }
}

// Sizes that are no multiple of a tile, including the shapes with their own
// fast paths (pairs, groups of four or more) and widths past one slice.
TEST_F(ShrinkPaths, ArbitrarySizesMatchScalar) {
    SKIP_UNLESS_THE_CPUS_VECTOR_PATHS(missingShrinkPaths(), !vectorPaths().empty(), "shrink");
    std::mt19937 rng(3);
    for (int i = 0; i < 300; i++) {
        int srcSize = 2 + (int)(rng() % 300);
        int dstSize = 1 + (int)(rng() % (srcSize - 1));
        if (i % 5 == 0) dstSize = srcSize / 2;
        if (i % 7 == 0 && srcSize >= 8) dstSize = srcSize / (4 * (1 + (int)(rng() % 2)));
        if (dstSize < 1 || dstSize >= srcSize) dstSize = srcSize - 1;
        if (i % 4 == 0) srcSize = dstSize * 12;  // groups of 12: not a power of two
        Fill fill = (Fill)(i % 3);
        int rows = 1 + (int)(rng() % 7);
        Source sx(srcSize, rows, (uint32_t)(srcSize * 4 + 4 * (rng() % 4)), fill, rng);
        checkX(sx, srcSize, rows, dstSize, (uint32_t)(dstSize * 4));
        int width = 1 + (int)(rng() % 40);
        Source sy(width, srcSize, (uint32_t)(width * 4 + 4 * (rng() % 4)), fill, rng);
        checkY(sy, width, srcSize, dstSize, (uint32_t)(width * 4 + 8));
    }
    // Rows wider than the vertical pass's accumulators are done in slices.
    Source wide(shrinkYSlots + 37, 20, (uint32_t)(shrinkYSlots + 37) * 4, fillRandom, rng);
    checkY(wide, shrinkYSlots + 37, 20, 13, (uint32_t)(shrinkYSlots + 37) * 4);
}

// Past 257 source pixels per target the 16-bit sums wrap, and a wrapped sum
// that reads as negative comes out 0: the vector paths wrap the same way.
TEST_F(ShrinkPaths, OverlongTargetsWrapLikeTheRule) {
    SKIP_UNLESS_THE_CPUS_VECTOR_PATHS(missingShrinkPaths(), !vectorPaths().empty(), "shrink");
    std::mt19937 rng(5);
    for (int srcSize : {300, 517, 600, 1030}) {
        for (int dstSize : {1, 2, 3}) {
            for (Fill fill : {fillWhite, fillRandom}) {
                Source sx(srcSize, 3, (uint32_t)srcSize * 4, fill, rng);
                checkX(sx, srcSize, 3, dstSize, (uint32_t)dstSize * 4);
                Source sy(9, srcSize, 36, fill, rng);
                checkY(sy, 9, srcSize, dstSize, 36);
            }
        }
    }
}
