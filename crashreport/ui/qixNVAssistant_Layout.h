// Placing a form's items from top to bottom and its standard buttons along the bottom,
// given how the window system measures texts.
#pragma once

#include "crashreport/ui/qixNVAssistant_Model.h"

namespace qix {

// "Arial" 15 for owner-drawn buttons, "Tahoma" 11 for standard-look buttons and items,
// "Arial" 15 bold for the heading.
enum class TNVFont : uint8_t { Button, PlainButton, Item, Heading };

struct TNVSize {
    int32_t cx = 0, cy = 0;
};

class INVMeasure {
public:
    virtual ~INVMeasure() = default;
    virtual TNVSize TextSize(TNVFont font, std::string_view text) const = 0;
    // Height of the text word-wrapped to the width.
    virtual int32_t WrappedHeight(TNVFont font, std::string_view text, int32_t width) const = 0;
    virtual TNVSize CheckMarkSize() const = 0; // the menu check mark
    virtual int32_t ScreenHeight() const = 0;
};

// Where items start, and the room around them.
constexpr int32_t kItemLeft = 21, kItemTop = 40, kMinFormWidth = 315;

// Sets the form's width and height and every item's rectangle (client coordinates).
void LayoutForm(TNVForm& form, const INVMeasure& measure);

// The height of the standard buttons (the tallest visible one).
int32_t StandardButtonHeight(const TNVForm& form);

} // namespace qix
