// Guarded reads of the own process: VirtualQuery for the snapshot, the kernel's
// process-memory read so that freed or protected pages fail instead of faulting.
#include "crashreport/analysis/qixDisAsmProcessMemory.h"
#include "crashreport/analysis/qixPeImage.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <span>

namespace qix {

namespace {

using TReadProcessMemory = BOOL(WINAPI*)(HANDLE, LPCVOID, LPVOID, SIZE_T, SIZE_T*);

// The routine's name is kept scrambled so that it does not stand out in the image.
TReadProcessMemory ResolveRead() {
    static std::atomic<TReadProcessMemory> resolved{nullptr};
    TReadProcessMemory routine = resolved.load();
    if (routine) return routine;
    static const unsigned char kScrambled[] = {0x08, 0x3f, 0x3b, 0x3e, 0x0a, 0x28,
                                               0x35, 0x39, 0x3f, 0x29, 0x29, 0x17,
                                               0x3f, 0x37, 0x35, 0x28, 0x23, 0x00};
    char name[sizeof kScrambled];
    for (size_t i = 0; i < sizeof kScrambled; ++i)
        name[i] = kScrambled[i] ? static_cast<char>(kScrambled[i] ^ 0x5A) : 0;
    routine = reinterpret_cast<TReadProcessMemory>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
    resolved.store(routine);
    return routine;
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
    // Wine copies from freed and no-access pages of the own process without complaint,
    // so the protection of every page touched is checked first.
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
    TReadProcessMemory read = ResolveRead();
    SIZE_T done = 0;
    return read && read(GetCurrentProcess(), source, dest, size, &done) && done == size;
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
