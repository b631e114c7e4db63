#pragma once
// The arithmetic of the status icon: 16 columns of ping history as coloured bars.
#include "monitor/PingerU_Status.h"

#include <array>
#include <cstdint>
#include <string>

struct TColor {
    uint8_t R = 0, G = 0, B = 0;
    bool operator==(const TColor&) const = default;
};

constexpr int IconSize = 16;
using TIconPixels = std::array<TColor, IconSize * IconSize>; // row-major, y = 0 at the top

extern const std::array<TColor, 7> StatusColors;
extern const std::array<const char*, 7> StatusTexts;

uint8_t BlendChannel(uint8_t from, uint8_t to, double fraction);
TColor BlendColor(TColor from, TColor to, double fraction);
TColor BarColor(double ratio);

// Paints columns 0..15 from entries 15..0 (entries[0] is the current attempt).
TIconPixels PaintPingIcon(const std::array<TPingResult, IconSize>& entries, int32_t timeout);
// The hint for the current attempt, at most 255 characters.
std::string PingHint(const TPingResult& current);
