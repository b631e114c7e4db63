// BMP files come back from the user's editor: the reader must survive any bytes, and
// whatever it accepts must be safe to encode and scale.
#include "crashreport/support/qixNVBitmap_Encode.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qix::TPixelImage image;
    if (!qix::DecodeBmp(data, size, image)) return 0;
    if (image.Pixels.size() !=
        static_cast<size_t>(image.Width) * static_cast<size_t>(image.Height) * 4)
        __builtin_trap();
    const qix::TPixelView view = image.View();
    if (qix::EncodeBmp(view).size() != 54 + image.Pixels.size()) __builtin_trap();
    // The palette encoder costs the same for any size and would slow the search ten-fold;
    // the unit tests cover it. Scaling is cheap for small pictures.
    int32_t w, h;
    if (image.Pixels.size() <= 64 * 64 * 4 && qix::FitInto(image.Width, image.Height, 7, 5, w, h)) {
        std::vector<uint8_t> out(static_cast<size_t>(w) * static_cast<size_t>(h) * 4);
        qix::MitchellResample(view, w, h, out.data());
    }
    return 0;
}
