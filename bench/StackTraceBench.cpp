// Tracing time per stack slot over stacks of 64 KB to 1 MB: stale return addresses of the
// sample program, data and one true chain at the top. Targets: under 1 us per slot, linear.
#include "tests/crashreport/analysis/TraceSample.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

namespace {

using namespace qix;
using namespace qix::tracesample;

constexpr TAddress kStack = 0x00200000;

struct TBenchStack {
    TSampleProcess Process;
    TStackTraceRequest Request;
};

std::unique_ptr<TBenchStack> MakeStack(const TSample& sample, size_t bytes) {
    auto s = std::make_unique<TBenchStack>();
    s->Process.Mem.AddRegion(sample.Info.ImageStart, sample.Image);
    s->Process.Mem.AddImage(sample.Info);
    s->Process.Maps[sample.Info.ImageStart] = sample.Map;
    // Every return address the program has, for the stale slots.
    std::vector<TAddress> returns;
    for (const auto& [name, code] : sample.Listing.Functions)
        for (size_t i = 0; i + 1 < code.size(); ++i)
            if (code[i].Text.rfind("call", 0) == 0) returns.push_back(code[i + 1].Address);
    const auto& l = sample.Listing;
    auto ret = [&](const char* caller, const char* callee) {
        return l.After(caller, "call   " + Hex(l.Start(callee)).substr(2));
    };
    const std::vector<TAddress> chain = {ret("_main", kLevel[1]),   ret(kLevel[1], kLevel[2]),
                                         ret(kLevel[2], kLevel[3]), l.After(kLevel[3], "call   *"),
                                         ret(kLevel[4], kLevel[5]), ret(kLevel[5], kLevel[6])};
    std::vector<uint32_t> slots(bytes / 4);
    std::mt19937 rng(42);
    for (uint32_t& v : slots) {
        const uint32_t pick = rng() % 8;
        if (pick < 2)
            v = returns[rng() % returns.size()];
        else if (pick < 4)
            v = (kStack + rng() % uint32_t(bytes)) & ~3u;
        else
            v = rng() % 4096;
    }
    // The live chain sits at the bottom (newest) end; everything above it is dead.
    for (size_t i = 0; i < chain.size(); ++i)
        slots[(chain.size() - i) * 3] = chain[i];
    std::vector<uint8_t> memory(bytes);
    std::memcpy(memory.data(), slots.data(), bytes);
    s->Process.Mem.AddRegion(kStack, std::move(memory));
    s->Request.IsException = true;
    s->Request.CurrentAddress = l.At(kLevel[6], "mov    %eax,0x");
    s->Request.StackBottom = kStack;
    s->Request.StackTop = kStack + TAddress(bytes);
    return s;
}

void BM_TracePerSlot(benchmark::State& state) {
    const TSample& sample = TSample::Get();
    if (!sample.Error.empty()) {
        state.SkipWithError(sample.Error.c_str());
        return;
    }
    const size_t bytes = size_t(state.range(0)) * 1024;
    auto stack = MakeStack(sample, bytes);
    // One tracer for all runs, as in the product: its caches fill on the first trace.
    TStackTracer tracer(stack->Process);
    size_t lines = 0;
    for (auto _ : state) {
        const TStackTraceResult r = tracer.Trace(stack->Request);
        lines = r.Items.size();
        benchmark::DoNotOptimize(r.Text.data());
    }
    state.counters["lines"] = double(lines);
    state.counters["time_per_slot"] =
        benchmark::Counter(double(bytes / 4), benchmark::Counter::kIsIterationInvariantRate |
                                                  benchmark::Counter::kInvert);
}
BENCHMARK(BM_TracePerSlot)
    ->Arg(64)
    ->Arg(128)
    ->Arg(256)
    ->Arg(512)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
