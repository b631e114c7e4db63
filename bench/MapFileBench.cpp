// Address lookups through TMapFile against addr2line on the same executable, and the time to
// load an embedded map data block. The sample is built with the mingw compiler on first use.
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/analysis/qixPeImage.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

struct TSample {
    fs::path Debug, Shipped;
    std::vector<uint8_t> Bytes;
    std::vector<qix::TAddress> Addresses;
};

int Shell(const std::string& command) {
    return std::system(command.c_str());
}

const TSample& Sample() {
    static TSample s = [] {
        TSample t;
        const fs::path dir = fs::path(QIX_BENCH_WORK);
        fs::create_directories(dir);
        t.Debug = dir / "big.exe.debug";
        t.Shipped = dir / "big.exe";
        if (!fs::exists(t.Shipped)) {
            const std::string cc = "i686-w64-mingw32-g++ -g -O1 -static -o '" + t.Debug.string() +
                                   "' '" + QIX_BENCH_SAMPLE + "'";
            const std::string map = std::string(QIXMAP_TOOL) + " block '" + t.Debug.string() +
                                    "' '" + (dir / "big.qix").string() + "' >/dev/null";
            const std::string strip =
                "i686-w64-mingw32-strip -o '" + t.Shipped.string() + "' '" + t.Debug.string() + "'";
            const std::string embed = std::string(QIXMAP_TOOL) + " embed '" + t.Shipped.string() +
                                      "' '" + (dir / "big.qix").string() + "'";
            if (Shell(cc) || Shell(map) || Shell(strip) || Shell(embed))
                throw std::runtime_error("cannot build the benchmark sample");
        }
        std::ifstream in(t.Shipped, std::ios::binary);
        t.Bytes.assign(std::istreambuf_iterator<char>(in), {});
        const qix::TPeImage pe(t.Bytes, false);
        const auto& text = pe.Sections().at(0);
        std::mt19937 rng(42);
        std::uniform_int_distribution<uint32_t> pick(0, text.VirtualSize - 1);
        for (int i = 0; i < 100000; ++i)
            t.Addresses.push_back(qix::TAddress(pe.ImageBase() + text.VirtualAddress + pick(rng)));
        return t;
    }();
    return s;
}

std::unique_ptr<qix::TMapFile> Load(const qix::TPeImage& pe) {
    return std::make_unique<qix::TMapFile>(
        true, false, qix::TModuleSource{&pe, qix::TAddress(pe.ImageBase()), "/nonexistent/b.exe"});
}

void BM_LoadEmbeddedBlock(benchmark::State& state) {
    const TSample& s = Sample();
    for (auto _ : state) {
        const qix::TPeImage pe(s.Bytes, false);
        auto map = Load(pe);
        if (!map->Valid()) state.SkipWithError("no map");
        benchmark::DoNotOptimize(map->LineCount());
    }
    const qix::TPeImage pe(s.Bytes, false);
    const auto map = Load(pe);
    state.counters["file_bytes"] = double(s.Bytes.size());
    state.counters["units"] = map->SegmentCount();
    state.counters["procs"] = map->PublicCount();
    state.counters["lines"] = map->LineCount();
}
BENCHMARK(BM_LoadEmbeddedBlock)->Unit(benchmark::kMillisecond);

// Unit, procedure and line of each address, as the stack tracer asks for them.
void BM_LookupTMapFile(benchmark::State& state) {
    const TSample& s = Sample();
    const qix::TPeImage pe(s.Bytes, false);
    auto map = Load(pe);
    for (auto _ : state) {
        for (qix::TAddress a : s.Addresses) {
            qix::TAddress next = 0;
            benchmark::DoNotOptimize(map->SegmentAt(true, a));
            benchmark::DoNotOptimize(map->PublicAt(a));
            benchmark::DoNotOptimize(map->FindLine(a, next));
        }
    }
    state.counters["lookups/s"] = benchmark::Counter(
        double(s.Addresses.size()) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LookupTMapFile)->Unit(benchmark::kMillisecond);

// The same with the names copied out (GetAddressInfo).
void BM_GetAddressInfo(benchmark::State& state) {
    const TSample& s = Sample();
    const qix::TPeImage pe(s.Bytes, false);
    auto map = Load(pe);
    for (auto _ : state) {
        for (qix::TAddress a : s.Addresses) {
            qix::TAddressInfo info;
            qix::GetAddressInfo(*map, a, info);
            benchmark::DoNotOptimize(info.Line);
        }
    }
    state.counters["lookups/s"] = benchmark::Counter(
        double(s.Addresses.size()) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GetAddressInfo)->Unit(benchmark::kMillisecond);

// addr2line in batch mode: one process, all addresses on its standard input.
void BM_LookupAddr2line(benchmark::State& state) {
    const TSample& s = Sample();
    const fs::path list = fs::path(QIX_BENCH_WORK) / "addresses.txt";
    {
        std::ofstream out(list);
        for (auto a : s.Addresses)
            out << std::hex << "0x" << a << "\n";
    }
    const std::string cmd = "i686-w64-mingw32-addr2line -f -C -e '" + s.Debug.string() + "' < '" +
                            list.string() + "' > /dev/null";
    for (auto _ : state)
        if (Shell(cmd)) state.SkipWithError("addr2line failed");
    state.counters["lookups/s"] = benchmark::Counter(
        double(s.Addresses.size()) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LookupAddr2line)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
