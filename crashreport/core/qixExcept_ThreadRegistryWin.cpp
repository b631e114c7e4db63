#include "crashreport/core/qixExcept_ThreadRegistry.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace qix {
namespace {

constexpr char kCaption[] = "qixExcept";
constexpr DWORD kDebuggerThreadName = 0x406D1388;

// The 20-byte shared block; its layout is shared with other copies of the library.
struct TRegistryBlock {
    HANDLE watchdogMutex;
    HANDLE listMutex;
    struct TEntry* head;
    LONG instanceCount;
    HANDLE mapping;
};
static_assert(sizeof(void*) != 4 || sizeof(TRegistryBlock) == 20);

// 28 bytes on 32-bit; entries of older copies may end after `next` or after `creatorId`.
struct TEntry {
    DWORD threadId;
    char* name;
    TEntry* next;
    char* className;
    TAddress creatorAddress;
    DWORD creatorId;
    HANDLE handle;
};
static_assert(sizeof(void*) != 4 || sizeof(TEntry) == 28);

TRegistryBlock* g_block = nullptr; // this copy's view

bool Has(const TEntry* e, size_t fieldEnd) {
    return LocalSize(const_cast<TEntry*>(e)) >= fieldEnd;
}
const char* ClassOf(const TEntry* e) {
    return Has(e, offsetof(TEntry, className) + sizeof(char*)) ? e->className : nullptr;
}
TAddress CreatorAddressOf(const TEntry* e) {
    return Has(e, offsetof(TEntry, creatorAddress) + sizeof(TAddress)) ? e->creatorAddress : 0;
}
DWORD CreatorIdOf(const TEntry* e) {
    return Has(e, offsetof(TEntry, creatorId) + sizeof(DWORD)) ? e->creatorId : 0;
}
HANDLE HandleOf(const TEntry* e) {
    return Has(e, sizeof(TEntry)) ? e->handle : nullptr;
}

char* LocalCopy(const char* text) {
    if (!text) return nullptr;
    const size_t n = std::strlen(text);
    auto* copy = static_cast<char*>(LocalAlloc(LPTR, n + 1));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

class TListLock {
public:
    explicit TListLock(DWORD timeout) {
        if (!g_block) return;
        const DWORD r = WaitForSingleObject(g_block->listMutex, timeout);
        owned_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    ~TListLock() {
        if (owned_) ReleaseMutex(g_block->listMutex);
    }
    TListLock(const TListLock&) = delete;
    TListLock& operator=(const TListLock&) = delete;
    bool Owned() const { return owned_; }

private:
    bool owned_ = false;
};

// Unlinks `target`; the caller frees it.
void Unlink(TEntry* target) {
    for (TEntry** link = &g_block->head; *link; link = &(*link)->next)
        if (*link == target) {
            *link = target->next;
            return;
        }
}

void FreeEntry(TEntry* e, bool closeHandle) {
    if (closeHandle)
        if (HANDLE h = HandleOf(e)) CloseHandle(h);
    if (e->name) LocalFree(e->name);
    if (const char* c = ClassOf(e)) LocalFree(const_cast<char*>(c));
    LocalFree(e);
}

TEntry* FindLocked(DWORD threadId) {
    for (TEntry* e = g_block->head; e; e = e->next)
        if (e->threadId == threadId) return e;
    return nullptr;
}

void DropOneDeadEntry() {
    for (TEntry* e = g_block->head; e; e = e->next) {
        HANDLE h = HandleOf(e);
        if (h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0) {
            Unlink(e);
            FreeEntry(e, true);
            return;
        }
    }
}

HANDLE OpenForRegistry(DWORD threadId, HANDLE given) {
    constexpr DWORD access = SYNCHRONIZE | THREAD_QUERY_INFORMATION;
    HANDLE out = nullptr;
    if (given &&
        DuplicateHandle(GetCurrentProcess(), given, GetCurrentProcess(), &out, access, FALSE, 0))
        return out;
    return OpenThread(access, FALSE, threadId);
}

void Fatal(const char* text) {
    MessageBoxA(nullptr, text, kCaption, MB_OK | MB_ICONERROR | MB_TASKMODAL);
    ExitProcess(0);
}

LONG WINAPI SwallowThreadName(PEXCEPTION_POINTERS p) {
    return p->ExceptionRecord->ExceptionCode == kDebuggerThreadName ? EXCEPTION_CONTINUE_EXECUTION
                                                                    : EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

std::string ThreadRegistryName() {
    char name[64];
    std::snprintf(name, sizeof name, "qixExceptThreadNameBuf$%lx", GetCurrentProcessId());
    return name;
}

bool OpenThreadRegistry(uint32_t mainThreadId) {
    if (g_block) return true;
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0,
                                        sizeof(TRegistryBlock), ThreadRegistryName().c_str());
    if (!mapping) Fatal("internal error (opening global buffer)");
    const bool fresh = GetLastError() != ERROR_ALREADY_EXISTS;
    auto* block = static_cast<TRegistryBlock*>(
        MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(TRegistryBlock)));
    if (!block)
        Fatal("internal error (mapping global buffer)\r\n\r\nPlease notify "
              "qixlab support <support@qixlab.invalid>.");
    if (fresh) {
        block->watchdogMutex = CreateMutexA(nullptr, FALSE, nullptr);
        block->listMutex = CreateMutexA(nullptr, FALSE, nullptr);
        block->head = nullptr;
        block->instanceCount = 1;
        block->mapping = mapping;
        g_block = block;
        RecordThreadInfo(mainThreadId, 0, "main thread", 0, 0, nullptr);
    } else {
        // The first copy's handle keeps the mapping; ours is not needed.
        InterlockedIncrement(&block->instanceCount);
        CloseHandle(mapping);
        g_block = block;
    }
    return true;
}

void CloseThreadRegistry() {
    if (!g_block) return;
    TRegistryBlock* block = g_block;
    if (InterlockedDecrement(&block->instanceCount) == 0) {
        {
            TListLock lock(INFINITE);
            while (TEntry* e = block->head) {
                block->head = e->next;
                FreeEntry(e, true);
            }
        }
        g_block = nullptr;
        HANDLE mapping = block->mapping;
        CloseHandle(block->watchdogMutex);
        CloseHandle(block->listMutex);
        UnmapViewOfFile(block);
        CloseHandle(mapping);
        return;
    }
    g_block = nullptr;
    UnmapViewOfFile(block);
}

bool ThreadRegistryIsOpen() {
    return g_block != nullptr;
}

uint32_t OldestRegisteredThread() {
    TListLock lock(INFINITE);
    if (!lock.Owned()) return 0;
    const TEntry* last = nullptr;
    for (const TEntry* e = g_block->head; e; e = e->next)
        last = e;
    return last ? last->threadId : 0;
}

uintptr_t WatchdogMutex() {
    return g_block ? reinterpret_cast<uintptr_t>(g_block->watchdogMutex) : 0;
}

void RecordThreadInfo(uint32_t threadId, uintptr_t threadHandle, const char* name,
                      uint32_t creatorThreadId, TAddress creatorAddress, const char* className) {
    TListLock lock(INFINITE);
    if (!lock.Owned()) return;
    const bool keep = (name && *name) || creatorAddress != 0;
    HANDLE reused = nullptr;
    if (TEntry* old = FindLocked(threadId)) {
        Unlink(old);
        if (keep) {
            if (!name || !*name) name = old->name;
            if (!className || !*className) className = ClassOf(old);
            if (!creatorAddress) creatorAddress = CreatorAddressOf(old);
            if (!creatorThreadId) creatorThreadId = CreatorIdOf(old);
            reused = HandleOf(old);
        }
        // Copy the taken-over texts before the old entry goes.
        char* nameCopy = LocalCopy(name);
        char* classCopy = LocalCopy(className);
        FreeEntry(old, !keep);
        if (keep && !reused)
            reused = OpenForRegistry(threadId, reinterpret_cast<HANDLE>(threadHandle));
        if (keep && !reused) {
            LocalFree(nameCopy);
            LocalFree(classCopy);
        } else if (keep) {
            auto* e = static_cast<TEntry*>(LocalAlloc(LPTR, sizeof(TEntry)));
            if (!e) {
                if (reused) CloseHandle(reused);
                LocalFree(nameCopy);
                LocalFree(classCopy);
            } else {
                *e = {threadId,       nameCopy,        g_block->head, classCopy,
                      creatorAddress, creatorThreadId, reused};
                g_block->head = e;
            }
        } else {
            LocalFree(nameCopy);
            LocalFree(classCopy);
        }
    } else if (keep) {
        HANDLE h = OpenForRegistry(threadId, reinterpret_cast<HANDLE>(threadHandle));
        if (h) {
            auto* e = static_cast<TEntry*>(LocalAlloc(LPTR, sizeof(TEntry)));
            if (!e) {
                CloseHandle(h);
            } else {
                *e = {threadId,
                      LocalCopy(name),
                      g_block->head,
                      LocalCopy(className),
                      creatorAddress,
                      creatorThreadId,
                      h};
                g_block->head = e;
            }
        }
    }
    DropOneDeadEntry();
}

void SetThreadName(uint32_t threadId, const char* name) {
    RecordThreadInfo(threadId, 0, name, 0, 0, nullptr);
    if (!IsDebuggerPresent() || !name) return;
    // The debugger sees the naming exception first; whatever it passes on ends here.
    PVOID swallow = AddVectoredExceptionHandler(1, SwallowThreadName);
    ULONG_PTR info[4] = {0x1000, reinterpret_cast<ULONG_PTR>(name), threadId, 0};
    RaiseException(kDebuggerThreadName, 0, 4, info);
    if (swallow) RemoveVectoredExceptionHandler(swallow);
}

void ForgetThread(uint32_t threadId) {
    RecordThreadInfo(threadId, 0, nullptr, 0, 0, nullptr);
}

bool LookupThreadEntry(uint32_t threadId, TThreadRegistryEntry& entry, bool& available) {
    TListLock lock(50);
    available = lock.Owned();
    if (!available) return false;
    const TEntry* e = FindLocked(threadId);
    if (!e) return false;
    entry.name = e->name ? e->name : "";
    const char* c = ClassOf(e);
    entry.className = c ? c : "";
    entry.creatorAddress = CreatorAddressOf(e);
    entry.creatorThreadId = CreatorIdOf(e);
    return true;
}

std::string ThreadDisplayName(uint32_t threadId, bool force, TAddress* creatorAddress,
                              uint32_t* creatorThreadId) {
    TThreadRegistryEntry entry;
    bool available = false;
    const bool found = LookupThreadEntry(threadId, entry, available);
    if (creatorAddress) *creatorAddress = found ? entry.creatorAddress : 0;
    if (creatorThreadId) *creatorThreadId = found ? entry.creatorThreadId : 0;
    return ThreadTitle(threadId, found ? &entry : nullptr, available, force);
}

} // namespace qix
