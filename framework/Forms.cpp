#include "framework/Forms.h"

#include "framework/Exceptions.h"

#include <commctrl.h>

namespace fw {

TApplication* Application = nullptr;

namespace {
const char* const kFormClass = "FwForm";
const char* const kAppClass = "FwApplication";

void RegisterClasses(HINSTANCE instance, HICON icon) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = instance;
    wc.hIcon = icon;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kFormClass;
    RegisterClassA(&wc);
    wc.lpszClassName = kAppClass;
    RegisterClassA(&wc);
}
} // namespace

// ---- TForm ----

TForm::TForm(TComponent* owner) : TWinControl(owner) {
    visible_ = false;
    left_ = top_ = static_cast<int>(CW_USEDEFAULT);
}

TForm::~TForm() {
    if (OnDestroy) Dispatch([&] { OnDestroy(this); });
    // Components go while the window still exists, so they can still tidy up.
    DestroyComponents();
    if (Application) Application->FormDestroyed(this);
}

HWND TForm::ParentHandleForCreate() {
    return Application ? Application->Handle() : nullptr;
}

void TForm::CreateParams(TCreateParams& params) {
    params.className = kFormClass;
    // Overlapped, not pop-up: only overlapped windows get the system's default position.
    params.style = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    params.exStyle = toolWindow_ ? WS_EX_TOOLWINDOW : WS_EX_APPWINDOW;
    if (width_ == 0) width_ = 200;
    if (height_ == 0) height_ = 150;
}

void TForm::SetClientSize(int width, int height) {
    HWND h = Handle();
    RECT r{0, 0, width, height};
    AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongPtrA(h, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrA(h, GWL_EXSTYLE)));
    width_ = r.right - r.left;
    height_ = r.bottom - r.top;
    SetWindowPos(h, nullptr, 0, 0, width_, height_, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int TForm::ClientWidth() {
    RECT r;
    GetClientRect(Handle(), &r);
    return r.right - r.left;
}

int TForm::ClientHeight() {
    RECT r;
    GetClientRect(Handle(), &r);
    return r.bottom - r.top;
}

void TForm::Show() {
    visible_ = true;
    ShowWindow(Handle(), SW_SHOW);
}

void TForm::Hide() {
    visible_ = false;
    ShowWindow(Handle(), SW_HIDE);
}

void TForm::BringToFront() {
    SetForegroundWindow(Handle());
}

void TForm::Close() {
    bool canClose = true;
    if (OnCloseQuery) OnCloseQuery(this, canClose);
    if (!canClose) return;
    // Only the main form ends the program; any other form just hides.
    TCloseAction action = (Application && Application->MainForm() == this) ? TCloseAction::caFree
                                                                           : TCloseAction::caHide;
    if (OnClose) OnClose(this, action);
    if (action == TCloseAction::caHide)
        Hide();
    else if (action == TCloseAction::caMinimize)
        ShowWindow(Handle(), SW_MINIMIZE);
    else if (action == TCloseAction::caFree && Application && Application->MainForm() == this)
        Application->Terminate();
}

void TForm::AfterConstruction() {
    if (OnCreate) Dispatch([&] { OnCreate(this); });
}

LRESULT TForm::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CLOSE) {
        Close();
        return 0;
    }
    return TWinControl::WndProc(msg, wParam, lParam);
}

// ---- TApplication ----

TApplication::TApplication() : TComponent(nullptr) {
    Application = this;
}

TApplication::~TApplication() {
    // Forms go last created first, while the application window still exists.
    DestroyComponents();
    if (handle_) DestroyWindow(handle_);
    if (font_) DeleteObject(font_);
    if (Application == this) Application = nullptr;
}

void TApplication::Initialize() {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    HINSTANCE instance = GetModuleHandleA(nullptr);
    icon_ = LoadIconA(instance, "MAINICON");
    if (!icon_) icon_ = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    RegisterClasses(instance, icon_);
    handle_ = CreateWindowExA(WS_EX_TOOLWINDOW, kAppClass, title_.c_str(), WS_POPUP, 0, 0, 0, 0,
                              nullptr, nullptr, instance, nullptr);
    font_ = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
}

void TApplication::SetTitle(const std::string& title) {
    title_ = title;
    if (handle_) SetWindowTextA(handle_, title_.c_str());
}

void TApplication::Deliver(MSG& msg) {
    // Timer ticks are the bulk of the traffic; they need no keyboard handling.
    if (msg.message != WM_TIMER) {
        HWND top = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        if (top && IsDialogMessageA(top, &msg)) return;
        TranslateMessage(&msg);
    }
    DispatchMessageA(&msg);
}

bool TApplication::ProcessMessage() {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        terminated_ = true;
        return true;
    }
    Deliver(msg);
    return true;
}

void TApplication::ProcessMessages() {
    while (ProcessMessage()) {
    }
}

void TApplication::Run() {
    if (ShowMainForm && mainForm_) mainForm_->Show();
    // One blocking call per message keeps the idle cost down.
    MSG msg;
    while (!terminated_ && GetMessageA(&msg, nullptr, 0, 0) > 0)
        Deliver(msg);
    terminated_ = true;
}

void TApplication::Terminate() {
    if (!terminated_) PostQuitMessage(0);
    terminated_ = true;
}

void TApplication::Restore() {
    if (handle_ && IsIconic(handle_)) ShowWindow(handle_, SW_RESTORE);
}

void TApplication::BringToFront() {
    if (handle_) SetForegroundWindow(handle_);
}

void TApplication::HandleException(const std::exception& e) {
    if (OnException) {
        OnException(e.what());
        return;
    }
    HWND owner = GetActiveWindow();
    MessageBoxA(owner, e.what(), title_.c_str(), MB_OK | MB_ICONSTOP);
}

void TApplication::Beep() {
    if (OnBeep)
        OnBeep();
    else
        MessageBeep(0);
}

void TApplication::ShowMessage(const std::string& text) {
    MessageBoxA(GetActiveWindow(), text.c_str(), title_.c_str(), MB_OK);
}

void TApplication::FormDestroyed(TForm* form) {
    if (mainForm_ == form) mainForm_ = nullptr;
}

} // namespace fw
