// The yardstick every benchmark reports against: memcpy over the same number
// of bytes, timed in this thread's CPU time like the cases themselves, so a
// busy machine skews neither side.
#ifndef BENCH_BASELINE_H
#define BENCH_BASELINE_H

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

inline double threadSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// memcpy's bytes per second over `bytes`: the best of 40 timed copies, after
// one untimed copy that pays for the page faults. The best, not a typical,
// copy is the yardstick, so a ratio never flatters the case against it; it
// is taken afresh for every case, since the load of a shared machine drifts.
inline double memcpyRate(size_t bytes) {
    std::vector<uint8_t> src(bytes, 0x5A), dst(bytes, 0);
    memcpy(dst.data(), src.data(), bytes);
    std::vector<double> times;
    for (int i = 0; i < 40; i++) {
        double t0 = threadSeconds();
        memcpy(dst.data(), src.data(), bytes);
        benchmark::ClobberMemory();
        times.push_back(threadSeconds() - t0);
    }
    benchmark::DoNotOptimize(dst.data());
    return (double)bytes / *std::min_element(times.begin(), times.end());
}

#endif
