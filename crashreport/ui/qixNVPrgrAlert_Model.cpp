#include "crashreport/ui/qixNVPrgrAlert_Model.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qix {
namespace {

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

// a * b / c, exact for any 64-bit a, b below 2^32 and c > 0; saturates when the quotient
// does not fit. Huge weights must not wrap the bar backwards.
uint64_t MulDivExact(uint64_t a, uint64_t b, uint64_t c) {
    const uint64_t p0 = (a & 0xFFFFFFFFu) * b, p1 = (a >> 32) * b;
    const uint64_t lo = p0 + (p1 << 32);
    const uint64_t hi = (p1 >> 32) + (lo < p0 ? 1 : 0);
    if (hi >= c) return kMaxU64;
    uint64_t rem = hi, quotient = 0;
    for (int bit = 63; bit >= 0; --bit) {
        const bool top = (rem >> 63) != 0;
        rem = (rem << 1) | ((lo >> bit) & 1);
        quotient <<= 1;
        if (top || rem >= c) {
            rem -= c;
            quotient |= 1;
        }
    }
    return quotient;
}

} // namespace

void TProgressPhases::Add(const std::string& text, uint64_t weight) {
    TProgressPhase phase;
    phase.Start = Total;
    phase.Weight = weight;
    phase.Text = text.empty() && !Phases.empty() ? Phases.back().Text : text;
    // Weights past the 64-bit range saturate instead of wrapping the bar backwards.
    Total = weight > kMaxU64 - Total ? kMaxU64 : Total + weight;
    Phases.push_back(std::move(phase));
}

void TProgressPhases::Clear() {
    Phases.clear();
    Total = 0;
    CurrentPhase = 0;
}

bool TProgressPhases::SetPhase(int32_t n) {
    if (n == CurrentPhase || n < 0 || n > Count()) return false;
    if (n == Count()) {
        CurrentPhase = n - 1;
        Position = kFull;
    } else {
        CurrentPhase = n;
        Position = 0;
    }
    return true;
}

void TProgressPhases::SetProgress(int32_t perMille) {
    Position = std::clamp(perMille, 0, kFull);
}

std::string TProgressPhases::CurrentText() const {
    if (CurrentPhase < 0 || CurrentPhase >= Count()) return {};
    return Phases[static_cast<size_t>(CurrentPhase)].Text;
}

int32_t TProgressPhases::Overall() const {
    if (Total == 0 || CurrentPhase < 0 || CurrentPhase >= Count()) return 0;
    const TProgressPhase& p = Phases[static_cast<size_t>(CurrentPhase)];
    const uint64_t inside = MulDivExact(p.Weight, static_cast<uint64_t>(Position), kFull);
    const uint64_t done = inside > kMaxU64 - p.Start ? kMaxU64 : p.Start + inside;
    return static_cast<int32_t>(std::min<uint64_t>(MulDivExact(done, kFull, Total), kFull));
}

TAlertLayout LayoutAlert(int32_t largestWidth, int32_t largestHeight, bool hasIcon,
                         const TAlertMetrics& m) {
    TAlertLayout l;
    const int32_t iconExtra = hasIcon ? 40 : 0;
    const int32_t boxWidth = std::max(std::max(largestWidth, 0) + iconExtra, 220);
    int32_t textHeight = std::max(largestHeight, 0);
    if (hasIcon) {
        l.Icon = {9, 9, kAlertIconSide, kAlertIconSide};
        // Centred against the icon; the box below it never shrinks under 26.
        l.Text = {51, 12 + std::max(0, (26 - textHeight) / 2), boxWidth - iconExtra, textHeight};
        textHeight = std::max(textHeight, 26);
    } else {
        l.Text = {11, 12, boxWidth, textHeight};
    }
    l.Bar = {11, textHeight + 24, boxWidth, m.ScrollBarHeight};
    l.WindowWidth = boxWidth + 2 * m.DialogFrameWidth + 22;
    l.WindowHeight = textHeight + m.SmallCaption + m.ScrollBarHeight + 2 * m.DialogFrameHeight + 36;
    return l;
}

void AddAbortButton(TAlertLayout& l, int32_t captionWidth) {
    const int32_t width = std::min(std::max(captionWidth + 20, kAlertAbortMinWidth), l.Bar.Width);
    l.Abort = {l.Bar.Left + l.Bar.Width - width, l.Bar.Top + l.Bar.Height + kAlertAbortGap, width,
               kAlertAbortHeight};
    l.WindowHeight += kAlertAbortHeight + kAlertAbortGap;
}

std::array<uint8_t, kAlertIconPixelBytes> BlendAlertIcon(const uint8_t* pixels, uint8_t faceRed,
                                                         uint8_t faceGreen, uint8_t faceBlue) {
    std::array<uint8_t, kAlertIconPixelBytes> out{};
    const uint8_t face[3] = {faceBlue, faceGreen, faceRed};
    for (size_t i = 0; i < kAlertIconPixelBytes; i += 4) {
        const unsigned alpha = pixels[i + 3];
        for (size_t c = 0; c < 3; ++c)
            out[i + c] =
                static_cast<uint8_t>((pixels[i + c] * (alpha + 1) + face[c] * (255 - alpha)) >> 8);
    }
    return out;
}

const uint8_t* AlertIconPixels(const uint8_t* resource, size_t size) {
    constexpr size_t kHeader = 40;
    if (!resource || size < kHeader + kAlertIconPixelBytes) return nullptr;
    auto le32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, resource + at, 4);
        return v; // x86 only
    };
    auto le16 = [&](size_t at) {
        return static_cast<uint32_t>(resource[at] | resource[at + 1] << 8);
    };
    const uint32_t headerSize = le32(0), width = le32(4), height = le32(8);
    const uint32_t bits = le16(14), compression = le32(16);
    if (headerSize != kHeader || width != kAlertIconSide || height != kAlertIconSide ||
        bits != 32 || compression != 0)
        return nullptr;
    return resource + kHeader;
}

} // namespace qix
