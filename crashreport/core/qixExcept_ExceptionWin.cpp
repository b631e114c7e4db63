// The exception object on Windows: per-exception settings over the module's, the
// header gathered from the system, the thread sections of the process's threads and
// the completion thread that fills them in.
#include "crashreport/analysis/qixDisAsmProcessMemory.h"
#include "crashreport/analysis/qixStackTraceWin.h"
#include "crashreport/core/qixExcept_Hooks.h"
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/core/qixExcept_RaisedObject.h"
#include "crashreport/core/qixExcept_Sections.h"
#include "crashreport/core/qixExcept_SettingsWin.h"
#include "crashreport/core/qixExcept_ThreadList.h"
#include "crashreport/core/qixExcept_ThreadRegistry.h"
#include "crashreport/ui/qixNVPrgrAlert.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace qix {
namespace {

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using THandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

TLocalTime ToLocalTime(const SYSTEMTIME& st) {
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

std::string ModuleFileName(HMODULE module) {
    char buf[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(module, buf, MAX_PATH);
    return std::string(buf, n);
}

TReportSystemInfo GatherSystemInfo() {
    TReportSystemInfo sys{};
    SYSTEMTIME st;
    GetLocalTime(&st);
    sys.now = ToLocalTime(st);
    char buf[MAX_PATH + 1] = {};
    DWORD size = sizeof buf;
    if (GetComputerNameA(buf, &size)) sys.computerName = std::string(buf, size);
    size = sizeof buf;
    if (GetUserNameA(buf, &size)) sys.userName = std::string(buf);
    OSVERSIONINFOEXA os{};
    os.dwOSVersionInfoSize = sizeof os;
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&os)))
        sys.os = TOsVersion{os.dwPlatformId, os.dwMajorVersion, os.dwMinorVersion,
                            os.dwBuildNumber & 0xffff, os.szCSDVersion};
    LARGE_INTEGER counter, frequency;
    if (QueryPerformanceCounter(&counter) && QueryPerformanceFrequency(&frequency))
        sys.performanceCounter = std::pair<int64_t, int64_t>(counter.QuadPart, frequency.QuadPart);
    sys.programMilliseconds = CounterMilliseconds() - ProgramStartMilliseconds();
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    sys.processorCount = static_cast<int>(si.dwNumberOfProcessors);
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (GlobalMemoryStatusEx(&memory))
        sys.physicalMemory =
            std::pair<uint64_t, uint64_t>(memory.ullAvailPhys, memory.ullTotalPhys);
    DEVMODEA mode{};
    mode.dmSize = sizeof mode;
    if (EnumDisplaySettingsA(nullptr, ENUM_CURRENT_SETTINGS, &mode))
        sys.display = TDisplayMode{mode.dmPelsWidth, mode.dmPelsHeight, mode.dmBitsPerPel, 1};
    sys.processId = GetCurrentProcessId();
    const std::string exe = ModuleFileName(nullptr);
    sys.executablePath = exe;
    const char* commandLine = GetCommandLineA();
    // Only the parameters after the (possibly quoted) program name count.
    const char* p = commandLine;
    if (*p == '"') {
        p = std::strchr(p + 1, '"');
        p = p ? p + 1 : commandLine + std::strlen(commandLine);
    } else {
        while (*p && *p != ' ')
            ++p;
    }
    while (*p == ' ')
        ++p;
    if (*p) sys.commandLine = commandLine;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (GetFileAttributesExA(exe.c_str(), GetFileExInfoStandard, &attributes)) {
        FILETIME local;
        SYSTEMTIME fileTime;
        if (FileTimeToLocalFileTime(&attributes.ftLastWriteTime, &local) &&
            FileTimeToSystemTime(&local, &fileTime))
            sys.fileTime = ToLocalTime(fileTime);
    }
    char separator[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof separator) > 1)
        sys.decimalSeparator = separator;
    return sys;
}

TAddress StackTopOf(TAddress stackPointer) {
    MEMORY_BASIC_INFORMATION mbi;
    if (!stackPointer ||
        VirtualQuery(reinterpret_cast<void*>(stackPointer), &mbi, sizeof mbi) != sizeof mbi)
        return 0;
    return static_cast<TAddress>(reinterpret_cast<uintptr_t>(mbi.BaseAddress) + mbi.RegionSize);
}

#if defined(_M_IX86) || defined(__i386__)
void ReadRegisters(const CONTEXT& c, TThreadProbe& probe) {
    probe.instructionPointer = c.Eip;
    probe.stackPointer = c.Esp;
    probe.framePointer = c.Ebp;
}
TCpuRegisters CpuRegistersOf(const CONTEXT& c) {
    return {c.Eax, c.Ebx, c.Ecx, c.Edx, c.Esi, c.Edi, c.Eip, c.Esp, c.Ebp};
}
#else
void ReadRegisters(const CONTEXT& c, TThreadProbe& probe) {
    probe.instructionPointer = static_cast<TAddress>(c.Rip);
    probe.stackPointer = static_cast<TAddress>(c.Rsp);
    probe.framePointer = static_cast<TAddress>(c.Rbp);
}
TCpuRegisters CpuRegistersOf(const CONTEXT& c) {
    auto r = [](DWORD64 v) { return static_cast<uint32_t>(v); };
    return {r(c.Rax), r(c.Rbx), r(c.Rcx), r(c.Rdx), r(c.Rsi),
            r(c.Rdi), r(c.Rip), r(c.Rsp), r(c.Rbp)};
}
#endif

// Reads a thread's registers; the thread is held only for the read.
TThreadProbe ProbeThread(uint32_t threadId) {
    TThreadProbe probe;
    if (threadId == GetCurrentThreadId()) return probe;
    THandle thread(OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION,
                              FALSE, threadId));
    if (!thread) return probe;
    const DWORD previous = SuspendThread(thread.get());
    if (previous == static_cast<DWORD>(-1)) return probe;
    probe.suspended = previous > 0;
    CONTEXT c{};
    c.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    if (GetThreadContext(thread.get(), &c)) {
        probe.contextRead = true;
        ReadRegisters(c, probe);
    }
    ResumeThread(thread.get());
    const int priority = GetThreadPriority(thread.get());
    probe.priority = priority == THREAD_PRIORITY_ERROR_RETURN ? 0 : priority;
    probe.stackTop = StackTopOf(probe.stackPointer);
    return probe;
}

// The quick candidate list of a thread that keeps running: every slot from the stack top
// down whose value follows a call, flagged when it is a frame-pointer slot; it ends below
// a slot holding the exception address, which the trace adds itself.
std::vector<TPreparedEntry> QuickCandidates(const TThreadStackRecord& thread,
                                            TAddress exceptionAddress) {
    std::vector<TPreparedEntry> list;
    if (thread.stackTop <= thread.stackPointer ||
        thread.stackTop - thread.stackPointer > (16u << 20))
        return list;
    TProcessMemoryReader memory;
    std::vector<uint8_t> stack(thread.stackTop - thread.stackPointer);
    if (!memory.Read(thread.stackPointer, stack.data(), static_cast<uint32_t>(stack.size())))
        return list;
    const auto slot = [&](TAddress at) {
        uint32_t v = 0;
        std::memcpy(&v, stack.data() + (at - thread.stackPointer), 4);
        return TAddress(v);
    };
    std::vector<TAddress> frameSlots;
    TAddress frame = thread.framePointer;
    for (size_t n = 0; n < stack.size() / 8 + 1; ++n) {
        if (frame < thread.stackPointer || uint64_t(frame) + 8 > thread.stackTop) break;
        frameSlots.push_back(frame + 4);
        const TAddress next = slot(frame);
        if (!(next > frame && next < thread.stackTop)) break;
        frame = next;
    }
    TReadableRanges ranges = BeginTryRead(memory);
    for (uint64_t at = uint64_t(thread.stackTop) - 4; at >= thread.stackPointer; at -= 4) {
        const TAddress value = slot(TAddress(at));
        if (thread.crashed && exceptionAddress && value == exceptionAddress) break;
        const bool framed =
            std::find(frameSlots.begin(), frameSlots.end(), TAddress(at)) != frameSlots.end();
        if (value > 7 && (framed || FollowsCall(memory, value, &ranges)))
            list.push_back({static_cast<uint8_t>(framed ? 1 : 0), value});
        if (at < 4) break;
    }
    EndTryRead(ranges);
    return list;
}

class TIQXException;

// The reports whose sections are being computed, for the process's exit.
struct TLiveReports {
    std::mutex lock;
    std::vector<TIQXException*> list;
    bool exiting = false;
};
TLiveReports& LiveReports() {
    static TLiveReports& live = *new TLiveReports;
    return live;
}

class TIQXException final : public IQXException,
                            public IQXExceptionEx,
                            public IReportBuilder,
                            public ISectionSource {
public:
    TIQXException(std::shared_ptr<IQXSettings> settings, TRecordRef record,
                  TSettingsModuleRecord* privateRecord, TExceptionData data)
        : IQXException(WindowsSettingsEnvironment(), settings->OwnerModule(), std::move(record)),
          settings_(std::move(settings)), private_(privateRecord), data_(std::move(data)),
          continuableAtCreation_(data_.canContinue), continuable_(data_.canContinue) {
        SetVersionText(settings_->VersionText());
        if (!data_.faultThreadId) data_.faultThreadId = GetCurrentThreadId();
        ApplyFilters();
        // The hooks keep the throw site first and older words after it; the tracer wants
        // the oldest first. The hooks' list is only valid until the thread's next throw.
        if (const auto* thrown =
                static_cast<const std::vector<TThrowStackEntry>*>(data_.preparedStack)) {
            for (auto it = thrown->rbegin(); it != thrown->rend(); ++it)
                thrownStack_.push_back({it->flag, it->address});
        }
        data_.preparedStack = nullptr;
        report_ = std::make_unique<TQXReport>(*this, reportWanted_);
        try {
            alert_ = CreateProgressAlert(PlWaitTitle(), nullptr, "QXIPLWAIT");
        } catch (...) {
        }
    }

    ~TIQXException() override {
        // A background send still reads these settings.
        if (sendThread_) {
            if (!ProcessIsBlocked()) WaitForSingleObject(sendThread_, INFINITE);
            CloseHandle(sendThread_);
        }
        abort_.store(true);
        report_->Abandon();
        if (completion_) {
            if (ProcessIsBlocked() ||
                WaitForSingleObject(completion_.get(), INFINITE) != WAIT_OBJECT_0)
                TerminateThread(completion_.get(), 0);
            TLiveReports& live = LiveReports();
            std::lock_guard guard(live.lock);
            live.list.erase(std::remove(live.list.begin(), live.list.end(), this), live.list.end());
        }
    }

    // Under the live list's lock.
    HANDLE AbortForExit() {
        abort_.store(true);
        HANDLE copy = nullptr;
        if (completion_ && completionId_.load() != GetCurrentThreadId())
            DuplicateHandle(GetCurrentProcess(), completion_.get(), GetCurrentProcess(), &copy,
                            SYNCHRONIZE, FALSE, 0);
        return copy;
    }

    // ---- settings: the private copy first, then the module's ----
    bool GetPropBool(std::string_view name) const override {
        return Overridden(name) ? TIQXSettings::GetPropBool(name) : settings_->GetPropBool(name);
    }
    int32_t GetPropInt(std::string_view name) const override {
        return Overridden(name) ? TIQXSettings::GetPropInt(name) : settings_->GetPropInt(name);
    }
    std::string GetPropStr(std::string_view name) const override {
        return Overridden(name) ? TIQXSettings::GetPropStr(name) : settings_->GetPropStr(name);
    }

    // ---- IQXException ----
    int HandlingPhase() const override { return phase_.load(); }
    bool Continuable() const override { return continuable_.load(); }
    void SetContinuable(bool value) override {
        if (!value || continuableAtCreation_) continuable_.store(value);
    }
    TReportKind ReportKind() const override { return data_.kind; }
    const TRaisedObject& RaisedObject() const override { return data_.raised; }
    std::string ObjectClassName() const override { return qix::ObjectClassName(data_.object); }
    std::string ObjectMessage() const override {
        return FormatObjectMessage(RawObjectMessage(data_.object));
    }
    TAddress FaultAddress() const override { return data_.faultAddress; }
    uint32_t FaultThreadId() const override { return data_.faultThreadId; }
    uint32_t StackChecksum(int index) const override {
        return index >= 0 && index < 3 ? checksums_[static_cast<size_t>(index)].load() : 0;
    }
    const void* ProcessorContext() const override {
        return data_.context.empty() ? nullptr : data_.context.data();
    }
    uint8_t ReportSource() const override { return data_.source; }
    const void* RelatedObject() const override { return data_.relatedObject; }
    TModuleHandle PackageHandle() const override { return data_.package; }
    std::shared_ptr<IQXFields> HeaderFields() override { return report_->HeaderFields(); }
    std::shared_ptr<IQXFields> SectionFields() override { return report_->SectionFields(); }
    std::string CompleteReport() override { return report_->CompleteReport(); }
    void SetReportText(std::string text) override { report_->SetReportText(std::move(text)); }
    std::string ReportText(bool mustBeComplete) override {
        return report_->ReportText(mustBeComplete);
    }
    PNVBitmap Screenshot() override {
        std::lock_guard guard(screenshotLock_);
        if (!screenshotTaken_) {
            screenshotTaken_ = true;
            try {
                screenshot_ = CaptureScreen(ScrShotAppOnly());
            } catch (...) {
            }
        }
        return screenshot_;
    }
    void SetScreenshot(PNVBitmap bitmap) override {
        std::lock_guard guard(screenshotLock_);
        screenshotTaken_ = true;
        screenshot_ = std::move(bitmap);
    }
    void BeginChange() override { report_->BeginChange(); }
    void EndChange() override { report_->EndChange(); }
    void AddReportListener(TReportCallback callback, bool critical) override {
        report_->AddReportListener(callback, critical);
    }
    void AddReportListener(const void* key, TReportMethod method, bool critical) override {
        report_->AddReportListener(key, std::move(method), critical);
    }
    void RemoveReportListener(TReportCallback callback) override {
        report_->RemoveReportListener(callback);
    }
    void RemoveReportListener(const void* key) override { report_->RemoveReportListener(key); }
    bool ReportWanted() const override { return reportWanted_; }
    void SetReportWanted(bool value) override { reportWanted_ = value; }
    bool ScreenshotWanted() const override { return screenshotWanted_; }
    void SetScreenshotWanted(bool value) override { screenshotWanted_ = value; }
    bool HandlersWanted() const override { return handlersWanted_; }
    void SetHandlersWanted(bool value) override { handlersWanted_ = value; }
    bool ScreenshotAppended() const override { return screenshotAppended_; }
    void SetScreenshotAppended(bool value) override { screenshotAppended_ = value; }
    uint8_t ShowMode() const override { return showMode_; }
    void SetShowMode(uint8_t value) override { showMode_ = value; }
    std::string AssistantName() const override { return assistant_; }
    void SetAssistantName(std::string_view value) override { assistant_ = value; }
    bool ShowDialog() override { return ShowExceptionDialog(*this); }

    // ---- IQXExceptionEx ----
    bool HasCriticalListener() const override { return report_->HasCriticalListener(); }
    uint32_t CompletionThreadId() const override { return completionId_.load(); }
    void SetHandlingPhase(int phase) override {
        if (phase == 3 && report_->IsComplete()) phase = 4;
        phase_.store(phase);
    }
    bool ReportSent() const override { return sent_.load(); }
    void SetReportSent(bool value) override { sent_.store(value); }
    bool ReportSaved() const override { return saved_.load(); }
    void SetReportSaved(bool value) override { saved_.store(value); }
    bool ClaimCompleteNotice() override { return ++completeClaim_ == 0; }
    bool ClaimAutoSave() override { return ++autoSaveClaim_ == 0; }
    void** SendThreadField() override { return &sendThread_; }
    bool CompletionAborted() const override { return abort_.load(); }

    // ---- IReportBuilder ----
    void FillHeader(TIQXFields& header) override {
        THeaderInput input;
        input.kind = data_.kind;
        input.object = data_.object;
        input.frozenMessage = FrozenMsg();
        input.pluginsSetting = Plugins();
        StoreHeaderLines(header,
                         ComposeHeaderLines(GatherSystemInfo(), input, ProcessExceptionCounter()));
    }

    void PrepareSections(TIQXFields& sections) override {
        BuildThreadRecords();
        TSectionSwitches switches;
        switches.cpuRegs = CpuRegs();
        switches.stackDump = StackDump();
        switches.showDisAsm = ShowDisAsm();
        switches.haveCrashContext = !data_.context.empty();
        switches.pluginsSetting = Plugins();
        plan_ = PlanSections(threads_, {}, switches);
        if (alert_)
            for (const TThreadStackRecord& thread : threads_)
                alert_->AddPhase(PlWaitText(), ProgressWeight(thread));
        StorePlaceholders(sections, plan_);
        // On the handling thread the sections are computed in the background.
        if (GetCurrentThreadId() == HandlingThreadId() && !ProcessIsBlocked()) StartCompletion();
    }

    void WaitForCompletion() override {
        if (!completion_) {
            if (!report_->IsComplete()) RunCompletion();
            return;
        }
        if (ProcessIsBlocked()) return;
        // The please-wait alert runs on this thread while the sections complete.
        if (PlWaitBox() && alert_ && alert_->Display(nullptr, false)) {
            SetThreadPriority(completion_.get(), THREAD_PRIORITY_HIGHEST);
            while (WaitForSingleObject(completion_.get(), 50) == WAIT_TIMEOUT)
                alert_->PumpMessages();
            alert_->PumpMessages();
        }
        WaitForSingleObject(completion_.get(), INFINITE);
        if (alert_) alert_->Dismiss();
    }

    // ---- ISectionSource ----
    void PrepareStack(const TThreadStackRecord& thread) override {
        // An installed tracer (a test's) takes the place of the process's own.
        if (auto tracer = ThreadTracer()) return tracer->PrepareStack(thread, *this);
        if (thread.crashed && !thrownStack_.empty()) return;
        std::vector<TPreparedEntry> list = QuickCandidates(thread, data_.faultAddress);
        std::lock_guard guard(preparedLock_);
        prepared_[thread.threadId] = std::move(list);
    }
    TThreadTrace TraceThread(const TThreadStackRecord& thread) override {
        if (auto tracer = ThreadTracer()) {
            TThreadTrace trace = tracer->TraceThread(thread, *this);
            if (alert_) alert_->PhaseDone();
            return trace;
        }
        std::vector<TPreparedEntry> prepared;
        bool havePrepared = false;
        if (thread.crashed && !thrownStack_.empty()) {
            prepared = thrownStack_;
            havePrepared = true;
        } else {
            std::lock_guard guard(preparedLock_);
            auto it = prepared_.find(thread.threadId);
            if (it != prepared_.end()) {
                prepared = std::move(it->second);
                prepared_.erase(it);
                havePrepared = true;
            }
        }
        TStackTraceRequest request;
        request.HideUglyItems = HideUglyItems();
        request.ShowRelAddrs = ShowRelAddrs();
        request.ShowRelLines = ShowRelLines();
        request.Abort = &abort_;
        request.Prepared = havePrepared ? &prepared : nullptr;
        request.CxxTermination = thread.cxxTermination;
        request.FramePointer = thread.framePointer;
        request.Progress = alert_.get();
        request.CreationAddress = thread.creationAddress;
        request.StackTop = thread.stackTop;
        request.StackBottom = thread.stackPointer;
        request.IsException = thread.crashed && data_.faultAddress != 0;
        // Only system exceptions come from the processor; a throw has its site's registers.
        request.RaisedByCode = request.IsException && !thread.external;
        request.CurrentAddress = thread.address;
        // A throw's prepared stack already ends in its site.
        request.DoNotAddTopItem = thread.crashed && !thrownStack_.empty();
        std::vector<std::string> minDebugInfo;
        TStackTraceResult result = ProcessStackTracer().Trace(request, &minDebugInfo);
        if (alert_) alert_->PhaseDone();
        TThreadTrace trace;
        trace.text = std::move(result.Text);
        trace.crashChecksum = result.Checksums[0];
        trace.stackChecksum = result.Checksums[1];
        trace.functionStart = result.CrashProcStart;
        trace.crashAddress = result.CrashAddress;
        trace.hasLineInfo = result.HasLineNumbers;
        trace.aborted = abort_.load();
        trace.qixEntries = std::move(minDebugInfo);
        return trace;
    }
    std::string DescribeAddress(TAddress address) override {
        try {
            return ProcessStackTracer().DescribeAddress(address, ShowRelAddrs(), ShowRelLines());
        } catch (...) {
        }
        std::string text = Hex8(address);
        HMODULE module = nullptr;
        if (address && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                          reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(address)),
                                          &module)) {
            const std::string path = ModuleFileName(module);
            text += ' ' + path.substr(path.find_last_of("\\/") + 1);
        }
        return text;
    }
    std::string CpuRegistersText() override {
        if (data_.context.size() < sizeof(CONTEXT)) return {};
        CONTEXT c;
        std::memcpy(&c, data_.context.data(), sizeof c);
        return GetCpuRegisters(CpuRegistersOf(c));
    }
    std::string StackDumpText() override {
        TProcessMemoryReader memory;
        return GetStackDump(memory, data_.stackPointer);
    }
    std::string DisAsmText(TAddress functionStart, TAddress crashAddress) override {
        TProcessMemoryReader memory;
        TDisAsmContext context;
        context.Memory = &memory;
        return GetCleartextDisAsm(context, functionStart, crashAddress, FormatDisAsm(),
                                  LimitDisAsm());
    }
    std::string PluginText(std::string_view) override { return {}; }
    void CloseProgress() override {
        if (alert_) alert_->Dismiss();
    }

private:
    bool Overridden(std::string_view name) const {
        std::lock_guard guard(private_->lock);
        for (const auto& p : private_->props)
            if (p.name == name) return true;
        return false;
    }

    void ApplyFilters() {
        auto* module = dynamic_cast<IQXModuleSettings*>(settings_.get());
        const int filter = module ? SelectClassFilter(data_.object.classChain, module->F1Classes(),
                                                      module->F2Classes())
                                  : 0;
        const std::string prefix = filter == 1 ? "F1" : filter == 2 ? "F2" : "Gn";
        auto flag = [&](const char* name) { return settings_->GetPropBool(prefix + name); };
        reportWanted_ = !flag("NoBugRep");
        screenshotWanted_ = !flag("NoScrShot") && ScrShotDepth() > 0;
        if (!SetPauseThreads(PauseThreads() && !flag("NoSuspend"))) {
            // Writes to the private copy never fail; nothing to fall back to.
        }
        handlersWanted_ = !flag("NoHandlers");
        showMode_ = static_cast<uint8_t>(settings_->GetPropInt(prefix + "ShowCfg"));
        assistant_ = settings_->GetPropStr(prefix + "Assis");
        screenshotAppended_ = screenshotWanted_;
    }

    void BuildThreadRecords() {
        threads_.clear();
        const bool freeze = data_.kind == TReportKind::Freeze;
        TThreadListInput list;
        list.crashedThreadId = data_.faultThreadId;
        list.mainThreadId = MainThreadId();
        list.freeze = freeze;
        list.listThreads = ListThreads();
        list.processThreads = ProcessThreadIds();
        list.helperThreads = {HandlingThreadId(), WatchdogThreadId(), GetCurrentThreadId()};
        TCrashInfo crash;
        crash.exceptionAddress = data_.faultAddress;
        crash.stackPointer = data_.stackPointer;
        crash.framePointer = data_.framePointer;
        crash.external = std::any_of(data_.object.classChain.begin(), data_.object.classChain.end(),
                                     [](const std::string& name) { return name == "EExternal"; });
        crash.cxxTermination = qix::ObjectClassName(data_.object) == "BcbTermination";
        for (const TListedThread& listed : ListReportThreads(list)) {
            TThreadRegistryEntry entry;
            bool available = false;
            const bool found = LookupThreadEntry(listed.id, entry, available);
            std::string title =
                ThreadTitle(listed.id, found ? &entry : nullptr, available, listed.crashed);
            if (title.empty()) continue;
            TThreadProbe probe = ProbeThread(listed.id);
            if (listed.crashed && !probe.contextRead && data_.stackPointer) {
                probe.contextRead = true;
                probe.stackPointer = data_.stackPointer;
                probe.framePointer = data_.framePointer;
            }
            // The crashed thread may be waiting on another stack (the spare one after an
            // overflow): the stack to trace is the one of the crash.
            if (listed.crashed && data_.stackPointer) {
                const TAddress top = StackTopOf(data_.stackPointer);
                if (top) probe.stackTop = top;
            }
            std::string creator;
            if (found && entry.creatorThreadId)
                creator = ThreadDisplayName(entry.creatorThreadId, true);
            threads_.push_back(MakeThreadRecord(listed.id, std::move(title), listed.crashed, probe,
                                                crash, found ? &entry : nullptr, creator,
                                                [this](TAddress a) { return DescribeAddress(a); }));
        }
    }

    void RunCompletion() {
        const TSectionResult result =
            CompleteThreadSections(*this, threads_, plan_, *report_, abort_);
        for (size_t i = 0; i < 3; ++i)
            checksums_[i].store(result.checksums[i]);
    }

    static DWORD WINAPI CompletionProc(LPVOID self) {
        SetThreadName(GetCurrentThreadId(), "-");
        try {
            static_cast<TIQXException*>(self)->RunCompletion();
        } catch (...) {
        }
        ForgetThread(GetCurrentThreadId());
        return 0;
    }

    void StartCompletion() {
        TLiveReports& live = LiveReports();
        std::unique_lock guard(live.lock);
        if (live.exiting) abort_.store(true);
        DWORD id = 0;
        completion_.reset(CreateThread(nullptr, 0, CompletionProc, this, CREATE_SUSPENDED, &id));
        if (!completion_) {
            guard.unlock();
            RunCompletion();
            return;
        }
        live.list.push_back(this);
        completionId_.store(id);
        SetThreadPriority(completion_.get(), THREAD_PRIORITY_ABOVE_NORMAL);
        ResumeThread(completion_.get());
    }

    std::shared_ptr<IQXSettings> settings_;
    TSettingsModuleRecord* private_;
    TExceptionData data_;
    const bool continuableAtCreation_;
    std::atomic<bool> continuable_;
    std::atomic<int> phase_{0};
    std::array<std::atomic<uint32_t>, 3> checksums_{};
    bool reportWanted_ = true, screenshotWanted_ = false, handlersWanted_ = true;
    bool screenshotAppended_ = false;
    uint8_t showMode_ = 0;
    std::string assistant_;
    std::mutex screenshotLock_;
    bool screenshotTaken_ = false;
    PNVBitmap screenshot_;
    std::atomic<bool> sent_{false}, saved_{false};
    void* sendThread_ = nullptr;
    std::atomic<int32_t> completeClaim_{-1}, autoSaveClaim_{-1};
    std::vector<TThreadStackRecord> threads_;
    std::vector<TPreparedEntry> thrownStack_; // of the crashed thread's throw, oldest first
    std::mutex preparedLock_;
    std::map<uint32_t, std::vector<TPreparedEntry>> prepared_; // quick lists by thread id
    std::vector<std::pair<std::string, std::string>> plan_;
    std::atomic<bool> abort_{false};
    THandle completion_;
    std::atomic<uint32_t> completionId_{0};
    PProgressAlert alert_;
    std::unique_ptr<TQXReport> report_;
};

} // namespace

std::shared_ptr<IQXException> CreateException(std::shared_ptr<IQXSettings> settings,
                                              TExceptionData data) {
    TRecordRef record = MakeOwnedRecord(settings->OwnerModule(), {});
    TSettingsModuleRecord* raw = record.get();
    return std::make_shared<TIQXException>(std::move(settings), std::move(record), raw,
                                           std::move(data));
}

IQXExceptionEx& ExceptionEx(IQXException& exception) {
    return dynamic_cast<IQXExceptionEx&>(exception);
}

void AbortReportCompletions(uint32_t timeoutMs) {
    TLiveReports& live = LiveReports();
    std::vector<HANDLE> threads;
    {
        std::lock_guard guard(live.lock);
        live.exiting = true;
        for (TIQXException* report : live.list)
            if (HANDLE h = report->AbortForExit()) threads.push_back(h);
    }
    // More than the system waits for at once is not expected; the rest are not waited for.
    const DWORD count = static_cast<DWORD>(std::min<size_t>(threads.size(), MAXIMUM_WAIT_OBJECTS));
    if (count) WaitForMultipleObjects(count, threads.data(), TRUE, timeoutMs);
    for (HANDLE h : threads)
        CloseHandle(h);
}

} // namespace qix
