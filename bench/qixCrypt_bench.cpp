// Blowfish throughput: block mode over buffers of growing size, so the fixed cost of
// the per-call key schedule and the per-byte cost can both be read off.
#include "crashreport/support/qixCrypt.h"

#include <benchmark/benchmark.h>

#include <string>

static void BM_BlowfishBlockEncipher(benchmark::State& state) {
    std::string buffer(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        qix::CryptBuffer(buffer.data(), buffer.size(), true, false, 0, 0, "benchmark key");
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_BlowfishBlockEncipher)->Arg(8)->Arg(4096)->Arg(256 * 1024);

static void BM_BlowfishCounterMode(benchmark::State& state) {
    std::string buffer(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        qix::CryptBuffer(buffer.data(), buffer.size(), true, false, 7, 0, "benchmark key");
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_BlowfishCounterMode)->Arg(256 * 1024);

BENCHMARK_MAIN();
