// Instructions decoded per second: qixDisAsm against objdump on the same PE file.
// Both sides count processor time: ours in-process, objdump's as child CPU time.
// The file is QIX_BENCH_PE, else the product executable, else the oracle sample.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/qixinspect/InspectImage.h"

namespace {

std::string BenchFile() {
    if (const char* path = std::getenv("QIX_BENCH_PE")) return path;
    for (const char* candidate : {QIX_SOURCE_DIR "/build/win32/bin/Ravelink.exe", QIX_SOURCE_DIR
                                  "/build/host/tests/crashreport/analysis/disasm_sample_O2.exe"})
        if (std::filesystem::exists(candidate)) return candidate;
    return {};
}

struct TImage {
    qix::inspect::TInspectImage Pe;
    qix::TBufferMemoryReader Memory;
    qix::TDisAsmContext Context;
    bool Ok = false;
    TImage() {
        std::string error;
        Ok = Pe.Load(BenchFile(), error);
        if (!Ok) return;
        Pe.MapInto(Memory, "bench.exe");
        Context.Memory = &Memory;
    }
};

void BM_QixDecode(benchmark::State& state) {
    static TImage image;
    if (!image.Ok) {
        state.SkipWithError("no PE file to decode");
        return;
    }
    int64_t count = 0;
    for (auto _ : state) {
        for (const auto& section : image.Pe.Sections()) {
            if (!qix::inspect::IsCodeSection(section)) continue;
            const qix::TAddress start = image.Pe.ImageBase() + section.VirtualAddress;
            const qix::TAddress end = start + section.VirtualSize;
            for (qix::TAddress a = start; a < end;) {
                qix::TInstructionInfo info;
                qix::DecodeInstruction(image.Context, a, info);
                benchmark::DoNotOptimize(info);
                a = info.IsValid && info.Next > a ? info.Next : a + 1;
                ++count;
            }
        }
    }
    state.SetItemsProcessed(count);
}
BENCHMARK(BM_QixDecode)->Unit(benchmark::kMillisecond);

void BM_ObjdumpDecode(benchmark::State& state) {
    const std::string file = BenchFile();
    if (file.empty()) {
        state.SkipWithError("no PE file to decode");
        return;
    }
    const std::string command = "i686-w64-mingw32-objdump -d -z --insn-width=16 '" + file + "'";
    int64_t count = 0;
    auto childCpu = [] {
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
               1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    };
    for (auto _ : state) {
        const double before = childCpu();
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) {
            state.SkipWithError("cannot run objdump");
            return;
        }
        char line[512];
        // Instruction lines are the ones that start with an address and a colon.
        while (std::fgets(line, sizeof line, pipe))
            if (line[0] == ' ' && std::strchr(line, ':') && std::strchr(line, '\t')) ++count;
        pclose(pipe);
        // objdump's own processor time, comparable with the decoder's CPU time.
        state.SetIterationTime(childCpu() - before);
    }
    state.SetItemsProcessed(count);
}
BENCHMARK(BM_ObjdumpDecode)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

} // namespace

BENCHMARK_MAIN();
