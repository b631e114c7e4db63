#pragma once
// Timer component on a hidden window of its own.
#include "framework/Classes.h"

#include <windows.h>

namespace fw {

class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* owner);
    ~TTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    unsigned Interval() const { return interval_; }
    // A changed interval restarts the countdown; the same one leaves it running; 0 stops it.
    void SetInterval(unsigned interval);

    TNotifyEvent OnTimer;

private:
    static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
    void Update();
    HWND window_ = nullptr;
    bool enabled_ = true;
    unsigned interval_ = 1000;
};

} // namespace fw
