// Guarded reads of the own process: VirtualQuery for the snapshot, the kernel's
// process-memory read so that freed or protected pages fail instead of faulting.
#include "crashreport/analysis/qixDisAsmProcessMemory.h"

#include <windows.h>

#include <cxxabi.h>
#include <unwind.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>

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

void* Pointer(TAddress address) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
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

bool TProcessMemoryReader::Read(TAddress source, void* dest, uint32_t count) const {
    // Wine copies from freed and no-access pages of the own process without complaint,
    // so the protection of every page touched is checked first.
    const uint64_t end = uint64_t(source) + count;
    for (uint64_t at = source; at < end;) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(Pointer(static_cast<TAddress>(at)), &info, sizeof info) != sizeof info ||
            info.State != MEM_COMMIT || !IsReadableProtection(info.Protect))
            return false;
        at = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    }
    TReadProcessMemory read = ResolveRead();
    SIZE_T done = 0;
    return read && read(GetCurrentProcess(), Pointer(source), dest, count, &done) && done == count;
}

bool TProcessMemoryReader::IsCommitted(TAddress address) const {
    MEMORY_BASIC_INFORMATION info;
    return VirtualQuery(Pointer(address), &info, sizeof info) == sizeof info &&
           info.State == MEM_COMMIT;
}

bool TProcessMemoryReader::FindRegion(TAddress address, TAddress& start, TAddress& end) const {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(Pointer(address), &info, sizeof info) != sizeof info ||
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
           VirtualQuery(Pointer(static_cast<TAddress>(address)), &info, sizeof info)) {
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
    if (VirtualQuery(Pointer(address), &info, sizeof info) != sizeof info || !info.AllocationBase)
        return false;
    const TAddress base = static_cast<TAddress>(reinterpret_cast<uintptr_t>(info.AllocationBase));
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS32 nt;
    if (!Read(base, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !Read(base + static_cast<TAddress>(dos.e_lfanew), &nt, sizeof nt) ||
        nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        return false;
    image.ImageStart = base;
    image.ImageEnd = base + nt.OptionalHeader.SizeOfImage;
    image.CodeBegin = base + nt.OptionalHeader.BaseOfCode;
    image.CodeEnd = image.CodeBegin + nt.OptionalHeader.SizeOfCode;
    image.DataBegin = base + nt.OptionalHeader.BaseOfData;
    image.DataEnd = image.DataBegin + nt.OptionalHeader.SizeOfInitializedData +
                    nt.OptionalHeader.SizeOfUninitializedData;
    char path[MAX_PATH] = {};
    GetModuleFileNameA(reinterpret_cast<HMODULE>(info.AllocationBase), path, MAX_PATH);
    const char* slash = std::strrchr(path, '\\');
    image.ModuleName = slash ? slash + 1 : path;
    image.IsMainModule = info.AllocationBase == GetModuleHandleA(nullptr);
    return true;
}

std::string TProcessMemoryReader::ExportName(TAddress) const {
    // Export names come from the debug-information reader's hook in the product.
    return {};
}

namespace {
template <typename T> TAddress AddressOf(T* routine) {
    return static_cast<TAddress>(reinterpret_cast<uintptr_t>(reinterpret_cast<void*>(routine)));
}
} // namespace

TRuntimeRoutines LinkedRuntimeRoutines() {
    // Same mapping as RuntimeRoutinesByName, taken from our own link.
    TRuntimeRoutines r;
    r.HandleAnyException = AddressOf(&__cxxabiv1::__cxa_begin_catch);
    r.HandleAutoException = AddressOf(&__cxxabiv1::__cxa_end_catch);
    r.NoReturn = {AddressOf(&__cxxabiv1::__cxa_throw),
                  AddressOf(&__cxxabiv1::__cxa_rethrow),
                  AddressOf(&_Unwind_Resume),
                  AddressOf(&std::terminate),
                  AddressOf(&std::abort),
                  AddressOf(&std::exit),
                  AddressOf(&_exit)};
    return r;
}

} // namespace qix
