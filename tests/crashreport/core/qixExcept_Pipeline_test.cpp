// The pipeline under Wine, in a program that carries an active settings resource, plus
// a child program in three builds (active, Enabled off, no resource) for what ends or
// freezes a process.
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/core/qixExcept_ThreadList.h"
#include "crashreport/core/qixExcept_ThreadRegistry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <vector>

using namespace qix;
using ::testing::HasSubstr;

namespace {

std::string Dollar(DWORD id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "$%lx", id);
    return buf;
}

// Waits for `thread`, dispatching the main thread's messages meanwhile.
void WaitPumping(HANDLE thread) {
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, 60000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
}

struct TWorker {
    HANDLE handle = nullptr;
    DWORD id = 0;
    std::function<void()> body;
    static DWORD WINAPI Run(LPVOID self) {
        static_cast<TWorker*>(self)->body();
        return 0;
    }
    explicit TWorker(std::function<void()> f) : body(std::move(f)) {
        handle = CreateThread(nullptr, 0, Run, this, 0, &id);
    }
    ~TWorker() { CloseHandle(handle); }
};

void ThrowAndReport(const std::string& message) {
    try {
        throw std::runtime_error(message);
    } catch (...) {
        ReportException(TReportKind::Exception, nullptr, 0, nullptr, 0, nullptr, kSourceNone,
                        nullptr, 0, 0, true);
    }
}

// Handlers are plain functions; they talk to the running test through this.
struct TLog {
    std::mutex lock;
    std::vector<std::string> events;
    std::string report;
    std::atomic<int> inside{0}, maxInside{0}, calls{0};
    void Add(std::string e) {
        std::lock_guard g(lock);
        events.push_back(std::move(e));
    }
};
TLog* g_log = nullptr;

class Pipeline : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LibraryState(), TLibraryState::Active) << "the settings resource was not found";
        g_log = &log_;
    }
    void TearDown() override {
        ClearAllHandlers();
        g_log = nullptr;
    }
    TLog log_;
};

void CaptureReport(IQXException& e, bool&) {
    const std::string text = e.CompleteReport();
    std::lock_guard g(g_log->lock);
    g_log->report = text;
}

std::string ThisFolder() {
    char exe[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string path = exe;
    return path.substr(0, path.find_last_of("\\/") + 1);
}

DWORD RunChild(const std::string& program, const std::string& args) {
    std::string commandLine = "\"" + ThisFolder() + program + "\" " + args;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
        ADD_FAILURE() << "cannot start " << commandLine;
        return 0xdead;
    }
    WaitForSingleObject(pi.hProcess, 120000);
    DWORD code = 0xdead;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::string FreshTempFile(const char* name) {
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string folder = std::string(temp) + "qixpipe" + Dollar(GetCurrentProcessId());
    const std::string path = folder + "\\sub\\" + name;
    DeleteFileA(path.c_str());
    return path;
}

} // namespace

TEST_F(Pipeline, StartUpOpensTheRegistryAndTheHandlingThread) {
    HANDLE registry = OpenFileMappingA(
        FILE_MAP_READ, FALSE, ("qixExceptThreadNameBuf" + Dollar(GetCurrentProcessId())).c_str());
    EXPECT_NE(registry, nullptr) << "no thread registry mapping under its documented name";
    if (registry) CloseHandle(registry);
    EXPECT_NE(HandlingThreadId(), 0u);
    EXPECT_EQ(MainThreadId(), GetCurrentThreadId());
    // The handling thread is hidden, the main thread carries its name.
    EXPECT_EQ(ThreadDisplayName(HandlingThreadId(), false), "");
    EXPECT_EQ(ThreadDisplayName(GetCurrentThreadId(), false),
              "main thread (" + Dollar(GetCurrentThreadId()) + ")");
}

// A thread made by the system call itself: none of the creation hooks sees it.
struct TRawThread {
    HANDLE handle = nullptr;
    DWORD id = 0;
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    static LONG WINAPI Run(void* stopEvent) {
        WaitForSingleObject(static_cast<HANDLE>(stopEvent), INFINITE);
        return 0;
    }
    TRawThread() {
        using TCreate = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, void*, HANDLE, void*, void*, ULONG,
                                      SIZE_T, SIZE_T, SIZE_T, void*);
        const auto create = reinterpret_cast<TCreate>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtCreateThreadEx")));
        if (create && create(&handle, THREAD_ALL_ACCESS, nullptr, GetCurrentProcess(),
                             reinterpret_cast<void*>(&Run), stop, 0, 0, 0, 0, nullptr) >= 0)
            id = GetThreadId(handle);
    }
    ~TRawThread() {
        SetEvent(stop);
        if (handle) WaitForSingleObject(handle, 10000), CloseHandle(handle);
        CloseHandle(stop);
    }
};

TEST(ThreadList, BothSourcesListTheSameThreadsOfThisProcess) {
    TRawThread raw;
    ASSERT_NE(raw.id, 0u) << "NtCreateThreadEx made no thread";
    const auto snapshot = ThreadIdsFromSnapshot();
    const auto system = ThreadIdsFromSystemInformation();
    ASSERT_TRUE(snapshot.has_value());
    ASSERT_TRUE(system.has_value()) << "no thread list from the system's process information";
    std::vector<uint32_t> a = *snapshot, b = *system;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a, b);
    EXPECT_NE(std::find(b.begin(), b.end(), GetCurrentThreadId()), b.end());
    EXPECT_NE(std::find(b.begin(), b.end(), raw.id), b.end());
    EXPECT_NE(std::find(b.begin(), b.end(), HandlingThreadId()), b.end());
}

TEST_F(Pipeline, AThreadMadeOutsideTheHooksStillGetsASection) {
    TRawThread raw;
    ASSERT_NE(raw.id, 0u) << "NtCreateThreadEx made no thread";
    RegisterExceptionHandler(CaptureReport, kSyncNone, 3);
    TWorker worker([] { ThrowAndReport("outside"); });
    WaitPumping(worker.handle);
    // Unregistered: its plain title, and a stack read from its context.
    const std::string title = "thread " + Dollar(raw.id) + ":";
    const size_t at = log_.report.find("\r\n" + title);
    ASSERT_NE(at, std::string::npos) << log_.report;
    EXPECT_NE(log_.report.compare(at + 2 + title.size(), 25, "\r\n>> stack not accessible"), 0)
        << log_.report.substr(at, 200);
}

TEST_F(Pipeline, ThreadNamesClassesAndCreatorsAreKeptAndMerged) {
    TWorker worker([] { Sleep(50); });
    RecordThreadInfo(worker.id, 0, nullptr, GetCurrentThreadId(), 0x401234, "TLabThread");
    EXPECT_EQ(ThreadDisplayName(worker.id, false), "thread " + Dollar(worker.id) + " (TLabThread)");
    SetThreadName(worker.id, "lab worker");
    TAddress creator = 0;
    uint32_t creatorId = 0;
    // The name is added; class and creator survive from the earlier call.
    EXPECT_EQ(ThreadDisplayName(worker.id, false, &creator, &creatorId),
              "lab worker (" + Dollar(worker.id) + ")");
    EXPECT_EQ(creator, 0x401234u);
    EXPECT_EQ(creatorId, GetCurrentThreadId());
    SetThreadName(worker.id, "-");
    EXPECT_EQ(ThreadDisplayName(worker.id, false), "");
    EXPECT_EQ(ThreadDisplayName(worker.id, true), "thread " + Dollar(worker.id) + " (TLabThread)");
    WaitForSingleObject(worker.handle, INFINITE);
    ForgetThread(worker.id);
    EXPECT_EQ(ThreadDisplayName(worker.id, false), "thread " + Dollar(worker.id));
}

TEST_F(Pipeline, WorkerReportHasHeaderAndItsThreadSectionFirst) {
    RegisterExceptionHandler(CaptureReport, kSyncNone, 3);
    TWorker worker([] {
        SetThreadName(GetCurrentThreadId(), "lab worker");
        ThrowAndReport("disk on fire");
    });
    WaitPumping(worker.handle);
    const std::string report = log_.report;
    ASSERT_FALSE(report.empty()) << "no report reached the phase-3 handler";
    EXPECT_THAT(report, HasSubstr("exception class  : std::runtime_error\r\n"));
    EXPECT_THAT(report, HasSubstr("exception message: disk on fire.\r\n"));
    EXPECT_THAT(report, HasSubstr("process id       : " + Dollar(GetCurrentProcessId()) + "\r\n"));
    const std::string title = "lab worker (" + Dollar(worker.id) + "):";
    // Without a given address the crashed thread's section starts at the place that
    // reported, in this program's code.
    size_t line = report.find(title + "\r\n");
    ASSERT_NE(line, std::string::npos) << report;
    line += title.size() + 2;
    // The hooked thread creation names the worker's creator first.
    if (report.compare(line, 14, ">> created by ") == 0) line = report.find("\r\n", line) + 2;
    // The top frame: address, offset in its function, module.
    const std::string first = report.substr(line, report.find("\r\n", line) - line);
    EXPECT_EQ(std::strspn(first.c_str(), "0123456789abcdef"), 8u) << first;
    EXPECT_EQ(first.compare(8, 2, " +"), 0) << first;
    EXPECT_THAT(first, HasSubstr(" qixExcept_Pipeline_test.exe ")) << first;
    const size_t crashed = report.find(title);
    const size_t main = report.find("main thread (" + Dollar(GetCurrentThreadId()) + ")");
    ASSERT_NE(crashed, std::string::npos) << report;
    ASSERT_NE(main, std::string::npos) << report;
    EXPECT_LT(crashed, main) << "the crashed thread's section comes first";
    EXPECT_EQ(report.find("will be calculated soon"), std::string::npos) << "complete report";
    // Helper threads stay out.
    EXPECT_EQ(report.find(Dollar(HandlingThreadId()) + ")"), std::string::npos);
    ForgetThread(worker.id);
}

class TLabTracer : public IThreadTracer {
public:
    std::atomic<int> prepared{0};
    void PrepareStack(const TThreadStackRecord&, IQXException&) override { ++prepared; }
    std::atomic<bool> alertSeen{false};
    TThreadTrace TraceThread(const TThreadStackRecord& thread, IQXException& e) override {
        // The please-wait alert (title PlWaitTitle) is up while the sections complete.
        for (int i = 0; i < 500 && !alertSeen; ++i) {
            if (FindWindowA(nullptr, e.PlWaitTitle().c_str())) alertSeen = true;
            if (!alertSeen) Sleep(20);
        }
        TThreadTrace trace;
        trace.text = thread.crashed ? "traced " + e.ObjectMessage() : "traced other";
        return trace;
    }
};

TEST_F(Pipeline, AnInstalledTracerFillsTheThreadSections) {
    auto tracer = std::make_shared<TLabTracer>();
    SetThreadTracer(tracer);
    ASSERT_TRUE(ProcessSettings()->SetPlWaitBox(true));
    RegisterExceptionHandler(CaptureReport, kSyncNone, 3);
    TWorker worker([] { ThrowAndReport("tracer"); });
    WaitPumping(worker.handle);
    SetThreadTracer(nullptr);
    ASSERT_TRUE(ProcessSettings()->SetPlWaitBox(false));
    // The worker was made through the hooked thread creation, so its creator comes first.
    EXPECT_THAT(log_.report,
                HasSubstr("thread " + Dollar(worker.id) + ":\r\n>> created by main thread (" +
                          Dollar(GetCurrentThreadId()) + ") at:\r\ntraced tracer.\r\n"));
    EXPECT_THAT(log_.report,
                HasSubstr("main thread (" + Dollar(GetCurrentThreadId()) + "):\r\ntraced other"));
    EXPECT_GE(tracer->prepared.load(), 2);
    EXPECT_TRUE(tracer->alertSeen.load()) << "no please-wait alert while the report completed";
    EXPECT_EQ(FindWindowA(nullptr, "Information"), nullptr) << "the alert closes afterwards";
}

void PhaseHandler(IQXException& e, bool&) {
    g_log->Add("phase " + std::to_string(e.HandlingPhase()));
}
void Sync0(IQXException&, bool&) {
    g_log->Add(GetCurrentThreadId() == HandlingThreadId() ? "sync0 handling" : "sync0 other");
}
void Sync1(IQXException&, bool&) {
    g_log->Add(GetCurrentThreadId() == MainThreadId() ? "sync1 main" : "sync1 other");
}
void Sync2(IQXException&, bool&) {
    g_log->Add(GetCurrentThreadId() == MainThreadId()       ? "sync2 main"
               : GetCurrentThreadId() == HandlingThreadId() ? "sync2 handling"
                                                            : "sync2 other");
}

TEST_F(Pipeline, HandlersFireByPhaseInOrderOnTheThreadTheirSyncModeAsks) {
    // One method entry per phase, each keyed by its phase number.
    for (uint8_t phase = 1; phase <= 4; ++phase)
        RegisterExceptionHandler(reinterpret_cast<const void*>(uintptr_t{phase}), PhaseHandler,
                                 kSyncNone, phase);
    RegisterExceptionHandler(Sync0, kSyncNone, 1);
    RegisterExceptionHandler(Sync1, kSyncMainOnly, 1);
    RegisterExceptionHandler(Sync2, kSyncMainOrHere, 1);
    TWorker worker([] { ThrowAndReport("phases"); });
    WaitPumping(worker.handle);
    EXPECT_THAT(log_.events, ::testing::ElementsAre("phase 1", "sync0 handling", "sync1 main",
                                                    "sync2 main", "phase 2", "phase 3", "phase 4"));
}

TEST_F(Pipeline, AMainThreadThatDoesNotAnswerSkipsSyncOneAndRunsSyncTwoHere) {
    RegisterExceptionHandler(Sync1, kSyncMainOnly, 1);
    RegisterExceptionHandler(Sync2, kSyncMainOrHere, 1);
    TWorker worker([] { ThrowAndReport("main is deaf"); });
    WaitForSingleObject(worker.handle, INFINITE); // no pumping: the probe times out
    EXPECT_THAT(log_.events, ::testing::ElementsAre("sync2 handling"));
}

void Serialised(IQXException&, bool&) {
    const int now = ++g_log->inside;
    int seen = g_log->maxInside.load();
    while (now > seen && !g_log->maxInside.compare_exchange_weak(seen, now)) {
    }
    ++g_log->calls;
    Sleep(100);
    --g_log->inside;
}

TEST_F(Pipeline, TwoThreadsReportingAtOnceAreServedOneAfterTheOther) {
    RegisterExceptionHandler(Serialised, kSyncNone, 1);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    TWorker a([go] {
        WaitForSingleObject(go, INFINITE);
        ThrowAndReport("a");
    });
    TWorker b([go] {
        WaitForSingleObject(go, INFINITE);
        ThrowAndReport("b");
    });
    SetEvent(go);
    WaitPumping(a.handle);
    WaitPumping(b.handle);
    CloseHandle(go);
    EXPECT_EQ(log_.calls.load(), 2);
    EXPECT_EQ(log_.maxInside.load(), 1);
}

void Raising(IQXException&, bool&) {
    ++g_log->calls;
    throw std::logic_error("inside a handler");
}
void Counting(IQXException& e, bool&) {
    g_log->Add(e.ObjectMessage());
}

TEST_F(Pipeline, AnExceptionInsideAHandlerIsSwallowed) {
    RegisterExceptionHandler(Raising, kSyncNone, 1);
    RegisterExceptionHandler(Counting, kSyncNone, 2);
    TWorker worker([] { ThrowAndReport("outer"); });
    WaitPumping(worker.handle);
    EXPECT_EQ(log_.calls.load(), 1);
    // Exactly one report went on past the failing handler, and it is the outer one.
    EXPECT_THAT(log_.events, ::testing::ElementsAre("outer."));
}

TEST_F(Pipeline, AFilteredClassSkipsTheHandlers) {
    RegisterExceptionHandler(Counting, kSyncNone, 1);
    TWorker worker([] {
        try {
            throw std::length_error("filtered");
        } catch (...) {
            ReportException(TReportKind::Exception, nullptr, 0, nullptr, 0, nullptr, kSourceNone,
                            nullptr, 0, 0, true);
        }
        ThrowAndReport("plain");
    });
    WaitPumping(worker.handle);
    EXPECT_THAT(log_.events, ::testing::ElementsAre("plain."));
}

TEST_F(Pipeline, AutoSaveWritesOneReportIntoTheConfiguredFile) {
    const std::string file = FreshTempFile("bug.txt");
    auto settings = ProcessSettings();
    ASSERT_TRUE(settings->SetBugRepFile(file));
    ASSERT_TRUE(settings->SetAutoSave(true));
    TWorker worker([] { ThrowAndReport("saved"); });
    WaitPumping(worker.handle);
    ASSERT_TRUE(settings->SetAutoSave(false));
    const std::string text = ReadFile(file);
    EXPECT_EQ(Count(text, "exception number"), 1) << text;
    EXPECT_THAT(text, HasSubstr("exception message: saved.\r\n"));
    EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
}

TEST_F(Pipeline, AutoClipPutsTheCompleteReportOnTheClipboard) {
    auto settings = ProcessSettings();
    ASSERT_TRUE(settings->SetAutoClip(true));
    TWorker worker([] { ThrowAndReport("clipped"); });
    WaitPumping(worker.handle);
    ASSERT_TRUE(settings->SetAutoClip(false));
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_TEXT);
    std::string clip = data ? static_cast<const char*>(GlobalLock(data)) : "";
    if (data) GlobalUnlock(data);
    CloseClipboard();
    EXPECT_THAT(clip, HasSubstr("exception message: clipped.\r\n"));
    EXPECT_THAT(clip, HasSubstr("main thread (" + Dollar(GetCurrentThreadId()) + ")"));
    EXPECT_EQ(clip.find("will be calculated soon"), std::string::npos);
}

TEST_F(Pipeline, ExceptionTimesAreSecondsSince1601NewestFirst) {
    TWorker a([] { ThrowAndReport("first"); });
    WaitPumping(a.handle);
    TWorker b([] { ThrowAndReport("second"); });
    WaitPumping(b.handle);
    const auto times = ExceptionTimes();
    // 11644473600 s lie between 1601-01-01 and 1970-01-01.
    const int64_t now = static_cast<int64_t>(std::time(nullptr)) + 11644473600LL;
    EXPECT_LE(std::llabs(times[0] - now), 5);
    EXPECT_GE(times[0], times[1]);
    EXPECT_GT(times[1], 0);
}

void HiddenSeen(IQXException& e, bool&) {
    g_log->Add(std::string("hidden ") + (e.ReportKind() == TReportKind::Hidden ? "2" : "?"));
}
void HiddenLetThrough(IQXException&, bool& handled) {
    handled = false;
}

TEST_F(Pipeline, HiddenExceptionsReachOnlyHiddenHandlersUnlessOneLetsThemThrough) {
    RegisterHiddenExceptionHandler(HiddenSeen, kSyncNone);
    RegisterExceptionHandler(PhaseHandler, kSyncNone, 2);
    const auto before = ExceptionTimes();
    auto reportHidden = [] {
        TWorker worker([] {
            try {
                throw std::runtime_error("caught by the application");
            } catch (...) {
                ReportException(TReportKind::Hidden, nullptr, 0, nullptr, 0, nullptr, kSourceHidden,
                                nullptr, 0, 0, true);
            }
        });
        WaitPumping(worker.handle);
    };
    reportHidden();
    EXPECT_THAT(log_.events, ::testing::ElementsAre("hidden 2"));
    RegisterHiddenExceptionHandler(reinterpret_cast<const void*>(&HiddenLetThrough),
                                   HiddenLetThrough, kSyncNone);
    log_.events.clear();
    reportHidden();
    // The method list runs first and clears handled; the report goes on to phase 2.
    EXPECT_THAT(log_.events, ::testing::ElementsAre("hidden 2", "phase 2"));
    EXPECT_EQ(ExceptionTimes(), before) << "hidden exceptions leave no time entry";
}

HANDLE g_pumpGot = nullptr;
DWORD WINAPI PumpWorker(LPVOID ready) {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(ready);
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        if (msg.message == WM_USER) SetEvent(g_pumpGot);
    return 0;
}
DWORD g_pumpId = 0;
void WhilePaused(IQXException&, bool&) {
    PostThreadMessageA(g_pumpId, WM_USER, 0, 0);
    // The paused worker must not take the message while the report runs.
    g_log->Add(WaitForSingleObject(g_pumpGot, 500) == WAIT_TIMEOUT ? "held" : "ran");
}

TEST_F(Pipeline, PauseThreadsHoldsOurThreadsAtTheirNextMessage) {
    auto settings = ProcessSettings();
    ASSERT_TRUE(settings->SetPauseThreads(true));
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_pumpGot = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pump = CreateThread(nullptr, 0, PumpWorker, ready, 0, &g_pumpId);
    WaitForSingleObject(ready, INFINITE);
    // Created from this program, which carries the library's map data.
    RecordThreadInfo(g_pumpId, 0, "pump", GetCurrentThreadId(),
                     static_cast<TAddress>(reinterpret_cast<uintptr_t>(&PumpWorker)), nullptr);
    RegisterExceptionHandler(WhilePaused, kSyncNone, 2);
    // The paused main thread is let go for a synchronous handler.
    RegisterExceptionHandler(Sync1, kSyncMainOnly, 2);
    TWorker worker([] { ThrowAndReport("paused"); });
    WaitPumping(worker.handle);
    ASSERT_TRUE(settings->SetPauseThreads(false));
    EXPECT_THAT(log_.events, ::testing::ElementsAre("held", "sync1 main"));
    EXPECT_EQ(WaitForSingleObject(g_pumpGot, 30000), WAIT_OBJECT_0) << "resumed after the report";
    PostThreadMessageA(g_pumpId, WM_QUIT, 0, 0);
    WaitForSingleObject(pump, INFINITE);
    for (HANDLE h : {pump, ready, g_pumpGot})
        CloseHandle(h);
}

TEST_F(Pipeline, TraceProcessIntoTheNamedMappingCutsToTheGivenSize) {
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                        "qixTraceProcessMap");
    ASSERT_NE(mapping, nullptr);
    auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 4096));
    std::memset(view, 'x', 4096);
    // Found by name, as an outside tool would call it.
    using TTrace = int32_t(__stdcall*)(int32_t);
    auto trace = reinterpret_cast<TTrace>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), "qixTraceProcess")));
    ASSERT_NE(trace, nullptr) << "qixTraceProcess is not exported by name";
    // Called from a thread of its own, as the outside tool injects one.
    auto traceOnWorker = [&](int32_t size) {
        TWorker worker([&] { EXPECT_EQ(trace(size), 0); });
        WaitPumping(worker.handle);
    };
    traceOnWorker(10);
    EXPECT_EQ(std::strlen(view), 9u);
    EXPECT_EQ(view[10], 'x');
    EXPECT_EQ(std::string(view), "date/time");
    traceOnWorker(4096);
    const std::string full(view);
    EXPECT_THAT(full, HasSubstr("exception message: The application seems to be frozen.\r\n"));
    UnmapViewOfFile(view);
    CloseHandle(mapping);

    traceOnWorker(0);
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_TEXT);
    std::string clip = data ? static_cast<const char*>(GlobalLock(data)) : "";
    if (data) GlobalUnlock(data);
    CloseClipboard();
    EXPECT_THAT(clip, HasSubstr("main thread (" + Dollar(GetCurrentThreadId()) + ")"));
    EXPECT_THAT(clip, HasSubstr("The application seems to be frozen."));
}

// ---- the child program ----

TEST(PipelineChild, WithoutResourceNothingIsInstalled) {
    // state: Inactive (0), no registry mapping, no handling thread.
    EXPECT_EQ(RunChild("qixExcept_PipelineChild_none.exe", "state"), 0u);
}

TEST(PipelineChild, EnabledOffOnlyOpensTheRegistry) {
    EXPECT_EQ(RunChild("qixExcept_PipelineChild_disabled.exe", "state"), 10u + 1u);
}

TEST(PipelineChild, ActiveChildHasEverything) {
    EXPECT_EQ(RunChild("qixExcept_PipelineChild_active.exe", "state"), 100u + 10u + 2u);
}

TEST(PipelineChild, AReportThatCannotContinueClosesWithExitCodeOneAfterSaving) {
    const std::string file = FreshTempFile("close.txt");
    EXPECT_EQ(RunChild("qixExcept_PipelineChild_active.exe", "close \"" + file + "\""), 1u);
    EXPECT_EQ(Count(ReadFile(file), "exception number"), 1);
}

TEST(PipelineChild, AutoRestartRelaunchesWithTheExceptionTimes) {
    const std::string tag = Dollar(GetCurrentProcessId());
    const std::string firstName = "qixPipeFirst" + tag, doneName = "qixPipeDone" + tag;
    HANDLE first = CreateSemaphoreA(nullptr, 1, 1, firstName.c_str());
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, doneName.c_str());
    EXPECT_EQ(
        RunChild("qixExcept_PipelineChild_active.exe", "restart - " + firstName + " " + doneName),
        2u);
    EXPECT_EQ(WaitForSingleObject(done, 60000), WAIT_OBJECT_0)
        << "the relaunched program did not report the taken-over exception time";
    CloseHandle(first);
    CloseHandle(done);
}

TEST(PipelineChild, AFrozenMainThreadGivesOneFreezeReport) {
    const std::string file = FreshTempFile("freeze.txt");
    EXPECT_EQ(RunChild("qixExcept_PipelineChild_active.exe", "freeze \"" + file + "\""), 21u);
    const std::string text = ReadFile(file);
    EXPECT_EQ(Count(text, "exception number"), 1) << text;
    EXPECT_THAT(text, HasSubstr("The application seems to be frozen."));
}

TEST(PipelineChild, ExitingWhileAReportIsTracedStopsTheTraceBeforeTheRuntimeCleansUp) {
    const std::string file = FreshTempFile("exit.txt");
    // 66: the tracer still ran when the runtime's clean-up began; 24: no trace started.
    EXPECT_EQ(RunChild("qixExcept_PipelineChild_active.exe", "exitreport \"" + file + "\""), 23u);
    // Saved with what was there when the sections stopped.
    EXPECT_THAT(ReadFile(file), HasSubstr("exception message: still being traced at exit.\r\n"));
}

TEST(PipelineChild, PauseFreezeCheckSuspendsTheWatchdog) {
    const std::string file = FreshTempFile("paused.txt");
    EXPECT_EQ(RunChild("qixExcept_PipelineChild_active.exe", "pausedfreeze \"" + file + "\""), 20u);
    EXPECT_EQ(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
}
