// PNG encoding of a screenshot-sized picture, beside reference encoders of the same
// pixels: zlib alone on the same filtered rows, and ImageMagick writing a palette PNG.
#include "crashreport/support/qixNVBitmap_Encode.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <zlib.h>

namespace fs = std::filesystem;
using namespace qix;

namespace {

constexpr int kW = 1920, kH = 1080;

// Desktop gradient, flat windows with title bars and text-like speckle, one photo-like
// noisy area: roughly what a crash screenshot holds.
const TPixelImage& Screenshot() {
    static const TPixelImage image = [] {
        TPixelImage img{kW, kH, std::vector<uint8_t>(size_t{kW} * kH * 4)};
        std::mt19937 gen(42);
        auto put = [&](int x, int y, int r, int g, int b) {
            uint8_t* p = &img.Pixels[(size_t(kH - 1 - y) * kW + x) * 4];
            p[0] = uint8_t(b), p[1] = uint8_t(g), p[2] = uint8_t(r), p[3] = 0;
        };
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                put(x, y, 20 + y / 12, 60 + x / 30, 140 + y / 20);
        const int windows[][4] = {
            {100, 80, 900, 600}, {700, 300, 1100, 700}, {1300, 150, 500, 820}};
        for (const auto& w : windows) {
            for (int y = w[1]; y < w[1] + w[3] && y < kH; ++y)
                for (int x = w[0]; x < w[0] + w[2] && x < kW; ++x) {
                    const bool title = y < w[1] + 24;
                    const bool text = !title && (y - w[1]) % 18 < 11 && (x - w[0]) % 9 < 6 &&
                                      gen() % 3 == 0 && (x - w[0]) % 400 < 320;
                    if (title)
                        put(x, y, 10 + (x - w[0]) / 8 % 200, 36, 106);
                    else if (text)
                        put(x, y, 0, 0, 0);
                    else
                        put(x, y, 240, 240, 240);
                }
        }
        for (int y = 700; y < 1000; ++y)
            for (int x = 150; x < 550; ++x)
                put(x, y, int(x / 3 + gen() % 24), int(y / 5 + gen() % 24), int(90 + gen() % 40));
        return img;
    }();
    return image;
}

void BM_QixPng(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string png = EncodePng(Screenshot().View(), mode);
        bytes = png.size();
        benchmark::DoNotOptimize(png.data());
    }
    state.counters["png_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_QixPng)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Reference for the compression step alone: zlib's compress2 (level 6, what Python's
// zlib.compress does by default) on exactly the rows our colour PNG holds.
void BM_ZlibOnSameRows(benchmark::State& state) {
    const TPixelView view = Screenshot().View();
    const std::vector<uint8_t> indices = ColourIndices(view, WuPalette(view));
    std::vector<uint8_t> rows;
    for (int y = 0; y < kH; ++y) {
        rows.push_back(0);
        rows.insert(rows.end(), indices.begin() + y * kW, indices.begin() + (y + 1) * kW);
    }
    std::vector<uint8_t> out(compressBound(rows.size()));
    uLongf size = 0;
    for (auto _ : state) {
        size = out.size();
        compress2(out.data(), &size, rows.data(), rows.size(), Z_DEFAULT_COMPRESSION);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["zlib_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_ZlibOnSameRows)->Unit(benchmark::kMillisecond);

// Reference for the whole job: ImageMagick's convert from raw pixels to a 256-colour
// palette PNG (arg 0) or a 4-bit grey PNG (arg 1). Includes starting the process.
void BM_ImageMagickPng(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / "qix-bench-png";
    fs::create_directories(dir);
    const fs::path raw = dir / "shot.bgr", out = dir / "shot.png";
    {
        std::ofstream f(raw, std::ios::binary);
        const TPixelImage& img = Screenshot();
        for (int y = kH - 1; y >= 0; --y)
            for (int x = 0; x < kW; ++x)
                f.write(reinterpret_cast<const char*>(&img.Pixels[(size_t(y) * kW + x) * 4]), 3);
    }
    const std::string target =
        state.range(0) == 0 ? "-colors 256 PNG8:" : "-colorspace Gray -depth 4 PNG:";
    const std::string cmd = "/usr/bin/convert -size 1920x1080 -depth 8 'bgr:" + raw.string() +
                            "' " + target + "'" + out.string() + "'";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("convert failed");
    state.counters["png_bytes"] = fs::exists(out) ? static_cast<double>(fs::file_size(out)) : 0;
    fs::remove_all(dir);
}
BENCHMARK(BM_ImageMagickPng)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
