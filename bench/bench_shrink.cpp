// Shrinking a whole 1920 x 1080 frame through the readout at several tile
// sizes, beside two general-purpose box/area scalers on the same work. Every
// case reports x_memcpy: its source bytes per second over memcpy's bytes per
// second on a block of the same size.
#include <benchmark/benchmark.h>

#include "baseline.h"

#include <algorithm>
#include <ctime>
#include <cstring>
#include <random>
#include <vector>

#include "resize.h"
#include "vidframe.h"

#if defined(HAVE_SHRINK_PEERS)
#include <libyuv/scale_argb.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int benchWidth = 1920;
constexpr int benchHeight = 1080;
constexpr size_t frameBytes = (size_t)benchWidth * benchHeight * 4;

// A picture with smooth areas, edges and noise, as screens have.
std::vector<uint8_t> makePicture() {
    std::vector<uint8_t> px(frameBytes);
    std::mt19937 rng(42);
    for (int y = 0; y < benchHeight; y++)
        for (int x = 0; x < benchWidth; x++) {
            uint8_t *p = &px[((size_t)y * benchWidth + x) * 4];
            bool noisy = ((x / 160) + (y / 120)) % 3 == 0;
            p[0] = noisy ? (uint8_t)rng() : (uint8_t)(x * 255 / benchWidth);
            p[1] = noisy ? (uint8_t)rng() : (uint8_t)(y * 255 / benchHeight);
            p[2] = (uint8_t)((x ^ y) & 0xf8);
            p[3] = 255;
        }
    return px;
}

void reportRate(benchmark::State &state) {
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)frameBytes);
    double rate = memcpyRate(frameBytes);
    state.counters["x_memcpy"] = benchmark::Counter(
        (double)state.iterations() * (double)frameBytes / rate, benchmark::Counter::kIsRate);
}

void BM_memcpy(benchmark::State &state) {
    std::vector<uint8_t> a = makePicture(), b(frameBytes);
    for (auto _ : state) {
        memcpy(b.data(), a.data(), frameBytes);
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    reportRate(state);
}

// The whole frame as one readout: every tile, shrunk to tileSize.
void BM_shrink(benchmark::State &state) {
    int tileSize = (int)state.range(0);
    if (createFrameStore(benchWidth, benchHeight) != vfOk) {
        state.SkipWithError("no frame store");
        return;
    }
    std::vector<uint8_t> picture = makePicture();
    memcpy(frameBuffer, picture.data(), frameBytes);
    float scale = (float)tileSize / 16.0f;
    const uint8_t *pixels;
    int w, h;
    for (auto _ : state) {
        if (readTiles(0, 0, tilesWidth, tilesHeight, scale, &pixels, &w, &h) != vfOk) {
            state.SkipWithError("readout failed");
            break;
        }
        benchmark::DoNotOptimize(pixels);
        benchmark::ClobberMemory();
    }
    state.counters["path"] = currentShrinkPath();
    reportRate(state);
}

#if defined(HAVE_SHRINK_PEERS)
int peerWidth(int tileSize) { return benchWidth * tileSize / 16; }
int peerHeight(int tileSize) { return benchHeight * tileSize / 16; }

void BM_peerLibyuv(benchmark::State &state) {
    int tileSize = (int)state.range(0);
    std::vector<uint8_t> src = makePicture();
    int dw = peerWidth(tileSize), dh = peerHeight(tileSize);
    std::vector<uint8_t> dst((size_t)dw * dh * 4);
    for (auto _ : state) {
        libyuv::ARGBScale(src.data(), benchWidth * 4, benchWidth, benchHeight, dst.data(), dw * 4, dw,
                          dh, libyuv::kFilterBox);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    reportRate(state);
}

void BM_peerOpencv(benchmark::State &state) {
    int tileSize = (int)state.range(0);
    cv::setNumThreads(1);
    std::vector<uint8_t> src = makePicture();
    cv::Mat in(benchHeight, benchWidth, CV_8UC4, src.data());
    cv::Mat out(peerHeight(tileSize), peerWidth(tileSize), CV_8UC4);
    for (auto _ : state) {
        cv::resize(in, out, out.size(), 0, 0, cv::INTER_AREA);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    reportRate(state);
}
#endif

}  // namespace

BENCHMARK(BM_memcpy)->Name("memcpy/1920x1080")->Unit(benchmark::kMicrosecond);
#define SHRINK_CASES(fn, prefix)                                              \
    BENCHMARK(fn)->Name(prefix "/ts8/1920x1080")->Arg(8)->Unit(benchmark::kMicrosecond);   \
    BENCHMARK(fn)->Name(prefix "/ts12/1920x1080")->Arg(12)->Unit(benchmark::kMicrosecond); \
    BENCHMARK(fn)->Name(prefix "/ts15/1920x1080")->Arg(15)->Unit(benchmark::kMicrosecond); \
    BENCHMARK(fn)->Name(prefix "/ts1/1920x1080")->Arg(1)->Unit(benchmark::kMicrosecond)
SHRINK_CASES(BM_shrink, "shrink");
#if defined(HAVE_SHRINK_PEERS)
SHRINK_CASES(BM_peerLibyuv, "peer/libyuv");
SHRINK_CASES(BM_peerOpencv, "peer/opencv");
#endif
