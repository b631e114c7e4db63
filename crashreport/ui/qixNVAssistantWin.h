// The window of one shown form, shared by its window, painting and handler files.
#pragma once

#include "crashreport/ui/qixNVAssistant_Layout.h"

#include <windows.h>

namespace qix {

constexpr UINT_PTR kFormTimerId = 777;

// GDI objects of a shown form, released with it.
struct TFormGdi {
    HFONT item = nullptr;      // "Tahoma" 11
    HFONT button = nullptr;    // "Arial" 15
    HFONT heading = nullptr;   // "Arial" 15 bold
    HFONT marlett = nullptr;   // check marks
    HFONT indicator = nullptr; // step numbers
    HBRUSH window = nullptr;   // edit background
    bool haveMarlett = false;  // else the tick is drawn with lines
    TFormGdi();
    ~TFormGdi();
    TFormGdi(const TFormGdi&) = delete;
    TFormGdi& operator=(const TFormGdi&) = delete;
};

// Text sizes as the form's fonts give them.
class TGdiMeasure final : public INVMeasure {
public:
    explicit TGdiMeasure(const TFormGdi& gdi);
    ~TGdiMeasure() override;
    TNVSize TextSize(TNVFont font, std::string_view text) const override;
    int32_t WrappedHeight(TNVFont font, std::string_view text, int32_t width) const override;
    TNVSize CheckMarkSize() const override;
    int32_t ScreenHeight() const override;

private:
    HFONT Font(TNVFont font) const;
    const TFormGdi& gdi_;
    HDC dc_;
};

class TFormWindow final : public INVFormView {
public:
    TFormWindow(TNVForm& form, HWND owner);
    ~TFormWindow() override;
    TFormWindow(const TFormWindow&) = delete;
    TFormWindow& operator=(const TFormWindow&) = delete;

    uint8_t Run();

    void ItemChanged(TNVItem& item) override;
    void FocusItem(TNVItem& item) override;

private:
    static LRESULT CALLBACK Entry(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    bool Create();
    void CreateItems();
    void Finish(uint8_t result);
    bool PreTranslate(MSG& msg);
    TNVItem* ItemOf(HWND child) const;
    TNVItem* ImageAt(POINT p) const;
    void OnCommand(HWND child, int code);
    void FocusChanged();

    // Painting (qixNVAssistant_PaintWin.cpp).
    void Paint(HDC dc);
    void PaintImage(HDC dc, TNVImage& image);
    void DrawItem(const DRAWITEMSTRUCT& draw);
    void DrawStandardButton(const DRAWITEMSTRUCT& draw, TNVButton& button);
    void DrawCheckBox(const DRAWITEMSTRUCT& draw, TNVCheckBox& check);
    RECT RingRect(HWND child) const;

    TNVForm& form_;
    HWND owner_;
    HWND window_ = nullptr;
    bool done_ = false;
    bool ownerDisabled_ = false;
    HWND focused_ = nullptr;
    TNVImage* pressed_ = nullptr;
    TFormGdi gdi_;
};

// Draws text with a one-pixel halo of another colour around it.
void DrawHaloText(HDC dc, const std::string& text, RECT rect, UINT format, COLORREF color,
                  COLORREF halo);
COLORREF Lighten(COLORREF color, int amount);

} // namespace qix
