// BMP files: writing the 32-bit picture as it is held, and reading the common
// uncompressed variants back. The reader sees files a user may have edited, so every
// size and offset is checked before it is used.
#include "crashreport/support/qixNVBitmap_Encode.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qix {
namespace {

constexpr int32_t kMaxSide = 65535;
constexpr uint32_t kRgb = 0;
constexpr uint32_t kBitFields = 3;

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
    return Get16(p) | (static_cast<uint32_t>(Get16(p + 2)) << 16);
}

void Set32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Scales the bits under one mask to 0..255.
struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;

    explicit TChannel(uint32_t mask) : Mask(mask) {
        if (mask == 0) return;
        Shift = std::countr_zero(mask);
        Bits = std::min(std::popcount(mask), 32 - Shift);
    }
    uint8_t operator()(uint32_t pixel) const {
        if (Bits == 0) return 0;
        const uint64_t v = (pixel & Mask) >> Shift;
        if (Bits >= 8) return static_cast<uint8_t>(v >> (Bits - 8));
        return static_cast<uint8_t>(v * 255 / ((uint64_t{1} << Bits) - 1));
    }
};

struct TLayout {
    int64_t Width = 0, Height = 0;
    bool TopDown = false;
    int Bpp = 0;
    uint32_t Compression = kRgb;
    uint32_t ColoursUsed = 0;
    size_t PaletteOffset = 0, PaletteEntry = 4;
    uint32_t Masks[3] = {}; // red, green, blue
};

bool ReadLayout(const uint8_t* data, size_t size, TLayout& l) {
    if (size < 26 || data[0] != 'B' || data[1] != 'M') return false;
    const uint32_t headerSize = Get32(data + 14);
    int planes;
    if (headerSize == 12) {
        l.Width = Get16(data + 18);
        l.Height = Get16(data + 20);
        planes = Get16(data + 22);
        l.Bpp = Get16(data + 24);
        l.PaletteEntry = 3;
    } else if (headerSize >= 40 && headerSize <= size - 14) {
        l.Width = static_cast<int32_t>(Get32(data + 18));
        l.Height = static_cast<int32_t>(Get32(data + 22));
        planes = Get16(data + 26);
        l.Bpp = Get16(data + 28);
        l.Compression = Get32(data + 30);
        l.ColoursUsed = Get32(data + 46);
    } else {
        return false;
    }
    l.PaletteOffset = 14 + headerSize;
    if (planes != 1) return false;
    if (l.Height < 0) {
        l.TopDown = true;
        l.Height = -l.Height;
    }
    if (l.Width <= 0 || l.Height <= 0 || l.Width > kMaxSide || l.Height > kMaxSide) return false;

    if (l.Compression == kBitFields && (l.Bpp == 16 || l.Bpp == 32)) {
        // The three masks follow a 40-byte header, or sit at the same place inside a
        // larger one.
        if (size < 14 + 40 + 12) return false;
        for (int i = 0; i < 3; ++i)
            l.Masks[i] = Get32(data + 54 + 4 * i);
        if (headerSize == 40) l.PaletteOffset += 12;
    } else if (l.Compression == kRgb) {
        if (l.Bpp == 16) {
            l.Masks[0] = 0x7C00, l.Masks[1] = 0x03E0, l.Masks[2] = 0x001F;
        } else if (l.Bpp == 32) {
            l.Masks[0] = 0xFF0000, l.Masks[1] = 0xFF00, l.Masks[2] = 0xFF;
        } else if (l.Bpp != 1 && l.Bpp != 4 && l.Bpp != 8 && l.Bpp != 24) {
            return false;
        }
    } else {
        return false; // run-length and embedded formats are not read
    }
    return true;
}

// Missing or short palettes read as black rather than failing the whole picture.
std::vector<uint32_t> ReadPalette(const uint8_t* data, size_t size, const TLayout& l) {
    std::vector<uint32_t> palette;
    if (l.Bpp > 8) return palette;
    const size_t full = size_t{1} << l.Bpp;
    palette.assign(full, 0);
    size_t count = l.ColoursUsed == 0 ? full : std::min<size_t>(l.ColoursUsed, full);
    if (l.PaletteOffset >= size) return palette;
    count = std::min(count, (size - l.PaletteOffset) / l.PaletteEntry);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = data + l.PaletteOffset + i * l.PaletteEntry;
        palette[i] = e[0] | (e[1] << 8) | (static_cast<uint32_t>(e[2]) << 16);
    }
    return palette;
}

void DecodeRow(const uint8_t* src, const TLayout& l, const std::vector<uint32_t>& palette,
               uint8_t* out) {
    const TChannel red(l.Masks[0]), green(l.Masks[1]), blue(l.Masks[2]);
    for (int64_t x = 0; x < l.Width; ++x, out += 4) {
        uint32_t bgr = 0;
        switch (l.Bpp) {
        case 1:
            bgr = palette[(src[x / 8] >> (7 - x % 8)) & 1];
            break;
        case 4:
            bgr = palette[(src[x / 2] >> ((x & 1) ? 0 : 4)) & 15];
            break;
        case 8:
            bgr = palette[src[x]];
            break;
        case 24:
            bgr =
                src[x * 3] | (src[x * 3 + 1] << 8) | (static_cast<uint32_t>(src[x * 3 + 2]) << 16);
            break;
        case 16:
        case 32: {
            const uint32_t v = l.Bpp == 16 ? Get16(src + x * 2) : Get32(src + x * 4);
            bgr = blue(v) | (green(v) << 8) | (static_cast<uint32_t>(red(v)) << 16);
            break;
        }
        }
        out[0] = static_cast<uint8_t>(bgr);
        out[1] = static_cast<uint8_t>(bgr >> 8);
        out[2] = static_cast<uint8_t>(bgr >> 16);
        out[3] = 0;
    }
}

} // namespace

std::array<uint8_t, 40> BitmapInfoHeader(int32_t width, int32_t height) {
    std::array<uint8_t, 40> h{};
    Set32(&h[0], 40);
    Set32(&h[4], static_cast<uint32_t>(width));
    Set32(&h[8], static_cast<uint32_t>(height));
    h[12] = 1;  // planes
    h[14] = 32; // bits per pixel
    Set32(&h[20], static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 4);
    return h;
}

std::string EncodeBmp(const TPixelView& image) {
    if (image.Pixels == nullptr || image.Width <= 0 || image.Height <= 0) return {};
    const uint64_t imageSize =
        static_cast<uint64_t>(image.Width) * static_cast<uint64_t>(image.Height) * 4;
    if (imageSize > 0xFFFFFFFFu - 54) return {};
    std::string bmp(54, '\0');
    uint8_t* p = reinterpret_cast<uint8_t*>(bmp.data());
    p[0] = 'B';
    p[1] = 'M';
    Set32(p + 2, static_cast<uint32_t>(54 + imageSize));
    Set32(p + 10, 54);
    const auto header = BitmapInfoHeader(image.Width, image.Height);
    std::memcpy(p + 14, header.data(), header.size());
    bmp.append(reinterpret_cast<const char*>(image.Pixels), static_cast<size_t>(imageSize));
    return bmp;
}

bool DecodeBmp(const uint8_t* data, size_t size, TPixelImage& image) {
    TLayout l;
    if (data == nullptr || !ReadLayout(data, size, l)) return false;
    const uint32_t pixelOffset = Get32(data + 10);
    const uint64_t stride = ((static_cast<uint64_t>(l.Width) * l.Bpp + 31) / 32) * 4;
    if (pixelOffset > size || stride * static_cast<uint64_t>(l.Height) > size - pixelOffset)
        return false;
    const std::vector<uint32_t> palette = ReadPalette(data, size, l);

    image.Width = static_cast<int32_t>(l.Width);
    image.Height = static_cast<int32_t>(l.Height);
    image.Pixels.assign(static_cast<size_t>(l.Width * l.Height * 4), 0);
    for (int64_t y = 0; y < l.Height; ++y) {
        const int64_t memoryRow = l.TopDown ? l.Height - 1 - y : y;
        DecodeRow(data + pixelOffset + y * stride, l, palette,
                  image.Pixels.data() + memoryRow * l.Width * 4);
    }
    return true;
}

} // namespace qix
