// Top-to-bottom placement: each item's height, then a gap that depends on what follows,
// so related items (a heading and its field, a column of check boxes) stay close.
#include "crashreport/ui/qixNVAssistant_Layout.h"

#include <algorithm>

namespace qix {
namespace {

TNVSize StandardButtonSize(const TNVButton& b, const INVMeasure& m) {
    if (!b.visible) return {0, 0};
    TNVSize size;
    if (b.noOwnerDraw) {
        size = {std::max(m.TextSize(TNVFont::PlainButton, b.caption).cx + 20, 75), 23};
    } else {
        size = {std::max(m.TextSize(TNVFont::Button, b.caption).cx + 20, 85), 32};
    }
    size.cx = std::max(size.cx, b.minWidth);
    return size;
}

const TNVButton& Std(const TNVForm& form, int index) {
    return static_cast<const TNVButton&>(*form.items[static_cast<size_t>(index)]);
}

bool IsHeading(const TNVItem* item) {
    return item && item->Kind() == TNVItemKind::Label &&
           static_cast<const TNVLabel*>(item)->heading;
}

bool SameKind(const TNVItem* a, const TNVItem* b) {
    return a && b && a->Kind() == b->Kind();
}

// Space below `item` when the description gives none.
int32_t AutomaticGap(const TNVItem* before, const TNVItem& item, const TNVItem* next,
                     const TNVItem* afterNext) {
    if (IsHeading(&item)) return 4;
    if (SameKind(&item, next)) {
        switch (item.Kind()) {
        case TNVItemKind::Button:
            return 4;
        case TNVItemKind::Edit:
            return 6;
        default:
            return 8;
        }
    }
    if (IsHeading(next) && IsHeading(before) && SameKind(afterNext, &item)) return 8;
    return 12;
}

TNVSize ImageSize(TNVImage& image, int32_t formWidth, const INVMeasure& m) {
    int32_t boxW = formWidth - 42;
    if (image.clickable) boxW -= 6;
    if (image.border) boxW -= 2;
    const int32_t boxH = m.ScreenHeight() / 3;
    const PNVBitmap source = image.Source();
    int32_t w = image.width > 0 ? image.width : source ? source->Width() : 32;
    int32_t h = image.height > 0 ? image.height : source ? source->Height() : 32;
    w = std::min(w, std::max(boxW, 1));
    h = std::min(h, std::max(boxH, 1));
    image.shown.reset();
    if (source && w > 0 && h > 0) {
        image.shown = source->ScaledCopy(w, h);
        if (image.shown) {
            w = image.shown->Width();
            h = image.shown->Height();
        }
    }
    // Room for the focus-free click frame and the border around the picture.
    const int32_t extra = (image.clickable ? 6 : 0) + (image.border ? 2 : 0);
    return {w + extra, h + extra};
}

TNVSize ItemSize(TNVItem& item, int32_t formWidth, const INVMeasure& m) {
    switch (item.Kind()) {
    case TNVItemKind::Label:
        return {formWidth - 46, m.WrappedHeight(TNVFont::Item, item.caption, formWidth - 46)};
    case TNVItemKind::Edit: {
        const auto& e = static_cast<const TNVEdit&>(item);
        return {formWidth - 46, m.TextSize(TNVFont::Item, "Gg").cy * std::max(e.lines, 1) + 2};
    }
    case TNVItemKind::CheckBox: {
        const TNVSize text = m.TextSize(TNVFont::Item, item.caption);
        const TNVSize mark = m.CheckMarkSize();
        return {text.cx + mark.cx + 8, std::max(text.cy, mark.cy)};
    }
    case TNVItemKind::Button: {
        const auto& b = static_cast<const TNVButton&>(item);
        const TNVSize text = m.TextSize(TNVFont::Item, item.caption);
        return {std::max({text.cx + 32, 70, b.minWidth}), text.cy + 10};
    }
    case TNVItemKind::Image:
        return ImageSize(static_cast<TNVImage&>(item), formWidth, m);
    }
    return {};
}

} // namespace

int32_t StandardButtonHeight(const TNVForm& form) {
    int32_t h = 0;
    for (int i = kContinueIndex; i <= kCancelIndex; ++i) {
        const TNVButton& b = Std(form, i);
        if (b.visible) h = std::max(h, b.noOwnerDraw ? 23 : 32);
    }
    return h;
}

void LayoutForm(TNVForm& form, const INVMeasure& m) {
    TNVSize std[3];
    for (int i = 0; i < 3; ++i)
        std[i] = StandardButtonSize(Std(form, i), m);

    int32_t width = std[0].cx + std[1].cx + std[2].cx + 32;
    width = std::max({width, kMinFormWidth, form.minWidth});
    width =
        std::max(width, m.TextSize(TNVFont::Heading, form.message).cx + 19 * form.formCount + 36);
    form.width = width;

    const auto& items = form.items;
    const size_t n = items.size();
    for (size_t i = 3; i < n; ++i) {
        if (items[i]->Kind() != TNVItemKind::Label) continue;
        auto& label = static_cast<TNVLabel&>(*items[i]);
        const std::string& c = label.caption;
        label.heading = !c.empty() && (c.back() == ':' || c.back() == '?') &&
                        c.find('\n') == c.npos && m.TextSize(TNVFont::Item, c).cx <= width - 46;
    }

    int32_t y = kItemTop;
    for (size_t i = 3; i < n; ++i) {
        TNVItem& item = *items[i];
        const TNVSize size = ItemSize(item, width, m);
        const int32_t top = item.Kind() == TNVItemKind::Label ? y - 2 : y;
        item.rect = {kItemLeft, top, size.cx, size.cy};
        y += size.cy;
        const TNVItem* next = i + 1 < n ? items[i + 1].get() : nullptr;
        if (item.spacing) {
            y += *item.spacing;
        } else if (next) {
            const TNVItem* before = i > 3 ? items[i - 1].get() : nullptr;
            const TNVItem* afterNext = i + 2 < n ? items[i + 2].get() : nullptr;
            y += AutomaticGap(before, item, next, afterNext);
        }
    }

    const int32_t buttonHeight = StandardButtonHeight(form);
    form.height = y + buttonHeight + 33;

    TNVItem& cont = *items[kContinueIndex];
    TNVItem& skip = *items[kSkipIndex];
    TNVItem& cancel = *items[kCancelIndex];
    for (int i = 0; i < 3; ++i)
        items[static_cast<size_t>(i)]->rect = {0, form.height - std[i].cy - 9, std[i].cx,
                                               std[i].cy};
    const bool plainPair = Std(form, kContinueIndex).noOwnerDraw &&
                           Std(form, kCancelIndex).noOwnerDraw && !Std(form, kSkipIndex).visible;
    cancel.rect.x = width - 8 - std[kCancelIndex].cx;
    if (plainPair) {
        cont.rect.x = cancel.rect.x - 8 - std[kContinueIndex].cx;
        skip.rect.x = 8;
    } else {
        cont.rect.x = 8;
        skip.rect.x = 8 + std[kContinueIndex].cx + 8;
    }
}

} // namespace qix
