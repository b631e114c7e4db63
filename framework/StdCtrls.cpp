#include "framework/StdCtrls.h"

#include "framework/Forms.h"

namespace fw {

void TLabel::SetCaption(const std::string& caption) {
    caption_ = caption;
    InvalidateOnParent();
}

// Labels grow with their text rather than cut it: fonts differ between systems.
void TLabel::Paint(HDC dc) {
    RECT r{left_, top_, left_ + width_, top_ + height_};
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    DrawTextA(dc, caption_.c_str(), static_cast<int>(caption_.size()), &r,
              DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
}

TShiftState KeyboardShiftState() {
    TShiftState s = 0;
    if (GetKeyState(VK_SHIFT) < 0) s |= ssShift;
    if (GetKeyState(VK_CONTROL) < 0) s |= ssCtrl;
    if (GetKeyState(VK_MENU) < 0) s |= ssAlt;
    return s;
}

TCustomEdit::TCustomEdit(TComponent* owner) : TWinControl(owner) {}

void TCustomEdit::CreateParams(TCreateParams& params) {
    params.className = "EDIT";
    params.style = WS_TABSTOP | ES_AUTOHSCROLL;
    params.exStyle = WS_EX_CLIENTEDGE;
}

int TCustomEdit::SelStart() {
    DWORD start = 0, end = 0;
    SendMessageA(Handle(), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    return static_cast<int>(start);
}

int TCustomEdit::SelLength() {
    DWORD start = 0, end = 0;
    SendMessageA(Handle(), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    return static_cast<int>(end - start);
}

void TCustomEdit::SetSelStart(int start) {
    SendMessageA(Handle(), EM_SETSEL, start, start);
}

void TCustomEdit::SetSelLength(int length) {
    int start = SelStart();
    SendMessageA(Handle(), EM_SETSEL, start, start + length);
}

void TCustomEdit::CommandNotify(WORD code) {
    if (code == EN_CHANGE && OnChange) Dispatch([&] { OnChange(this); });
}

LRESULT TCustomEdit::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_KEYDOWN:
        if (OnKeyDown) {
            WORD key = static_cast<WORD>(wParam);
            OnKeyDown(this, key, KeyboardShiftState());
            if (key == 0) return 0;
            wParam = key;
        }
        break;
    case WM_KILLFOCUS: {
        LRESULT r = DefaultHandler(msg, wParam, lParam);
        if (OnExit) OnExit(this);
        return r;
    }
    }
    return TWinControl::WndProc(msg, wParam, lParam);
}

} // namespace fw
