// Decoder throughput per vector path (scalar reference, SSE2, AVX2, AVX-512),
// on the same frames as bench_decode.cpp: decode/<path>/<kind>/<size>.
// Paths this CPU cannot run are skipped with a message. decode/limits/... take
// the best path apart: its cost without any pixel stores, and on a frame
// aligned to a cache line.
#include <benchmark/benchmark.h>

#include "baseline.h"

#include <time.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "decode_kernels.h"
#include "streams.h"
#include "vidframe.h"

namespace {

// What the limits cases change around the best path.
enum Variant {
    asIs,
    noStores,      // writers that store nothing: the decoder's own cost per tile
    alignedFrame,  // the frame moved to a 64-byte boundary, rows then whole lines
};

void noSolidRows(uint32_t *, ptrdiff_t, uint32_t) {}
void noImageRows(uint32_t *, ptrdiff_t, const uint8_t *) {}

void decodeOnPath(benchmark::State &state, DecodePath path, streams::Kind kind, int width,
                  int height, Variant variant) {
    if (!setDecodePath(path)) {
        state.SkipWithError("this CPU or build has no such path");
        return;
    }
    createFrameStore(width, height);
    size_t frameBytes = (size_t)width * height * 4;
    uint32_t *storeFrame = frameBuffer;
    std::vector<uint32_t> spare;
    if (variant == noStores) tileWriters = StaggeredWriter<noSolidRows, noImageRows>::writers();
    if (variant == alignedFrame) {
        spare.resize(frameBytes / 4 + 16);
        uintptr_t at = reinterpret_cast<uintptr_t>(spare.data());
        frameBuffer = reinterpret_cast<uint32_t *>((at + 63) & ~(uintptr_t)63);
    }
    auto chunks = streams::adapterChunks(streams::frameMessages(kind, tilesWidth, tilesHeight));
    double tiles = (double)tilesWidth * tilesHeight;
    double seconds = interleavedRounds(state,
                                       [&] {
                                           for (const auto &c : chunks) {
                                               int result;
                                               sinkVideo(c.data(), (int)c.size(), 0, &result);
                                               benchmark::DoNotOptimize(result);
                                           }
                                       },
                                       {memcpyYardstick(frameBytes)});
    state.SetBytesProcessed((int64_t)state.iterations() * frameBytes);
    state.counters["ns_per_tile"] = seconds * 1e9 / (state.iterations() * tiles);
    frameBuffer = storeFrame;  // the store frees its own block
    setDecodePath(bestDecodePath());
}

struct Shape {
    const char *name;
    streams::Kind kind;
    int width, height;
};

const Shape shapes[] = {
    {"mix/1920x1080", streams::mix, 1920, 1080},
    {"image/1920x1080", streams::allImage, 1920, 1080},
    {"solid/1920x1080", streams::allSolid, 1920, 1080},
    {"mix/1024x768", streams::mix, 1024, 768},
    {"mix/1280x1024", streams::mix, 1280, 1024},
    {"mix/1000x600", streams::mix, 1000, 600},
};

int registerAll() {
    for (int p = decodeScalar; p < decodePathCount; p++)
        for (const Shape &s : shapes) {
            std::string name = std::string("decode/") + decodePathName((DecodePath)p) + "/" + s.name;
            benchmark::RegisterBenchmark(name.c_str(), decodeOnPath, (DecodePath)p, s.kind, s.width,
                                         s.height, asIs)
                ->UseManualTime();
        }
    // Where the best path's time goes: without the stores, and with the frame
    // (whose rows the allocator leaves 16 bytes off a cache line) aligned.
    for (int i = 0; i < 4; i++) {
        const Shape &s = shapes[i];
        benchmark::RegisterBenchmark((std::string("decode/limits/no-stores/") + s.name).c_str(),
                                     decodeOnPath, bestDecodePath(), s.kind, s.width, s.height,
                                     noStores)
            ->UseManualTime();
        benchmark::RegisterBenchmark((std::string("decode/limits/aligned/") + s.name).c_str(),
                                     decodeOnPath, bestDecodePath(), s.kind, s.width, s.height,
                                     alignedFrame)
            ->UseManualTime();
    }
    return 0;
}

const int registered = registerAll();

}  // namespace
