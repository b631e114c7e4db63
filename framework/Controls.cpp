#include "framework/Controls.h"

#include "framework/Exceptions.h"
#include "framework/Forms.h"

#include <algorithm>
#include <vector>

namespace fw {

namespace {
const char* const kControlProp = "fw.Control";

void EraseFrom(std::vector<TControl*>& v, TControl* c) {
    v.erase(std::remove(v.begin(), v.end(), c), v.end());
}
} // namespace

TControl::TControl(TComponent* owner) : TComponent(owner) {}

TControl::~TControl() {
    if (parent_) parent_->RemoveControl(this);
}

void TControl::SetParent(TWinControl* parent) {
    if (parent == parent_) return;
    if (parent_) parent_->RemoveControl(this);
    parent_ = parent;
    if (parent_) parent_->InsertControl(this);
}

void TControl::SetBounds(int left, int top, int width, int height) {
    InvalidateOnParent();
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    InvalidateOnParent();
}

void TControl::SetVisible(bool visible) {
    if (visible == visible_) return;
    VisibleChanging(visible);
    visible_ = visible;
    ApplyVisible();
    InvalidateOnParent();
}

void TControl::InvalidateOnParent() {
    if (IsWindowed() || !parent_ || !parent_->HandleAllocated()) return;
    RECT r{left_, top_, left_ + width_, top_ + height_};
    InvalidateRect(parent_->Handle(), &r, TRUE);
}

TWinControl::TWinControl(TComponent* owner) : TControl(owner) {}

TWinControl::~TWinControl() {
    DestroyHandle();
}

TWinControl* TWinControl::FromHandle(HWND hwnd) {
    return hwnd ? static_cast<TWinControl*>(GetPropA(hwnd, kControlProp)) : nullptr;
}

HWND TWinControl::Handle() {
    if (!handle_) CreateHandle();
    return handle_;
}

HWND TWinControl::ParentHandleForCreate() {
    return parent_ ? parent_->Handle() : nullptr;
}

void TWinControl::CreateHandle() {
    TCreateParams params;
    CreateParams(params);
    HWND parent = ParentHandleForCreate();
    DWORD style = params.style;
    if (parent_) style |= WS_CHILD;
    if (visible_ && parent_) style |= WS_VISIBLE;
    handle_ = CreateWindowExA(params.exStyle, params.className, Text().c_str(), style, left_, top_,
                              width_, height_, parent, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!handle_) throw Exception("Error creating window");
    if (!parent_) {
        // A top-level window may have asked for the system's default position.
        RECT r{};
        GetWindowRect(handle_, &r);
        left_ = r.left;
        top_ = r.top;
    }
    SetPropA(handle_, kControlProp, this);
    oldProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(handle_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProc)));
    if (Application && Application->DefaultFont())
        SendMessageA(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(Application->DefaultFont()), 0);
}

void TWinControl::DestroyHandle() {
    if (!handle_) return;
    HWND h = handle_;
    handle_ = nullptr;
    SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(oldProc_));
    RemovePropA(h, kControlProp);
    DestroyWindow(h);
}

LRESULT CALLBACK TWinControl::SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    TWinControl* control = FromHandle(hwnd);
    if (!control) return DefWindowProcA(hwnd, msg, wParam, lParam);
    LRESULT result = 0;
    bool handled = false;
    try {
        result = control->WndProc(msg, wParam, lParam);
        handled = true;
    } catch (const std::exception& e) {
        if (Application) Application->HandleException(e);
    }
    return handled ? result : 0;
}

LRESULT TWinControl::DefaultHandler(UINT msg, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcA(oldProc_, handle_, msg, wParam, lParam);
}

LRESULT TWinControl::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_COMMAND:
        if (auto* child = FromHandle(reinterpret_cast<HWND>(lParam)); child && child != this) {
            child->CommandNotify(HIWORD(wParam));
            return 0;
        }
        break;
    case WM_NOTIFY: {
        auto* hdr = reinterpret_cast<NMHDR*>(lParam);
        if (auto* child = FromHandle(hdr->hwndFrom); child && child != this)
            return child->Notify(hdr);
        break;
    }
    case WM_PAINT:
        if (!controls_.empty()) {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(handle_, &ps);
            HGDIOBJ oldFont = nullptr;
            if (Application && Application->DefaultFont())
                oldFont = SelectObject(dc, Application->DefaultFont());
            for (TControl* c : controls_)
                if (c->Visible()) c->Paint(dc);
            if (oldFont) SelectObject(dc, oldFont);
            EndPaint(handle_, &ps);
            return 0;
        }
        break;
    }
    return DefaultHandler(msg, wParam, lParam);
}

void TWinControl::SetParent(TWinControl* parent) {
    TControl::SetParent(parent);
    if (parent_ && parent_->HandleAllocated()) {
        if (!handle_)
            CreateHandle();
        else
            ::SetParent(handle_, parent_->Handle());
    }
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    if (handle_) MoveWindow(handle_, left, top, width, height, TRUE);
}

std::string TWinControl::Text() const {
    if (!handle_) return {};
    int n = GetWindowTextLengthA(handle_);
    std::string s(static_cast<size_t>(n) + 1, '\0');
    n = GetWindowTextA(handle_, s.data(), n + 1);
    s.resize(static_cast<size_t>(std::max(n, 0)));
    return s;
}

void TWinControl::SetText(const std::string& text) {
    HWND h = Handle();
    if (Text() == text) return;
    SetWindowTextA(h, text.c_str());
}

void TWinControl::SetFocus() {
    ::SetFocus(Handle());
}

std::vector<TControl*> TWinControl::ChildControls() const {
    std::vector<TControl*> all(controls_);
    all.insert(all.end(), winControls_.begin(), winControls_.end());
    return all;
}

void TWinControl::InsertControl(TControl* control) {
    (control->IsWindowed() ? winControls_ : controls_).push_back(control);
}

void TWinControl::RemoveControl(TControl* control) {
    EraseFrom(controls_, control);
    EraseFrom(winControls_, control);
}

void TWinControl::AddExStyle(DWORD exStyle) {
    HWND h = Handle();
    const auto old = static_cast<DWORD>(GetWindowLongPtrA(h, GWL_EXSTYLE));
    if ((old & exStyle) != exStyle) SetWindowLongPtrA(h, GWL_EXSTYLE, old | exStyle);
}

void TWinControl::AddStyle(DWORD style) {
    HWND h = Handle();
    const auto old = static_cast<DWORD>(GetWindowLongPtrA(h, GWL_STYLE));
    if ((old & style) != style) {
        SetWindowLongPtrA(h, GWL_STYLE, old | style);
        InvalidateRect(h, nullptr, TRUE);
    }
}

void TWinControl::ApplyVisible() {
    if (handle_) ShowWindow(handle_, visible_ ? SW_SHOW : SW_HIDE);
}

} // namespace fw
