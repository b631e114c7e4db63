#include "framework/ExtCtrls.h"

#include "framework/Forms.h"

namespace fw {

namespace {
const char* const kTimerClass = "FwTimerWindow";
}

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.lpfnWndProc = &TTimer::WndProc;
    wc.hInstance = instance;
    wc.lpszClassName = kTimerClass;
    RegisterClassA(&wc); // fails harmlessly once registered
    window_ = CreateWindowExA(0, kTimerClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                              nullptr);
    SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TTimer::~TTimer() {
    KillTimer(window_, 1);
    DestroyWindow(window_);
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    Update();
}

void TTimer::SetInterval(unsigned interval) {
    if (interval == interval_) return;
    interval_ = interval;
    Update();
}

void TTimer::Update() {
    KillTimer(window_, 1);
    if (enabled_ && interval_ > 0) SetTimer(window_, 1, interval_, nullptr);
}

LRESULT CALLBACK TTimer::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_TIMER) {
        auto* timer = reinterpret_cast<TTimer*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (timer && timer->OnTimer) Dispatch([&] { timer->OnTimer(timer); });
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

} // namespace fw
