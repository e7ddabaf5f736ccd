// The decoder's vector paths against the scalar reference: whatever the
// stream, every path must leave the same frame, flags, statistics, carry-over
// state and diagnostic record, and return the same results.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decode_kernels.h"
#include "reported_cpu.h"
#include "vidframe.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void putWord(Bytes &out, unsigned w) {
    out.push_back((uint8_t)(w & 0xFF));
    out.push_back((uint8_t)(w >> 8));
}

unsigned positionWord(int column, int row, bool solid) {
    return (solid ? 0x4000u : 0u) | (unsigned)(row & 0x7F) << 7 | (unsigned)(column & 0x7F);
}

// A stream of random messages for a tilesW x tilesH grid: solid and image
// tiles (edge tiles included), out-of-range positions, bit 15 set at random,
// and padding markers followed by junk up to the block end.
Bytes randomStream(std::mt19937 &rng, int tilesW, int tilesH, int messages) {
    Bytes s;
    for (int i = 0; i < messages; i++) {
        unsigned kind = rng() % 100;
        if (kind < 6) {
            for (int k = 0; k < 4; k++) s.push_back(0xFF);
            while (s.size() % blockSize) s.push_back((uint8_t)rng());
            continue;
        }
        bool solid = kind < 55;
        int column = (int)(rng() % (unsigned)(tilesW + 1));
        int row = (int)(rng() % (unsigned)(tilesH + 1));
        if (rng() % 8 == 0) column = (int)(rng() % 128);
        putWord(s, rng() & 0xFFFF);
        putWord(s, positionWord(column, row, solid) | (rng() % 4 == 0 ? 0x8000u : 0u));
        if (!solid)
            for (int k = 0; k < 256; k++) putWord(s, rng() & 0xFFFF);
    }
    return s;
}

// One videoSink call: a chunk and its start offset.
struct Call {
    Bytes chunk;
    int start;
};

// Cuts anywhere: chunks of any length, some with an (even or odd) start.
std::vector<Call> cutAnywhere(std::mt19937 &rng, const Bytes &s) {
    std::vector<Call> calls;
    size_t at = 0;
    while (at < s.size()) {
        size_t n = std::min(s.size() - at, (size_t)(1 + rng() % 3000));
        Call c{Bytes(s.begin() + at, s.begin() + at + n), 0};
        if (rng() % 6 == 0) c.start = (int)(rng() % (n + 1));
        calls.push_back(c);
        at += n;
    }
    return calls;
}

// Cuts at block boundaries only, as the adapter delivers.
std::vector<Call> cutAtBlocks(std::mt19937 &rng, const Bytes &s) {
    std::vector<Call> calls;
    size_t at = 0;
    while (at < s.size()) {
        size_t n = std::min(s.size() - at, (size_t)blockSize * (1 + rng() % 40));
        calls.push_back(Call{Bytes(s.begin() + at, s.begin() + at + n), 0});
        at += n;
    }
    return calls;
}

// Everything the decoder leaves behind.
struct Outcome {
    Bytes frame, flags, leftover, previous;
    std::vector<int> results;
    int padding, bogus, leftoverSize, leftoverNeeded, hack, previousAt;
};

void resetDecoder() {
    leftoverDataSize = leftoverDataNeeded = 0;
    memset(leftoverData, 0, sizeof leftoverData);
    hackhack = previousMessage = 0;
    memset(previousData, 0, sizeof previousData);
    int p, b;
    takeStats(&p, &b);
}

Outcome snapshot(const std::vector<int> &results) {
    Outcome o;
    const uint8_t *f = reinterpret_cast<const uint8_t *>(frameBuffer);
    o.frame.assign(f, f + (size_t)frameWidth * frameHeight * 4);
    o.flags.assign(changedArray, changedArray + tilesWidth * tilesHeight);
    o.leftover.assign(leftoverData, leftoverData + leftoverDataSize);
    o.previous.assign(previousData, previousData + previousDataSize);
    o.results = results;
    takeStats(&o.padding, &o.bogus);
    o.leftoverSize = leftoverDataSize;
    o.leftoverNeeded = leftoverDataNeeded;
    o.hack = hackhack;
    o.previousAt = previousMessage;
    return o;
}

// Decodes `calls` into a fresh width x height store on `path`. A call with
// start -1 stands for recreating the store at newWidth x newHeight instead.
Outcome decodeOn(DecodePath path, int width, int height, const std::vector<Call> &calls,
                 int newWidth = 0, int newHeight = 0) {
    EXPECT_TRUE(setDecodePath(path));
    resetDecoder();
    EXPECT_EQ(createFrameStore(width, height), vfOk);
    std::vector<int> results;
    for (const Call &c : calls) {
        if (c.start < 0) {
            EXPECT_EQ(createFrameStore(newWidth, newHeight), vfOk);
            continue;
        }
        int result = -1;
        EXPECT_EQ(sinkVideo(c.chunk.data(), (int)c.chunk.size(), c.start, &result), vfOk);
        results.push_back(result);
    }
    Outcome o = snapshot(results);
    setDecodePath(bestDecodePath());
    return o;
}

// Where two outcomes first differ, or "" when they are the same.
std::string difference(const Outcome &a, const Outcome &b) {
    if (a.frame.size() != b.frame.size()) return "frame size";
    for (size_t i = 0; i < a.frame.size(); i++)
        if (a.frame[i] != b.frame[i]) return "frame byte " + std::to_string(i);
    if (a.flags != b.flags) return "changed flags";
    if (a.results != b.results) return "results";
    if (a.padding != b.padding || a.bogus != b.bogus) return "statistics";
    if (a.leftover != b.leftover || a.leftoverSize != b.leftoverSize ||
        a.leftoverNeeded != b.leftoverNeeded)
        return "carry-over state";
    if (a.hack != b.hack || a.previous != b.previous || a.previousAt != b.previousAt)
        return "diagnostic record";
    return "";
}

std::vector<DecodePath> vectorPaths() {
    std::vector<DecodePath> paths;
    for (int p = decodeScalar + 1; p < decodePathCount; p++)
        if (decodePathAvailable((DecodePath)p)) paths.push_back((DecodePath)p);
    return paths;
}

// The comparisons with the scalar path have nothing to compare where the
// processor has no vector level (aarch64): they say so instead of passing.
// Where it has one the core does not offer, they fail on a set-up machine.
#define SKIP_WITHOUT_VECTOR_PATHS() \
    SKIP_UNLESS_THE_CPUS_VECTOR_PATHS(missingDecodePaths(), !vectorPaths().empty(), "decode")

struct Size {
    int width, height;
};

// Multiples of 16 and not, narrower than one tile, and the 1024 and
// 1000-pixel strides whose rows alias in the cache or are not line-aligned.
const Size sizes[] = {{32, 32}, {48, 33}, {17, 16}, {8, 5},     {1024, 768},
                      {1000, 600}, {1920, 1080}, {1, 40}, {0, 0}};

}  // namespace

// The paths offered are those this build has whose sets the processor runs,
// as the compiler runtime reports them (other architectures build no x86
// writers: the scalar path only).
TEST(DecoderPaths, SelectionReportsWhatTheCpuRuns) {
    ReportedCpu cpu = compilerRuntimeCpu();
    std::vector<DecodePath> offered{decodeScalar};
    for (DecodePath p : vectorPaths()) offered.push_back(p);
    EXPECT_EQ(offered, decodePathsFor(cpu)) << "processor: " << describe(cpu);
    EXPECT_EQ(bestDecodePath(), offered.back());
    EXPECT_EQ(currentDecodePath(), bestDecodePath());
    EXPECT_STREQ(decodePathName(decodeAvx2), "avx2");
    EXPECT_EQ(decodePathName(decodePathCount), nullptr);
    // An unknown or unavailable path is refused and the current one kept.
    ASSERT_TRUE(setDecodePath(decodeScalar));
    EXPECT_FALSE(setDecodePath(decodePathCount));
    EXPECT_FALSE(setDecodePath((DecodePath)-1));
    for (int p = 0; p < decodePathCount; p++) {
        if (!decodePathAvailable((DecodePath)p)) {
            EXPECT_FALSE(setDecodePath((DecodePath)p));
        }
    }
    EXPECT_EQ(currentDecodePath(), decodeScalar);
    EXPECT_EQ(tileWriters.solid, nullptr);
    ASSERT_TRUE(setDecodePath(bestDecodePath()));
}

// Every 5-6-5 word, as image pixels and as solid tiles, on whole tiles.
TEST(DecoderPaths, EveryColourMatchesTheReference) {
    SKIP_WITHOUT_VECTOR_PATHS();
    Bytes s;
    for (int t = 0; t < 256; t++) {
        putWord(s, 0);
        putWord(s, positionWord(t % 16, t / 16, false));
        for (int k = 0; k < 256; k++) putWord(s, (unsigned)(t * 256 + k));
    }
    std::vector<Call> image{Call{s, 0}};
    Outcome ref = decodeOn(decodeScalar, 256, 256, image);
    for (DecodePath p : vectorPaths())
        EXPECT_EQ(difference(ref, decodeOn(p, 256, 256, image)), "") << decodePathName(p);

    for (int first = 0; first < 65536; first += 256) {
        Bytes solids;
        for (int t = 0; t < 256; t++) {
            putWord(solids, (unsigned)(first + t));
            putWord(solids, positionWord(t % 16, t / 16, true));
        }
        std::vector<Call> calls{Call{solids, 0}};
        Outcome solidRef = decodeOn(decodeScalar, 256, 256, calls);
        for (DecodePath p : vectorPaths())
            ASSERT_EQ(difference(solidRef, decodeOn(p, 256, 256, calls)), "")
                << decodePathName(p) << " colours from " << first;
    }
}

TEST(DecoderPaths, RandomStreamsMatchTheReference) {
    SKIP_WITHOUT_VECTOR_PATHS();
    std::mt19937 rng(12345);
    for (const Size &sz : sizes) {
        int tw = (sz.width + 15) / 16, th = (sz.height + 15) / 16;
        int messages = std::min(4000, 40 + tw * th * 2);
        for (int round = 0; round < 3; round++) {
            Bytes s = randomStream(rng, tw, th, messages);
            std::vector<Call> calls = round == 0 ? cutAtBlocks(rng, s) : cutAnywhere(rng, s);
            Outcome ref = decodeOn(decodeScalar, sz.width, sz.height, calls);
            for (DecodePath p : vectorPaths())
                EXPECT_EQ(difference(ref, decodeOn(p, sz.width, sz.height, calls)), "")
                    << decodePathName(p) << " " << sz.width << "x" << sz.height << " round "
                    << round;
        }
    }
}

// A message carried across a change of frame size is decoded into the new
// store, against the new grid, on every path alike.
TEST(DecoderPaths, CarryAcrossNewStoreMatchesTheReference) {
    SKIP_WITHOUT_VECTOR_PATHS();
    std::mt19937 rng(99);
    Bytes s = randomStream(rng, 4, 4, 60);
    std::vector<Call> calls = cutAnywhere(rng, s);
    std::vector<Call> withNewStore;
    for (size_t i = 0; i < calls.size(); i++) {
        withNewStore.push_back(calls[i]);
        if (i % 3 == 1) withNewStore.push_back(Call{Bytes(), -1});
    }
    Outcome ref = decodeOn(decodeScalar, 64, 64, withNewStore, 40, 72);
    for (DecodePath p : vectorPaths())
        EXPECT_EQ(difference(ref, decodeOn(p, 64, 64, withNewStore, 40, 72)), "")
            << decodePathName(p);
}

// Cutting the stream at other block boundaries changes neither the frame nor
// the flags nor the statistics, on any path.
TEST(DecoderPaths, SplitsAtBlockBoundariesDoNotMatter) {
    std::mt19937 rng(2024);
    const Size shapes[] = {{1024, 768}, {1000, 600}, {40, 24}};
    for (const Size &sz : shapes) {
        int tw = (sz.width + 15) / 16, th = (sz.height + 15) / 16;
        Bytes s = randomStream(rng, tw, th, 3000);
        std::vector<Call> whole{Call{s, 0}};
        std::vector<Call> pieces = cutAtBlocks(rng, s);
        for (int p = 0; p < decodePathCount; p++) {
            if (!decodePathAvailable((DecodePath)p)) continue;
            Outcome a = decodeOn((DecodePath)p, sz.width, sz.height, whole);
            Outcome b = decodeOn((DecodePath)p, sz.width, sz.height, pieces);
            EXPECT_EQ(a.frame, b.frame) << decodePathName((DecodePath)p) << " " << sz.width;
            EXPECT_EQ(a.flags, b.flags) << decodePathName((DecodePath)p);
            EXPECT_EQ(a.padding, b.padding);
            EXPECT_EQ(a.bogus, b.bogus);
            EXPECT_EQ(a.leftoverSize, b.leftoverSize);
        }
    }
}

// The writers called directly, at every 4-byte alignment and a few strides:
// exactly the 16 x 16 pixels of the tile change, to what the reference
// decoder writes for the same message.
TEST(DecoderPaths, WritersTouchOnlyTheirTileAtAnyAlignment) {
    SKIP_WITHOUT_VECTOR_PATHS();
    std::mt19937 rng(7);
    Bytes image;
    putWord(image, 0);
    putWord(image, positionWord(0, 0, false));
    for (int k = 0; k < 256; k++) putWord(image, rng() & 0xFFFF);
    Bytes solid;
    putWord(solid, 0x8410);
    putWord(solid, positionWord(0, 0, true));

    Outcome imageRef = decodeOn(decodeScalar, 16, 16, {Call{image, 0}});
    Outcome solidRef = decodeOn(decodeScalar, 16, 16, {Call{solid, 0}});

    const int strides[] = {16, 17, 250, 1000, 1024};
    const uint32_t guard = 0xA5A5A5A5u;
    for (DecodePath p : vectorPaths()) {
        ASSERT_TRUE(setDecodePath(p));
        TileWriters w = tileWriters;
        for (int stride : strides)
            for (int offset = 0; offset < 16; offset++)
                for (int kind = 0; kind < 2; kind++) {
                    // 64 extra bytes around the tile, then the tile at `offset` pixels.
                    std::vector<uint32_t> mem((size_t)stride * 18 + 48, guard);
                    uint32_t *tile = mem.data() + stride + 16 + offset;
                    if (kind == 0)
                        w.image(tile, stride, image.data() + 4);
                    else
                        w.solid(tile, stride, 0xFF808080u);
                    w.finish();
                    const Bytes &ref = kind == 0 ? imageRef.frame : solidRef.frame;
                    for (size_t i = 0; i < mem.size(); i++) {
                        ptrdiff_t rel = (ptrdiff_t)i - (stride + 16 + offset);
                        ptrdiff_t y = rel >= 0 ? rel / stride : -1, x = rel >= 0 ? rel % stride : -1;
                        uint32_t want = guard;
                        if (y >= 0 && y < 16 && x < 16) memcpy(&want, &ref[(y * 16 + x) * 4], 4);
                        ASSERT_EQ(mem[i], want) << decodePathName(p) << " stride " << stride
                                                << " offset " << offset << " kind " << kind
                                                << " at " << i;
                    }
                }
    }
    setDecodePath(bestDecodePath());
}
