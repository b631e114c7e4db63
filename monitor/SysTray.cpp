#include "monitor/SysTray.h"

#include "framework/Forms.h"

#include <cstring>

static_assert(sizeof(void*) != 4 || sizeof(TTrayIconData) == 488);

namespace {
const char* const kTrayWindowClass = "TSysTrayWindow";

bool IsOldShell() {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&v);
#pragma GCC diagnostic pop
    return v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion <= 3;
}

// An elevated program does not receive the shell's broadcast unless it lets it through;
// the call exists from Windows 7 on, so it is looked up rather than linked.
void AllowShellBroadcast(HWND window, UINT message) {
    using TFilter = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    HMODULE user32 = GetModuleHandleA("user32.dll");
    auto filter = user32 ? reinterpret_cast<TFilter>(reinterpret_cast<void*>(
                               GetProcAddress(user32, "ChangeWindowMessageFilterEx")))
                         : nullptr;
    if (filter) filter(window, message, 1 /* MSGFLT_ALLOW */, nullptr);
}
} // namespace

TSysTray::TSysTray(fw::TComponent* owner) : fw::TComponent(owner) {
    icon_.Width = GetSystemMetrics(SM_CXSMICON);
    icon_.Height = GetSystemMetrics(SM_CYSMICON);
    icon_.OnChange = [this] { TrayImageChanged(); };
    oldShell_ = IsOldShell();

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.lpfnWndProc = &TSysTray::HandleTrayMessage;
    wc.hInstance = instance;
    wc.lpszClassName = kTrayWindowClass;
    RegisterClassA(&wc);
    window_ = CreateWindowExA(WS_EX_TOOLWINDOW, kTrayWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr,
                              nullptr, instance, nullptr);
    SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    taskbarCreated_ = RegisterWindowMessageA("TaskbarCreated");
    if (taskbarCreated_) AllowShellBroadcast(window_, taskbarCreated_);

    data_.cbSize = 488;
    data_.hWnd = window_;
    // Unique per instance and non-negative as a signed 32-bit number.
    data_.uID = static_cast<UINT>(reinterpret_cast<uintptr_t>(this) & 0x7fffffffu);
    data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data_.uCallbackMessage = TrayCallbackMessage;
}

TSysTray::~TSysTray() {
    SetVisible(false);
    DestroyWindow(window_);
    icon_.OnChange = nullptr;
}

void TSysTray::ShellNotify(DWORD operation) {
    Shell_NotifyIconA(operation, reinterpret_cast<NOTIFYICONDATAA*>(&data_));
}

HICON TSysTray::CurrentIconHandle() const {
    if (!icon_.Empty()) return icon_.Handle();
    return fw::Application ? fw::Application->Icon() : LoadIconA(nullptr, IDI_APPLICATION);
}

void TSysTray::SetVisible(bool visible) {
    if (visible != visible_ && !oldShell_) {
        if (visible) {
            data_.hIcon = CurrentIconHandle();
            ShellNotify(NIM_ADD);
        } else {
            ShellNotify(NIM_DELETE);
        }
    }
    visible_ = visible;
}

TSysTrayHint TSysTray::Hint() const {
    return std::string(data_.szTip, strnlen(data_.szTip, 63));
}

void TSysTray::SetHint(const std::string& hint) {
    if (hint == Hint()) return;
    size_t n = std::min<size_t>(hint.size(), 127);
    std::memcpy(data_.szTip, hint.data(), n);
    data_.szTip[n] = '\0';
    if (!oldShell_) ShellNotify(NIM_MODIFY);
}

void TSysTray::SetIcon(const fw::TIcon& icon) {
    icon_.Assign(icon);
}

void TSysTray::TrayImageChanged() {
    data_.hIcon = CurrentIconHandle();
    ShellNotify(NIM_MODIFY);
}

void TSysTray::ShellRestarted() {
    if (!visible_ || oldShell_) return;
    data_.hIcon = CurrentIconHandle();
    ShellNotify(NIM_ADD); // with the current image and tip
}

void TSysTray::SetPopupMenu(fw::TPopupMenu* menu) {
    popupMenu_ = menu;
    if (menu) FreeNotification(menu);
}

void TSysTray::Notification(fw::TComponent* component, fw::TOperation operation) {
    fw::TComponent::Notification(component, operation);
    if (operation == fw::TOperation::opRemove && component == popupMenu_) popupMenu_ = nullptr;
}

void TSysTray::MouseDown(fw::TMouseButton button, fw::TShiftState shift, int x, int y) {
    if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
}
void TSysTray::MouseMove(fw::TShiftState shift, int x, int y) {
    if (OnMouseMove) OnMouseMove(this, shift, x, y);
}
void TSysTray::MouseUp(fw::TMouseButton button, fw::TShiftState shift, int x, int y) {
    if (OnMouseUp) OnMouseUp(this, button, shift, x, y);
}
void TSysTray::Click() {
    if (OnClick) OnClick(this);
}
void TSysTray::DblClick() {
    if (OnDblClick) OnDblClick(this);
}

void TSysTray::ShowPopup() {
    if (!popupMenu_ || !popupMenu_->AutoPopup) return;
    if (fw::Application) {
        fw::Application->BringToFront();
        fw::Application->ProcessMessages();
    }
    POINT p{};
    GetCursorPos(&p);
    popupMenu_->PopupComponent = this;
    popupMenu_->Popup(p.x, p.y);
}

void TSysTray::HandleMouse(WPARAM wParam, LPARAM lParam) {
    using fw::TMouseButton;
    // Read like a mouse message over a window; the values carry no cursor or key state.
    const WORD keys = LOWORD(wParam);
    fw::TShiftState shift = 0;
    if (keys & MK_SHIFT) shift |= fw::ssShift;
    if (keys & MK_CONTROL) shift |= fw::ssCtrl;
    if (keys & MK_LBUTTON) shift |= fw::ssLeft;
    if (keys & MK_RBUTTON) shift |= fw::ssRight;
    if (keys & MK_MBUTTON) shift |= fw::ssMiddle;
    const int x = static_cast<short>(LOWORD(lParam));
    const int y = static_cast<short>(HIWORD(lParam));
    switch (lParam) {
    case WM_MOUSEMOVE:
        MouseMove(shift, x, y);
        break;
    case WM_LBUTTONDOWN:
        MouseDown(TMouseButton::mbLeft, shift, x, y);
        break;
    case WM_LBUTTONUP:
        Click();
        MouseUp(TMouseButton::mbLeft, shift, x, y);
        break;
    case WM_LBUTTONDBLCLK:
        DblClick();
        MouseDown(TMouseButton::mbLeft, shift | fw::ssDouble, x, y);
        break;
    case WM_RBUTTONDOWN:
        MouseDown(TMouseButton::mbRight, shift, x, y);
        ShowPopup();
        break;
    case WM_RBUTTONUP:
        MouseUp(TMouseButton::mbRight, shift, x, y);
        break;
    case WM_RBUTTONDBLCLK:
        MouseDown(TMouseButton::mbRight, shift | fw::ssDouble, x, y);
        break;
    case WM_MBUTTONDOWN:
        MouseDown(TMouseButton::mbMiddle, shift, x, y);
        break;
    case WM_MBUTTONUP:
        MouseUp(TMouseButton::mbMiddle, shift, x, y);
        break;
    case WM_MBUTTONDBLCLK:
        MouseDown(TMouseButton::mbMiddle, shift | fw::ssDouble, x, y);
        break;
    default:
        break;
    }
}

LRESULT CALLBACK TSysTray::HandleTrayMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* tray = reinterpret_cast<TSysTray*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (tray && msg == TrayCallbackMessage) {
        if ((static_cast<UINT>(wParam) & 0x7fffffffu) == tray->data_.uID)
            fw::Dispatch([&] { tray->HandleMouse(wParam, lParam); });
        return 0;
    }
    if (tray && msg != 0 && msg == tray->taskbarCreated_) {
        fw::Dispatch([&] { tray->ShellRestarted(); });
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}
