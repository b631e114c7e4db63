// Zipping a 10 MB text file: our writer against Info-ZIP's zip command.
#include "crashreport/delivery/qixZip.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

const fs::path& Dir() {
    static const fs::path dir = [] {
        const fs::path d = fs::temp_directory_path() / "qix-bench-zip";
        fs::create_directories(d);
        std::ofstream f(d / "report.txt");
        std::mt19937 gen(1);
        const char* words[] = {"thread", "exception", "access", "violation", "module",
                               "stack",  "address",   "eax",    "call",      "ret"};
        size_t written = 0;
        while (written < 10u * 1024 * 1024) {
            std::string line = std::to_string(gen() % 100000) + ":";
            for (int i = 0; i < 8; ++i)
                line += std::string(" ") + words[gen() % 10];
            char hex[16];
            std::snprintf(hex, sizeof hex, " %08x\n", static_cast<unsigned>(gen()));
            line += hex;
            f << line;
            written += line.size();
        }
        return d;
    }();
    return dir;
}

void BM_WriteZipArchive(benchmark::State& state) {
    const std::string src = (Dir() / "report.txt").string(), out = (Dir() / "qix.zip").string();
    for (auto _ : state)
        if (!qix::WriteZipArchive(out, {src}, {"report.txt"})) state.SkipWithError("zip failed");
    state.counters["zip_bytes"] = static_cast<double>(fs::file_size(out));
}
BENCHMARK(BM_WriteZipArchive)->Unit(benchmark::kMillisecond)->UseRealTime();

// Arg: zip's compression level (1 = the fast level our writer uses, 6 = zip's default).
void BM_ZipCommand(benchmark::State& state) {
    const fs::path out = Dir() / "infozip.zip";
    const std::string cmd = "cd '" + Dir().string() + "' && rm -f infozip.zip && zip -q -" +
                            std::to_string(state.range(0)) + " infozip.zip report.txt";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("zip command failed");
    state.counters["zip_bytes"] = static_cast<double>(fs::file_size(out));
}
BENCHMARK(BM_ZipCommand)->Arg(1)->Arg(6)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
