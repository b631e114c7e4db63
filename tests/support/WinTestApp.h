#pragma once
// Helpers for tests that drive real windows under Wine.
#include "framework/Forms.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// The process's application object, titled as the program titles it.
fw::TApplication& TestApplication();

// Runs the message loop for a while, or until the condition holds.
void PumpFor(int milliseconds);
bool PumpUntil(const std::function<bool()>& condition, int timeoutMilliseconds);

// Waits on a second thread for a message box of this process, notes its caption
// and text, and presses its OK button, as a user would.
class DialogCatcher {
public:
    DialogCatcher();
    ~DialogCatcher();
    bool Seen() const { return seen_; }
    std::string Caption() const;
    std::string Text() const;
    int Count() const { return count_; }

private:
    void Watch();
    std::atomic<bool> stop_{false};
    std::atomic<bool> seen_{false};
    std::atomic<int> count_{0};
    mutable std::mutex lock_;
    std::string caption_, text_;
    std::thread thread_;
};

// Saves what a window shows (or the whole screen for nullptr) as a PNG under the build folder.
std::string SaveScreenshot(HWND window, const std::string& name);
