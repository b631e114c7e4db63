// The form window: its class, the item controls, the modal loop with its key rules.
#include "crashreport/ui/qixNVAssistantWin.h"

#include <windowsx.h>

#include <algorithm>

namespace qix {
namespace {

const char kFormClass[] = "qixNVAssistantWnd";

// Control ids: the item index plus this.
constexpr int kIdBase = 100;

std::string WindowText(HWND w) {
    const int n = GetWindowTextLengthA(w);
    std::string text(static_cast<size_t>(std::max(n, 0)) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(w, text.data(), n + 1)));
    return text;
}

bool IsStandardButton(const TNVItem& item) {
    return item.index <= kCancelIndex;
}

class THeldOwner {
public:
    explicit THeldOwner(HWND owner) : owner_(owner) {
        if (owner_ && IsWindowEnabled(owner_))
            EnableWindow(owner_, FALSE);
        else
            owner_ = nullptr;
    }
    ~THeldOwner() {
        if (owner_) EnableWindow(owner_, TRUE);
    }
    THeldOwner(const THeldOwner&) = delete;
    THeldOwner& operator=(const THeldOwner&) = delete;

private:
    HWND owner_;
};

} // namespace

TFormWindow::TFormWindow(TNVForm& form, HWND owner) : form_(form), owner_(owner) {}

TFormWindow::~TFormWindow() {
    form_.view = nullptr;
    if (window_) DestroyWindow(window_);
    for (auto& item : form_.items)
        item->handle = nullptr;
}

LRESULT CALLBACK TFormWindow::Entry(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<TFormWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->window_ = window;
    }
    auto* self = reinterpret_cast<TFormWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self) return DefWindowProcA(window, message, wParam, lParam);
    return self->WindowProc(message, wParam, lParam);
}

bool TFormWindow::Create() {
    WNDCLASSA cls = {};
    cls.lpfnWndProc = Entry;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
    cls.lpszClassName = kFormClass;
    WNDCLASSA existing;
    if (!GetClassInfoA(cls.hInstance, kFormClass, &existing) && !RegisterClassA(&cls)) return false;

    TGdiMeasure measure(gdi_);
    LayoutForm(form_, measure);
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_DLGMODALFRAME;
    RECT r = {0, 0, form_.width, form_.height};
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
    const int w = r.right - r.left, h = r.bottom - r.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
    CreateWindowExA(exStyle, kFormClass, form_.title.c_str(), style, x, y, w, h, owner_, nullptr,
                    cls.hInstance, this);
    if (!window_) return false;
    form_.window = window_;
    if (HMENU menu = GetSystemMenu(window_, FALSE)) {
        for (UINT id : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE})
            DeleteMenu(menu, id, MF_BYCOMMAND);
    }
    CreateItems();
    form_.view = this;
    form_.UpdateContinue();
    return true;
}

void TFormWindow::CreateItems() {
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    for (auto& item : form_.items) {
        const char* cls = nullptr;
        DWORD style = WS_CHILD | WS_VISIBLE;
        DWORD exStyle = 0;
        switch (item->Kind()) {
        case TNVItemKind::Button: {
            const auto& b = static_cast<const TNVButton&>(*item);
            if (!b.visible) continue;
            cls = "BUTTON";
            style |= b.noOwnerDraw ? BS_PUSHBUTTON : BS_OWNERDRAW;
            break;
        }
        case TNVItemKind::CheckBox:
            cls = "BUTTON";
            style |= BS_OWNERDRAW;
            break;
        case TNVItemKind::Edit: {
            const auto& e = static_cast<const TNVEdit&>(*item);
            cls = "EDIT";
            exStyle = WS_EX_CLIENTEDGE;
            style |= e.MultiLine() ? ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | WS_VSCROLL
                                   : ES_AUTOHSCROLL;
            break;
        }
        default: // labels and images are painted by the form
            continue;
        }
        if (item->tabStop) style |= WS_TABSTOP;
        const TNVRect& r = item->rect;
        HWND child = CreateWindowExA(
            exStyle, cls, item->caption.c_str(), style, r.x, r.y, r.width, r.height, window_,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdBase + item->index)), instance,
            nullptr);
        if (!child) continue;
        item->handle = child;
        const bool plain =
            item->Kind() == TNVItemKind::Button && static_cast<const TNVButton&>(*item).noOwnerDraw;
        HFONT font = IsStandardButton(*item) && !plain ? gdi_.button : gdi_.item;
        SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        EnableWindow(child, item->Usable());
    }
}

TNVItem* TFormWindow::ItemOf(HWND child) const {
    if (!child) return nullptr;
    for (const auto& item : form_.items)
        if (item->handle == child) return item.get();
    return nullptr;
}

TNVItem* TFormWindow::ImageAt(POINT p) const {
    for (const auto& item : form_.items) {
        if (item->Kind() != TNVItemKind::Image) continue;
        const TNVRect& r = item->rect;
        if (p.x >= r.x && p.x < r.x + r.width && p.y >= r.y && p.y < r.y + r.height)
            return item.get();
    }
    return nullptr;
}

void TFormWindow::ItemChanged(TNVItem& item) {
    if (!window_) return;
    if (HWND h = static_cast<HWND>(item.handle)) {
        // Only a real change: an edit's own notification would come back otherwise.
        if (item.Kind() != TNVItemKind::CheckBox && WindowText(h) != item.caption)
            SetWindowTextA(h, item.caption.c_str());
        if (static_cast<bool>(IsWindowEnabled(h)) != item.Usable()) {
            if (!item.Usable() && GetFocus() == h) {
                if (TNVItem* next = form_.NextFocusable(&item, false); next && next != &item)
                    SetFocus(static_cast<HWND>(next->handle));
            }
            EnableWindow(h, item.Usable());
        }
        InvalidateRect(h, nullptr, TRUE);
    } else {
        const TNVRect& r = item.rect;
        RECT rect = {r.x, r.y, r.x + r.width, r.y + r.height};
        InvalidateRect(window_, &rect, FALSE);
    }
}

void TFormWindow::FocusItem(TNVItem& item) {
    if (item.handle) SetFocus(static_cast<HWND>(item.handle));
}

void TFormWindow::FocusChanged() {
    HWND now = GetFocus();
    if (now == focused_) return;
    for (HWND h : {focused_, now}) {
        if (!h || GetParent(h) != window_) continue;
        RECT ring = RingRect(h);
        InvalidateRect(window_, &ring, FALSE);
    }
    focused_ = now;
}

void TFormWindow::Finish(uint8_t result) {
    if (done_) return;
    done_ = true;
    KillTimer(window_, kFormTimerId);
    if (result == kResultContinue) {
        for (auto& item : form_.items)
            if (item->Kind() == TNVItemKind::Edit && item->handle)
                item->caption = WindowText(static_cast<HWND>(item->handle));
    }
    form_.Close(result);
    form_.view = nullptr;
    form_.Fire(kFormClosed, nullptr);
    // Re-enable the owner first, so activation goes back to it and not elsewhere.
    if (ownerDisabled_ && owner_) {
        EnableWindow(owner_, TRUE);
        ownerDisabled_ = false;
    }
    DestroyWindow(window_);
    window_ = nullptr;
    form_.window = nullptr;
    for (auto& item : form_.items)
        item->handle = nullptr;
}

void TFormWindow::OnCommand(HWND child, int code) {
    TNVItem* item = ItemOf(child);
    if (!item) return;
    if (item->Kind() == TNVItemKind::Edit) {
        if (code != EN_CHANGE) return;
        item->caption = WindowText(child);
        form_.Fire(kItemEvent, item);
        form_.UpdateContinue();
        InvalidateRect(child, nullptr, TRUE);
        return;
    }
    if (code != BN_CLICKED || !item->Usable()) return;
    if (item->index <= kCancelIndex) {
        Finish(static_cast<uint8_t>(item->index + 1)); // continue 1, skip 2, cancel 3
    } else if (item->Kind() == TNVItemKind::CheckBox) {
        auto& check = static_cast<TNVCheckBox&>(*item);
        check.SetChecked(!check.checked);
        form_.Fire(kItemEvent, item);
    } else {
        form_.Fire(kItemEvent, item);
    }
}

LRESULT TFormWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window_, &ps);
        Paint(dc);
        EndPaint(window_, &ps);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1; // painted whole, off-screen
    case WM_COMMAND:
        OnCommand(reinterpret_cast<HWND>(lParam), HIWORD(wParam));
        return 0;
    case WM_DRAWITEM:
        DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_CTLCOLOREDIT: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        const TNVItem* item = ItemOf(reinterpret_cast<HWND>(lParam));
        COLORREF color = RGB(0, 0, 0);
        if (item && item->Kind() == TNVItemKind::Edit) {
            const auto& e = static_cast<const TNVEdit&>(*item);
            if (e.colored) color = e.valid ? RGB(0, 128, 0) : RGB(128, 0, 0);
        }
        SetTextColor(dc, color);
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(gdi_.window);
    }
    case WM_TIMER:
        if (wParam == kFormTimerId) form_.Fire(kItemEvent, nullptr);
        return 0;
    case WM_SETCURSOR: {
        POINT p;
        GetCursorPos(&p);
        ScreenToClient(window_, &p);
        if (reinterpret_cast<HWND>(wParam) == window_ && LOWORD(lParam) == HTCLIENT) {
            TNVItem* image = ImageAt(p);
            if (image && static_cast<TNVImage*>(image)->clickable) {
                SetCursor(LoadCursor(nullptr, IDC_HAND));
                return TRUE;
            }
        }
        break;
    }
    case WM_LBUTTONDOWN: {
        const POINT p = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        auto* image = static_cast<TNVImage*>(ImageAt(p));
        if (image && image->clickable && image->Usable()) {
            pressed_ = image;
            SetCapture(window_);
        }
        return 0;
    }
    case WM_LBUTTONUP: {
        const POINT p = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        TNVImage* pressed = pressed_;
        pressed_ = nullptr;
        if (GetCapture() == window_) ReleaseCapture();
        if (pressed && ImageAt(p) == pressed) form_.Fire(kItemEvent, pressed);
        return 0;
    }
    case WM_CAPTURECHANGED:
        pressed_ = nullptr;
        return 0;
    case WM_CLOSE:
        Finish(kResultCancel);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(window_, message, wParam, lParam);
}

// The key rules of the form; true when the message is used up.
bool TFormWindow::PreTranslate(MSG& msg) {
    if (msg.message != WM_KEYDOWN || (msg.hwnd != window_ && !IsChild(window_, msg.hwnd)))
        return false;
    TNVItem* current = ItemOf(GetFocus());
    switch (msg.wParam) {
    case VK_ESCAPE:
        if (form_.items[kCancelIndex]->Usable() &&
            static_cast<const TNVButton&>(*form_.items[kCancelIndex]).visible)
            Finish(kResultCancel);
        return true;
    case VK_TAB: {
        const bool back = GetKeyState(VK_SHIFT) < 0;
        if (TNVItem* next = form_.NextFocusable(current, back))
            SetFocus(static_cast<HWND>(next->handle));
        return true;
    }
    case VK_RETURN: {
        if (!current) return false;
        if (current->Kind() == TNVItemKind::Button) {
            OnCommand(static_cast<HWND>(current->handle), BN_CLICKED);
            return true;
        }
        if (current->Kind() == TNVItemKind::Edit && static_cast<TNVEdit*>(current)->MultiLine())
            return false;
        if (TNVItem* next = form_.NextFocusable(current, false))
            SetFocus(static_cast<HWND>(next->handle));
        return true;
    }
    default:
        return false;
    }
}

uint8_t TFormWindow::Run() {
    if (owner_ && IsWindowEnabled(owner_)) {
        EnableWindow(owner_, FALSE);
        ownerDisabled_ = true;
    }
    if (!Create()) {
        Finish(kResultCancel);
        return kResultCancel;
    }
    TNVItem* first = form_.FirstFocus();
    form_.Fire(kFormShown, nullptr);
    if (!done_) {
        ShowWindow(window_, SW_SHOW);
        SetForegroundWindow(window_);
        if (first && first->handle) SetFocus(static_cast<HWND>(first->handle));
        if (form_.timerInterval > 0)
            SetTimer(window_, kFormTimerId, static_cast<UINT>(form_.timerInterval), nullptr);
    }
    MSG msg;
    while (!done_) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam)); // for the outer loop
            Finish(kResultCancel);
            break;
        }
        if (!PreTranslate(msg) && !(window_ && IsDialogMessageA(window_, &msg))) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (window_) FocusChanged();
    }
    if (ownerDisabled_ && owner_) EnableWindow(owner_, TRUE);
    ownerDisabled_ = false;
    if (owner_) SetActiveWindow(owner_);
    return form_.modalResult;
}

uint8_t ShowFormWindow(TNVForm& form, TWindowHandle owner) {
    TFormWindow window(form, static_cast<HWND>(owner));
    return window.Run();
}

std::shared_ptr<void> HoldOwnerDisabled(TWindowHandle owner) {
    return std::make_shared<THeldOwner>(static_cast<HWND>(owner));
}

} // namespace qix
