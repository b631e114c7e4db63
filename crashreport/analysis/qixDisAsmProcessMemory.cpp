// Guarded reads of the own process: VirtualQuery for the snapshot and the protection
// check, and a copy whose fault becomes a failed read.
#include "crashreport/analysis/qixDisAsmProcessMemory.h"
#include "crashreport/analysis/qixPeImage.h"

#include <windows.h>

#include <algorithm>
#include <type_traits>
#include <span>

namespace qix {

namespace {

// The copy of a guarded read: one string move whose fault, should the page go away
// between the protection check and the copy, the vectored handler below turns into a
// failed read. Reading through the kernel instead costs a server round trip per read
// under Wine, tens of thousands of them per report.
extern "C" int qixGuardedCopy(void* dest, const void* source, size_t size);
extern "C" char qixGuardedCopyFault[], qixGuardedCopyRecover[];
// clang-format off
#if defined(__i386__)
asm(".text\n"
    ".globl _qixGuardedCopy, _qixGuardedCopyFault, _qixGuardedCopyRecover\n"
    "_qixGuardedCopy:\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl 12(%esp), %edi\n"
    "  movl 16(%esp), %esi\n"
    "  movl 20(%esp), %ecx\n"
    "_qixGuardedCopyFault:\n"
    "  rep movsb\n"
    "  xorl %eax, %eax\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  ret\n"
    "_qixGuardedCopyRecover:\n"
    "  movl $1, %eax\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  ret\n");
#else
asm(".text\n"
    ".globl qixGuardedCopy, qixGuardedCopyFault, qixGuardedCopyRecover\n"
    "qixGuardedCopy:\n"
    "  pushq %rsi\n"
    "  pushq %rdi\n"
    "  movq %rcx, %rdi\n"
    "  movq %rdx, %rsi\n"
    "  movq %r8, %rcx\n"
    "qixGuardedCopyFault:\n"
    "  rep movsb\n"
    "  xorl %eax, %eax\n"
    "  popq %rdi\n"
    "  popq %rsi\n"
    "  ret\n"
    "qixGuardedCopyRecover:\n"
    "  movl $1, %eax\n"
    "  popq %rdi\n"
    "  popq %rsi\n"
    "  ret\n");
#endif
// clang-format on

LONG WINAPI GuardedCopyHandler(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    CONTEXT& c = *info->ContextRecord;
#if defined(__i386__)
    auto& ip = c.Eip;
#else
    auto& ip = c.Rip;
#endif
    if ((code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR ||
         code == STATUS_GUARD_PAGE_VIOLATION) &&
        IsGuardedReadFault(static_cast<uintptr_t>(ip))) {
        ip = static_cast<std::remove_reference_t<decltype(ip)>>(
            reinterpret_cast<uintptr_t>(qixGuardedCopyRecover));
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

bool GuardedCopy(void* dest, const void* source, size_t size) {
    static const bool installed = AddVectoredExceptionHandler(1, GuardedCopyHandler) != nullptr;
    return installed && qixGuardedCopy(dest, source, size) == 0;
}

// Write-copy pages (data of images not yet written to) are as readable as the others;
// guard pages are not: reading them would disarm the guard.
bool IsReadableProtection(DWORD protect) {
    if (protect & PAGE_GUARD) return false;
    switch (protect & 0xFF) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
        return true;
    default:
        return false;
    }
}

} // namespace

bool ReadOwnMemory(const void* source, void* dest, size_t size) {
    // Pages that are free, without read access or guarded are refused before copying.
    const uintptr_t first = reinterpret_cast<uintptr_t>(source);
    if (size == 0 || first + size < first) return size == 0;
    for (uintptr_t at = first; at < first + size;) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info ||
            info.State != MEM_COMMIT || !IsReadableProtection(info.Protect))
            return false;
        const uintptr_t next = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (next <= at) return false;
        at = next;
    }
    return GuardedCopy(dest, source, size);
}

bool IsGuardedReadFault(uintptr_t instructionPointer) {
    return instructionPointer == reinterpret_cast<uintptr_t>(qixGuardedCopyFault);
}

std::string ModuleFilePath(void* module) {
    // Grows until the path fits: a cut path would name another file.
    std::string path(MAX_PATH, '\0');
    while (path.size() <= 32768) {
        const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(module), path.data(),
                                           static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
    return {};
}

std::string ModuleFileName(void* module) {
    std::string path = ModuleFilePath(module);
    const size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ModuleBaseName(void* module) {
    const std::string name = ModuleFileName(module);
    return name.substr(0, name.rfind('.'));
}

std::string ModuleFolder(void* module) {
    const std::string path = ModuleFilePath(module);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

bool TProcessMemoryReader::Read(TAddress source, void* dest, uint32_t count) const {
    return ReadOwnMemory(PointerOf(source), dest, count);
}

bool TProcessMemoryReader::IsCommitted(TAddress address) const {
    MEMORY_BASIC_INFORMATION info;
    return VirtualQuery(PointerOf(address), &info, sizeof info) == sizeof info &&
           info.State == MEM_COMMIT;
}

bool TProcessMemoryReader::FindRegion(TAddress address, TAddress& start, TAddress& end) const {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(PointerOf(address), &info, sizeof info) != sizeof info ||
        info.State != MEM_COMMIT)
        return false;
    start = static_cast<TAddress>(reinterpret_cast<uintptr_t>(info.BaseAddress));
    end = start + static_cast<TAddress>(info.RegionSize) - 1;
    return true;
}

TReadableRanges TProcessMemoryReader::QueryRanges() const {
    TReadableRanges ranges;
    ranges.reserve(64);
    uint64_t address = 0;
    MEMORY_BASIC_INFORMATION info;
    while (address < 0x100000000ull &&
           VirtualQuery(PointerOf(static_cast<TAddress>(address)), &info, sizeof info)) {
        uint64_t next = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        bool readable = info.State == MEM_COMMIT && IsReadableProtection(info.Protect);
        TAddress start = static_cast<TAddress>(address);
        TAddress end = static_cast<TAddress>(std::min<uint64_t>(next, 0x100000000ull) - 1);
        if (!ranges.empty() && ranges.back().Readable == readable)
            ranges.back().End = end;
        else {
            if (ranges.size() == ranges.capacity())
                ranges.reserve(ranges.size() + ranges.size() / 2);
            ranges.push_back({start, end, readable});
        }
        if (next <= address) break;
        address = next;
    }
    return ranges;
}

bool TProcessMemoryReader::FindImage(TAddress address, TImageInfo& image) const {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(PointerOf(address), &info, sizeof info) != sizeof info || !info.AllocationBase)
        return false;
    const TAddress base = AddressOf(info.AllocationBase);
    // The headers are read into a copy first: the allocation need not be an image at all.
    uint8_t headers[4096];
    if (!Read(base, headers, sizeof headers)) return false;
    const TPeImage pe(std::span<const uint8_t>(headers, sizeof headers), true);
    if (!pe.Valid() || !pe.IsPe32()) return false;
    image.ImageStart = base;
    image.ImageEnd = base + pe.SizeOfImage();
    image.CodeBegin = base + pe.CodeExtent().Begin;
    image.CodeEnd = base + pe.CodeExtent().End;
    image.DataBegin = base + pe.DataExtent().Begin;
    image.DataEnd = base + pe.DataExtent().End;
    image.ModuleName = ModuleFileName(info.AllocationBase);
    image.IsMainModule = info.AllocationBase == GetModuleHandleA(nullptr);
    return true;
}

std::string TProcessMemoryReader::ExportName(TAddress) const {
    // Export names come from the debug-information reader's hook in the product.
    return {};
}

} // namespace qix
