// The yardsticks every benchmark reports against, taken in interleaved
// rounds: each round times one run of the case and then one run of each
// yardstick (memcpy over the same bytes, or a peer doing the same work),
// back to back, in this thread's CPU time. A ratio is the median of the
// per-round ratios, with the lowest and highest round beside it
// (<name>_lo, <name>_hi), so case and yardstick always see the same moment
// of a shared machine. Cases run with UseManualTime: their time column is
// the case's own time, without the yardsticks.
#ifndef BENCH_BASELINE_H
#define BENCH_BASELINE_H

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

inline double threadSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// What a case is measured against: `counter` reports the yardstick's time
// over the case's, so above 1 the case is faster.
struct Yardstick {
    std::string counter;
    std::function<void()> run;
};

// memcpy over `bytes` (its own buffers, faulted in before the first round).
inline Yardstick memcpyYardstick(size_t bytes) {
    auto src = std::make_shared<std::vector<uint8_t>>(bytes, 0x5A);
    auto dst = std::make_shared<std::vector<uint8_t>>(bytes, 0);
    return {"x_memcpy", [src, dst] {
                memcpy(dst->data(), src->data(), src->size());
                benchmark::DoNotOptimize(dst->data());
            }};
}

inline double timed(const std::function<void()> &f) {
    double t0 = threadSeconds();
    f();
    benchmark::ClobberMemory();
    return threadSeconds() - t0;
}

// The benchmark loop in interleaved rounds; returns the case's total time.
inline double interleavedRounds(benchmark::State &state, const std::function<void()> &work,
                                const std::vector<Yardstick> &yardsticks) {
    work();  // page faults, plans and caches of the first run are nobody's
    for (const Yardstick &y : yardsticks) y.run();
    std::vector<std::vector<double>> ratios(yardsticks.size());
    double total = 0;
    for (auto _ : state) {
        double t = timed(work);
        state.SetIterationTime(t);
        total += t;
        for (size_t i = 0; i < yardsticks.size(); i++) ratios[i].push_back(timed(yardsticks[i].run) / t);
    }
    for (size_t i = 0; i < yardsticks.size(); i++) {
        std::vector<double> &r = ratios[i];
        if (r.empty()) continue;
        std::sort(r.begin(), r.end());
        size_t n = r.size();
        double median = n % 2 ? r[n / 2] : (r[n / 2 - 1] + r[n / 2]) / 2;
        state.counters[yardsticks[i].counter] = median;
        state.counters[yardsticks[i].counter + "_lo"] = r.front();
        state.counters[yardsticks[i].counter + "_hi"] = r.back();
    }
    return total;
}

#endif
