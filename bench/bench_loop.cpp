// The display loop over the core: one whole-frame update in the adapter's
// chunks; after each chunk, collectChanges for every tile row and readTiles
// for every run (what the application draws; the drawing itself is the
// toolkit's and not counted). x_floor compares it with the memory floor of
// such an update in the same round: two memcpys of the frame's bytes, one
// to write the frame and one to read it out. core_at_45MBps is the share of
// one core that a 45 MB/s stream of these updates needs.
#include <benchmark/benchmark.h>

#include "baseline.h"

#include <cstring>
#include <memory>
#include <vector>

#include "streams.h"
#include "vidframe.h"

namespace {

Yardstick floorYardstick(size_t bytes) {
    auto a = std::make_shared<std::vector<uint8_t>>(bytes, 0x5A);
    auto b = std::make_shared<std::vector<uint8_t>>(bytes, 0);
    auto c = std::make_shared<std::vector<uint8_t>>(bytes, 0);
    return {"x_floor", [a, b, c] {
                memcpy(b->data(), a->data(), a->size());
                benchmark::ClobberMemory();
                memcpy(c->data(), b->data(), b->size());
                benchmark::DoNotOptimize(c->data());
            }};
}

// One chunk and the loop after it; returns the tiles read out.
int sinkAndRead(const std::vector<uint8_t> &chunk, float scale) {
    int result, tiles = 0;
    sinkVideo(chunk.data(), (int)chunk.size(), 0, &result);
    for (int row = 0; row < tilesHeight; row++) {
        const TileRun *runs;
        int nRuns;
        collectChanges(row, tilesWidth, &runs, &nRuns);
        for (int i = 0; i < nRuns; i++) {
            const uint8_t *pixels;
            int w, h;
            readTiles(runs[i].first, row, runs[i].count, 1, scale, &pixels, &w, &h);
            benchmark::DoNotOptimize(pixels);
            tiles += runs[i].count;
        }
    }
    return tiles;
}

void BM_loop(benchmark::State &state, float scale) {
    createFrameStore(1920, 1080);
    auto chunks = streams::adapterChunks(
        streams::frameMessages(streams::mix, tilesWidth, tilesHeight));
    size_t streamBytes = 0;
    for (const auto &c : chunks) streamBytes += c.size();
    size_t frameBytes = (size_t)frameWidth * frameHeight * 4;
    int tiles = 0;
    double total = interleavedRounds(
        state,
        [&] {
            tiles = 0;
            for (const auto &c : chunks) tiles += sinkAndRead(c, scale);
        },
        {floorYardstick(frameBytes)});
    if (tiles != tilesWidth * tilesHeight) state.SkipWithError("not every tile was read out");
    double perUpdate = total / (double)state.iterations();
    state.counters["chunks"] = (double)chunks.size();
    state.counters["core_at_45MBps"] = perUpdate * 45e6 / (double)streamBytes;
    state.SetBytesProcessed((int64_t)(state.iterations() * streamBytes));
}

}  // namespace

BENCHMARK_CAPTURE(BM_loop, scale1, 1.0f)->Name("loop/1920x1080/scale:1")->UseManualTime();
BENCHMARK_CAPTURE(BM_loop, scale05, 0.5f)->Name("loop/1920x1080/scale:0.5")->UseManualTime();
