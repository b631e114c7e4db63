// Start-up, ReportException, the handling thread, RunExceptionPipeline, handler
// dispatch through the message-handler window, the exception times, the emergency
// reserve and shutdown.
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/analysis/qixDisAsmProcessMemory.h"
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/core/qixExcept_FaultAddress.h"
#include "crashreport/core/qixExcept_Hooks.h"
#include "crashreport/core/qixExcept_RaisedObject.h"
#include "crashreport/core/qixExcept_SettingsWin.h"
#include "crashreport/core/qixExcept_ThreadRegistry.h"

#include <windows.h>

#include <cxxabi.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>

namespace qix {
namespace {

constexpr UINT kAnswer = 777;
constexpr SIZE_T kHandlingStack = 1 << 20;
constexpr char kWindowClass[] = "qixExceptMsgHandlerWindow";

struct TPipelineState {
    TLibraryState state = TLibraryState::Inactive;
    uint32_t mainThreadId = 0;
    int64_t startMs = 0;
    std::shared_ptr<IQXModuleSettings> settings;
    HANDLE pipeRead = nullptr, pipeWrite = nullptr;
    HANDLE handlingThread = nullptr;
    DWORD handlingThreadId = 0;
    HWND window = nullptr;
    UINT dispatchMessage = 0, watchdogMessage = 0;
    std::atomic<bool> mainThreadBusy{false};
    std::atomic<int> pendingRequests{0}; // written into the pipe and not done yet
    TFireHandlersParams* pendingDispatch = nullptr;
    std::mutex timesLock;
    std::array<int64_t, 10> times{};
    std::mutex reserveLock;
    std::vector<void*> reserve;
    TShowDialogHook showDialog = nullptr;
};

// Never destroyed: finalisation and late threads still use it at process exit.
TPipelineState& S() {
    static TPipelineState& state = *new TPipelineState;
    return state;
}

// ---- message-handler window ----

LRESULT CALLBACK HandlerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TPipelineState& s = S();
    if (message != 0 && message == s.dispatchMessage) {
        if (wParam == 1) {
            PausePoint();
            return kAnswer;
        }
        if (TFireHandlersParams* params = s.pendingDispatch) {
            s.mainThreadBusy.store(true);
            try {
                RunHandlerLists(*params);
            } catch (...) {
            }
            s.mainThreadBusy.store(false);
        }
        return kAnswer;
    }
    if (message != 0 && message == s.watchdogMessage) {
        AnswerWatchdog(static_cast<uintptr_t>(wParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void CreateHandlerWindow() {
    TPipelineState& s = S();
    WNDCLASSA wc{};
    wc.lpfnWndProc = HandlerWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    s.dispatchMessage = RegisterWindowMessageA("qixExceptHandlerDispatch");
    s.watchdogMessage = RegisterWindowMessageA("qixExceptWatchdogAnswer");
    s.window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
}

// ---- handling thread ----

DWORD WINAPI HandlingThreadProc(LPVOID) {
    TPipelineState& s = S();
    SetThreadName(GetCurrentThreadId(), "-");
    for (;;) {
        TExceptionRequest request{};
        DWORD read = 0;
        if (!ReadFile(s.pipeRead, &request, sizeof request, &read, nullptr) ||
            read != sizeof request || request.doneEvent == 0)
            break;
        try {
            RunExceptionPipeline(request);
        } catch (...) {
        }
        --s.pendingRequests;
        SetEvent(reinterpret_cast<HANDLE>(request.doneEvent));
        PostThreadMessageA(request.requestingThreadId, WM_NULL, 0, 0);
    }
    return 0;
}

bool StartHandlingThread() {
    TPipelineState& s = S();
    if (!CreatePipe(&s.pipeRead, &s.pipeWrite, nullptr, 64 * sizeof(TExceptionRequest)))
        return false;
    // Reports and the dialogs run here: a stack of its own size, not the program's 2 MB,
    // which Wine commits whole.
    s.handlingThread =
        CreateThread(nullptr, kHandlingStack, HandlingThreadProc, nullptr,
                     CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, &s.handlingThreadId);
    if (!s.handlingThread) return false;
    // Hidden from reports before it first runs: a report may list threads at once.
    SetThreadName(s.handlingThreadId, "-");
    SetThreadPriority(s.handlingThread, THREAD_PRIORITY_HIGHEST);
    ResumeThread(s.handlingThread);
    return true;
}

void StopHandlingThread() {
    TPipelineState& s = S();
    if (!s.handlingThread) return;
    ResumeThread(s.handlingThread);
    CloseHandle(s.pipeWrite);
    s.pipeWrite = nullptr;
    if (ProcessIsBlocked() || WaitForSingleObject(s.handlingThread, 500) != WAIT_OBJECT_0)
        TerminateThread(s.handlingThread, 0);
    CloseHandle(s.handlingThread);
    CloseHandle(s.pipeRead);
    s.handlingThread = nullptr;
    s.pipeRead = nullptr;
    ForgetThread(s.handlingThreadId);
    s.handlingThreadId = 0;
}

// ---- exception data ----

#if defined(_M_IX86) || defined(__i386__)
void ContextPointers(const CONTEXT& c, TAddress& ip, TAddress& sp, TAddress& fp) {
    ip = c.Eip;
    sp = c.Esp;
    fp = c.Ebp;
}
#else
void ContextPointers(const CONTEXT& c, TAddress& ip, TAddress& sp, TAddress& fp) {
    ip = static_cast<TAddress>(c.Rip);
    sp = static_cast<TAddress>(c.Rsp);
    fp = static_cast<TAddress>(c.Rbp);
}
#endif

TExceptionData DataFromRequest(const TExceptionRequest& r) {
    TExceptionData data;
    data.kind = static_cast<TReportKind>(r.reportKind);
    if (r.raisedObject) data.raised = *r.raisedObject;
    if (data.raised.type) {
        data.object = DescribeCxxObject(data.raised.type, data.raised.object);
        if (!PassesValidityTest(data.object)) {
            data.object = {};
            data.raised = {};
        }
    }
    data.faultAddress = r.faultAddress;
    data.canContinue = r.canContinue & 0xff;
    data.faultThreadId = r.requestingThreadId;
    data.stackPointer = r.stackPointer;
    data.framePointer = r.framePointer;
    if (r.context) {
        const auto* bytes = static_cast<const uint8_t*>(r.context);
        data.context.assign(bytes, bytes + sizeof(CONTEXT));
    }
    data.source = static_cast<uint8_t>(r.source);
    data.relatedObject = r.relatedObject;
    data.package = r.package;
    data.preparedStack = r.preparedStack;
    return data;
}

bool IsAbort(const TRaisedObject& raised) {
    if (!raised.type) return false;
    const TRaisedObjectInfo info = DescribeCxxObject(raised.type, raised.object);
    return std::any_of(info.classChain.begin(), info.classChain.end(),
                       [](const std::string& name) { return SameText(name, "EAbort"); });
}

// Waits for the handling thread; the main thread keeps its messages flowing. False when
// a quit message ended the wait before handling was over.
bool WaitForDone(HANDLE done) {
    if (GetCurrentThreadId() != S().mainThreadId)
        return WaitForSingleObject(done, INFINITE) == WAIT_OBJECT_0;
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT);
        if (r != WAIT_OBJECT_0 + 1) return r == WAIT_OBJECT_0;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                return false;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (WaitForSingleObject(done, 0) == WAIT_OBJECT_0) return true;
    }
}

// An address inside an instruction of a function with debug information, whose next word
// starts one, is moved there.
TAddress CorrectedFaultAddress(TAddress address) {
    try {
        const std::shared_ptr<const TMapFile> map = GetMapFileForAddress(address);
        const TMapPublic* function = map && map->Valid() ? map->PublicAt(address) : nullptr;
        if (!function || !function->IsCode) return address;
        TProcessMemoryReader memory;
        TDisAsmContext context;
        context.Memory = &memory;
        return CorrectFaultAddress(context, function->Address, address);
    } catch (...) {
        return address;
    }
}

void FireExceptionHandlers(IQXException& e, bool& handled) {
    DispatchHandlers(0, kEventException, 0, handled, e);
}

} // namespace

// ---- state ----

TLibraryState LibraryState() {
    return S().state;
}
uint32_t MainThreadId() {
    return S().mainThreadId;
}
uint32_t HandlingThreadId() {
    return S().handlingThreadId;
}
std::shared_ptr<IQXModuleSettings> ProcessSettings() {
    return S().settings;
}
int64_t CounterMilliseconds() {
    LARGE_INTEGER counter, frequency;
    if (!QueryPerformanceCounter(&counter) || !QueryPerformanceFrequency(&frequency) ||
        frequency.QuadPart < 1000)
        return static_cast<int64_t>(GetTickCount());
    return counter.QuadPart / (frequency.QuadPart / 1000);
}
int64_t ProgramStartMilliseconds() {
    return S().startMs;
}

void SetShowDialogHook(TShowDialogHook hook) {
    S().showDialog = hook;
}
bool ShowExceptionDialog(IQXException& exception) {
    TShowDialogHook hook = S().showDialog;
    return hook && exception.ShowMode() != 4 && hook(exception);
}
void NotifyWatchdogOfBox(uintptr_t window) {
    TPipelineState& s = S();
    if (s.window && s.watchdogMessage)
        PostMessageA(s.window, s.watchdogMessage, static_cast<WPARAM>(window), 0);
}

// ---- exception times ----

std::array<int64_t, 10> ExceptionTimes() {
    std::lock_guard guard(S().timesLock);
    return S().times;
}
void SetExceptionTimes(const std::array<int64_t, 10>& times) {
    std::lock_guard guard(S().timesLock);
    S().times = times;
}
void NoteExceptionTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const int64_t seconds =
        static_cast<int64_t>((uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) / 10000000);
    std::lock_guard guard(S().timesLock);
    auto& t = S().times;
    std::move_backward(t.begin(), t.end() - 1, t.end());
    t[0] = seconds;
}
bool AutoRuleMet(int32_t value) {
    if (value == 1) return true;
    if (value <= 1) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const int64_t seconds =
        static_cast<int64_t>((uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) / 10000000);
    const auto times = ExceptionTimes();
    return std::all_of(times.begin(), times.end(),
                       [&](int64_t t) { return t != 0 && seconds - t <= value; });
}

// ---- emergency reserve ----

void AcquireEmergencyReserve() {
    TPipelineState& s = S();
    std::lock_guard guard(s.reserveLock);
    if (!s.reserve.empty()) return;
    for (int i = 0; i < 4; ++i) {
        if (void* p = VirtualAlloc(nullptr, 4 << 20, MEM_RESERVE, PAGE_NOACCESS))
            s.reserve.push_back(p);
        if (void* p = VirtualAlloc(nullptr, 512 << 10, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS))
            s.reserve.push_back(p);
    }
}
void ReleaseEmergencyReserve() {
    TPipelineState& s = S();
    std::lock_guard guard(s.reserveLock);
    for (void* p : s.reserve)
        VirtualFree(p, 0, MEM_RELEASE);
    s.reserve.clear();
}

std::string LibraryTempFolder() {
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, temp);
    return std::string(temp) + ModuleBaseName(nullptr) + ".qixExcept\\";
}

void ClearLibraryTempFolder() {
    const std::string folder = LibraryTempFolder();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileA((folder + found.cFileName).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

// ---- start-up and shutdown ----

void InitializeLibrary() {
    TPipelineState& s = S();
    if (s.mainThreadId) return;
    RunRestartCheck();
    ClearLibraryTempFolder();
    s.startMs = CounterMilliseconds();
    s.mainThreadId = GetCurrentThreadId();
    auto settings = std::dynamic_pointer_cast<IQXModuleSettings>(
        FindSettings(reinterpret_cast<const void*>(&InitializeLibrary)));
    if (!settings || !settings->Valid()) return;
    s.settings = settings;
    OpenThreadRegistry(s.mainThreadId);
    if (const uint32_t oldest = OldestRegisteredThread()) s.mainThreadId = oldest;
    s.state = TLibraryState::Disabled;
    if (!settings->Enabled()) return;
    StartHandlingThread();
    CreateHandlerWindow();
    if (settings->CheckFreeze())
        StartFreezeWatchdog(static_cast<uint32_t>(settings->FreezeTimeout()) * 1000);
    AcquireEmergencyReserve();
    s.state = TLibraryState::Active;
    InstallHooks();
}

void FinalizeLibrary() {
    TPipelineState& s = S();
    if (s.state == TLibraryState::Finalized || !s.settings) return;
    const bool wasActive = s.state == TLibraryState::Active;
    s.state = TLibraryState::Finalized;
    if (wasActive) {
        RemoveHooks();
        StopFreezeWatchdog();
        RemovePauseHooks();
        if (s.window) DestroyWindow(s.window);
        s.window = nullptr;
        StopHandlingThread();
    }
    CloseThreadRegistry();
    ResumeApplicationThreads();
    ReleaseEmergencyReserve();
    ClearAllHandlers();
}

void StopReportsForExit() {
    TPipelineState& s = S();
    if (s.state != TLibraryState::Active || GetCurrentThreadId() == s.handlingThreadId) return;
    // The sections stop first; the handling thread then finishes its requests with what
    // it has, before the runtime frees what it uses.
    AbortReportCompletions(1000);
    for (int i = 0; i < 200 && s.pendingRequests.load() > 0; ++i)
        Sleep(10);
}

// ---- ReportException ----

void ReportException(TReportKind kind, const TRaisedObject* raised, TAddress faultAddress,
                     std::string* reportOut, TModuleHandle package, const void* relatedObject,
                     uint8_t source, const void* context, TAddress framePointer,
                     TAddress stackPointer, bool canContinue) {
    TPipelineState& s = S();
    if (s.state != TLibraryState::Active) return;
    const DWORD self = GetCurrentThreadId();
    if (self == s.handlingThreadId || (self == s.mainThreadId && s.mainThreadBusy.load())) return;
    ReleaseEmergencyReserve();

    // The object in flight when the caller gave none; the pointer keeps it alive.
    std::exception_ptr inFlight;
    TRaisedObject current{};
    if (!raised) {
        if (const std::type_info* type = abi::__cxa_current_exception_type()) {
            inFlight = std::current_exception();
            current.type = type;
            current.object = *reinterpret_cast<void* const*>(&inFlight);
            raised = &current;
        }
    }
    if (raised && IsAbort(*raised)) {
        ClearThrowRecord();
        if (!canContinue) QuitApplication();
        AcquireEmergencyReserve();
        return;
    }
    // The thread's exception record: where the object was thrown, and the registers there.
    if (!faultAddress && raised) faultAddress = ThrowAddressOf(raised->object);
    // Copies: the record changes when this thread throws again while it waits (the main
    // thread pumps messages meanwhile), and the handling thread reads them later.
    CONTEXT throwContext;
    if (!context && raised)
        if (const void* recorded = ThrowContextFor(raised->object, faultAddress)) {
            std::memcpy(&throwContext, recorded, sizeof throwContext);
            context = &throwContext;
        }
    std::vector<TThrowStackEntry> prepared;
    if (raised)
        if (const auto* recorded = PreparedStackFor(raised->object)) prepared = *recorded;
    // A report without an address points at the code that reported.
    if (!faultAddress && !context) faultAddress = AddressOf(__builtin_return_address(0));
    if (!stackPointer) stackPointer = AddressOf(__builtin_frame_address(0));
    if (!framePointer) framePointer = AddressOf(__builtin_frame_address(0));
    if (context) {
        CONTEXT c;
        std::memcpy(&c, context, sizeof c);
        TAddress ip = 0, sp = 0, fp = 0;
        ContextPointers(c, ip, sp, fp);
        if (!faultAddress) faultAddress = ip;
        if (faultAddress >= ip && faultAddress - ip <= 4) {
            stackPointer = sp;
            framePointer = fp;
        }
    }
    faultAddress = CorrectedFaultAddress(faultAddress);

    TExceptionRequest request{0,
                              self,
                              static_cast<uint32_t>(kind),
                              raised,
                              faultAddress,
                              canContinue ? 1u : 0u,
                              stackPointer,
                              framePointer,
                              context,
                              reportOut,
                              source,
                              relatedObject,
                              package,
                              prepared.empty() ? nullptr : &prepared};
    if (ProcessIsBlocked() || !s.pipeWrite) {
        try {
            RunExceptionPipeline(request);
        } catch (...) {
        }
        ClearThrowRecord();
        AcquireEmergencyReserve();
        return;
    }
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    request.doneEvent = reinterpret_cast<uintptr_t>(done);
    PauseFreezeCheck(true);
    DWORD written = 0;
    bool finished = true;
    ++s.pendingRequests;
    if (done && WriteFile(s.pipeWrite, &request, sizeof request, &written, nullptr) &&
        written == sizeof request)
        finished = WaitForDone(done);
    else
        --s.pendingRequests;
    // Left early on a quit message: the handling thread still signals this event, so its
    // handle must not be reused for something else.
    if (done && finished) CloseHandle(done);
    PauseFreezeCheck(false);
    ClearThrowRecord();
    AcquireEmergencyReserve();
}

// ---- the pipeline ----

void RunExceptionPipeline(const TExceptionRequest& request) {
    TPipelineState& s = S();
    bool paused = false;
    try {
        ClearLibraryTempFolder();
        auto settings =
            FindSettings(reinterpret_cast<const void*>(request.faultAddress), s.settings);
        TExceptionData data = DataFromRequest(request);
        if (!data.faultThreadId) data.faultThreadId = GetCurrentThreadId();
        auto e = CreateException(settings, std::move(data));
        IQXExceptionEx& ex = ExceptionEx(*e);
        ex.SetHandlingPhase(1);
        bool handled = false;
        if (e->ReportKind() == TReportKind::Hidden) {
            handled = true;
            DispatchHandlers(0, kEventHidden, 0, handled, *e);
            if (handled) {
                ClearFreezeMisses();
                return;
            }
        } else {
            NoteExceptionTime();
            FireExceptionHandlers(*e, handled);
        }
        ex.SetHandlingPhase(2);
        if (!handled && e->ReportKind() != TReportKind::Freeze && e->PauseThreads()) {
            PauseApplicationThreads(ex.CompletionThreadId());
            paused = true;
        }
        if (!handled) {
            // Taken before the report's box or alert can cover the program's windows.
            if (e->ScreenshotWanted()) e->Screenshot();
            if (e->ReportWanted()) e->ReportText(false);
            FireExceptionHandlers(*e, handled);
        }
        ex.SetHandlingPhase(3);
        if (!handled) FireExceptionHandlers(*e, handled);
        // Handlers of the complete phase see the finished report.
        if (!handled && e->HandlingPhase() == 3 && e->HandlersWanted() &&
            HandlersExist(kEventException, 4)) {
            e->CompleteReport();
            ex.SetHandlingPhase(3);
            if (e->HandlingPhase() == 4) FireExceptionHandlers(*e, handled);
        }
        if (!(handled && e->Continuable())) {
            bool shown = false;
            if (!handled) {
                if (e->AutoSave() || e->AutoSend() || e->AutoClip()) AddAutoActionListener(*e);
                if (request.reportOut) *request.reportOut = e->CompleteReport();
                shown = e->ShowDialog();
            }
            bool actionHandled = false;
            if (e->Continuable() && shown) {
            } else if (AutoRuleMet(e->AutoClose()) ||
                       (!e->Continuable() && !AutoRuleMet(e->AutoRestart()))) {
                DispatchHandlers(0, kEventAction, kActionClose, actionHandled, *e);
                ReportAutoActions(*e, true);
                QuitApplication();
            } else if (AutoRuleMet(e->AutoRestart())) {
                DispatchHandlers(0, kEventAction, kActionRestart, actionHandled, *e);
                ReportAutoActions(*e, true);
                RelaunchApplication();
            } else {
                DispatchHandlers(0, kEventAction, kActionContinue, actionHandled, *e);
            }
            if (!handled) ReportAutoActions(*e, false);
        }
    } catch (...) {
    }
    ClearFreezeMisses();
    if (paused) ResumeApplicationThreads();
}

// ---- handler dispatch ----

void DispatchHandlers(uintptr_t, THandlerEvent eventType, uint8_t action, bool& handled,
                      IQXException& exception) {
    TPipelineState& s = S();
    try {
        if (eventType == kEventAction && (action == kActionRestart || action == kActionClose) &&
            (ExceptionEx(exception).HasCriticalListener() ||
             (HandlersExist(kEventException, 4) && exception.HandlersWanted())))
            exception.CompleteReport();
        if (!exception.HandlersWanted()) return;
        TFireHandlersParams p;
        p.eventType = eventType;
        p.action = action;
        p.exception = &exception;
        p.handled = handled;
        bool ran = false;
        if (HandlersExist(eventType, exception.HandlingPhase())) ran = RunHandlerLists(p);
        if ((!p.handled || !ran) && s.window &&
            SyncHandlersExist(eventType, exception.HandlingPhase())) {
            p.callSync = true;
            if (exception.ReportKind() == TReportKind::Freeze) {
                p.syncFailed = true;
            } else {
                const bool unpaused = UnpauseMainThread();
                DWORD_PTR answer = 0;
                bool ok = SendMessageTimeoutA(s.window, s.dispatchMessage, 1, 0, SMTO_NORMAL, 1500,
                                              &answer) &&
                          answer == kAnswer;
                if (ok) {
                    s.pendingDispatch = &p;
                    ok = SendMessageTimeoutA(s.window, s.dispatchMessage, 0, 0, SMTO_NORMAL,
                                             0x7FFFFFFE, &answer) &&
                         answer == kAnswer;
                    s.pendingDispatch = nullptr;
                }
                if (unpaused) RepauseMainThread();
                p.syncFailed = !ok;
            }
            if (p.syncFailed) RunHandlerLists(p);
        }
        handled = p.handled;
    } catch (...) {
    }
}

namespace {

// The library's unit: initialised before the application's code, finalised after it.
struct TLibraryUnit {
    TLibraryUnit() { InitializeLibrary(); }
    ~TLibraryUnit() { FinalizeLibrary(); }
};
TLibraryUnit g_unit __attribute__((init_priority(101)));

} // namespace

} // namespace qix
