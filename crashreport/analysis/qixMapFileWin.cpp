// The process side of qixMapFile: loaded module images and the module cache.
#include "crashreport/analysis/qixDisAsmProcessMemory.h"
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/analysis/qixPeImage.h"

#include <windows.h>

#include <mutex>
#include <vector>

namespace qix {

namespace {

struct TCacheEntry {
    std::string FileName;
    uint32_t FileTime = 0; // DOS date and time of the last write
    std::shared_ptr<const TMapFile> Map;
};

// Never destroyed: a report may still be traced while the process exits.
std::mutex& CacheLock() {
    static std::mutex& lock = *new std::mutex;
    return lock;
}

std::vector<TCacheEntry>& Cache() {
    static std::vector<TCacheEntry>& cache = *new std::vector<TCacheEntry>;
    return cache;
}

uint32_t DosFileTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    FILETIME local;
    WORD date = 0, time = 0;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        !FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
        !FileTimeToDosDateTime(&local, &date, &time))
        return 0;
    return uint32_t(date) << 16 | time;
}

// The loaded image as one span; its size comes from the headers the loader mapped.
std::span<const uint8_t> ImageSpan(HMODULE module) {
    const auto* base = reinterpret_cast<const uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return {};
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return {};
    return {base, nt->OptionalHeader.SizeOfImage};
}

} // namespace

std::unique_ptr<TMapFile> CreateMapFileForModule(void* module, bool enabled, bool codeOnly) {
    HMODULE handle = module ? static_cast<HMODULE>(module) : GetModuleHandleA(nullptr);
    const TPeImage image(ImageSpan(handle), true);
    TModuleSource source;
    source.Image = image.Valid() ? &image : nullptr;
    source.Module = AddressOf(handle);
    source.FileName = ModuleFilePath(handle);
    return std::make_unique<TMapFile>(enabled, codeOnly, source);
}

std::shared_ptr<const TMapFile> GetMapFileForAddress(TAddress address) {
    try {
        MEMORY_BASIC_INFORMATION mbi{};
        const void* probe = address ? PointerOf(address) : GetModuleHandleA(nullptr);
        if (VirtualQuery(probe, &mbi, sizeof mbi) != sizeof mbi || mbi.State != MEM_COMMIT ||
            mbi.AllocationBase == nullptr)
            return std::make_shared<TMapFile>();
        HMODULE module = static_cast<HMODULE>(mbi.AllocationBase);
        const std::string name = ModuleFilePath(module);
        if (name.empty()) return std::make_shared<TMapFile>();
        const uint32_t fileTime = DosFileTime(name);
        std::lock_guard guard(CacheLock());
        auto& cache = Cache();
        for (size_t i = 0; i < cache.size(); ++i) {
            if (lstrcmpiA(cache[i].FileName.c_str(), name.c_str()) != 0) continue;
            if (cache[i].FileTime == fileTime) return cache[i].Map;
            cache[i] = std::move(cache.back());
            cache.pop_back();
            break;
        }
        std::shared_ptr<const TMapFile> map = CreateMapFileForModule(module, true, false);
        if (map->Valid()) cache.push_back({name, fileTime, map});
        return map;
    } catch (...) {
        return std::make_shared<TMapFile>();
    }
}

bool GetAddressInfo(TAddress address, TAddressInfo& info) {
    info = {};
    if (address == 0) return false;
    return GetAddressInfo(*GetMapFileForAddress(address), address, info);
}

std::string GetPublicNameAt(TAddress address) {
    return GetMapFileForAddress(address)->GetPublicNameAt(address);
}

void GetLineNumberCached(TAddress address, int32_t& line, TAddress& rangeStart,
                         TAddress& rangeEnd) {
    if (address == 0 || (line != 0 && rangeStart <= address && address < rangeEnd)) return;
    GetLineNumberCached(*GetMapFileForAddress(address), address, line, rangeStart, rangeEnd);
}

void ClearMapFileCache() {
    std::vector<TCacheEntry> old;
    {
        std::lock_guard guard(CacheLock());
        old.swap(Cache());
    }
}

} // namespace qix
