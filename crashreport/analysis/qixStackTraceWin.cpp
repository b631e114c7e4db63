#include "crashreport/analysis/qixStackTraceWin.h"
#include "crashreport/analysis/qixPeImage.h"

#include <windows.h>

namespace qix {

namespace {

// The loaded image's headers and export directory, read through the guarded reader: a module
// may be unloaded while we look.
bool ReadBytes(const IMemoryReader& memory, TAddress at, std::vector<uint8_t>& out, uint32_t size) {
    out.resize(size);
    return size == 0 || memory.Read(at, out.data(), size);
}

} // namespace

std::shared_ptr<const TMapFile> TProcessTrace::DebugInfo(const TImageInfo& image) const {
    std::shared_ptr<const TMapFile> map = GetMapFileForAddress(image.ImageStart);
    return map && map->Valid() ? map : nullptr;
}

const TProcessTrace::TExports& TProcessTrace::ExportsOf(const TImageInfo& image) const {
    std::lock_guard guard(FLock);
    auto [it, added] = FExports.try_emplace(image.ImageStart);
    if (!added) return it->second;
    TExports& exports = it->second;
    std::vector<uint8_t> headers;
    if (!ReadBytes(FMemory, image.ImageStart, headers, 4096)) return exports;
    const TPeImage pe(headers, true);
    const auto [rva, size] = pe.Directory(0);
    std::vector<uint8_t> dir;
    if (!rva || size < 40 || size > (16u << 20) ||
        !ReadBytes(FMemory, image.ImageStart + rva, dir, size))
        return exports;
    const uint32_t functionCount = PeRead32(dir, 20), nameCount = PeRead32(dir, 24);
    const uint32_t functions = PeRead32(dir, 28), names = PeRead32(dir, 32),
                   ordinals = PeRead32(dir, 36);
    if (functionCount > 65536 || nameCount > 65536) return exports;
    std::vector<uint8_t> addressTable, nameTable, ordinalTable;
    if (!ReadBytes(FMemory, image.ImageStart + functions, addressTable, functionCount * 4) ||
        !ReadBytes(FMemory, image.ImageStart + names, nameTable, nameCount * 4) ||
        !ReadBytes(FMemory, image.ImageStart + ordinals, ordinalTable, nameCount * 2))
        return exports;
    for (uint32_t i = 0; i < nameCount; ++i) {
        const uint16_t ordinal = PeRead16(ordinalTable, i * 2);
        if (ordinal >= functionCount) continue;
        const uint32_t target = PeRead32(addressTable, ordinal * 4u);
        // Forwarders point into the export directory and are no code.
        if (target == 0 || (target >= rva && target < rva + size)) continue;
        std::string name;
        char c = 0;
        for (TAddress at = image.ImageStart + PeRead32(nameTable, i * 4);
             name.size() < 256 && FMemory.Read(at, &c, 1) && c; ++at)
            name += c;
        exports.emplace(image.ImageStart + target, std::move(name));
    }
    return exports;
}

TAddress TProcessTrace::ExportBelow(const TImageInfo& image, TAddress address,
                                    std::string& name) const {
    const TExports& exports = ExportsOf(image);
    auto it = exports.upper_bound(address);
    if (it == exports.begin()) return 0;
    --it;
    name = it->second;
    return it->first;
}

TAddress TProcessTrace::EntryPoint(const TImageInfo& image) const {
    std::vector<uint8_t> headers;
    if (!ReadBytes(FMemory, image.ImageStart, headers, 4096)) return 0;
    const TPeImage pe(headers, true);
    return pe.Valid() && pe.EntryPoint() ? image.ImageStart + pe.EntryPoint() : 0;
}

bool TProcessTrace::OldConsumerWindows() const {
    return (GetVersion() & 0x80000000u) != 0;
}

TAddress TProcessTrace::DispatchMessageAddress() const {
    HMODULE user = GetModuleHandleA("user32.dll");
    return user ? AddressOf(reinterpret_cast<const void*>(GetProcAddress(user, "DispatchMessageA")))
                : 0;
}

TStackTracer& ProcessStackTracer() {
    // Never destroyed: a report may still be traced while the process exits.
    static TProcessTrace& process = *new TProcessTrace;
    static TStackTracer& tracer = *new TStackTracer(process);
    return tracer;
}

bool ThreadStackTop(void* thread, TAddress& top) {
    struct TBasicInformation {
        LONG ExitStatus;
        void* TebBaseAddress;
        void* UniqueProcess;
        void* UniqueThread;
        ULONG_PTR AffinityMask;
        LONG Priority;
        LONG BasePriority;
    };
    using TQuery = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<TQuery>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    TBasicInformation info{};
    if (!query || query(thread, 0, &info, sizeof info, nullptr) != 0 || !info.TebBaseAddress)
        return false;
    // NT_TIB: exception list, then the stack base.
    const auto* tib = static_cast<const uint8_t*>(info.TebBaseAddress);
    void* base = nullptr;
    if (!ReadOwnMemory(tib + sizeof(void*), &base, sizeof base) || !base) return false;
    top = AddressOf(base);
    return true;
}

TStackTraceResult TraceContext(const void* context, void* thread, TStackTraceRequest request,
                               std::vector<std::string>* minDebugInfo) {
    const auto& c = *static_cast<const CONTEXT*>(context);
#if defined(_WIN64)
    const TAddress sp = TAddress(c.Rsp), fp = TAddress(c.Rbp), ip = TAddress(c.Rip);
#else
    const TAddress sp = c.Esp, fp = c.Ebp, ip = c.Eip;
#endif
    if (!request.StackBottom) request.StackBottom = sp;
    if (!request.FramePointer) request.FramePointer = fp;
    if (!request.CurrentAddress) request.CurrentAddress = ip;
    if (!request.StackTop && !ThreadStackTop(thread, request.StackTop)) return {};
    return ProcessStackTracer().Trace(request, minDebugInfo);
}

__attribute__((noinline)) TStackTraceResult
TraceCurrentThread(TStackTraceRequest request, std::vector<std::string>* minDebugInfo) {
    if (!request.StackBottom) request.StackBottom = AddressOf(__builtin_frame_address(0));
    if (!request.FramePointer) request.FramePointer = AddressOf(__builtin_frame_address(0));
    if (!request.CurrentAddress && !request.IsException)
        request.CurrentAddress = AddressOf(__builtin_return_address(0));
    if (!request.StackTop && !ThreadStackTop(GetCurrentThread(), request.StackTop)) return {};
    return ProcessStackTracer().Trace(request, minDebugInfo);
}

} // namespace qix
