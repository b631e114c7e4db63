// Windows-free picture encoders over a plain pixel buffer laid out like a 32-bit
// bottom-up DIB: rows of blue, green, red and an unused byte, bottom row first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qix {

struct TPixelView {
    int32_t Width = 0;
    int32_t Height = 0;
    const uint8_t* Pixels = nullptr;

    const uint8_t* Row(int32_t memoryRow) const {
        return Pixels + static_cast<size_t>(memoryRow) * static_cast<size_t>(Width) * 4;
    }
};

// An owned pixel buffer in the same layout.
struct TPixelImage {
    int32_t Width = 0;
    int32_t Height = 0;
    std::vector<uint8_t> Pixels;

    TPixelView View() const { return {Width, Height, Pixels.data()}; }
};

using TPalette = std::array<uint8_t, 768>; // red, green, blue per entry

// Wu's colour quantiser: at most 256 boxes; unused entries repeat entry 0, so the
// lowest-index rule of the colour search never picks them.
TPalette WuPalette(const TPixelView& image);

// Palette indices, rows top to bottom, one byte per pixel.
std::vector<uint8_t> ColourIndices(const TPixelView& image, const TPalette& palette);

extern const std::array<uint8_t, 16> kGreyLevels;
uint8_t GreyOf(uint8_t blue, uint8_t green, uint8_t red);

// Complete PNG files (palette colour type); empty for an image without pixels.
std::string EncodeColourPng(const TPixelView& image);
std::string EncodeGreyPng(const TPixelView& image);
// Modes: 0 colour, 1 grey, 2..5 colour unless longer than the mode's limit and the
// grey one is shorter; other values act as 0. `madeGrey` tells whether the grey file was
// made (whichever one won), since a picture encoded that way turns grey for good.
std::string EncodePng(const TPixelView& image, int mode, bool* madeGrey = nullptr);
// Writes each pixel's grey into all three channels of the same layout.
void GreyInPlace(int32_t width, int32_t height, uint8_t* pixels);

// The PNG container around palette image data that already holds the filter bytes.
std::string BuildPng(int32_t width, int32_t height, int bitDepth, const uint8_t* palette,
                     size_t paletteBytes, const std::vector<uint8_t>& filteredRows);

// The 40-byte information header of a 32-bit bottom-up image and a whole BMP file.
std::array<uint8_t, 40> BitmapInfoHeader(int32_t width, int32_t height);
std::string EncodeBmp(const TPixelView& image);

// Reads a BMP file (1, 4, 8, 16, 24, 32 bits; uncompressed or bit fields; bottom-up or
// top-down) into 32-bit pixels. False for anything it cannot read safely.
[[nodiscard]] bool DecodeBmp(const uint8_t* data, size_t size, TPixelImage& image);

// The target size that fits the image into the box keeping its aspect ratio.
[[nodiscard]] bool FitInto(int32_t width, int32_t height, int32_t boxWidth, int32_t boxHeight,
                           int32_t& outWidth, int32_t& outHeight);

// Mitchell-filtered resampling into a buffer of the target size (same layout).
void MitchellResample(const TPixelView& source, int32_t width, int32_t height, uint8_t* target);

} // namespace qix
