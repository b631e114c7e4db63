// A small program for the pipeline test: one scenario per run, picked by argv[1];
// argv[2] is the bug report file. The exit code tells the outcome.
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/core/qixExcept_ThreadRegistry.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

using namespace qix;

namespace {

std::atomic<int> g_freezes{0};

void CountFreeze(IQXException& e, bool&) {
    if (e.ReportKind() == TReportKind::Freeze) ++g_freezes;
}

// A static object whose destructor runs with the runtime's clean-up at exit.
std::atomic<bool> g_cleanupStarted{false};
struct TCleanupMark {
    ~TCleanupMark() { g_cleanupStarted = true; }
};
HANDLE g_tracing = nullptr;

// Traces slowly; sees the runtime's clean-up if that starts while it still runs.
class TLingeringTracer : public IThreadTracer {
public:
    void PrepareStack(const TThreadStackRecord&, IQXException&) override {}
    TThreadTrace TraceThread(const TThreadStackRecord&, IQXException& e) override {
        // Made here, on the report's thread, so it is among the first torn down.
        static TCleanupMark mark;
        SetEvent(g_tracing);
        for (int i = 0; i < 1500 && !ExceptionEx(e).CompletionAborted(); ++i) {
            if (g_cleanupStarted) ExitProcess(66);
            Sleep(10);
        }
        return {};
    }
};

DWORD WINAPI ReportingWorker(LPVOID) {
    try {
        throw std::runtime_error("still being traced at exit");
    } catch (...) {
        ReportException(TReportKind::Exception, nullptr, 0, nullptr, 0, nullptr, kSourceNone,
                        nullptr, 0, 0, true);
    }
    return 0;
}

// Blocks the main thread without pumping, so the watchdog's probes go unanswered.
void Block(DWORD ms) {
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, ms);
    CloseHandle(never);
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    // "-" for the file: nothing is saved.
    if (argc > 2)
        if (auto settings = ProcessSettings())
            (void)(std::strcmp(argv[2], "-") == 0 ? settings->SetAutoSave(false)
                                                  : settings->SetBugRepFile(argv[2]));
    if (mode == "state") {
        HANDLE registry = OpenFileMappingA(FILE_MAP_READ, FALSE, ThreadRegistryName().c_str());
        const int code =
            static_cast<int>(LibraryState()) + (registry ? 10 : 0) + (HandlingThreadId() ? 100 : 0);
        if (registry) CloseHandle(registry);
        return code;
    }
    if (mode == "close") {
        try {
            throw std::runtime_error("cannot go on");
        } catch (...) {
            ReportException(TReportKind::Exception, nullptr, 0, nullptr, 0, nullptr, kSourceNone,
                            nullptr, 0, 0, false);
        }
        return 40; // not reached: closing ends the process with 1
    }
    if (mode == "restart") {
        // argv[3]: a semaphore with one count, argv[4]: the event that tells the test.
        HANDLE first = OpenSemaphoreA(SYNCHRONIZE, FALSE, argc > 3 ? argv[3] : "");
        if (!first) return 33;
        if (WaitForSingleObject(first, 0) != WAIT_OBJECT_0) {
            // The relaunched instance: it must have taken over the exception time.
            const auto times = ExceptionTimes();
            if (times[0] == 0 || times[1] != 0) return 32;
            HANDLE done = OpenEventA(EVENT_MODIFY_STATE, FALSE, argc > 4 ? argv[4] : "");
            if (done) SetEvent(done);
            return 30;
        }
        (void)ProcessSettings()->SetAutoRestart(1);
        try {
            throw std::runtime_error("restart me");
        } catch (...) {
            ReportException(TReportKind::Exception, nullptr, 0, nullptr, 0, nullptr, kSourceNone,
                            nullptr, 0, 0, true);
        }
        return 41; // not reached: restarting ends the process with 2
    }
    if (mode == "exitreport") {
        // main returns while a report's sections are computed for its saving: they stop
        // before the runtime's clean-up, and the process ends with main's code.
        SetThreadTracer(std::make_shared<TLingeringTracer>());
        g_tracing = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE worker = CreateThread(nullptr, 0, ReportingWorker, nullptr, 0, nullptr);
        if (!worker) return 24;
        // Answers the watchdog meanwhile: no freeze report joins in.
        for (;;) {
            const DWORD r = MsgWaitForMultipleObjects(1, &g_tracing, FALSE, 30000, QS_ALLINPUT);
            if (r == WAIT_OBJECT_0) break;
            if (r == WAIT_TIMEOUT) return 24;
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageA(&msg);
        }
        return 23;
    }
    if (mode == "freeze" || mode == "pausedfreeze") {
        RegisterExceptionHandler(CountFreeze, kSyncNone, 1);
        const bool paused = mode == "pausedfreeze";
        if (paused) PauseFreezeCheck(true);
        // Ten probes a tenth of a second apart; waits in slices until the report came.
        for (int i = 0; i < (paused ? 6 : 60) && g_freezes.load() == 0; ++i)
            Block(500);
        if (paused) PauseFreezeCheck(false);
        // The report file is written after the handlers; give the save time to land.
        for (int i = 0; i < 100 && g_freezes.load() == 1 && argc > 2; ++i) {
            WIN32_FILE_ATTRIBUTE_DATA file;
            if (GetFileAttributesExA(argv[2], GetFileExInfoStandard, &file) &&
                file.nFileSizeLow > 0)
                break;
            Block(100);
        }
        return g_freezes.load() == 1 ? 21 : g_freezes.load() == 0 ? 20 : 22;
    }
    return 99;
}
