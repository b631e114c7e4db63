// Every scenario ends in one place that a report must name: the functions stay out of
// line and keep their frames, so the report's top frames are the scenario's own.
#include "crashlab/CrashLabScenarios.h"

#include "crashreport/core/qixExcept_Handlers.h"
#include "crashreport/core/qixExcept_Hooks.h"
#include "crashreport/core/qixExcept_Pipeline.h"
#include "framework/Exceptions.h"
#include "framework/ExtCtrls.h"
#include "framework/Forms.h"
#include "framework/Thread.h"

#include <windows.h>

#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <thread>

// The silent class: reported by nobody, the program goes on.
class EAbort : public std::runtime_error {
public:
    EAbort() : std::runtime_error("Operation aborted") {}
};

namespace crashlab {
namespace {

volatile int g_zero = 0;
volatile int g_sink = 0;
int* volatile g_nowhere = nullptr;

__attribute__((noinline)) void WriteNowhere() {
    *g_nowhere = 1;
}

__attribute__((noinline)) int ReadNowhere() {
    return *g_nowhere;
}

__attribute__((noinline)) int DivideByZero() {
    return 100 / g_zero;
}

volatile int g_depthLimit = 1 << 30;

__attribute__((noinline)) int Recurse(int depth) {
    volatile char room[512];
    room[0] = static_cast<char>(depth);
    if (depth >= g_depthLimit) return room[0];
    return Recurse(depth + 1) + room[0];
}

__attribute__((noinline)) void ThrowUncaught() {
    throw std::runtime_error("nobody catches this");
}

__attribute__((noinline)) void ThrowLogicError() {
    throw std::logic_error("escaped a noexcept function");
}

// noexcept turns the escaping object into std::terminate
__attribute__((noinline)) void ThrowInNoexcept() noexcept {
    ThrowLogicError();
}

__attribute__((noinline)) void CallAbort() {
    std::abort();
}

void FinishWorker(HANDLE thread) {
    // The report closes the process while this waits.
    WaitForSingleObject(thread, 60000);
    CloseHandle(thread);
}

DWORD WINAPI FaultingWorker(LPVOID) {
    WriteNowhere();
    return 0;
}

unsigned __stdcall FaultingBeginThreadWorker(void*) {
    WriteNowhere();
    return 0;
}

void WorkerByCreateThread() {
    FinishWorker(CreateThread(nullptr, 0, FaultingWorker, nullptr, 0, nullptr));
}

void WorkerByBeginThreadEx() {
    FinishWorker(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, FaultingBeginThreadWorker, nullptr, 0, nullptr)));
}

void WorkerByStdThread() {
    std::thread worker([] { WriteNowhere(); });
    worker.join();
}

void WorkerByWorkItem() {
    QueueUserWorkItem(FaultingWorker, nullptr, WT_EXECUTEDEFAULT);
    Sleep(60000);
}

class TThrowingThread : public fw::TThread {
protected:
    void Execute() override { throw std::runtime_error("thread object failed"); }
};

void WorkerThreadObject() {
    auto* thread = fw::TThread::Start<TThrowingThread>();
    thread->WaitFor();
    Sleep(60000);
}

HANDLE g_go = nullptr;

DWORD WINAPI FaultWhenGo(LPVOID) {
    WaitForSingleObject(g_go, INFINITE);
    WriteNowhere();
    return 0;
}

void TwoThreadsAtOnce() {
    g_go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE a = CreateThread(nullptr, 0, FaultWhenGo, nullptr, 0, nullptr);
    HANDLE b = CreateThread(nullptr, 0, FaultWhenGo, nullptr, 0, nullptr);
    Sleep(200);
    SetEvent(g_go);
    FinishWorker(a);
    FinishWorker(b);
}

__attribute__((noinline)) void TimerFails(fw::TComponent*) {
    throw fw::Exception("the timer handler failed");
}

void TimerHandlerThrows() {
    fw::TTimer timer(fw::Application);
    timer.OnTimer = TimerFails;
    timer.SetInterval(50);
    timer.SetEnabled(true);
    fw::Application->Run();
}

void FailingHandler(qix::IQXException&, bool&) {
    throw std::runtime_error("the handler failed");
}

void ExceptionInsideHandler() {
    qix::RegisterExceptionHandler(FailingHandler, qix::kSyncNone, 1);
    WriteNowhere();
}

__attribute__((noinline)) void FreezeMainThread() {
    // Blocks without pumping, so the watchdog's probes go unanswered.
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, 60000);
    CloseHandle(never);
}

void AskForReport(qix::IQXException&, bool& handled) {
    handled = false;
}

__attribute__((noinline)) void ThrowHandled() {
    throw std::runtime_error("caught and dealt with");
}

void HiddenException() {
    qix::RegisterHiddenExceptionHandler(AskForReport, qix::kSyncNone);
    try {
        ThrowHandled();
    } catch (const std::exception&) {
        qix::CheckHiddenException();
    }
}

__attribute__((noinline)) void ContinuableFails() {
    throw fw::Exception("the handler failed and the program goes on");
}

// The framework's handling reports and the program goes on afterwards.
void ContinueAfterReport() {
    fw::Dispatch([] { ContinuableFails(); });
    std::fprintf(stderr, "crashlab: still running after the report\n");
}

bool BoxOpen() {
    return FindWindowA("qixExceptWndClass", nullptr) != nullptr;
}

// Frozen (no message is taken) until the watchdog's box has been up for a while, then
// answering messages again until that box has closed by itself.
void FreezeThenThaw() {
    const DWORD frozenUntil = GetTickCount() + 20000; // no box: a console program
    while (!BoxOpen() && static_cast<int>(frozenUntil - GetTickCount()) > 0)
        Sleep(100);
    Sleep(5000);
    const bool seen = BoxOpen();
    const DWORD until = GetTickCount() + 60000;
    while (BoxOpen() && static_cast<int>(until - GetTickCount()) > 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    std::fprintf(stderr, "crashlab: thawed; box %s\n",
                 !seen       ? "never seen"
                 : BoxOpen() ? "still open"
                             : "closed");
}

__attribute__((noinline)) void SilentFails(fw::TComponent*) {
    throw EAbort();
}

void SilentClass() {
    fw::Dispatch([] { SilentFails(nullptr); });
}

// Saves the report's screenshot beside the report and states it in the report's header.
void SaveScreenshot(qix::IQXException& e, bool&) {
    const qix::PNVBitmap shot = e.Screenshot();
    std::string state = "none";
    if (shot) {
        std::string file = e.BugRepFile();
        file = file.substr(0, file.find_last_of("\\/") + 1) + "crashlab-screenshot.png";
        state = std::to_string(shot->Width()) + "x" + std::to_string(shot->Height()) +
                (shot->WritePngFile(file, 0) ? ", saved" : ", not saved");
    }
    e.HeaderFields()->Add("screenshot", state);
}

// A window of the program is up at the fault, so the screenshot has something to show.
void FaultWithWindowShown() {
    if (auto settings = qix::ProcessSettings()) (void)settings->SetScrShotDepth(24);
    qix::RegisterExceptionHandler(SaveScreenshot, qix::kSyncNone, 2);
    HWND window = CreateWindowExA(0, "STATIC", "Crash lab screenshot",
                                  WS_OVERLAPPEDWINDOW | WS_VISIBLE | SS_CENTER, 40, 40, 320, 200,
                                  nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    UpdateWindow(window);
    for (int i = 0; i < 20; ++i) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        Sleep(10);
    }
    WriteNowhere();
}

} // namespace

const std::vector<TScenario>& Scenarios() {
    static const std::vector<TScenario> list = {
        {"write-av", "Write access violation", [] { WriteNowhere(); }},
        {"read-av", "Read access violation", [] { g_sink = ReadNowhere(); }},
        {"divide", "Divide by zero", [] { g_sink = DivideByZero(); }},
        {"stack-overflow", "Stack overflow", [] { g_sink = Recurse(0); }},
        {"cpp-uncaught", "C++ exception nobody catches", ThrowUncaught},
        {"terminate", "std::terminate from a noexcept function", ThrowInNoexcept},
        {"abort", "abort()", CallAbort},
        {"worker-createthread", "Fault in a CreateThread worker", WorkerByCreateThread},
        {"worker-beginthreadex", "Fault in a _beginthreadex worker", WorkerByBeginThreadEx},
        {"worker-stdthread", "Fault in a std::thread worker", WorkerByStdThread},
        {"worker-workitem", "Fault in a work item", WorkerByWorkItem},
        {"worker-tthread", "Exception in a thread object", WorkerThreadObject},
        {"two-threads", "Two threads faulting at once", TwoThreadsAtOnce},
        {"timer", "Exception in a timer handler", TimerHandlerThrows},
        {"inside-handler", "Exception inside a library handler", ExceptionInsideHandler},
        {"freeze", "Main thread freeze", FreezeMainThread},
        {"hidden", "Hidden exception", HiddenException},
        {"silent", "Silent class (no report)", SilentClass},
        {"continue", "Exception the program survives", ContinueAfterReport},
        {"thaw", "Main thread freeze that ends", FreezeThenThaw},
        {"screenshot", "Fault with a screenshot", FaultWithWindowShown},
    };
    return list;
}

bool RunScenario(const std::string& name) {
    for (const TScenario& s : Scenarios())
        if (name == s.name) {
            s.run();
            return true;
        }
    return false;
}

} // namespace crashlab
