// The automatic actions the pipeline's decision needs: saving the report file, the
// clipboard copy, closing and restarting with the restart hand-over, and the restart
// check at start-up.
#include "crashreport/analysis/qixDisAsmProcessMemory.h"
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/core/qixExcept_SettingsWin.h"
#include "crashreport/core/qixExcept_ThreadRegistry.h"

#include <windows.h>

#include <cstdio>
#include <algorithm>
#include <cstring>

namespace qix {
namespace {

// Layout of the restart hand-over block.
struct TRestartBlock {
    uint32_t processId;
    uint32_t mappingHandle;
    int64_t times[10];
};
static_assert(sizeof(TRestartBlock) == 88);

void CreateFolders(const std::string& path) {
    for (size_t i = path.find_first_of("\\/", 3); i != std::string::npos;
         i = path.find_first_of("\\/", i + 1))
        CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
}

TAutoActionRoutines& Routines() {
    static TAutoActionRoutines routines;
    return routines;
}

// The first complete report: the silent send, then the clipboard copy.
void AutoActionListener(bool complete, const std::string& text, TQXReport&, IQXException& e) {
    if (!complete || !ExceptionEx(e).ClaimCompleteNotice()) return;
    if (e.AutoSend()) {
        bool handled = false;
        DispatchHandlers(0, kEventAction, kActionSend, handled, e);
        if (!handled && Routines().send) Routines().send(e, text);
    }
    if (e.AutoClip()) CopyTextToClipboard(text);
}

} // namespace

bool CopyTextToClipboard(const std::string& text) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    if (!memory) return false;
    if (void* p = GlobalLock(memory)) {
        std::memcpy(p, text.c_str(), text.size() + 1);
        GlobalUnlock(memory);
    }
    bool ok = false;
    for (int attempt = 0; attempt < 20 && !ok; ++attempt) {
        if (OpenClipboard(nullptr)) {
            EmptyClipboard();
            ok = SetClipboardData(CF_TEXT, memory) != nullptr;
            CloseClipboard();
        } else {
            Sleep(10);
        }
    }
    if (!ok) GlobalFree(memory);
    return ok;
}

void AddAutoActionListener(IQXException& exception) {
    IQXException* e = &exception;
    exception.AddReportListener(
        reinterpret_cast<const void*>(&AutoActionListener),
        [e](bool complete, const std::string& text, TQXReport& report) {
            AutoActionListener(complete, text, report, *e);
        },
        true);
}

bool StoreBugReport(IQXException& exception, const std::string& given) {
    std::string name = given;
    if (name.empty()) {
        name = exception.BugRepFile();
        name = ReplaceNoCase(name, "%appname%", ModuleBaseName(nullptr));
        name = ReplaceNoCase(name, "%modname%",
                             ModuleBaseName(reinterpret_cast<void*>(exception.OwnerModule())));
    }
    if (name.empty()) return false;
    if (!IsAbsolutePath(name)) name = ModuleFolder(nullptr) + name;
    CreateFolders(name);
    HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const std::string text = exception.CompleteReport() + "\r\n\r\n";
    LARGE_INTEGER position{};
    if (exception.AppendBugReps()) GetFileSizeEx(file, &position);
    SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
    DWORD written = 0;
    const bool ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size() && SetEndOfFile(file);
    if (!ok) {
        // Cut back to what was there: the earlier reports stay, no half report follows.
        SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
        SetEndOfFile(file);
    }
    CloseHandle(file);
    if (!ok) return false;
    if (given.empty()) ExceptionEx(exception).SetReportSaved(true);
    return true;
}

void ReportAutoActions(IQXException& exception, bool wait) {
    IQXExceptionEx& ex = ExceptionEx(exception);
    if (ex.HasCriticalListener() ||
        (HandlersExist(kEventException, 4) && exception.HandlersWanted()))
        exception.CompleteReport();
    if (exception.AutoSave() && !(exception.AutoSaveIfNotSent() && ex.ReportSent()) &&
        ex.ClaimAutoSave()) {
        bool handled = false;
        DispatchHandlers(0, kEventAction, kActionSave, handled, exception);
        if (!handled) {
            if (Routines().save)
                Routines().save(exception);
            else
                StoreBugReport(exception, {});
        }
    }
    if (wait) WaitForBackgroundSend(exception);
}

void SetAutoActionRoutines(const TAutoActionRoutines& routines) {
    Routines() = routines;
}

void WaitForBackgroundSend(IQXException& exception) {
    void** field = ExceptionEx(exception).SendThreadField();
    if (!field || !*field) return;
    WaitForSingleObject(*field, INFINITE);
    CloseHandle(*field);
    *field = nullptr;
}

void QuitApplication() {
    TerminateProcess(GetCurrentProcess(), 1);
    ExitProcess(1);
}

std::string RestartMappingName(uint32_t processId) {
    char name[64];
    std::snprintf(name, sizeof name, "qixExceptRestart$%lx", static_cast<unsigned long>(processId));
    return name;
}

void RelaunchApplication() {
    char exe[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string commandLine = GetCommandLineA();
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessA(exe, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                       nullptr, &si, &pi)) {
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
        HANDLE mapping =
            CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(TRestartBlock),
                               RestartMappingName(pi.dwProcessId).c_str());
        if (mapping) {
            HANDLE inChild = nullptr;
            DuplicateHandle(GetCurrentProcess(), mapping, pi.hProcess, &inChild, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
            if (auto* block = static_cast<TRestartBlock*>(
                    MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(TRestartBlock)))) {
                block->processId = GetCurrentProcessId();
                block->mappingHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(inChild));
                const auto times = ExceptionTimes();
                std::memcpy(block->times, times.data(), sizeof block->times);
                UnmapViewOfFile(block);
            }
        }
        ResumeThread(pi.hThread);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    TerminateProcess(GetCurrentProcess(), 2);
    ExitProcess(2);
}

void RunRestartCheck() {
    HANDLE mapping =
        OpenFileMappingA(FILE_MAP_READ, FALSE, RestartMappingName(GetCurrentProcessId()).c_str());
    if (!mapping) return;
    if (const auto* block = static_cast<const TRestartBlock*>(
            MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(TRestartBlock)))) {
        if (block->mappingHandle)
            CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(block->mappingHandle)));
        if (HANDLE old = OpenProcess(SYNCHRONIZE, FALSE, block->processId)) {
            WaitForSingleObject(old, INFINITE);
            CloseHandle(old);
        }
        std::array<int64_t, 10> times{};
        std::memcpy(times.data(), block->times, sizeof block->times);
        SetExceptionTimes(times);
        UnmapViewOfFile(block);
    }
    CloseHandle(mapping);
}

} // namespace qix

extern "C" int32_t __stdcall qixTraceProcess(int32_t bufferSize) {
    using namespace qix;
    if (LibraryState() != TLibraryState::Active) return 0;
    const DWORD self = GetCurrentThreadId();
    SetThreadName(self, "-");
    std::string report;
    try {
        auto settings = ProcessSettings();
        TExceptionData data;
        data.kind = TReportKind::Freeze;
        data.faultThreadId = MainThreadId();
        auto e = CreateException(settings, std::move(data));
        (void)e->SetPlWaitBox(false);
        (void)e->SetListThreads(true);
        report = e->CompleteReport();
    } catch (...) {
    }
    if (bufferSize < 1) {
        CopyTextToClipboard(report);
    } else {
        OSVERSIONINFOA os{};
        os.dwOSVersionInfoSize = sizeof os;
        HANDLE mapping = nullptr;
        if (GetVersionExA(&os) && os.dwPlatformId == VER_PLATFORM_WIN32_NT)
            mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "Global\\qixTraceProcessMap");
        if (!mapping) mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "qixTraceProcessMap");
        if (mapping) {
            if (auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0,
                                                              static_cast<SIZE_T>(bufferSize)))) {
                const size_t n = std::min(report.size(), static_cast<size_t>(bufferSize - 1));
                std::memcpy(view, report.data(), n);
                view[n] = '\0';
                UnmapViewOfFile(view);
            }
            CloseHandle(mapping);
        }
    }
    ForgetThread(self);
    return 0;
}
