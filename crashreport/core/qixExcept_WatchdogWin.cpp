// The freeze watchdog: probes the main thread through its message-handler window and
// reports a freeze after ten unanswered probes.
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/core/qixExcept_ThreadRegistry.h"

#include <windows.h>

#include <atomic>

namespace qix {
namespace {

constexpr SIZE_T kWatchdogStack = 512 << 10;

constexpr WPARAM kAnswerCode = 777;

struct TWatchdog {
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    HWND window = nullptr;
    UINT message = 0;
    uint32_t timeoutMs = 60000;
    std::atomic<int> misses{0};
    std::atomic<long> pauseCount{-1};
    std::atomic<HANDLE> pauseEvent{nullptr};
    std::atomic<HANDLE> retired{nullptr};
    HANDLE stop = nullptr;
};

TWatchdog& W() {
    static TWatchdog& watchdog = *new TWatchdog; // outlives finalisation
    return watchdog;
}

bool AnswerArrived() {
    bool answered = false;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        if (msg.message == WM_NULL && msg.wParam == kAnswerCode && msg.lParam == 777)
            answered = true;
    return answered;
}

DWORD WINAPI WatchdogProc(LPVOID) {
    TWatchdog& w = W();
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // the queue exists before the first probe
    SetThreadName(GetCurrentThreadId(), "-");
    // One watchdog per process: the registry's mutex is held for the thread's lifetime.
    HANDLE mutex = reinterpret_cast<HANDLE>(WatchdogMutex());
    if (mutex) {
        HANDLE both[2] = {w.stop, mutex};
        if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0) return 0;
    }
    DWORD interval = w.timeoutMs / 10;
    while (WaitForSingleObject(w.stop, 0) != WAIT_OBJECT_0) {
        if (HANDLE pause = w.pauseEvent.load()) {
            HANDLE both[2] = {w.stop, pause};
            WaitForMultipleObjects(2, both, FALSE, INFINITE);
            continue;
        }
        PostMessageA(w.window, w.message, 0, 0);
        if (WaitForSingleObject(w.stop, interval) == WAIT_OBJECT_0) break;
        if (AnswerArrived()) {
            w.misses.store(0);
            interval = w.timeoutMs / 10;
        } else if (w.pauseEvent.load() == nullptr && w.misses.fetch_add(1) + 1 >= 10) {
            ReportException(TReportKind::Freeze, nullptr, 0, nullptr, 0, nullptr, kSourceFreeze,
                            nullptr, 0, 0, true);
            w.misses.store(0);
            interval += interval / 2;
        }
    }
    if (mutex) ReleaseMutex(mutex);
    return 0;
}

} // namespace

bool StartFreezeWatchdog(uint32_t timeoutMs) {
    TWatchdog& w = W();
    if (w.thread) return true;
    w.timeoutMs = timeoutMs ? timeoutMs : 60000;
    w.message = RegisterWindowMessageA("qixExceptWatchdogAnswer");
    w.window = FindWindowExA(HWND_MESSAGE, nullptr, "qixExceptMsgHandlerWindow", nullptr);
    w.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The watchdog mostly sleeps; its stack need not be the program's 2 MB, which Wine
    // commits whole. Room remains for a report it runs itself when the process is blocked.
    w.thread = CreateThread(nullptr, kWatchdogStack, WatchdogProc, nullptr,
                            CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, &w.threadId);
    if (!w.thread) return false;
    SetThreadName(w.threadId, "-"); // hidden before it first runs
    SetThreadPriority(w.thread, THREAD_PRIORITY_HIGHEST);
    ResumeThread(w.thread);
    return true;
}

void StopFreezeWatchdog() {
    TWatchdog& w = W();
    if (!w.thread) return;
    if (HANDLE pause = w.pauseEvent.exchange(nullptr)) CloseHandle(pause);
    w.pauseCount.store(-1);
    SetEvent(w.stop);
    if (WaitForSingleObject(w.thread, 1000) != WAIT_OBJECT_0) TerminateThread(w.thread, 0);
    CloseHandle(w.thread);
    CloseHandle(w.stop);
    ForgetThread(w.threadId);
    w.thread = nullptr;
    w.threadId = 0;
}

uint32_t WatchdogThreadId() {
    return W().threadId;
}

void PauseFreezeCheck(bool pause) {
    TWatchdog& w = W();
    if (!w.thread || GetCurrentThreadId() == w.threadId) return;
    w.misses.store(0);
    if (pause) {
        if (++w.pauseCount == 0) w.pauseEvent.store(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    } else if (--w.pauseCount < 0) {
        w.pauseCount.store(-1);
        if (HANDLE e = w.pauseEvent.exchange(nullptr)) {
            SetEvent(e);
            // The watchdog may still be waiting on it: closed only when the next one retires.
            if (HANDLE old = w.retired.exchange(e)) CloseHandle(old);
        }
    }
}

void ClearFreezeMisses() {
    W().misses.store(0);
}

void AnswerWatchdog(uintptr_t window) {
    if (window)
        PostMessageA(reinterpret_cast<HWND>(window), WM_NULL, kAnswerCode, 777);
    else if (W().threadId)
        PostThreadMessageA(W().threadId, WM_NULL, kAnswerCode, 777);
}

} // namespace qix
