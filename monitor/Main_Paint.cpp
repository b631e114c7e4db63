#include "monitor/Main_Paint.h"

#include <algorithm>
#include <cmath>

const std::array<TColor, 7> StatusColors = {{
    {0, 0, 0},       // psNone: never painted
    {255, 0, 0},     // psTimedOut, and any time above the timeout
    {255, 0, 255},   // psConnectionError
    {0, 0, 255},     // psUnreachable
    {0, 255, 255},   // psTtlExceeded
    {128, 128, 128}, // psAbandoned
    {255, 255, 0},   // psInternalError
}};

const std::array<const char*, 7> StatusTexts = {"",
                                                "Request timed out",
                                                "Connection error",
                                                "Destination unreachable",
                                                "TTL limit exceeded",
                                                "Network failure",
                                                "Internal error"};

uint8_t BlendChannel(uint8_t from, uint8_t to, double fraction) {
    const double delta = (static_cast<double>(to) - from) * fraction;
    // Round half to even, whatever rounding mode the caller left behind.
    double rounded = std::round(delta);
    if (std::fabs(delta - std::trunc(delta)) == 0.5) rounded = 2.0 * std::round(delta / 2.0);
    double v = from + rounded;
    const double lo = std::min(from, to), hi = std::max(from, to);
    if (!(v >= lo)) v = lo; // also catches NaN
    if (v > hi) v = hi;
    return static_cast<uint8_t>(v);
}

TColor BlendColor(TColor from, TColor to, double fraction) {
    return {BlendChannel(from.R, to.R, fraction), BlendChannel(from.G, to.G, fraction),
            BlendChannel(from.B, to.B, fraction)};
}

TColor BarColor(double ratio) {
    constexpr TColor green{0, 255, 0}, yellow{255, 255, 0}, red{255, 0, 0};
    if (ratio < 0.5) return BlendColor(green, yellow, ratio * 2);
    // 1.8, not 2: a bar at the full timeout stays short of the red of "too late".
    return BlendColor(yellow, red, (ratio - 0.5) * 1.8);
}

TIconPixels PaintPingIcon(const std::array<TPingResult, IconSize>& entries, int32_t timeout) {
    TIconPixels pixels{};
    const int32_t scale = timeout / 16;
    for (int x = 0; x < IconSize; ++x) {
        const TPingResult& e = entries[static_cast<size_t>(IconSize - 1 - x)];
        const int32_t t = e.Milliseconds;
        const TPingStatus s = e.Status;
        // With a zero timeout every positive time is late; the ratio itself is undefined.
        const bool late = timeout <= 0 ? t > 0 : t > timeout;
        const TColor c = timeout > 0 ? BarColor(static_cast<double>(t) / timeout) : TColor{};
        for (int y = 0; y < IconSize; ++y) {
            const int h = IconSize - 1 - y;
            TColor& p = pixels[static_cast<size_t>(y * IconSize + x)];
            if (s != psNone)
                p = StatusColors[s];
            else if (late)
                p = StatusColors[psTimedOut];
            else if ((h + 1) * scale < t)
                p = c;
            else if (h * scale < t)
                p = BlendColor({}, c, static_cast<double>(t - h * scale) / scale);
            else
                p = {};
        }
    }
    return pixels;
}

std::string PingHint(const TPingResult& current) {
    std::string hint;
    if (current.Status != psNone) {
        hint = StatusTexts[current.Status];
        if (!current.Detail.empty()) hint += " (" + current.Detail + ")";
    } else {
        hint = "VORN Ravelink 2";
        if (current.Milliseconds > 0)
            hint += "\r\nPing time: " + std::to_string(current.Milliseconds) + " ms";
    }
    if (hint.size() > 255) hint.resize(255);
    return hint;
}
