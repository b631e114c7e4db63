// Pictures held in plain memory, where there is no window system to draw on.
#include "crashreport/support/qixNVBitmap.h"

#include <vector>

namespace qix {
namespace {

class TMemoryCanvas final : public TDibCanvas {
public:
    TMemoryCanvas(int32_t width, int32_t height)
        : W(width), H(height), Bytes(static_cast<size_t>(width) * static_cast<size_t>(height) * 4) {
    }
    int32_t Width() const override { return W; }
    int32_t Height() const override { return H; }
    uint8_t* Pixels() override { return Bytes.data(); }
    bool PaintTo(TDeviceContext, int, int) override { return false; }

private:
    int32_t W, H;
    std::vector<uint8_t> Bytes;
};

} // namespace

std::unique_ptr<TDibCanvas> CreateDibCanvas(int32_t width, int32_t height) {
    // Same ceiling as a DIB section's 32-bit image size.
    if (width <= 0 || height <= 0 || static_cast<uint64_t>(width) * height * 4 > 0x7FFFFFFFu)
        return nullptr;
    return std::make_unique<TMemoryCanvas>(width, height);
}

} // namespace qix
