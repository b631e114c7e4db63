#pragma once
// Helpers for tests that drive real windows under Wine.
#include "framework/Forms.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The process's application object, titled as the program titles it.
fw::TApplication& TestApplication();

// Runs the message loop for a while, or until the condition holds.
void PumpFor(int milliseconds);
bool PumpUntil(const std::function<bool()>& condition, int timeoutMilliseconds);

// Bound for waits on something that must happen: only a fault reaches it, however slow
// the emulated machine, so it is far above any time the awaited step takes.
constexpr int kLongWait = 180000;

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

// Starts this test program again with the variable set in its environment (a test
// environment there does one job and exits) and waits for its end. False when it could not
// be started or did not end within kLongWait.
bool RunCopyOfThisProgram(const char* variable, STARTUPINFOA startup, DWORD& exitCode);

// Pixels as 0xRRGGBB, row by row from the top.
struct TestImage {
    int width = 0, height = 0;
    std::vector<uint32_t> rgb;
    uint32_t At(int x, int y) const { return rgb[static_cast<size_t>(y * width + x)]; }
};

// The colour image of an icon; empty when the handle is not a live icon.
TestImage IconPixels(HICON icon);
// What a window shows on the screen (the whole screen for nullptr).
TestImage CaptureWindow(HWND window);
// Saves the image as a PNG under the build folder's screenshots and returns the path.
std::string SaveScreenshot(const TestImage& image, const std::string& name);
std::string SaveScreenshot(HWND window, const std::string& name);

// A window's text and class name, as another program would read them.
std::string WindowText(HWND window);
std::string WindowClass(HWND window);

// The number of this process's GDI objects, read from the handle table the system maps
// into the process (GetGuiResources answers 0 under Wine); -1 when no table is found.
int GdiObjectCount();
