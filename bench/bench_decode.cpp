// Decoder throughput. Each round decodes one frame's worth of tile messages
// (every tile once) in 16 KiB chunks; x_memcpy compares it with a memcpy of
// the frame's bytes in the same round.
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

void decodeFrame(benchmark::State &state, streams::Kind kind, int width, int height,
                 bool adapterStyle) {
    createFrameStore(width, height);
    auto msgs = streams::frameMessages(kind, tilesWidth, tilesHeight);
    auto chunks = adapterStyle ? streams::adapterChunks(msgs) : streams::flatChunks(msgs);
    size_t frameBytes = (size_t)width * height * 4;
    interleavedRounds(state, [&] { decodeChunks(chunks); }, {memcpyYardstick(frameBytes)});
    state.SetBytesProcessed((int64_t)state.iterations() * frameBytes);
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
    double t0 = threadSeconds();
    for (auto _ : state) {
        decodeChunks(chunks);
        benchmark::ClobberMemory();
    }
    double seconds = threadSeconds() - t0;
    state.SetItemsProcessed((int64_t)(state.iterations() * tiles));
    state.counters["ns_per_tile"] = seconds * 1e9 / (state.iterations() * tiles);
}

}  // namespace

BENCHMARK(BM_mix1080)->Name("decode/mix/1920x1080")->UseManualTime();
BENCHMARK(BM_image1080)->Name("decode/image/1920x1080")->UseManualTime();
BENCHMARK(BM_solid1080)->Name("decode/solid/1920x1080")->UseManualTime();
BENCHMARK(BM_mix768)->Name("decode/mix/1024x768")->UseManualTime();
BENCHMARK(BM_imageCarry1080)->Name("decode/image-carry/1920x1080")->UseManualTime();
BENCHMARK(BM_solidTile)->Name("decode/solid-tile-ns");
