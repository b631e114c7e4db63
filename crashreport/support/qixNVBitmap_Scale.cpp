// Mitchell-filtered scaling for the screenshot preview, in 16.16 fixed point.
#include "crashreport/support/qixNVBitmap_Encode.h"

#include <algorithm>
#include <cmath>

namespace qix {
namespace {

struct TContribution {
    int32_t Pixel;
    int32_t Weight;
};

using TWeights = std::vector<std::vector<TContribution>>;

// Mitchell-Netravali with B = C = 1/3.
double Mitchell(double x) {
    x = std::fabs(x);
    if (x < 1.0) return (7.0 / 6.0) * x * x * x - 2.0 * x * x + 8.0 / 9.0;
    if (x < 2.0) return -(7.0 / 18.0) * x * x * x + 2.0 * x * x - (10.0 / 3.0) * x + 16.0 / 9.0;
    return 0.0;
}

// Mirrors at the edges, then clamps: with a source of one or two pixels the mirror
// alone still lands outside.
int32_t SourceIndex(int64_t j, int32_t size) {
    if (j < 0) j = -j;
    if (j >= size) j = 2 * static_cast<int64_t>(size) - 1 - j;
    return static_cast<int32_t>(std::clamp<int64_t>(j, 0, size - 1));
}

TWeights Weights(int32_t source, int32_t target) {
    TWeights weights(static_cast<size_t>(target));
    const int64_t S = source, D = target;
    for (int64_t i = 0; i < D; ++i) {
        auto& list = weights[static_cast<size_t>(i)];
        if (D < S) {
            const float scale = static_cast<float>(D) / static_cast<float>(S);
            for (int64_t j = (S * (i - 2) - D + 1) / D; j <= (S * (i + 2) + D - 1) / D; ++j) {
                const double d = std::fabs(static_cast<double>(i) - j * scale);
                if (d < 2.0)
                    list.push_back({SourceIndex(j, source), static_cast<int32_t>(std::lround(
                                                                Mitchell(d) * scale * 65536))});
            }
        } else {
            const float scale = static_cast<float>(S) / static_cast<float>(D);
            const double centre = i * scale;
            for (int64_t j = (S * i - 3 * D + 1) / D; j <= (S * i + 3 * D - 1) / D; ++j) {
                const double d = std::fabs(centre - static_cast<double>(j));
                if (d < 2.0)
                    list.push_back({SourceIndex(j, source),
                                    static_cast<int32_t>(std::lround(Mitchell(d) * 65536))});
            }
        }
    }
    return weights;
}

uint8_t Clamp(int64_t sum) {
    return static_cast<uint8_t>(std::clamp<int64_t>(sum >> 16, 0, 255));
}

} // namespace

bool FitInto(int32_t width, int32_t height, int32_t boxWidth, int32_t boxHeight, int32_t& outWidth,
             int32_t& outHeight) {
    if (width <= 0 || height <= 0 || boxWidth <= 0 || boxHeight <= 0) return false;
    const int64_t W = width, H = height, bw = boxWidth, bh = boxHeight;
    const int64_t w = bh * W / H, h = bw * H / W;
    int64_t rw = bw, rh = bh;
    if (bh < h || bw < w) {
        if (H * 65536 / bh < W * 65536 / bw)
            rh = h;
        else
            rw = w;
    }
    // A very flat or tall picture still keeps one pixel.
    outWidth = static_cast<int32_t>(std::max<int64_t>(rw, 1));
    outHeight = static_cast<int32_t>(std::max<int64_t>(rh, 1));
    return true;
}

void MitchellResample(const TPixelView& source, int32_t width, int32_t height, uint8_t* target) {
    const TWeights across = Weights(source.Width, width);
    const TWeights down = Weights(source.Height, height);
    std::vector<uint8_t> column(static_cast<size_t>(source.Height) * 4);
    for (int32_t x = 0; x < width; ++x) {
        for (int32_t y = 0; y < source.Height; ++y) {
            const uint8_t* row = source.Row(y);
            int64_t sum[3] = {};
            for (const TContribution& c : across[static_cast<size_t>(x)])
                for (int k = 0; k < 3; ++k)
                    sum[k] += int64_t{row[c.Pixel * 4 + k]} * c.Weight;
            for (int k = 0; k < 3; ++k)
                column[static_cast<size_t>(y) * 4 + k] = Clamp(sum[k]);
        }
        for (int32_t y = 0; y < height; ++y) {
            int64_t sum[3] = {};
            for (const TContribution& c : down[static_cast<size_t>(y)])
                for (int k = 0; k < 3; ++k)
                    sum[k] += int64_t{column[static_cast<size_t>(c.Pixel) * 4 + k]} * c.Weight;
            uint8_t* out = target + (static_cast<size_t>(y) * width + x) * 4;
            for (int k = 0; k < 3; ++k)
                out[k] = Clamp(sum[k]);
            out[3] = 0;
        }
    }
}

} // namespace qix
