#include "crashreport/core/qixExcept_ThreadList.h"

#include <windows.h>

#include <tlhelp32.h>
#include <winternl.h>

#include <memory>

namespace qix {
namespace {

template <typename F> F Resolve(const char* module, const char* name) {
    HMODULE handle = GetModuleHandleA(module);
    return handle ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(handle, name)))
                  : nullptr;
}

constexpr ULONG kProcessInformation = 5;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr ULONG kFirstSize = 128 << 10, kLastSize = 4 << 20;

struct TFree {
    void operator()(void* p) const { VirtualFree(p, 0, MEM_RELEASE); }
};
using TBuffer = std::unique_ptr<void, TFree>;

TBuffer Allocate(ULONG size) {
    return TBuffer(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

// The records of every process; the size the system asked for is doubled, since
// processes and threads come and go between the two calls.
bool QueryProcesses(TBuffer& buffer, ULONG& size) {
    using TQuery = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = Resolve<TQuery>("ntdll.dll", "NtQuerySystemInformation");
    if (!query) return false;
    ULONG needed = 0;
    char probe[4];
    if (query(kProcessInformation, probe, sizeof probe, &needed) == kInfoLengthMismatch &&
        needed > sizeof probe && needed <= kLastSize) {
        size = needed * 2;
        buffer = Allocate(size);
        return buffer && query(kProcessInformation, buffer.get(), size, nullptr) >= 0;
    }
    for (size = kFirstSize; size <= kLastSize; size *= 2) {
        buffer = Allocate(size);
        if (!buffer) return false;
        const LONG status = query(kProcessInformation, buffer.get(), size, nullptr);
        if (status >= 0) return true;
        if (status != kInfoLengthMismatch) return false;
    }
    return false;
}

} // namespace

std::optional<std::vector<uint32_t>> ThreadIdsFromSnapshot() {
    using TSnapshot = HANDLE(WINAPI*)(DWORD, DWORD);
    using TWalk = BOOL(WINAPI*)(HANDLE, LPTHREADENTRY32);
    const auto snapshotOf = Resolve<TSnapshot>("kernel32.dll", "CreateToolhelp32Snapshot");
    const auto first = Resolve<TWalk>("kernel32.dll", "Thread32First");
    const auto next = Resolve<TWalk>("kernel32.dll", "Thread32Next");
    if (!snapshotOf || !first || !next) return std::nullopt;
    HANDLE snapshot = snapshotOf(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
    std::vector<uint32_t> ids;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = first(snapshot, &entry); more; more = next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
    CloseHandle(snapshot);
    if (ids.empty()) return std::nullopt;
    return ids;
}

std::optional<std::vector<uint32_t>> ThreadIdsFromSystemInformation() {
    TBuffer buffer;
    ULONG size = 0;
    if (!QueryProcesses(buffer, size)) return std::nullopt;
    const auto* base = static_cast<const uint8_t*>(buffer.get());
    const uintptr_t self = GetCurrentProcessId();
    for (ULONG at = 0; at + sizeof(SYSTEM_PROCESS_INFORMATION) <= size;) {
        const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(base + at);
        // The thread records follow the process record.
        const ULONG threads = at + sizeof(SYSTEM_PROCESS_INFORMATION);
        if (reinterpret_cast<uintptr_t>(process->UniqueProcessId) == self) {
            std::vector<uint32_t> ids;
            for (ULONG i = 0; i < process->NumberOfThreads &&
                              threads + (i + 1) * sizeof(SYSTEM_THREAD_INFORMATION) <= size;
                 ++i) {
                const auto* thread = reinterpret_cast<const SYSTEM_THREAD_INFORMATION*>(
                    base + threads + i * sizeof(SYSTEM_THREAD_INFORMATION));
                ids.push_back(static_cast<uint32_t>(
                    reinterpret_cast<uintptr_t>(thread->ClientId.UniqueThread)));
            }
            return ids;
        }
        if (process->NextEntryOffset == 0 || process->NextEntryOffset > size - at) break;
        at += process->NextEntryOffset;
    }
    return std::nullopt;
}

std::vector<uint32_t> ProcessThreadIds() {
    if (auto ids = ThreadIdsFromSnapshot()) return std::move(*ids);
    if (auto ids = ThreadIdsFromSystemInformation()) return std::move(*ids);
    return {};
}

} // namespace qix
