// The progress window in raw Win32. It belongs to the thread that displays it; other threads
// only post to it, so a busy or blocked caller never waits on the window's thread, except
// for the close command of Dismiss, which must have happened when Dismiss returns.
#include "crashreport/ui/qixNVPrgrAlert.h"
#include "crashreport/ui/qixNVPrgrAlert_Model.h"

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace qix {
namespace {

constexpr char kClassName[] = "prgrAlertWndClass";
constexpr char kPleaseWait[] = "Please wait...";
// Posted to the window: show the stored caption and phase text (set from another thread).
constexpr UINT kRefreshTexts = WM_APP + 0x51;
constexpr LONG_PTR kDismissMark = 1; // in the window's user data: a close request is ours
constexpr UINT kCrossThreadCloseWaitMs = 10000;
constexpr int kAbortId = 101;

HINSTANCE OwnModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OwnModule), &module);
    return module;
}

// Registers the window class in the module holding this code, so that copies of the
// library in several modules each find their own procedure.
HINSTANCE RegisterAlertClass(WNDPROC procedure) {
    const HINSTANCE module = OwnModule();
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    WNDCLASSA wc{};
    wc.lpfnWndProc = procedure;
    wc.cbWndExtra = sizeof(LONG_PTR); // the object; user data holds the dismissal mark
    wc.hInstance = module;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    RegisterClassA(&wc); // a second registration fails harmlessly
    return module;
}

class TFont {
public:
    TFont() = default;
    ~TFont() {
        if (Handle) DeleteObject(Handle);
    }
    TFont(const TFont&) = delete;
    TFont& operator=(const TFont&) = delete;
    bool Create() {
        if (Handle) return true;
        Handle = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, "Tahoma");
        if (!Handle)
            Handle = CreateFontA(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                 OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                 DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
        return Handle != nullptr;
    }
    HFONT Get() const { return Handle; }

private:
    HFONT Handle = nullptr;
};

// A memory device context with the font selected, for measuring wrapped texts.
class TMeasureDc {
public:
    TMeasureDc() = default;
    ~TMeasureDc() {
        if (!Dc) return;
        if (Previous) SelectObject(Dc, Previous);
        DeleteDC(Dc);
    }
    TMeasureDc(const TMeasureDc&) = delete;
    TMeasureDc& operator=(const TMeasureDc&) = delete;
    bool Create(HFONT font) {
        if (Dc) return true;
        Dc = CreateCompatibleDC(nullptr);
        if (Dc && font) Previous = SelectObject(Dc, font);
        return Dc != nullptr;
    }
    SIZE Measure(const std::string& text) const {
        RECT r{0, 0, kAlertWrapWidth, 0};
        if (Dc)
            DrawTextA(Dc, text.c_str(), -1, &r,
                      DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
        return {r.right - r.left, r.bottom - r.top};
    }

private:
    HDC Dc = nullptr;
    HGDIOBJ Previous = nullptr;
};

class TIProgressAlert final : public IProgressAlert {
public:
    TIProgressAlert(std::string title, HMODULE iconModule, std::string iconName)
        : Title(std::move(title)), IconModule(iconModule), IconName(std::move(iconName)) {}
    ~TIProgressAlert() override { Dismiss(); }
    TIProgressAlert(const TIProgressAlert&) = delete;
    TIProgressAlert& operator=(const TIProgressAlert&) = delete;

    std::string GetCaption() override {
        std::lock_guard<std::mutex> guard(Lock);
        return Title;
    }
    void SetCaption(const std::string& caption) override {
        {
            std::lock_guard<std::mutex> guard(Lock);
            if (caption == Title) return;
            Title = caption;
        }
        ShowTexts();
    }
    int32_t GetProgress() override {
        std::lock_guard<std::mutex> guard(Lock);
        return Phases.Progress();
    }
    void SetProgress(int32_t perMille) override {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Phases.SetProgress(perMille);
        }
        ShowPosition();
    }
    void AddPhase(const std::string& text, uint64_t weight) override {
        std::lock_guard<std::mutex> guard(Lock);
        Phases.Add(text, weight);
    }
    void ClearPhases() override {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Phases.Clear();
        }
        ShowPosition();
    }
    void PhaseDone() override {
        int32_t next;
        {
            std::lock_guard<std::mutex> guard(Lock);
            next = Phases.Current() + 1;
        }
        SetPhase(next);
    }
    int32_t GetPhase() override {
        std::lock_guard<std::mutex> guard(Lock);
        return Phases.Current();
    }
    void SetPhase(int32_t n) override {
        {
            std::lock_guard<std::mutex> guard(Lock);
            if (!Phases.SetPhase(n)) return;
        }
        ShowTexts();
        ShowPosition();
    }
    void PumpMessages() override;
    bool Display(void* ownerWindow, bool activate) override;
    void Dismiss() override;
    void AllowAbort(const std::string& caption) override {
        std::lock_guard<std::mutex> guard(Lock);
        AbortCaption = caption;
    }
    bool Aborted() override { return AbortPressed; }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    bool OnWindowThread() const { return Window && GetCurrentThreadId() == WindowThread; }
    void ShowPosition();
    void ShowTexts();
    bool LoadIcon();
    void DrawIcon(const DRAWITEMSTRUCT& item) const;
    void CreateChildren(const TAlertLayout& layout, HINSTANCE module,
                        const std::string& abortCaption);
    void Place(const TAlertLayout& layout, bool activate);
    void Forget();

    // Guards everything below that another thread may touch: title and phases, and the
    // handles that decide between sending and posting.
    std::mutex Lock;
    std::string Title;
    HMODULE IconModule;
    std::string IconName;
    TProgressPhases Phases;
    HWND Window = nullptr;
    DWORD WindowThread = 0;
    HWND Owner = nullptr;
    HWND TextWindow = nullptr;
    HWND Bar = nullptr;
    HWND IconWindow = nullptr;
    HWND AbortButton = nullptr;
    std::string AbortCaption; // empty: no abort button
    std::atomic<bool> AbortPressed{false};
    std::atomic<bool> IconDrawing{false}; // Dismiss may clear it from another thread
    std::array<uint8_t, kAlertIconPixelBytes> IconPixels{};
    TFont Font;
    TMeasureDc MeasureDc;
};

void TIProgressAlert::PumpMessages() {
    if (!OnWindowThread()) return;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam)); // the caller's loop must see it
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void TIProgressAlert::ShowPosition() {
    int32_t position;
    HWND bar;
    {
        std::lock_guard<std::mutex> guard(Lock);
        position = Phases.Overall();
        bar = Bar;
    }
    if (!bar) return;
    if (OnWindowThread()) {
        SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
        PumpMessages();
    } else {
        PostMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }
}

void TIProgressAlert::ShowTexts() {
    std::string title, text;
    HWND window, textWindow;
    {
        std::lock_guard<std::mutex> guard(Lock);
        title = Title;
        text = Phases.CurrentText();
        window = Window;
        textWindow = TextWindow;
    }
    if (!window) return;
    if (!OnWindowThread()) {
        PostMessageA(window, kRefreshTexts, 0, 0);
        return;
    }
    SetWindowTextA(window, title.c_str());
    if (textWindow) SetWindowTextA(textWindow, text.c_str());
}

bool TIProgressAlert::LoadIcon() {
    if (IconName.empty()) return false;
    HRSRC info = FindResourceA(IconModule, IconName.c_str(), MAKEINTRESOURCEA(2)); // RT_BITMAP
    if (!info) return false;
    HGLOBAL data = LoadResource(IconModule, info);
    const auto* bytes = data ? static_cast<const uint8_t*>(LockResource(data)) : nullptr;
    const uint8_t* pixels = AlertIconPixels(bytes, SizeofResource(IconModule, info));
    if (!pixels) return false;
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    IconPixels = BlendAlertIcon(pixels, GetRValue(face), GetGValue(face), GetBValue(face));
    return true;
}

void TIProgressAlert::DrawIcon(const DRAWITEMSTRUCT& item) const {
    if (!IconDrawing) return;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = kAlertIconSide;
    info.bmiHeader.biHeight = kAlertIconSide; // bottom-up, as the resource stores it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(item.hDC, item.rcItem.left, item.rcItem.top, kAlertIconSide, kAlertIconSide,
                      0, 0, 0, kAlertIconSide, IconPixels.data(), &info, DIB_RGB_COLORS);
}

bool TIProgressAlert::Display(void* ownerWindow, bool activate) {
    std::vector<std::string> texts;
    std::string title, current, abortCaption;
    {
        std::lock_guard<std::mutex> guard(Lock);
        if (Window) return false;
        if (Phases.Count() == 0) Phases.Add(kPleaseWait, 1000);
        for (int32_t i = std::max(Phases.Current(), 0); i < Phases.Count(); ++i)
            texts.push_back(Phases.Items()[static_cast<size_t>(i)].Text);
        title = Title;
        current = Phases.CurrentText();
        abortCaption = AbortCaption;
    }
    Owner = static_cast<HWND>(ownerWindow);
    if (Owner && !IsWindow(Owner)) Owner = nullptr;
    if (Owner) EnableWindow(Owner, FALSE);

    const HINSTANCE module = RegisterAlertClass(WindowProc);
    HWND window =
        CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_DLGMODALFRAME, kClassName,
                        title.c_str(), WS_CAPTION, 0, 0, 0, 0, Owner, nullptr, module, nullptr);
    if (!window) {
        if (Owner) EnableWindow(Owner, TRUE);
        Owner = nullptr;
        return false;
    }
    SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(this));
    if (HMENU menu = GetSystemMenu(window, FALSE))
        for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE})
            DeleteMenu(menu, command, MF_BYCOMMAND);

    // Without a font or measuring context the texts measure empty: the minimum box.
    Font.Create();
    MeasureDc.Create(Font.Get());
    SIZE largest{0, 0};
    for (const std::string& text : texts) {
        const SIZE size = MeasureDc.Measure(text);
        largest = {std::max(largest.cx, size.cx), std::max(largest.cy, size.cy)};
    }
    IconDrawing = LoadIcon();
    const TAlertMetrics metrics{GetSystemMetrics(SM_CXDLGFRAME), GetSystemMetrics(SM_CYDLGFRAME),
                                GetSystemMetrics(SM_CYSMCAPTION), GetSystemMetrics(SM_CYHSCROLL)};
    TAlertLayout layout = LayoutAlert(largest.cx, largest.cy, IconDrawing, metrics);
    if (!abortCaption.empty()) AddAbortButton(layout, MeasureDc.Measure(abortCaption).cx);
    {
        std::lock_guard<std::mutex> guard(Lock);
        Window = window;
        WindowThread = GetCurrentThreadId();
    }
    CreateChildren(layout, module, abortCaption);
    SetWindowTextA(TextWindow, current.c_str());
    Place(layout, activate);
    ShowPosition();
    return true;
}

void TIProgressAlert::CreateChildren(const TAlertLayout& l, HINSTANCE module,
                                     const std::string& abortCaption) {
    const auto font = reinterpret_cast<WPARAM>(Font.Get());
    HWND icon = nullptr;
    if (IconDrawing)
        icon = CreateWindowExA(0, "Button", "", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_OWNERDRAW,
                               l.Icon.Left, l.Icon.Top, l.Icon.Width, l.Icon.Height, Window,
                               nullptr, module, nullptr);
    HWND text =
        CreateWindowExA(0, "Static", "", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, l.Text.Left,
                        l.Text.Top, l.Text.Width, l.Text.Height, Window, nullptr, module, nullptr);
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, l.Bar.Left, l.Bar.Top,
                               l.Bar.Width, l.Bar.Height, Window, nullptr, module, nullptr);
    HWND abort = nullptr;
    if (l.Abort.Width > 0)
        abort = CreateWindowExA(
            0, "Button", abortCaption.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
            l.Abort.Left, l.Abort.Top, l.Abort.Width, l.Abort.Height, Window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kAbortId)), module, nullptr);
    if (text && font) SendMessageA(text, WM_SETFONT, font, FALSE);
    if (abort && font) SendMessageA(abort, WM_SETFONT, font, FALSE);
    if (bar) SendMessageA(bar, PBM_SETRANGE32, 0, TProgressPhases::kFull);
    std::lock_guard<std::mutex> guard(Lock);
    IconWindow = icon;
    AbortButton = abort;
    TextWindow = text;
    Bar = bar;
}

void TIProgressAlert::Place(const TAlertLayout& l, bool activate) {
    const int w = l.WindowWidth, h = l.WindowHeight;
    if (activate) {
        const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
        const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
        SetWindowPos(Window, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
        ShowWindow(Window, SW_SHOWNORMAL);
        BringWindowToTop(Window);
        SetForegroundWindow(Window);
        return;
    }
    RECT area;
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0))
        area = {0, 0, GetSystemMetrics(SM_CXFULLSCREEN),
                GetSystemMetrics(SM_CYFULLSCREEN) + GetSystemMetrics(SM_CYCAPTION)};
    SetWindowPos(Window, nullptr, area.right - w - 2, area.bottom - h - 2, w, h,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
}

void TIProgressAlert::Forget() {
    std::lock_guard<std::mutex> guard(Lock);
    Window = nullptr;
    WindowThread = 0;
    TextWindow = Bar = IconWindow = AbortButton = nullptr;
}

void TIProgressAlert::Dismiss() {
    HWND window;
    {
        std::lock_guard<std::mutex> guard(Lock);
        window = Window;
    }
    if (!window) return;
    IconDrawing = false;
    if (OnWindowThread()) {
        DestroyWindow(window);
    } else if (IsWindow(window)) {
        // The window's thread may still hold messages for us: from now on they find no object.
        SetWindowLongPtrA(window, 0, 0);
        SetWindowLongPtrA(window, GWLP_USERDATA, kDismissMark);
        DWORD_PTR ignored;
        SendMessageTimeoutA(window, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_NORMAL,
                            kCrossThreadCloseWaitMs, &ignored);
    }
    Forget();
    if (Owner && IsWindow(Owner)) {
        EnableWindow(Owner, TRUE);
        if (GetWindowThreadProcessId(Owner, nullptr) == GetCurrentThreadId())
            SetActiveWindow(Owner);
        else
            SetForegroundWindow(Owner);
    }
    Owner = nullptr;
}

LRESULT CALLBACK TIProgressAlert::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<TIProgressAlert*>(GetWindowLongPtrA(hwnd, 0));
    const bool dismissing = GetWindowLongPtrA(hwnd, GWLP_USERDATA) == kDismissMark;
    switch (msg) {
    case WM_CLOSE:
        if (dismissing) DestroyWindow(hwnd);
        return 0; // title bar, Alt+F4 and strangers' close requests are ignored
    case WM_SYSCOMMAND:
        if ((wp & 0xFFF0) == SC_CLOSE && !dismissing) return 0;
        break;
    case WM_DRAWITEM:
        if (self && lp) {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
            if (item.hwndItem == self->IconWindow) {
                self->DrawIcon(item);
                return TRUE;
            }
        }
        break;
    case WM_COMMAND:
        if (self && LOWORD(wp) == kAbortId && HIWORD(wp) == BN_CLICKED) {
            self->AbortPressed = true;
            EnableWindow(reinterpret_cast<HWND>(lp), FALSE); // once is enough
            return 0;
        }
        break;
    case kRefreshTexts:
        if (self) self->ShowTexts();
        return 0;
    case WM_NCDESTROY:
        if (self) self->Forget(); // destroyed by us or by the end of its thread
        break;
    default:
        break;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

} // namespace

PProgressAlert CreateProgressAlert(const std::string& title, void* iconModule,
                                   const std::string& iconName) {
    return std::make_shared<TIProgressAlert>(title, static_cast<HMODULE>(iconModule), iconName);
}

} // namespace qix
