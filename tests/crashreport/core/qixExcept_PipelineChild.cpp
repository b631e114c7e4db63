// A small program for the pipeline test: one scenario per run, picked by argv[1];
// argv[2] is the bug report file. The exit code tells the outcome.
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/core/qixExcept_ThreadRegistry.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

using namespace qix;

namespace {

std::atomic<int> g_freezes{0};

void CountFreeze(IQXException& e, bool&) {
    if (e.ReportKind() == TReportKind::Freeze) ++g_freezes;
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
    if (argc > 2)
        if (auto settings = ProcessSettings()) (void)settings->SetBugRepFile(argv[2]);
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
    if (mode == "freeze" || mode == "pausedfreeze") {
        RegisterExceptionHandler(CountFreeze, kSyncNone, 1);
        const bool paused = mode == "pausedfreeze";
        if (paused) PauseFreezeCheck(true);
        // Ten probes a tenth of a second apart; waits in slices until the report came.
        for (int i = 0; i < (paused ? 6 : 60) && g_freezes.load() == 0; ++i)
            Block(500);
        if (paused) PauseFreezeCheck(false);
        return g_freezes.load() == 1 ? 21 : g_freezes.load() == 0 ? 20 : 22;
    }
    return 99;
}
