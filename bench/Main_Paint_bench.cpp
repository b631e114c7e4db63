// Cost of one repaint of the status icon's 256 pixels and of its hint.
#include "monitor/Main_Paint.h"

#include <benchmark/benchmark.h>

static void BM_PaintPingIcon(benchmark::State& state) {
    std::array<TPingResult, IconSize> entries{};
    for (int i = 0; i < IconSize; ++i) entries[static_cast<size_t>(i)].Milliseconds = 17 * i + 3;
    entries[4] = {psTimedOut, "", 0};
    for (auto _ : state) {
        TIconPixels p = PaintPingIcon(entries, 500);
        benchmark::DoNotOptimize(p);
    }
}
BENCHMARK(BM_PaintPingIcon);

static void BM_PingHint(benchmark::State& state) {
    const TPingResult current{psNone, "", 250};
    for (auto _ : state) benchmark::DoNotOptimize(PingHint(current));
}
BENCHMARK(BM_PingHint);

BENCHMARK_MAIN();
