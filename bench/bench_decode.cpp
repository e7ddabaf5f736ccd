// Decoder throughput. Each iteration decodes one frame's worth of tile
// messages (every tile once) in 16 KiB chunks; x_memcpy compares the frame
// bytes produced per second with memcpy's rate over the same frame size.
#include <benchmark/benchmark.h>

#include "baseline.h"

#include <time.h>

#include <cstring>
#include <map>
#include <vector>

#include "streams.h"
#include "vidframe.h"

namespace {

void decodeChunks(const std::vector<std::vector<uint8_t>> &chunks) {
    for (const auto &c : chunks) {
        int result;
        sinkVideo(c.data(), (int)c.size(), 0, &result);
        benchmark::DoNotOptimize(result);
    }
}

// The benchmark loop, timed as a whole (thread CPU time) for the derived counters.
double timedLoop(benchmark::State &state, const std::vector<std::vector<uint8_t>> &chunks) {
    double t0 = threadSeconds();
    for (auto _ : state) {
        decodeChunks(chunks);
        benchmark::ClobberMemory();
    }
    return threadSeconds() - t0;
}

void decodeFrame(benchmark::State &state, streams::Kind kind, int width, int height,
                 bool adapterStyle) {
    createFrameStore(width, height);
    auto msgs = streams::frameMessages(kind, tilesWidth, tilesHeight);
    auto chunks = adapterStyle ? streams::adapterChunks(msgs) : streams::flatChunks(msgs);
    size_t frameBytes = (size_t)width * height * 4;
    double rate = memcpyRate(frameBytes);
    double seconds = timedLoop(state, chunks);
    state.SetBytesProcessed((int64_t)state.iterations() * frameBytes);
    state.counters["x_memcpy"] = (double)state.iterations() * frameBytes / seconds / rate;
}

void BM_mix1080(benchmark::State &s) { decodeFrame(s, streams::mix, 1920, 1080, true); }
void BM_image1080(benchmark::State &s) { decodeFrame(s, streams::allImage, 1920, 1080, true); }
void BM_solid1080(benchmark::State &s) { decodeFrame(s, streams::allSolid, 1920, 1080, true); }
void BM_mix768(benchmark::State &s) { decodeFrame(s, streams::mix, 1024, 768, true); }
// Image tiles cut anywhere, so nearly every chunk carries a message over.
void BM_imageCarry1080(benchmark::State &s) {
    decodeFrame(s, streams::allImage, 1920, 1080, false);
}

// Cost of one solid tile in a sustained stream of them.
void BM_solidTile(benchmark::State &state) {
    createFrameStore(1920, 1080);
    auto chunks = streams::adapterChunks(
        streams::frameMessages(streams::allSolid, tilesWidth, tilesHeight));
    double tiles = (double)tilesWidth * tilesHeight;
    double seconds = timedLoop(state, chunks);
    state.SetItemsProcessed((int64_t)(state.iterations() * tiles));
    state.counters["ns_per_tile"] = seconds * 1e9 / (state.iterations() * tiles);
}

}  // namespace

BENCHMARK(BM_mix1080)->Name("decode/mix/1920x1080");
BENCHMARK(BM_image1080)->Name("decode/image/1920x1080");
BENCHMARK(BM_solid1080)->Name("decode/solid/1920x1080");
BENCHMARK(BM_mix768)->Name("decode/mix/1024x768");
BENCHMARK(BM_imageCarry1080)->Name("decode/image-carry/1920x1080");
BENCHMARK(BM_solidTile)->Name("decode/solid-tile-ns");
