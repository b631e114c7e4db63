#include "crashreport/support/qixNVBitmap.h"

#include "crashreport/support/qixNVBitmap_Encode.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace qix {
namespace {

TPixelView ViewOf(TDibCanvas& canvas) {
    return {canvas.Width(), canvas.Height(), canvas.Pixels()};
}

// All or nothing: a short or failed write leaves no file behind.
bool WriteWhole(const std::string& path, const std::string& bytes) {
    if (bytes.empty()) return false;
    bool ok;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        ok = !out.fail();
    }
    if (!ok) std::remove(path.c_str());
    return ok;
}

} // namespace

TINVBitmap::TINVBitmap(std::unique_ptr<TDibCanvas> canvas)
    : Canvas(std::move(canvas)), InfoHeader(BitmapInfoHeader(Canvas->Width(), Canvas->Height())) {}

std::string TINVBitmap::BmpData() {
    return EncodeBmp(ViewOf(*Canvas));
}

std::string TINVBitmap::PngData(int mode) {
    bool madeGrey = false;
    std::string png = EncodePng(ViewOf(*Canvas), mode, &madeGrey);
    // Later uses (preview, BMP, the next PNG) see the picture as the grey file showed it.
    if (madeGrey) GreyInPlace(Width(), Height(), Canvas->Pixels());
    return png;
}

bool TINVBitmap::WriteBmpFile(const std::string& path) {
    return WriteWhole(path, BmpData());
}

bool TINVBitmap::WritePngFile(const std::string& path, int mode) {
    return WriteWhole(path, PngData(mode));
}

PNVBitmap TINVBitmap::ScaledCopy(int32_t boxWidth, int32_t boxHeight) {
    int32_t w, h;
    if (!FitInto(Width(), Height(), boxWidth, boxHeight, w, h)) return nullptr;
    auto canvas = CreateDibCanvas(w, h);
    if (!canvas) return nullptr;
    MitchellResample(ViewOf(*Canvas), w, h, canvas->Pixels());
    return std::make_shared<TINVBitmap>(std::move(canvas));
}

PNVBitmap LoadBmpFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    TPixelImage image;
    if (!DecodeBmp(bytes.data(), bytes.size(), image)) return nullptr;
    auto canvas = CreateDibCanvas(image.Width, image.Height);
    if (!canvas) return nullptr;
    std::copy(image.Pixels.begin(), image.Pixels.end(), canvas->Pixels());
    return std::make_shared<TINVBitmap>(std::move(canvas));
}

} // namespace qix
