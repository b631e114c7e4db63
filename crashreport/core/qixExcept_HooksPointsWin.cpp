// The interception points: system fault handlers, the C++ runtime's throw, terminate
// and abort paths, the framework's application and thread objects, thread creation,
// work items, the pausing message hooks and the hidden-exception check.
#include "crashreport/analysis/qixDisAsmProcessMemory.h"
#include "crashreport/core/qixExcept_Hooks.h"
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/core/qixExcept_RaisedObject.h"
#include "crashreport/core/qixExcept_ThreadRegistry.h"
#include "framework/Forms.h"
#include "framework/Thread.h"

#include <windows.h>

#include <cxxabi.h>
#include <process.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>

// The termination reported for abort() and for std::terminate without an object.
class BcbTermination : public std::exception {
public:
    const char* what() const noexcept override { return "Abnormal program termination"; }
};

// System exceptions that reach a report without a C++ object get one of these, named
// by their class, carrying the message made from the exception record.
class EExternal : public std::exception {
public:
    explicit EExternal(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};
class EExternalException : public EExternal {
    using EExternal::EExternal;
};
class EAccessViolation : public EExternal {
    using EExternal::EExternal;
};
class EIntError : public EExternal {
    using EExternal::EExternal;
};
class EDivByZero : public EIntError {
    using EIntError::EIntError;
};
class EIntOverflow : public EIntError {
    using EIntError::EIntError;
};
class ERangeError : public EIntError {
    using EIntError::EIntError;
};
class EMathError : public EExternal {
    using EExternal::EExternal;
};
class EStackOverflow : public EExternal {
    using EExternal::EExternal;
};
class EPrivilege : public EExternal {
    using EExternal::EExternal;
};
class EControlC : public EExternal {
    using EExternal::EExternal;
};

extern "C" void __real___cxa_throw(void*, std::type_info*, void (*)(void*));

namespace qix {
namespace {

TAddress Addr(const void* p) {
    return static_cast<TAddress>(reinterpret_cast<uintptr_t>(p));
}

// The last throw of this thread: where, and which object.
struct TThrowRecord {
    void* object = nullptr;
    uintptr_t address = 0;
    std::vector<TThrowStackEntry> stack;
    // The registers at the throw site, as a processor fault would have them.
    CONTEXT context;
    bool hasContext = false;
};
thread_local TThrowRecord t_throw;
// Set while a fault of this thread is being reported, so that it is reported once.
thread_local const void* t_reportedRecord = nullptr;
thread_local bool t_insideBeginThread = false;

using TCreateThread = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                      DWORD, LPDWORD);
using TBeginThreadEx = uintptr_t(__cdecl*)(void*, unsigned, unsigned(__stdcall*)(void*), void*,
                                           unsigned, unsigned*);
using TQueueUserWorkItem = BOOL(WINAPI*)(LPTHREAD_START_ROUTINE, PVOID, ULONG);
using TExit = void(__cdecl*)(int);
using TGetMessage = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT);
using TPeekMessage = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT);

struct THookState {
    bool installed = false;
    PVOID vectored = nullptr;
    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
    std::terminate_handler previousTerminate = nullptr;
    void (*previousAbort)(int) = nullptr;
    TCreateThread createThread = nullptr;
    TBeginThreadEx beginThreadEx = nullptr;
    TQueueUserWorkItem queueWorkItem = nullptr;
    TExit exit = nullptr;
    TGetMessage getMessageA = nullptr, getMessageW = nullptr;
    TPeekMessage peekMessageA = nullptr, peekMessageW = nullptr;
    // Stack on which a stack overflow is reported.
    void* spareStack = nullptr;
    std::atomic<bool> spareStackBusy{false};
    std::atomic<bool> terminating{false};
    // Thread classes whose execute slot leads to HookedExecute: vtable -> own method.
    std::mutex classLock;
    std::map<const void*, void*> executeMethods;
};

// Never destroyed: hooked calls of late threads still reach it at process exit.
THookState& H() {
    static THookState& state = *new THookState;
    return state;
}

constexpr size_t kSpareStackSize = 128 * 1024;
// Report sources of the system's fault handlers and of the C++ termination path.
constexpr uint8_t kSourceTermination = 2;
constexpr uint8_t kSourceSystemException = 14;

bool IsProcessorFault(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_STACK_OVERFLOW:
        return true;
    default:
        return code >= EXCEPTION_FLT_DENORMAL_OPERAND && code <= EXCEPTION_FLT_UNDERFLOW;
    }
}

bool InExecutable(const void* address) {
    const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const auto* p = static_cast<const uint8_t*>(address);
    return p >= base && p < base + nt->OptionalHeader.SizeOfImage;
}

// ---- processor faults ----

struct TFaultCall {
    EXCEPTION_POINTERS* info;
};

std::string Dollar(const void* address) {
    char text[16];
    wsprintfA(text, "$%08lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)));
    return text;
}

std::string ModuleFileName(const void* address) {
    MEMORY_BASIC_INFORMATION mbi{};
    if (!VirtualQuery(address, &mbi, sizeof mbi) || !mbi.AllocationBase) return {};
    char path[MAX_PATH + 1] = {};
    if (!GetModuleFileNameA(static_cast<HMODULE>(mbi.AllocationBase), path, MAX_PATH)) return {};
    const std::string full = path;
    return full.substr(full.find_last_of("\\/") + 1);
}

std::string AccessViolationMessage(const EXCEPTION_RECORD& record) {
    const std::string module = ModuleFileName(record.ExceptionAddress);
    if (module.empty() || record.NumberParameters < 2) return "Access violation";
    const bool write = record.ExceptionInformation[0] == 1;
    const bool execute = record.ExceptionInformation[0] == 8;
    return "Access violation at address " + Dollar(record.ExceptionAddress) + " in module '" +
           module + "'. " +
           (execute ? "Execution"
            : write ? "Write"
                    : "Read") +
           " of address " + Dollar(reinterpret_cast<const void*>(record.ExceptionInformation[1]));
}

template <typename T> void ReportAs(const std::string& message, EXCEPTION_POINTERS* info) {
    const T object(message);
    const TRaisedObject raised{&typeid(T), &object};
    ReportException(TReportKind::Exception, &raised, Addr(info->ExceptionRecord->ExceptionAddress),
                    nullptr, 0, nullptr, kSourceSystemException, info->ContextRecord, 0, 0, false);
}

void ReportFault(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& r = *info->ExceptionRecord;
    t_reportedRecord = &r;
    switch (r.ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
        return ReportAs<EAccessViolation>(AccessViolationMessage(r), info);
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        return ReportAs<EDivByZero>("Division by zero", info);
    case EXCEPTION_INT_OVERFLOW:
        return ReportAs<EIntOverflow>("Integer overflow", info);
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        return ReportAs<ERangeError>("Range check error", info);
    case EXCEPTION_STACK_OVERFLOW:
        return ReportAs<EStackOverflow>("Stack overflow", info);
    case EXCEPTION_PRIV_INSTRUCTION:
        return ReportAs<EPrivilege>("Privileged instruction", info);
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        return ReportAs<EMathError>("Floating point division by zero", info);
    case EXCEPTION_FLT_OVERFLOW:
        return ReportAs<EMathError>("Floating point overflow", info);
    case EXCEPTION_FLT_UNDERFLOW:
        return ReportAs<EMathError>("Floating point underflow", info);
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_STACK_CHECK:
        return ReportAs<EMathError>("Invalid floating point operation", info);
    case STATUS_CONTROL_C_EXIT:
        return ReportAs<EControlC>("Control-C hit", info);
    default: {
        char text[64];
        wsprintfA(text, "External exception %08lX", static_cast<unsigned long>(r.ExceptionCode));
        return ReportAs<EExternalException>(text, info);
    }
    }
}

#if defined(__i386__)
void ReportFaultEntry(TFaultCall* call) {
    ReportFault(call->info);
}
#endif

// An overflowed stack has no room for a report: the report runs on a spare stack of
// the same thread, so the thread's identity and registry entry stay.
void ReportOnSpareStack(EXCEPTION_POINTERS* info) {
    THookState& h = H();
    if (!h.spareStack || h.spareStackBusy.exchange(true)) return;
#if defined(__i386__)
    TFaultCall call{info};
    void* top = static_cast<uint8_t*>(h.spareStack) + kSpareStackSize - 64;
    asm volatile("movl %%esp, %%ebx\n\t"
                 "movl %1, %%esp\n\t"
                 "andl $-16, %%esp\n\t"
                 "subl $12, %%esp\n\t"
                 "pushl %0\n\t"
                 "call %P2\n\t"
                 "movl %%ebx, %%esp\n\t"
                 :
                 : "S"(&call), "D"(top), "i"(ReportFaultEntry)
                 : "eax", "ebx", "ecx", "edx", "memory", "cc");
#else
    ReportFault(info);
#endif
    h.spareStackBusy.store(false);
}

// Faults in the program's own code never meet a handler of the C++ runtime, so they
// are reported at first sight; elsewhere the unhandled-exception filter decides.
LONG WINAPI VectoredFaultHandler(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (LibraryState() != TLibraryState::Active || !IsProcessorFault(record->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    if (record->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        ReportOnSpareStack(info);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (!InExecutable(record->ExceptionAddress) ||
        IsGuardedReadFault(reinterpret_cast<uintptr_t>(record->ExceptionAddress)))
        return EXCEPTION_CONTINUE_SEARCH;
    ReportFault(info);
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* info) {
    if (LibraryState() == TLibraryState::Active && t_reportedRecord != info->ExceptionRecord)
        ReportFault(info);
    if (LPTOP_LEVEL_EXCEPTION_FILTER previous = H().previousFilter) return previous(info);
    return EXCEPTION_CONTINUE_SEARCH;
}

// ---- C++ termination ----

void ReportTermination() {
    THookState& h = H();
    if (h.terminating.exchange(true)) return;
    if (abi::__cxa_current_exception_type()) {
        ReportException(TReportKind::Exception, nullptr, t_throw.address, nullptr, 0, nullptr,
                        kSourceTermination, nullptr, 0, 0, false);
    } else {
        BcbTermination termination;
        const TRaisedObject raised{&typeid(BcbTermination), &termination};
        ReportException(TReportKind::Exception, &raised, 0, nullptr, 0, nullptr, kSourceTermination,
                        nullptr, 0, 0, false);
    }
}

[[noreturn]] void OnTerminate() {
    ReportTermination();
    if (std::terminate_handler previous = H().previousTerminate) previous();
    std::abort();
}

void OnAbort(int) {
    ReportTermination();
    if (auto previous = H().previousAbort; previous && previous != SIG_DFL && previous != SIG_IGN)
        previous(SIGABRT);
}

// ---- thread creation ----

struct TThreadStart {
    LPTHREAD_START_ROUTINE procedure;
    void* parameter;
};

DWORD GuardedRun(LPTHREAD_START_ROUTINE procedure, void* parameter) {
    try {
        return procedure(parameter);
    } catch (...) {
        ReportException(TReportKind::Exception, nullptr, t_throw.address, nullptr, 0, nullptr,
                        kSourceThreadProc, nullptr, 0, 0, true);
        return static_cast<DWORD>(-1);
    }
}

DWORD WINAPI GuardedThreadProc(LPVOID p) {
    const TThreadStart start = *static_cast<TThreadStart*>(p);
    delete static_cast<TThreadStart*>(p);
    const DWORD result = GuardedRun(start.procedure, start.parameter);
    ForgetThread(GetCurrentThreadId());
    return result;
}

DWORD WINAPI GuardedWorkItem(LPVOID p) {
    const TThreadStart start = *static_cast<TThreadStart*>(p);
    delete static_cast<TThreadStart*>(p);
    return GuardedRun(start.procedure, start.parameter);
}

// ---- the framework's thread class ----

struct TExecuteSlot : fw::TThread {
    // Byte offset of Execute in the virtual table.
    static size_t Offset() {
        void (TExecuteSlot::*method)() = &TExecuteSlot::Execute;
        uintptr_t raw = 0;
        std::memcpy(&raw, &method, sizeof raw);
        return raw - 1;
    }
};

std::string ClassNameOf(const void* object) {
    const void* const* vtable = *static_cast<const void* const* const*>(object);
    const auto* type = static_cast<const std::type_info*>(vtable[-1]);
    const TRaisedObjectInfo info = DescribeCxxObject(type, nullptr);
    return info.classChain.empty() ? std::string() : info.classChain.front();
}

// A thread object: its class chain reaches the framework's thread class.
bool IsThreadObject(const void* object) {
    MEMORY_BASIC_INFORMATION mbi{};
    if (!object || !VirtualQuery(object, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT ||
        (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)))
        return false;
    const void* const* vtable = *static_cast<const void* const* const*>(object);
    if (!vtable || !VirtualQuery(vtable - 1, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT ||
        !InExecutable(vtable))
        return false;
    const auto* type = static_cast<const std::type_info*>(vtable[-1]);
    if (!type || !InExecutable(type)) return false;
    // Only a real class type record is read further: any pointer parameter could look like
    // an object. Under construction the object still has the base class's record.
    static const void* const baseRecord =
        *reinterpret_cast<const void* const*>(&typeid(fw::TThread));
    static const void* const derivedRecord =
        *reinterpret_cast<const void* const*>(&typeid(TExecuteSlot));
    const void* record = *reinterpret_cast<const void* const*>(type);
    if (record != baseRecord && record != derivedRecord) return false;
    const TRaisedObjectInfo info = DescribeCxxObject(type, nullptr);
    for (size_t i = 0; i < info.classChain.size() && i < 15; ++i)
        if (info.classChain[i] == "fw::TThread") return true;
    return false;
}

#if defined(__i386__)
#define QIX_THISCALL __attribute__((thiscall))
#else
#define QIX_THISCALL
#endif
using TExecuteMethod = void(QIX_THISCALL*)(fw::TThread*);

void QIX_THISCALL HookedExecute(fw::TThread* self) {
    THookState& h = H();
    TExecuteMethod own = nullptr;
    {
        std::lock_guard guard(h.classLock);
        auto found = h.executeMethods.find(*reinterpret_cast<const void* const*>(self));
        if (found != h.executeMethods.end()) own = reinterpret_cast<TExecuteMethod>(found->second);
    }
    if (own) {
        try {
            own(self);
        } catch (...) {
            ReportException(TReportKind::Exception, nullptr, t_throw.address, nullptr, 0, self,
                            kSourceThreadExecute, nullptr, 0, 0, true);
        }
    }
    ForgetThread(GetCurrentThreadId());
}

// Once per class, under a mutex that every library copy in the process shares.
void HookThreadClass(const void* object) {
    THookState& h = H();
    char name[64];
    wsprintfA(name, "HookTThread$%lx", GetCurrentProcessId());
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex) WaitForSingleObject(mutex, 5000);
    {
        std::lock_guard guard(h.classLock);
        void** vtable = *static_cast<void** const*>(object);
        void** slot =
            reinterpret_cast<void**>(reinterpret_cast<uint8_t*>(vtable) + TExecuteSlot::Offset());
        if (!h.executeMethods.count(vtable) && *slot != reinterpret_cast<void*>(&HookedExecute)) {
            void* own = *slot;
            if (PatchValue(slot,
                           static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&HookedExecute))))
                h.executeMethods[vtable] = own;
        }
    }
    if (mutex) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
}

void RecordCreated(DWORD id, HANDLE handle, const void* creator, const std::string& className) {
    RecordThreadInfo(id, reinterpret_cast<uintptr_t>(handle), nullptr, GetCurrentThreadId(),
                     Addr(creator), className.empty() ? nullptr : className.c_str());
}

HANDLE WINAPI HookedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                                 LPTHREAD_START_ROUTINE procedure, LPVOID parameter, DWORD flags,
                                 LPDWORD threadId) {
    THookState& h = H();
    if (t_insideBeginThread || !procedure)
        return h.createThread(security, stackSize, procedure, parameter, flags, threadId);
    const void* creator = __builtin_return_address(0);
    auto* start = new TThreadStart{procedure, parameter};
    DWORD id = 0;
    HANDLE thread = h.createThread(security, stackSize, GuardedThreadProc, start,
                                   flags | CREATE_SUSPENDED, &id);
    if (!thread) {
        delete start;
        return nullptr;
    }
    RecordCreated(id, thread, creator, {});
    if (!(flags & CREATE_SUSPENDED)) ResumeThread(thread);
    if (threadId) *threadId = id;
    return thread;
}

struct TBeginThreadStart {
    unsigned(__stdcall* procedure)(void*);
    void* parameter;
    bool threadObject;
    const void* creator;
    DWORD creatorThread;
};

unsigned __stdcall GuardedBeginThreadProc(void* p) {
    const TBeginThreadStart start = *static_cast<TBeginThreadStart*>(p);
    delete static_cast<TBeginThreadStart*>(p);
    // A thread object is complete only once its thread runs: its own class is known now.
    if (start.threadObject && IsThreadObject(start.parameter)) {
        HookThreadClass(start.parameter);
        const std::string className = ClassNameOf(start.parameter);
        RecordThreadInfo(GetCurrentThreadId(), 0, nullptr, start.creatorThread, Addr(start.creator),
                         className.c_str());
    }
    const auto result =
        GuardedRun(reinterpret_cast<LPTHREAD_START_ROUTINE>(start.procedure), start.parameter);
    ForgetThread(GetCurrentThreadId());
    return result;
}

uintptr_t __cdecl HookedBeginThreadEx(void* security, unsigned stackSize,
                                      unsigned(__stdcall* procedure)(void*), void* parameter,
                                      unsigned flags, unsigned* threadId) {
    THookState& h = H();
    const void* creator = __builtin_return_address(0);
    // A thread object under construction still has its base class's table.
    std::string className;
    const bool threadObject = IsThreadObject(parameter);
    if (threadObject) className = ClassNameOf(parameter);
    auto* start =
        new TBeginThreadStart{procedure, parameter, threadObject, creator, GetCurrentThreadId()};
    unsigned id = 0;
    t_insideBeginThread = true;
    const uintptr_t thread = h.beginThreadEx(security, stackSize, GuardedBeginThreadProc, start,
                                             flags | CREATE_SUSPENDED, &id);
    t_insideBeginThread = false;
    if (!thread) {
        delete start;
        return 0;
    }
    RecordCreated(id, reinterpret_cast<HANDLE>(thread), creator, className);
    if (!(flags & CREATE_SUSPENDED)) ResumeThread(reinterpret_cast<HANDLE>(thread));
    if (threadId) *threadId = id;
    return thread;
}

BOOL WINAPI HookedQueueUserWorkItem(LPTHREAD_START_ROUTINE procedure, PVOID context, ULONG flags) {
    auto* start = new TThreadStart{procedure, context};
    if (H().queueWorkItem(GuardedWorkItem, start, flags)) return TRUE;
    delete start;
    return FALSE;
}

// ---- the runtime's exit ----

// Runs before the runtime's clean-up functions, which free what report threads use.
void __cdecl HookedExit(int code) {
    StopReportsForExit();
    if (TExit previous = H().exit) previous(code);
    ExitProcess(static_cast<UINT>(code));
}

// ---- message hooks ----

BOOL WINAPI HookedGetMessageA(LPMSG msg, HWND window, UINT first, UINT last) {
    PausePoint();
    return H().getMessageA(msg, window, first, last);
}
BOOL WINAPI HookedGetMessageW(LPMSG msg, HWND window, UINT first, UINT last) {
    PausePoint();
    return H().getMessageW(msg, window, first, last);
}
BOOL WINAPI HookedPeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove) {
    PausePoint();
    return H().peekMessageA(msg, window, first, last, remove);
}
BOOL WINAPI HookedPeekMessageW(LPMSG msg, HWND window, UINT first, UINT last, UINT remove) {
    PausePoint();
    return H().peekMessageW(msg, window, first, last, remove);
}

// ---- the framework's application object ----

void QIX_THISCALL HookedHandleException(fw::TApplication* self, const std::exception&) {
    if (HWND capture = GetCapture()) SendMessageA(capture, WM_CANCELMODE, 0, 0);
    ReportException(TReportKind::Exception, nullptr, t_throw.address, nullptr, 0, self,
                    kSourceHandleException, nullptr, 0, 0, true);
}

void* HandleExceptionEntry() {
    void (fw::TApplication::*method)(const std::exception&) = &fw::TApplication::HandleException;
    void* entry = nullptr;
    std::memcpy(&entry, &method, sizeof entry);
    return entry;
}

// Other threads already run (the watchdog, the handling thread) and may enter a hook the
// moment its slot is written, so the original is known before and stays known after.
template <typename T> void Redirect(const char* dll, const char* name, void* hook, T& previous) {
    HMODULE module = GetModuleHandleA(dll);
    if (!module) return;
    previous = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (previous) PatchImportEntries(dll, name, nullptr, hook, nullptr);
}

template <typename T> void Unredirect(void* hook, T& previous) {
    if (previous) RestoreImportEntries(nullptr, reinterpret_cast<void*>(previous), hook);
}

template <typename F> void* Ptr(F f) {
    return reinterpret_cast<void*>(f);
}

} // namespace

uintptr_t LastThrowAddress() {
    return t_throw.address;
}

const std::vector<TThrowStackEntry>* PreparedStackFor(const void* object) {
    return object && object == t_throw.object && !t_throw.stack.empty() ? &t_throw.stack : nullptr;
}

uintptr_t ThrowAddressOf(const void* object) {
    return object && object == t_throw.object ? t_throw.address : 0;
}

const void* ThrowContextFor(const void* object, uintptr_t address) {
    return object && object == t_throw.object && address == t_throw.address && t_throw.hasContext
               ? &t_throw.context
               : nullptr;
}

void CheckHiddenException() {
    if (LibraryState() != TLibraryState::Active || GetCurrentThreadId() == HandlingThreadId())
        return;
    if (HandlersExist(kEventHidden) && abi::__cxa_current_exception_type())
        ReportException(TReportKind::Hidden, nullptr, t_throw.address, nullptr, 0, nullptr,
                        kSourceHidden, nullptr, 0, 0, true);
    ClearThrowRecord();
}

void ClearThrowRecord() {
    t_throw.object = nullptr;
    t_throw.address = 0;
    t_throw.stack.clear();
    t_throw.hasContext = false;
}

bool HooksInstalled() {
    return H().installed;
}

void InstallHooks() {
    THookState& h = H();
    if (h.installed) return;
    h.installed = true;
    h.spareStack = VirtualAlloc(nullptr, kSpareStackSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    h.vectored = AddVectoredExceptionHandler(1, VectoredFaultHandler);
    h.previousFilter = SetUnhandledExceptionFilter(UnhandledFilter);
    h.previousTerminate = std::set_terminate(OnTerminate);
    h.previousAbort = std::signal(SIGABRT, OnAbort);
    Redirect("kernel32.dll", "CreateThread", Ptr(HookedCreateThread), h.createThread);
    Redirect("msvcrt.dll", "_beginthreadex", Ptr(HookedBeginThreadEx), h.beginThreadEx);
    Redirect("kernel32.dll", "QueueUserWorkItem", Ptr(HookedQueueUserWorkItem), h.queueWorkItem);
    Redirect("msvcrt.dll", "exit", Ptr(HookedExit), h.exit);
    Redirect("user32.dll", "GetMessageA", Ptr(HookedGetMessageA), h.getMessageA);
    Redirect("user32.dll", "GetMessageW", Ptr(HookedGetMessageW), h.getMessageW);
    Redirect("user32.dll", "PeekMessageA", Ptr(HookedPeekMessageA), h.peekMessageA);
    Redirect("user32.dll", "PeekMessageW", Ptr(HookedPeekMessageW), h.peekMessageW);
    PatchJump(HandleExceptionEntry(), Ptr(&HookedHandleException));
}

void RemoveHooks() {
    THookState& h = H();
    if (!h.installed) return;
    h.installed = false;
    UndoPatches();
    {
        std::lock_guard guard(h.classLock);
        h.executeMethods.clear();
    }
    Unredirect(Ptr(HookedPeekMessageW), h.peekMessageW);
    Unredirect(Ptr(HookedPeekMessageA), h.peekMessageA);
    Unredirect(Ptr(HookedGetMessageW), h.getMessageW);
    Unredirect(Ptr(HookedGetMessageA), h.getMessageA);
    Unredirect(Ptr(HookedExit), h.exit);
    Unredirect(Ptr(HookedQueueUserWorkItem), h.queueWorkItem);
    Unredirect(Ptr(HookedBeginThreadEx), h.beginThreadEx);
    Unredirect(Ptr(HookedCreateThread), h.createThread);
    std::signal(SIGABRT, h.previousAbort);
    std::set_terminate(h.previousTerminate);
    SetUnhandledExceptionFilter(h.previousFilter);
    if (h.vectored) RemoveVectoredExceptionHandler(h.vectored);
    h.vectored = nullptr;
}

} // namespace qix

// Every C++ throw passes here first (linked with --wrap=__cxa_throw): the place of the
// throw is kept, since the object reaches a report only after the stack is gone.
namespace qix {
namespace {

constexpr size_t kPreparedEntries = 64;
constexpr size_t kPreparedScanBytes = 16 * 1024;

// Candidates only from the executable's image: one comparison per stack word keeps
// every throw cheap.
__attribute__((noinline)) void PrepareThrowStack(TThrowRecord& record, const void* from) {
    static const auto* image = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
    static const size_t imageSize = [] {
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
        return reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew)
            ->OptionalHeader.SizeOfImage;
    }();
    record.stack.clear();
    record.stack.reserve(kPreparedEntries);
    record.stack.push_back({1, static_cast<uint32_t>(record.address)});
#if defined(__i386__)
    uintptr_t top = 0;
    asm("movl %%fs:4, %0" : "=r"(top));
    auto* word = static_cast<const uintptr_t*>(from);
    const uintptr_t end = std::min(top, reinterpret_cast<uintptr_t>(from) + kPreparedScanBytes);
    for (; reinterpret_cast<uintptr_t>(word + 1) <= end && record.stack.size() < kPreparedEntries;
         ++word) {
        const uintptr_t value = *word;
        if (value > reinterpret_cast<uintptr_t>(image) &&
            value < reinterpret_cast<uintptr_t>(image) + imageSize && value != record.address)
            record.stack.push_back({0, static_cast<uint32_t>(value)});
    }
#else
    (void)from;
    (void)imageSize;
#endif
}

} // namespace
} // namespace qix

extern "C" void __wrap___cxa_throw(void* object, std::type_info* type, void (*destructor)(void*)) {
    qix::TThrowRecord& record = qix::t_throw;
    record.object = object;
    record.address = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    qix::PrepareThrowStack(record, __builtin_frame_address(0));
    // The caller's view: back at the throw site, this frame gone.
    RtlCaptureContext(&record.context);
    auto* const* frame = static_cast<void* const*>(__builtin_frame_address(0));
#if defined(__i386__)
    record.context.Eip = static_cast<DWORD>(record.address);
    record.context.Ebp = static_cast<DWORD>(reinterpret_cast<uintptr_t>(frame[0]));
    record.context.Esp = static_cast<DWORD>(reinterpret_cast<uintptr_t>(frame + 2));
#else
    record.context.Rip = record.address;
    record.context.Rbp = reinterpret_cast<uintptr_t>(frame[0]);
    record.context.Rsp = reinterpret_cast<uintptr_t>(frame + 2);
#endif
    record.hasContext = true;
    __real___cxa_throw(object, type, destructor);
}
