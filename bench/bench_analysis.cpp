// Greyscale and changed-tile query costs. grey's x_memcpy compares a frame's
// conversion with a memcpy of its bytes in the same round.
#include <benchmark/benchmark.h>

#include "baseline.h"

#include <ctime>
#include <cstring>
#include <random>
#include <vector>

#include "vidframe.h"

namespace {

void BM_grey(benchmark::State &state) {
    createFrameStore(1920, 1080);
    std::mt19937 rng(3);
    size_t n = (size_t)frameWidth * frameHeight;
    for (size_t i = 0; i < n; i++) frameBuffer[i] = rng();
    size_t bytes = n * 4;
    interleavedRounds(state, [] { greyscaleFrame(1); }, {memcpyYardstick(bytes)});
    state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
}

// A tile row where nothing changed: one byte search, no runs.
void BM_emptyRow(benchmark::State &state) {
    createFrameStore(1920, 1080);
    const TileRun *runs;
    int n;
    for (auto _ : state) {
        collectChanges(30, tilesWidth, &runs, &n);
        benchmark::DoNotOptimize(n);
    }
}

// A tile row with every other tile changed (60 runs), flags set again each
// time; the reset is a 120-byte loop and is included.
void BM_scatteredRow(benchmark::State &state) {
    createFrameStore(1920, 1080);
    uint8_t *row = changedArray + 30 * tilesWidth;
    const TileRun *runs;
    int n;
    for (auto _ : state) {
        for (int i = 0; i < tilesWidth; i += 2) row[i] = 1;
        benchmark::ClobberMemory();
        collectChanges(30, tilesWidth, &runs, &n);
        benchmark::DoNotOptimize(n);
    }
}

}  // namespace

BENCHMARK(BM_grey)->Name("grey/1920x1080")->UseManualTime();
BENCHMARK(BM_emptyRow)->Name("changes/empty-row");
BENCHMARK(BM_scatteredRow)->Name("changes/scattered-row");
