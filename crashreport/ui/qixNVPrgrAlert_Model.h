// The arithmetic of the progress window, apart from the window system: weighted phases and
// the overall per-mille position, the layout of text, icon and bar, and the icon's blending.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qix {

struct TProgressPhase {
    uint64_t Start = 0; // sum of the weights of all earlier phases
    uint64_t Weight = 0;
    std::string Text;
};

// Not thread-safe; the window guards it.
class TProgressPhases {
public:
    static constexpr int32_t kFull = 1000;

    // An empty text repeats the previous phase's text.
    void Add(const std::string& text, uint64_t weight);
    void Clear();
    // False when ignored: n negative, above the count, or the current phase. The count
    // itself means all done: the last phase at full position.
    bool SetPhase(int32_t n);
    // Clamped to 0 ... 1000.
    void SetProgress(int32_t perMille);

    int32_t Count() const { return static_cast<int32_t>(Phases.size()); }
    int32_t Current() const { return CurrentPhase; }
    int32_t Progress() const { return Position; }
    uint64_t TotalWeight() const { return Total; }
    const std::vector<TProgressPhase>& Items() const { return Phases; }
    // Empty without phases.
    std::string CurrentText() const;
    // Bar position 0 ... 1000 over all phases.
    int32_t Overall() const;

private:
    std::vector<TProgressPhase> Phases;
    uint64_t Total = 0;
    int32_t CurrentPhase = 0;
    int32_t Position = 0;
};

struct TRect {
    int32_t Left = 0, Top = 0, Width = 0, Height = 0;
};

// What the layout needs from the window system, in pixels.
struct TAlertMetrics {
    int32_t DialogFrameWidth = 0;  // SM_CXDLGFRAME
    int32_t DialogFrameHeight = 0; // SM_CYDLGFRAME
    int32_t SmallCaption = 0;      // SM_CYSMCAPTION
    int32_t ScrollBarHeight = 0;   // SM_CYHSCROLL
};

struct TAlertLayout {
    TRect Icon; // empty without icon
    TRect Text;
    TRect Bar;
    TRect Abort; // empty unless the caller can abort
    int32_t WindowWidth = 0, WindowHeight = 0;
};

constexpr int32_t kAlertWrapWidth = 420;

// `largestWidth`/`largestHeight`: the largest of the wrapped phase texts.
TAlertLayout LayoutAlert(int32_t largestWidth, int32_t largestHeight, bool hasIcon,
                         const TAlertMetrics& metrics);

// The abort button under the bar, right-aligned with it; the window grows by its height and
// a gap. `captionWidth`: the caption's measured width.
constexpr int32_t kAlertAbortHeight = 23;
constexpr int32_t kAlertAbortMinWidth = 75;
constexpr int32_t kAlertAbortGap = 8;
void AddAbortButton(TAlertLayout& layout, int32_t captionWidth);

constexpr int32_t kAlertIconSide = 32;
constexpr size_t kAlertIconPixelBytes = kAlertIconSide * kAlertIconSide * 4;

// The icon resource's pixels (after its 40-byte header, 32-bit, alpha in the fourth byte)
// blended over the face colour (red, green, blue), same row order, fourth byte 0.
std::array<uint8_t, kAlertIconPixelBytes> BlendAlertIcon(const uint8_t* pixels, uint8_t faceRed,
                                                         uint8_t faceGreen, uint8_t faceBlue);

// Checks a resource for the 40-byte header of a 32 x 32 32-bit uncompressed bitmap followed
// by its pixels; returns where the pixels start, or null.
const uint8_t* AlertIconPixels(const uint8_t* resource, size_t size);

} // namespace qix
