// Shrinking a whole 1920 x 1080 frame through the readout at several tile
// sizes, beside two general-purpose box/area scalers on the same work. Every
// case reports x_memcpy against a memcpy of the frame's bytes in the same
// rounds (see baseline.h); the shrink cases also x_peer against libyuv.
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

#if defined(HAVE_SHRINK_PEERS)
int peerWidth(int tileSize) { return benchWidth * tileSize / 16; }
int peerHeight(int tileSize) { return benchHeight * tileSize / 16; }

// libyuv's box scaler over the whole frame to the same size.
std::function<void()> libyuvShrink(const uint8_t *src, int tileSize) {
    int dw = peerWidth(tileSize), dh = peerHeight(tileSize);
    auto dst = std::make_shared<std::vector<uint8_t>>((size_t)dw * dh * 4);
    return [src, dst, dw, dh] {
        libyuv::ARGBScale(src, benchWidth * 4, benchWidth, benchHeight, dst->data(), dw * 4, dw, dh,
                          libyuv::kFilterBox);
        benchmark::DoNotOptimize(dst->data());
    };
}

// OpenCV's area scaler, one thread.
std::function<void()> opencvShrink(const uint8_t *src, int tileSize) {
    cv::setNumThreads(1);
    auto in = std::make_shared<cv::Mat>(benchHeight, benchWidth, CV_8UC4, const_cast<uint8_t *>(src));
    auto out = std::make_shared<cv::Mat>(peerHeight(tileSize), peerWidth(tileSize), CV_8UC4);
    return [in, out] {
        cv::resize(*in, *out, out->size(), 0, 0, cv::INTER_AREA);
        benchmark::DoNotOptimize(out->data);
    };
}
#endif

void BM_memcpy(benchmark::State &state) {
    std::vector<uint8_t> a = makePicture(), b(frameBytes);
    interleavedRounds(state,
                      [&] {
                          memcpy(b.data(), a.data(), frameBytes);
                          benchmark::DoNotOptimize(b.data());
                      },
                      {memcpyYardstick(frameBytes)});
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)frameBytes);
}

// The whole frame as one readout: every tile, shrunk to tileSize. Beside
// memcpy, the peers shrink the same picture to the same size in the same
// rounds: x_peer is libyuv's time over ours, x_peer_opencv OpenCV's.
void BM_shrink(benchmark::State &state) {
    int tileSize = (int)state.range(0);
    if (createFrameStore(benchWidth, benchHeight) != vfOk) {
        state.SkipWithError("no frame store");
        return;
    }
    std::vector<uint8_t> picture = makePicture();
    memcpy(frameBuffer, picture.data(), frameBytes);
    float scale = (float)tileSize / 16.0f;
    bool failed = false;
    std::vector<Yardstick> yardsticks = {memcpyYardstick(frameBytes)};
#if defined(HAVE_SHRINK_PEERS)
    // The peers read the frame itself, as the readout does, so that no side
    // finds its source warmer in the cache than the other.
    const uint8_t *frame = reinterpret_cast<const uint8_t *>(frameBuffer);
    yardsticks.push_back({"x_peer", libyuvShrink(frame, tileSize)});
    yardsticks.push_back({"x_peer_opencv", opencvShrink(frame, tileSize)});
#endif
    interleavedRounds(state,
                      [&] {
                          const uint8_t *pixels;
                          int w, h;
                          failed |= readTiles(0, 0, tilesWidth, tilesHeight, scale, &pixels, &w, &h) != vfOk;
                          benchmark::DoNotOptimize(pixels);
                      },
                      yardsticks);
    if (failed) state.SkipWithError("readout failed");
    state.counters["path"] = currentShrinkPath();
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)frameBytes);
}

#if defined(HAVE_SHRINK_PEERS)
void peerCase(benchmark::State &state, std::function<void()> (*peer)(const uint8_t *, int)) {
    std::vector<uint8_t> src = makePicture();
    interleavedRounds(state, peer(src.data(), (int)state.range(0)), {memcpyYardstick(frameBytes)});
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)frameBytes);
}
void BM_peerLibyuv(benchmark::State &state) { peerCase(state, libyuvShrink); }
void BM_peerOpencv(benchmark::State &state) { peerCase(state, opencvShrink); }
#endif

}  // namespace

BENCHMARK(BM_memcpy)->Name("memcpy/1920x1080")->Unit(benchmark::kMicrosecond)->UseManualTime();
#define SHRINK_CASES(fn, prefix)                                              \
    BENCHMARK(fn)->Name(prefix "/ts8/1920x1080")->Arg(8)->Unit(benchmark::kMicrosecond)->UseManualTime();   \
    BENCHMARK(fn)->Name(prefix "/ts12/1920x1080")->Arg(12)->Unit(benchmark::kMicrosecond)->UseManualTime(); \
    BENCHMARK(fn)->Name(prefix "/ts15/1920x1080")->Arg(15)->Unit(benchmark::kMicrosecond)->UseManualTime(); \
    BENCHMARK(fn)->Name(prefix "/ts1/1920x1080")->Arg(1)->Unit(benchmark::kMicrosecond)->UseManualTime()
SHRINK_CASES(BM_shrink, "shrink");
#if defined(HAVE_SHRINK_PEERS)
SHRINK_CASES(BM_peerLibyuv, "peer/libyuv");
SHRINK_CASES(BM_peerOpencv, "peer/opencv");
#endif
