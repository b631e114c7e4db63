// How a form looks: background, panel, heading, step indicator, the tinted buttons, the
// check boxes, images and the focus ring. The form is painted off-screen in one piece.
#include "crashreport/ui/qixNVAssistantWin.h"

#include <algorithm>

namespace qix {
namespace {

bool HasFace(HFONT font, const char* face) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    char got[LF_FACESIZE] = {};
    GetTextFaceA(dc, LF_FACESIZE, got);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return lstrcmpiA(got, face) == 0;
}

HFONT MakeFont(const char* face, int height, bool bold, const char* fallback = nullptr) {
    LOGFONTA lf = {};
    lf.lfHeight = -height;
    lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    lf.lfCharSet = face && std::string_view(face) == "Marlett" ? SYMBOL_CHARSET : DEFAULT_CHARSET;
    lf.lfQuality = DEFAULT_QUALITY;
    lstrcpynA(lf.lfFaceName, face, LF_FACESIZE);
    HFONT font = CreateFontIndirectA(&lf);
    if (font && fallback) {
        // Keep the named face only when the system really has it.
        if (!HasFace(font, face)) {
            DeleteObject(font);
            lstrcpynA(lf.lfFaceName, fallback, LF_FACESIZE);
            font = CreateFontIndirectA(&lf);
        }
    }
    return font;
}

COLORREF Darken(COLORREF c, int amount) {
    return RGB(std::max(GetRValue(c) - amount, 0), std::max(GetGValue(c) - amount, 0),
               std::max(GetBValue(c) - amount, 0));
}

void Fill(HDC dc, const RECT& r, COLORREF color) {
    SetBkColor(dc, color);
    ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
}

// Rows from `top` to `bottom` colour, linear.
void Gradient(HDC dc, RECT r, COLORREF top, COLORREF bottom) {
    const int h = std::max<int>(r.bottom - r.top, 1);
    for (int y = r.top; y < r.bottom; ++y) {
        const int k = y - r.top;
        auto mix = [&](int a, int b) { return a + (b - a) * k / h; };
        const RECT row = {r.left, y, r.right, y + 1};
        Fill(dc, row,
             RGB(mix(GetRValue(top), GetRValue(bottom)), mix(GetGValue(top), GetGValue(bottom)),
                 mix(GetBValue(top), GetBValue(bottom))));
    }
}

void Frame(HDC dc, RECT r, COLORREF color) {
    HBRUSH b = CreateSolidBrush(color);
    FrameRect(dc, &r, b);
    DeleteObject(b);
}

// A dotted rectangle `width` pixels thick.
void DottedFrame(HDC dc, RECT r, int width, COLORREF color) {
    for (int i = 0; i < width; ++i) {
        for (int x = r.left + i; x < r.right - i; x += 2) {
            SetPixel(dc, x, r.top + i, color);
            SetPixel(dc, x, r.bottom - 1 - i, color);
        }
        for (int y = r.top + i; y < r.bottom - i; y += 2) {
            SetPixel(dc, r.left + i, y, color);
            SetPixel(dc, r.right - 1 - i, y, color);
        }
    }
}

COLORREF Tint(int index) {
    static const COLORREF kTints[] = {RGB(128, 160, 128), RGB(128, 128, 160), RGB(160, 128, 128)};
    return index >= 0 && index <= kCancelIndex ? kTints[index] : RGB(128, 128, 128);
}

} // namespace

COLORREF Lighten(COLORREF c, int amount) {
    return RGB(std::min(GetRValue(c) + amount, 255), std::min(GetGValue(c) + amount, 255),
               std::min(GetBValue(c) + amount, 255));
}

void DrawHaloText(HDC dc, const std::string& text, RECT rect, UINT format, COLORREF color,
                  COLORREF halo) {
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, halo);
    for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy) {
            if (!dx && !dy) continue;
            RECT r = rect;
            OffsetRect(&r, dx, dy);
            DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &r, format);
        }
    SetTextColor(dc, color);
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &rect, format);
}

TFormGdi::TFormGdi()
    : item(MakeFont("Tahoma", 11, false, "MS Sans Serif")), button(MakeFont("Arial", 15, false)),
      heading(MakeFont("Arial", 15, true)), marlett(MakeFont("Marlett", 13, false)),
      indicator(MakeFont("Small Fonts", 10, true, "Tahoma")),
      window(CreateSolidBrush(GetSysColor(COLOR_WINDOW))),
      haveMarlett(marlett && HasFace(marlett, "Marlett")) {}

TFormGdi::~TFormGdi() {
    for (HGDIOBJ o : {static_cast<HGDIOBJ>(item), static_cast<HGDIOBJ>(button),
                      static_cast<HGDIOBJ>(heading), static_cast<HGDIOBJ>(marlett),
                      static_cast<HGDIOBJ>(indicator), static_cast<HGDIOBJ>(window)})
        if (o) DeleteObject(o);
}

TGdiMeasure::TGdiMeasure(const TFormGdi& gdi) : gdi_(gdi), dc_(CreateCompatibleDC(nullptr)) {}
TGdiMeasure::~TGdiMeasure() {
    if (dc_) DeleteDC(dc_);
}

HFONT TGdiMeasure::Font(TNVFont font) const {
    switch (font) {
    case TNVFont::Button:
        return gdi_.button;
    case TNVFont::Heading:
        return gdi_.heading;
    default:
        return gdi_.item;
    }
}

TNVSize TGdiMeasure::TextSize(TNVFont font, std::string_view text) const {
    HGDIOBJ old = SelectObject(dc_, Font(font));
    RECT r = {0, 0, 0, 0};
    const std::string s(text.empty() ? " " : text);
    DrawTextA(dc_, s.c_str(), static_cast<int>(s.size()), &r, DT_CALCRECT | DT_NOPREFIX);
    SelectObject(dc_, old);
    return {text.empty() ? 0 : r.right - r.left, r.bottom - r.top};
}

int32_t TGdiMeasure::WrappedHeight(TNVFont font, std::string_view text, int32_t width) const {
    HGDIOBJ old = SelectObject(dc_, Font(font));
    RECT r = {0, 0, width, 0};
    const std::string s(text.empty() ? " " : text);
    DrawTextA(dc_, s.c_str(), static_cast<int>(s.size()), &r,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc_, old);
    return r.bottom - r.top;
}

TNVSize TGdiMeasure::CheckMarkSize() const {
    return {GetSystemMetrics(SM_CXMENUCHECK), GetSystemMetrics(SM_CYMENUCHECK)};
}

int32_t TGdiMeasure::ScreenHeight() const {
    return GetSystemMetrics(SM_CYSCREEN);
}

RECT TFormWindow::RingRect(HWND child) const {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&r), 2);
    InflateRect(&r, 3, 3);
    return r;
}

void TFormWindow::Paint(HDC target) {
    RECT client;
    GetClientRect(window_, &client);
    HDC dc = CreateCompatibleDC(target);
    HBITMAP bitmap = CreateCompatibleBitmap(target, client.right, client.bottom);
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);

    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    Fill(dc, client, Lighten(face, 8));
    const TNVRect& c = form_.items[kContinueIndex]->rect;
    const RECT panel = {8, 25, client.right - 9, c.y - 10};
    Fill(dc, panel, face);
    DottedFrame(dc, panel, 2, Darken(face, 16));

    // Heading.
    HGDIOBJ oldFont = SelectObject(dc, gdi_.heading);
    RECT heading = {11, 6, client.right - 19 * form_.formCount - 8, 25};
    DrawHaloText(dc, form_.message, heading,
                 DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS,
                 GetSysColor(COLOR_3DDKSHADOW), RGB(255, 255, 255));

    // Step indicator: 1 ... count, the current one on a tile.
    SelectObject(dc, gdi_.indicator);
    for (int i = 1; i <= form_.formCount; ++i) {
        const int right = client.right - 3 - 19 * (form_.formCount - i);
        RECT tile = {right - 20, 2, right, 22};
        const std::string number = std::to_string(i);
        if (i == form_.formNumber) {
            const COLORREF base = GetSysColor(COLOR_WINDOW);
            for (int row = 1; row < 19; ++row) {
                const RECT line = {tile.left + 1, tile.top + row, tile.right - 1,
                                   tile.top + row + 1};
                Fill(dc, line, Darken(base, 2 * row));
            }
            Frame(dc, tile, GetSysColor(COLOR_BTNSHADOW));
            DrawHaloText(dc, number, tile, DT_CENTER | DT_VCENTER | DT_SINGLELINE,
                         GetSysColor(COLOR_WINDOWTEXT), RGB(255, 255, 255));
        } else {
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, GetSysColor(COLOR_BTNSHADOW));
            DrawTextA(dc, number.c_str(), -1, &tile, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        }
    }

    // Labels and images.
    SelectObject(dc, gdi_.item);
    SetBkMode(dc, TRANSPARENT);
    for (const auto& item : form_.items) {
        const TNVRect& r = item->rect;
        RECT rect = {r.x, r.y, r.x + r.width, r.y + r.height};
        if (item->Kind() == TNVItemKind::Label) {
            SetTextColor(dc, GetSysColor(item->Usable() ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
            DrawTextA(dc, item->caption.c_str(), -1, &rect, DT_LEFT | DT_WORDBREAK | DT_NOPREFIX);
        } else if (item->Kind() == TNVItemKind::Image) {
            PaintImage(dc, static_cast<TNVImage&>(*item));
        }
    }

    // The focus ring around the focused edit or button.
    HWND focus = GetFocus();
    if (TNVItem* f = ItemOf(focus); f && f->Kind() != TNVItemKind::CheckBox) {
        RECT ring = RingRect(focus);
        Frame(dc, ring, GetSysColor(COLOR_HIGHLIGHT));
        InflateRect(&ring, -1, -1);
        Frame(dc, ring, Lighten(GetSysColor(COLOR_HIGHLIGHT), 80));
        InflateRect(&ring, -1, -1);
        Frame(dc, ring, Lighten(GetSysColor(COLOR_HIGHLIGHT), 160));
    }

    SelectObject(dc, oldFont);
    BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    SelectObject(dc, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

void TFormWindow::PaintImage(HDC dc, TNVImage& image) {
    const TNVRect& r = image.rect;
    int inset = image.clickable ? 3 : 0;
    if (image.border) {
        RECT frame = {r.x + inset, r.y + inset, r.x + r.width - inset, r.y + r.height - inset};
        Frame(dc, frame, GetSysColor(COLOR_BTNSHADOW));
        ++inset;
    }
    // A picture set after the layout is fitted into the room the layout gave.
    if (!image.shown) {
        const int w = r.width - 2 * inset, h = r.height - 2 * inset;
        if (PNVBitmap source = image.Source(); source && w > 0 && h > 0)
            image.shown = source->ScaledCopy(w, h);
    }
    if (image.shown) image.shown->PaintTo(dc, r.x + inset, r.y + inset);
}

void TFormWindow::DrawItem(const DRAWITEMSTRUCT& draw) {
    TNVItem* item = ItemOf(draw.hwndItem);
    if (!item) return;
    if (item->Kind() == TNVItemKind::CheckBox)
        DrawCheckBox(draw, static_cast<TNVCheckBox&>(*item));
    else if (item->Kind() == TNVItemKind::Button)
        DrawStandardButton(draw, static_cast<TNVButton&>(*item));
}

void TFormWindow::DrawStandardButton(const DRAWITEMSTRUCT& draw, TNVButton& button) {
    HDC dc = draw.hDC;
    RECT r = draw.rcItem;
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const COLORREF tint = Tint(button.index);
    const bool disabled = (draw.itemState & ODS_DISABLED) != 0;
    const bool focused = (draw.itemState & ODS_FOCUS) != 0;
    const bool pressed = (draw.itemState & ODS_SELECTED) != 0;
    HGDIOBJ old = SelectObject(dc, button.index <= kCancelIndex ? gdi_.button : gdi_.item);
    const UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
    Frame(dc, r, GetSysColor(COLOR_BTNSHADOW));
    RECT inner = r;
    InflateRect(&inner, -1, -1);
    if (disabled) {
        Fill(dc, inner, Lighten(face, 12));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, Darken(face, 20));
        DrawTextA(dc, button.caption.c_str(), -1, &inner, format);
    } else if (focused || pressed) {
        Gradient(dc, inner, Darken(tint, pressed ? 70 : 40), Darken(tint, pressed ? 30 : 90));
        RECT dots = r;
        InflateRect(&dots, -3, -3);
        DottedFrame(dc, dots, 1, tint);
        if (pressed) OffsetRect(&inner, 1, 1);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(255, 255, 255));
        DrawTextA(dc, button.caption.c_str(), -1, &inner, format);
    } else {
        Gradient(dc, inner, Lighten(tint, 90), Lighten(tint, 30));
        DrawHaloText(dc, button.caption, inner, format, RGB(0, 0, 0), RGB(255, 255, 255));
    }
    SelectObject(dc, old);
}

void TFormWindow::DrawCheckBox(const DRAWITEMSTRUCT& draw, TNVCheckBox& check) {
    HDC dc = draw.hDC;
    const RECT r = draw.rcItem;
    Fill(dc, r, GetSysColor(COLOR_BTNFACE));
    const int box = 13;
    const int top = r.top + (r.bottom - r.top - box) / 2;
    RECT square = {r.left, top, r.left + box, top + box};
    Fill(dc, square, GetSysColor(COLOR_WINDOW));
    Frame(dc, square, GetSysColor(COLOR_BTNSHADOW));
    const bool disabled = (draw.itemState & ODS_DISABLED) != 0;
    SetBkMode(dc, TRANSPARENT);
    const COLORREF mark = GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT);
    if (check.checked && gdi_.haveMarlett) {
        HGDIOBJ old = SelectObject(dc, gdi_.marlett);
        SetTextColor(dc, mark);
        DrawTextA(dc, "a", 1, &square, DT_CENTER | DT_VCENTER | DT_SINGLELINE); // the tick
        SelectObject(dc, old);
    } else if (check.checked) {
        // Without the symbol font the same tick, three pixels thick.
        for (int i = 0; i < 7; ++i) {
            const int x = square.left + 3 + i;
            const int y = square.top + (i <= 2 ? 5 + i : 9 - i);
            const RECT stroke = {x, y, x + 1, y + 3};
            Fill(dc, stroke, mark);
        }
    }
    HGDIOBJ old = SelectObject(dc, gdi_.item);
    RECT text = {square.right + 4, r.top, r.right, r.bottom};
    SetTextColor(dc, GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
    DrawTextA(dc, check.caption.c_str(), -1, &text,
              DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    if (draw.itemState & ODS_FOCUS) {
        RECT f = text;
        DrawTextA(dc, check.caption.c_str(), -1, &f, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        f.top = r.top;
        f.bottom = r.bottom;
        // Clear of the letters, inside the control.
        f.left -= 2;
        f.right = std::min<LONG>(f.right + 2, r.right);
        DrawFocusRect(dc, &f);
    }
    SelectObject(dc, old);
}

} // namespace qix
