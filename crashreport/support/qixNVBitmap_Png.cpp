// Palette PNGs for screenshots: Wu's colour quantiser to 256 entries, or 16 greys at
// 4 bits when that is what keeps a mail small enough.
#include "crashreport/support/qixNVBitmap_Encode.h"

#include <zlib.h>

#include <cstdlib>
#include <limits>
#include <memory>

namespace qix {
namespace {

constexpr int kSide = 33; // 32 cells per channel plus the zero border
constexpr int kCells = kSide * kSide * kSide;
constexpr int kMaxColours = 256;

constexpr int Cell(int r, int g, int b) {
    return r * kSide * kSide + g * kSide + b;
}

struct TBox {
    int R0 = 0, R1 = 0, G0 = 0, G1 = 0, B0 = 0, B1 = 0;
    int Volume = 0;
};

enum class TAxis { Red, Green, Blue };

// Cumulative moments over the colour cube. 64-bit sums: a large screen's channel
// sums overflow 32 bits.
struct TMoments {
    std::vector<int64_t> Wt, Mr, Mg, Mb;
    std::vector<double> M2;

    TMoments() : Wt(kCells), Mr(kCells), Mg(kCells), Mb(kCells), M2(kCells) {}

    void Add(const TPixelView& image) {
        const size_t count = static_cast<size_t>(image.Width) * static_cast<size_t>(image.Height);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* p = image.Pixels + i * 4;
            const int b = p[0], g = p[1], r = p[2];
            const int c = Cell((r >> 3) + 1, (g >> 3) + 1, (b >> 3) + 1);
            ++Wt[c];
            Mr[c] += r;
            Mg[c] += g;
            Mb[c] += b;
            M2[c] += r * r + g * g + b * b;
        }
    }

    void Accumulate() {
        for (int r = 1; r < kSide; ++r) {
            int64_t area[kSide] = {}, areaR[kSide] = {}, areaG[kSide] = {}, areaB[kSide] = {};
            double area2[kSide] = {};
            for (int g = 1; g < kSide; ++g) {
                int64_t line = 0, lineR = 0, lineG = 0, lineB = 0;
                double line2 = 0;
                for (int b = 1; b < kSide; ++b) {
                    const int c = Cell(r, g, b);
                    line += Wt[c];
                    lineR += Mr[c];
                    lineG += Mg[c];
                    lineB += Mb[c];
                    line2 += M2[c];
                    area[b] += line;
                    areaR[b] += lineR;
                    areaG[b] += lineG;
                    areaB[b] += lineB;
                    area2[b] += line2;
                    const int below = c - kSide * kSide;
                    Wt[c] = Wt[below] + area[b];
                    Mr[c] = Mr[below] + areaR[b];
                    Mg[c] = Mg[below] + areaG[b];
                    Mb[c] = Mb[below] + areaB[b];
                    M2[c] = M2[below] + area2[b];
                }
            }
        }
    }
};

template <typename T> T Vol(const TBox& x, const std::vector<T>& m) {
    return m[Cell(x.R1, x.G1, x.B1)] - m[Cell(x.R1, x.G1, x.B0)] - m[Cell(x.R1, x.G0, x.B1)] +
           m[Cell(x.R1, x.G0, x.B0)] - m[Cell(x.R0, x.G1, x.B1)] + m[Cell(x.R0, x.G1, x.B0)] +
           m[Cell(x.R0, x.G0, x.B1)] - m[Cell(x.R0, x.G0, x.B0)];
}

// The part of Vol that does not depend on the cutting plane.
int64_t Bottom(const TBox& x, TAxis axis, const std::vector<int64_t>& m) {
    switch (axis) {
    case TAxis::Red:
        return -m[Cell(x.R0, x.G1, x.B1)] + m[Cell(x.R0, x.G1, x.B0)] + m[Cell(x.R0, x.G0, x.B1)] -
               m[Cell(x.R0, x.G0, x.B0)];
    case TAxis::Green:
        return -m[Cell(x.R1, x.G0, x.B1)] + m[Cell(x.R1, x.G0, x.B0)] + m[Cell(x.R0, x.G0, x.B1)] -
               m[Cell(x.R0, x.G0, x.B0)];
    case TAxis::Blue:
        return -m[Cell(x.R1, x.G1, x.B0)] + m[Cell(x.R1, x.G0, x.B0)] + m[Cell(x.R0, x.G1, x.B0)] -
               m[Cell(x.R0, x.G0, x.B0)];
    }
    return 0;
}

int64_t Top(const TBox& x, TAxis axis, int pos, const std::vector<int64_t>& m) {
    switch (axis) {
    case TAxis::Red:
        return m[Cell(pos, x.G1, x.B1)] - m[Cell(pos, x.G1, x.B0)] - m[Cell(pos, x.G0, x.B1)] +
               m[Cell(pos, x.G0, x.B0)];
    case TAxis::Green:
        return m[Cell(x.R1, pos, x.B1)] - m[Cell(x.R1, pos, x.B0)] - m[Cell(x.R0, pos, x.B1)] +
               m[Cell(x.R0, pos, x.B0)];
    case TAxis::Blue:
        return m[Cell(x.R1, x.G1, pos)] - m[Cell(x.R1, x.G0, pos)] - m[Cell(x.R0, x.G1, pos)] +
               m[Cell(x.R0, x.G0, pos)];
    }
    return 0;
}

double Variance(const TBox& x, const TMoments& m) {
    const double dr = static_cast<double>(Vol(x, m.Mr));
    const double dg = static_cast<double>(Vol(x, m.Mg));
    const double db = static_cast<double>(Vol(x, m.Mb));
    const double xx = Vol(x, m.M2);
    return xx - (dr * dr + dg * dg + db * db) / static_cast<double>(Vol(x, m.Wt));
}

struct TSums {
    int64_t R = 0, G = 0, B = 0, W = 0;
};

double SquaredMean(const TSums& s) {
    const double r = static_cast<double>(s.R), g = static_cast<double>(s.G),
                 b = static_cast<double>(s.B);
    return (r * r + g * g + b * b) / static_cast<double>(s.W);
}

// Best plane along one axis; cut stays -1 when every plane leaves a half empty.
double Maximize(const TBox& x, TAxis axis, int first, int last, int& cut, const TSums& whole,
                const TMoments& m) {
    const TSums base{Bottom(x, axis, m.Mr), Bottom(x, axis, m.Mg), Bottom(x, axis, m.Mb),
                     Bottom(x, axis, m.Wt)};
    double best = 0.0;
    cut = -1;
    for (int i = first; i < last; ++i) {
        TSums half{base.R + Top(x, axis, i, m.Mr), base.G + Top(x, axis, i, m.Mg),
                   base.B + Top(x, axis, i, m.Mb), base.W + Top(x, axis, i, m.Wt)};
        if (half.W == 0) continue;
        double score = SquaredMean(half);
        half = {whole.R - half.R, whole.G - half.G, whole.B - half.B, whole.W - half.W};
        if (half.W == 0) continue;
        score += SquaredMean(half);
        if (score > best) {
            best = score;
            cut = i;
        }
    }
    return best;
}

bool Cut(TBox& set1, TBox& set2, const TMoments& m) {
    const TSums whole{Vol(set1, m.Mr), Vol(set1, m.Mg), Vol(set1, m.Mb), Vol(set1, m.Wt)};
    int cutR, cutG, cutB;
    const double maxR = Maximize(set1, TAxis::Red, set1.R0 + 1, set1.R1, cutR, whole, m);
    const double maxG = Maximize(set1, TAxis::Green, set1.G0 + 1, set1.G1, cutG, whole, m);
    const double maxB = Maximize(set1, TAxis::Blue, set1.B0 + 1, set1.B1, cutB, whole, m);

    set2.R1 = set1.R1;
    set2.G1 = set1.G1;
    set2.B1 = set1.B1;
    if (maxR >= maxG && maxR >= maxB) {
        if (cutR < 0) return false;
        set2.R0 = set1.R1 = cutR;
        set2.G0 = set1.G0;
        set2.B0 = set1.B0;
    } else if (maxG >= maxR && maxG >= maxB) {
        set2.G0 = set1.G1 = cutG;
        set2.R0 = set1.R0;
        set2.B0 = set1.B0;
    } else {
        set2.B0 = set1.B1 = cutB;
        set2.R0 = set1.R0;
        set2.G0 = set1.G0;
    }
    set1.Volume = (set1.R1 - set1.R0) * (set1.G1 - set1.G0) * (set1.B1 - set1.B0);
    set2.Volume = (set2.R1 - set2.R0) * (set2.G1 - set2.G0) * (set2.B1 - set2.B0);
    return true;
}

std::string Chunk(const char* type, const uint8_t* data, size_t size) {
    std::string out;
    const uint32_t n = static_cast<uint32_t>(size);
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(n >> shift));
    out.append(type, 4);
    out.append(reinterpret_cast<const char*>(data), size);
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(type), 4);
    // zlib treats a null buffer as a request for the initial value, not as no data.
    if (size > 0) crc = crc32(crc, data, static_cast<uInt>(size));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(crc >> shift));
    return out;
}

void PutBig32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

// A zlib stream built from raw deflate: header 78 01, the data, Adler-32. The buffer is
// zlib's own bound, so compression cannot run out of room.
bool ZlibStream(const std::vector<uint8_t>& data, std::vector<uint8_t>& out) {
    if (data.size() > std::numeric_limits<uInt>::max()) return false;
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        return false;
    const uLong bound = deflateBound(&zs, static_cast<uLong>(data.size()));
    out.assign(2 + bound + 4, 0);
    out[0] = 0x78;
    out[1] = 0x01;
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data() + 2;
    zs.avail_out = static_cast<uInt>(bound);
    const int rc = deflate(&zs, Z_FINISH);
    const size_t produced = zs.total_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) return false;
    out.resize(2 + produced);
    PutBig32(out, static_cast<uint32_t>(adler32(adler32(0L, Z_NULL, 0), data.data(),
                                                static_cast<uInt>(data.size()))));
    return true;
}

bool HasPixels(const TPixelView& image) {
    return image.Pixels != nullptr && image.Width > 0 && image.Height > 0;
}

size_t LimitOfMode(int mode) {
    switch (mode) {
    case 2:
        return 51200;
    case 3:
        return 102400;
    case 4:
        return 204800;
    case 5:
        return 307200;
    default:
        return 0;
    }
}

} // namespace

const std::array<uint8_t, 16> kGreyLevels = {0,   28,  52,  73,  92,  109, 125, 140,
                                             155, 170, 185, 199, 213, 227, 241, 255};

uint8_t GreyOf(uint8_t blue, uint8_t green, uint8_t red) {
    return static_cast<uint8_t>((77 * red + 151 * green + 28 * blue) >> 8);
}

TPalette WuPalette(const TPixelView& image) {
    auto m = std::make_unique<TMoments>();
    if (HasPixels(image)) m->Add(image);
    m->Accumulate();

    std::vector<TBox> boxes(kMaxColours);
    std::vector<double> variance(kMaxColours, 0.0);
    boxes[0] = {0, kSide - 1, 0, kSide - 1, 0, kSide - 1, 0};
    int count = kMaxColours;
    int next = 0;
    for (int i = 1; i < kMaxColours; ++i) {
        if (Cut(boxes[next], boxes[i], *m)) {
            variance[next] = boxes[next].Volume > 1 ? Variance(boxes[next], *m) : 0.0;
            variance[i] = boxes[i].Volume > 1 ? Variance(boxes[i], *m) : 0.0;
        } else {
            variance[next] = 0.0; // this box cannot be split
            --i;
        }
        next = 0;
        double best = variance[0];
        for (int k = 1; k <= i; ++k)
            if (variance[k] > best) {
                best = variance[k];
                next = k;
            }
        if (best <= 0.0) {
            count = i + 1;
            break;
        }
    }

    TPalette palette{};
    std::vector<bool> filled(kMaxColours, false);
    for (int k = 0; k < count; ++k) {
        const int64_t weight = Vol(boxes[k], m->Wt);
        if (weight == 0) continue;
        palette[k * 3 + 0] = static_cast<uint8_t>(Vol(boxes[k], m->Mr) / weight);
        palette[k * 3 + 1] = static_cast<uint8_t>(Vol(boxes[k], m->Mg) / weight);
        palette[k * 3 + 2] = static_cast<uint8_t>(Vol(boxes[k], m->Mb) / weight);
        filled[k] = true;
    }
    int first = 0;
    while (first < kMaxColours && !filled[first])
        ++first;
    if (first == kMaxColours) return palette;
    for (int k = 0; k < kMaxColours; ++k)
        if (!filled[k])
            for (int c = 0; c < 3; ++c)
                palette[k * 3 + c] = palette[first * 3 + c];
    return palette;
}

std::vector<uint8_t> ColourIndices(const TPixelView& image, const TPalette& palette) {
    std::vector<uint8_t> indices;
    if (!HasPixels(image)) return indices;
    indices.reserve(static_cast<size_t>(image.Width) * static_cast<size_t>(image.Height));
    std::vector<int16_t> cache(32768, -1);
    for (int32_t y = image.Height - 1; y >= 0; --y) {
        const uint8_t* p = image.Row(y);
        for (int32_t x = 0; x < image.Width; ++x, p += 4) {
            const int b = p[0], g = p[1], r = p[2];
            int16_t& slot = cache[((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3)];
            if (slot < 0) {
                int best = std::numeric_limits<int>::max();
                for (int k = 0; k < kMaxColours; ++k) {
                    const int d = std::abs(r - palette[k * 3]) + std::abs(g - palette[k * 3 + 1]) +
                                  std::abs(b - palette[k * 3 + 2]);
                    if (d < best) {
                        best = d;
                        slot = static_cast<int16_t>(k);
                    }
                }
            }
            indices.push_back(static_cast<uint8_t>(slot));
        }
    }
    return indices;
}

std::string BuildPng(int32_t width, int32_t height, int bitDepth, const uint8_t* palette,
                     size_t paletteBytes, const std::vector<uint8_t>& filteredRows) {
    std::vector<uint8_t> idat;
    if (!ZlibStream(filteredRows, idat) || idat.size() > 0x7FFFFFFFu) return {};
    std::vector<uint8_t> ihdr;
    PutBig32(ihdr, static_cast<uint32_t>(width));
    PutBig32(ihdr, static_cast<uint32_t>(height));
    ihdr.insert(ihdr.end(), {static_cast<uint8_t>(bitDepth), 3, 0, 0, 0});
    std::string png("\x89PNG\r\n\x1a\n", 8);
    png += Chunk("IHDR", ihdr.data(), ihdr.size());
    png += Chunk("PLTE", palette, paletteBytes);
    png += Chunk("IDAT", idat.data(), idat.size());
    png += Chunk("IEND", nullptr, 0);
    return png;
}

std::string EncodeColourPng(const TPixelView& image) {
    if (!HasPixels(image)) return {};
    const TPalette palette = WuPalette(image);
    const std::vector<uint8_t> indices = ColourIndices(image, palette);
    std::vector<uint8_t> rows;
    rows.reserve(indices.size() + static_cast<size_t>(image.Height));
    for (size_t y = 0; y < static_cast<size_t>(image.Height); ++y) {
        rows.push_back(0);
        const auto row = indices.begin() + static_cast<std::ptrdiff_t>(y * image.Width);
        rows.insert(rows.end(), row, row + image.Width);
    }
    return BuildPng(image.Width, image.Height, 8, palette.data(), palette.size(), rows);
}

// Reads grey through GreyOf, so it gives the same file before and after GreyInPlace.
std::string EncodeGreyPng(const TPixelView& image) {
    if (!HasPixels(image)) return {};
    std::array<uint8_t, 256> nearest{};
    for (int v = 0; v < 256; ++v) {
        int best = 256;
        for (int k = 0; k < 16; ++k)
            if (std::abs(v - kGreyLevels[k]) < best) {
                best = std::abs(v - kGreyLevels[k]);
                nearest[v] = static_cast<uint8_t>(k);
            }
    }
    std::array<uint8_t, 48> palette{};
    for (int k = 0; k < 16; ++k)
        palette[k * 3] = palette[k * 3 + 1] = palette[k * 3 + 2] = kGreyLevels[k];

    const size_t rowBytes = 1 + (static_cast<size_t>(image.Width) + 1) / 2;
    std::vector<uint8_t> rows(rowBytes * static_cast<size_t>(image.Height), 0);
    uint8_t* out = rows.data();
    for (int32_t y = image.Height - 1; y >= 0; --y, out += rowBytes) {
        const uint8_t* p = image.Row(y);
        for (int32_t x = 0; x < image.Width; ++x, p += 4) {
            const uint8_t index = nearest[GreyOf(p[0], p[1], p[2])];
            out[1 + x / 2] |= (x & 1) ? index : static_cast<uint8_t>(index << 4);
        }
    }
    return BuildPng(image.Width, image.Height, 4, palette.data(), palette.size(), rows);
}

void GreyInPlace(int32_t width, int32_t height, uint8_t* pixels) {
    if (width <= 0 || height <= 0 || !pixels) return;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (uint8_t* p = pixels; p != pixels + count * 4; p += 4)
        p[0] = p[1] = p[2] = GreyOf(p[0], p[1], p[2]);
}

std::string EncodePng(const TPixelView& image, int mode, bool* madeGrey) {
    if (madeGrey) *madeGrey = false;
    std::string colour;
    if (mode != 1) colour = EncodeColourPng(image);
    const size_t limit = LimitOfMode(mode);
    if (!colour.empty() && (limit == 0 || colour.size() <= limit)) return colour;
    std::string grey = EncodeGreyPng(image);
    if (madeGrey) *madeGrey = true;
    if (colour.empty() || (!grey.empty() && grey.size() < colour.size())) return grey;
    return colour;
}

} // namespace qix
