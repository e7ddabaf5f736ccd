// The decoder on an input-chosen frame size and stream.
//
// Input: size class, width, height (u8, u16, u16; at most 16K pixels); the decode path of the
// cut run (u8); up to 15 block cuts (u8 count, u16 each); up to 15 free cuts
// (u8 count, then u16 position and u8 flags each); the rest is the stream.
//
// 1. The stream decoded whole on the scalar path, then cut at the chosen
//    512-byte block boundaries (those that split no message header) on the
//    chosen path: frame, changed flags, statistics and the carried message
//    must come out identical.
// 2. The stream cut anywhere, with odd start offsets, invalid starts and the
//    store recreated between chunks: nothing may crash or reach outside its
//    memory, and the carry-over state must stay well formed.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "vidframe.h"
#if __has_include("decode_kernels.h")
#include "decode_kernels.h"
#define HAVE_DECODE_PATHS 1
#endif

namespace {

struct Snapshot {
    std::vector<uint32_t> frame;
    std::vector<uint8_t> flags;
    int padding, bogus;
    std::vector<uint8_t> carried;
    int carriedNeeded;
};

void freshStore(int width, int height) {
    FUZZ_CHECK(createFrameStore(width, height) == vfOk);
    leftoverDataSize = leftoverDataNeeded = 0;
    int padding, bogus;
    takeStats(&padding, &bogus);
}

// Fills s in place: its vectors keep their blocks from one run to the next.
void snapshot(Snapshot &s) {
    s.frame.assign(frameBuffer, frameBuffer + (size_t)frameWidth * frameHeight);
    s.flags.assign(changedArray, changedArray + (size_t)tilesWidth * tilesHeight);
    takeStats(&s.padding, &s.bogus);
    s.carried.assign(leftoverData, leftoverData + leftoverDataSize);
    s.carriedNeeded = leftoverDataNeeded;
}

void checkCarryState() {
    if (leftoverDataNeeded == 0)
        FUZZ_CHECK(leftoverDataSize == 0);
    else
        FUZZ_CHECK(leftoverDataNeeded == imageMessageSize && leftoverDataSize >= 4 &&
                   leftoverDataSize < imageMessageSize);
}

int sink(const uint8_t *data, size_t length, int start) {
    // Each chunk in a block of its own size (never null, even when empty),
    // so any read past it is caught.
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[length]);
    if (length) memcpy(chunk.get(), data, length);
    int result = -1;
    int status = sinkVideo(chunk.get(), (int)length, start, &result);
    FUZZ_CHECK(status == vfOk);
    FUZZ_CHECK(result == 0 || result == 1);
    checkCarryState();
    return result;
}

// Where the decoder reads message headers in the whole stream: a cut inside
// one of them changes what the stream means, so it is not a faithful cut.
std::vector<size_t> headerPositions(const uint8_t *s, size_t n) {
    std::vector<size_t> headers;
    size_t pos = 0;
    while (n - pos >= 4) {
        headers.push_back(pos);
        unsigned w0 = s[pos] | s[pos + 1] << 8, w1 = s[pos + 2] | s[pos + 3] << 8;
        if (w0 == 0xFFFF && w1 == 0xFFFF)
            pos += std::min<size_t>(blockSize - pos % blockSize, n - pos);
        else if (w1 & 0x4000)
            pos += 4;
        else if (n - pos < (size_t)imageMessageSize)
            break;
        else
            pos += imageMessageSize;
    }
    return headers;
}

void setPath(int path) {
#ifdef HAVE_DECODE_PATHS
    if (!setDecodePath((DecodePath)(path % decodePathCount))) setDecodePath(decodeScalar);
#else
    (void)path;
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    bool large = in.u8() & 1;
    int width = in.u16() % (large ? maxFrameWidth + 1 : 161);
    int height = in.u16() % (large ? maxFrameHeight + 1 : 161);
    // Full-width or full-height frames, but not both: large blocks cost a
    // mapping each, and each run should stay short.
    const int pixelCap = 1 << 14;
    if (width > 0 && width * height > pixelCap) height %= pixelCap / width + 1;
    int path = in.u8();
    std::vector<size_t> blockCuts;
    for (int n = in.u8() % 16; n > 0; n--) blockCuts.push_back((size_t)in.u16() * blockSize);
    struct FreeCut {
        size_t at;
        uint8_t flags;
    };
    std::vector<FreeCut> freeCuts;
    for (int n = in.u8() % 16; n > 0; n--) {
        size_t at = in.u16();
        freeCuts.push_back({at, in.u8()});
    }
    size_t length;
    const uint8_t *stream = in.bytes(in.left(), &length);

    // 1. Whole against cut at block boundaries.
    setPath(0);
    freshStore(width, height);
    sink(stream, length, 0);
    static Snapshot whole, pieces;
    snapshot(whole);

    std::vector<size_t> headers = headerPositions(stream, length);
    std::vector<size_t> cuts;
    for (size_t c : blockCuts) {
        if (c == 0 || c >= length) continue;
        auto h = std::upper_bound(headers.begin(), headers.end(), c);
        if (h != headers.begin() && *(h - 1) + 4 > c) continue;  // splits a header
        cuts.push_back(c);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    cuts.push_back(length);

    setPath(path);
    freshStore(width, height);
    size_t from = 0;
    for (size_t c : cuts) {
        sink(stream + from, c - from, 0);
        from = c;
    }
    snapshot(pieces);
    FUZZ_CHECK(pieces.frame == whole.frame);
    FUZZ_CHECK(pieces.flags == whole.flags);
    FUZZ_CHECK(pieces.padding == whole.padding && pieces.bogus == whole.bogus);
    FUZZ_CHECK(pieces.carried == whole.carried && pieces.carriedNeeded == whole.carriedNeeded);

    // 2. Cut anywhere; only safety and well-formed state are checked.
    freshStore(width, height);
    std::sort(freeCuts.begin(), freeCuts.end(),
              [](const FreeCut &a, const FreeCut &b) { return a.at < b.at; });
    from = 0;
    for (size_t i = 0; i <= freeCuts.size(); i++) {
        size_t to = i < freeCuts.size() ? std::min(freeCuts[i].at, length) : length;
        uint8_t flags = i < freeCuts.size() ? freeCuts[i].flags : 0;
        size_t n = to - from;
        int start = std::min<int>(flags & 0x0F, (int)n);
        if (flags & 0x10) {
            // Starts outside the chunk are refused and change nothing.
            int carried = leftoverDataSize, needed = leftoverDataNeeded, result = 7;
            FUZZ_CHECK(sinkVideo(stream + from, (int)n, (int)n + 1, &result) == vfOutOfRange);
            FUZZ_CHECK(sinkVideo(stream + from, (int)n, -1, &result) == vfOutOfRange);
            FUZZ_CHECK(result == 7 && carried == leftoverDataSize && needed == leftoverDataNeeded);
        }
        if (flags & 0x20) {
            // A new store mid-stream: what is carried lands in the new grid.
            FUZZ_CHECK(createFrameStore((width + (flags >> 6) * 17) % (maxFrameWidth + 1),
                                        (height * 3 + 1) % 161) == vfOk);
        }
        sink(stream + from, n, start);
        from = to;
    }
    setPath(0);
    return 0;
}
