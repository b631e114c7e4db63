// Code patches with their undo list, and redirection of import-table slots.
#include "crashreport/core/qixExcept_Hooks.h"

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace qix {
namespace {

struct TPatchState {
    std::mutex lock;
    std::vector<TCodePatch> patches;
};

// Never destroyed: hooked calls of late threads still reach it at process exit.
TPatchState& PS() {
    static TPatchState& state = *new TPatchState;
    return state;
}

// Writes through a temporarily writable page; the protection is put back.
bool WriteProtected(void* address, const void* bytes, size_t size) {
    DWORD old = 0;
    if (!VirtualProtect(address, size, PAGE_EXECUTE_READWRITE, &old)) return false;
    std::memcpy(address, bytes, size);
    DWORD ignored = 0;
    VirtualProtect(address, size, old, &ignored);
    FlushInstructionCache(GetCurrentProcess(), address, size);
    return true;
}

bool Readable(const void* address, size_t size) {
    MEMORY_BASIC_INFORMATION mbi{};
    if (!VirtualQuery(address, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT) return false;
    if (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)) return false;
    const auto end = reinterpret_cast<uintptr_t>(mbi.BaseAddress) + mbi.RegionSize;
    return reinterpret_cast<uintptr_t>(address) + size <= end;
}

std::string Rel32(uint8_t opcode, uintptr_t from, const void* target) {
    const auto displacement =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(target) - (from + 5));
    std::string bytes(5, '\0');
    bytes[0] = static_cast<char>(opcode);
    std::memcpy(&bytes[1], &displacement, 4);
    return bytes;
}

// ---- PE walking ----

template <typename F> void ForEachImportSlot(HMODULE module, F&& visit) {
    const auto* base = reinterpret_cast<const uint8_t*>(module);
    if (!Readable(base, sizeof(IMAGE_DOS_HEADER))) return;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0) return;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (!Readable(nt, sizeof *nt) || nt->Signature != IMAGE_NT_SIGNATURE) return;
    const DWORD imageSize = nt->OptionalHeader.SizeOfImage;
    if (nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) return;
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress || dir.VirtualAddress >= imageSize) return;
    // The whole image is mapped; bounds against its size replace a query per slot.
    const uint8_t* end = base + imageSize;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         reinterpret_cast<const uint8_t*>(d + 1) <= end && d->Name != 0; ++d) {
        // A damaged descriptor ends the walk for this module.
        if (d->Name >= imageSize || d->FirstThunk >= imageSize) return;
        for (auto** slot = reinterpret_cast<void**>(const_cast<uint8_t*>(base) + d->FirstThunk);
             reinterpret_cast<const uint8_t*>(slot + 1) <= end && *slot; ++slot)
            visit(slot);
    }
}

template <typename F> void ForEachModule(F&& visit) {
    HMODULE modules[1024];
    DWORD needed = 0;
    if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &needed)) {
        visit(GetModuleHandleA(nullptr));
        return;
    }
    const DWORD count = std::min<DWORD>(needed / sizeof(HMODULE), 1024);
    for (DWORD i = 0; i < count; ++i)
        visit(modules[i]);
}

int ReplaceSlots(void* from, void* to) {
    int changed = 0;
    ForEachModule([&](HMODULE module) {
        ForEachImportSlot(module, [&](void** slot) {
            if (*slot == from && WriteProtected(slot, &to, sizeof to)) ++changed;
        });
    });
    return changed;
}

// The pointer slot of an indirect jump (FF 25 [slot]), or null.
void** IndirectJumpSlot(const void* entry) {
    const auto* code = static_cast<const uint8_t*>(entry);
    if (!entry || !Readable(code, 6) || code[0] != 0xFF || code[1] != 0x25) return nullptr;
#if defined(__i386__)
    void** slot = nullptr;
    std::memcpy(&slot, code + 2, 4);
#else
    int32_t rel = 0;
    std::memcpy(&rel, code + 2, 4);
    void** slot = reinterpret_cast<void**>(const_cast<uint8_t*>(code) + 6 + rel);
#endif
    return Readable(slot, sizeof *slot) ? slot : nullptr;
}

} // namespace

// ---- code patching ----

bool PatchBytes(void* address, const std::string& bytes) {
    if (!address || bytes.empty() || !Readable(address, bytes.size())) return false;
    TPatchState& s = PS();
    std::lock_guard guard(s.lock);
    std::string previous(static_cast<const char*>(address), bytes.size());
    if (previous == bytes) return true;
    if (!WriteProtected(address, bytes.data(), bytes.size())) return false;
    s.patches.push_back({reinterpret_cast<uintptr_t>(address), previous, bytes});
    return true;
}

bool PatchJump(void* entry, const void* target) {
    if (void** slot = IndirectJumpSlot(entry)) entry = *slot;
    if (!entry || !Readable(entry, 5)) return false;
    if (*static_cast<const uint8_t*>(entry) == 0xE9) return false;
    return PatchBytes(entry, Rel32(0xE9, reinterpret_cast<uintptr_t>(entry), target));
}

bool PatchCallDisplacement(void* callInstruction, const void* target) {
    if (!callInstruction || !Readable(callInstruction, 5) ||
        *static_cast<const uint8_t*>(callInstruction) != 0xE8)
        return false;
    const std::string call = Rel32(0xE8, reinterpret_cast<uintptr_t>(callInstruction), target);
    return PatchBytes(static_cast<uint8_t*>(callInstruction) + 1, call.substr(1));
}

bool PatchValue(void* address, uint32_t value) {
    return PatchBytes(address, std::string(reinterpret_cast<const char*>(&value), 4));
}

void UndoPatches() {
    TPatchState& s = PS();
    std::lock_guard guard(s.lock);
    for (auto p = s.patches.rbegin(); p != s.patches.rend(); ++p) {
        auto* address = reinterpret_cast<void*>(p->address);
        if (Readable(address, p->newBytes.size()) &&
            std::memcmp(address, p->newBytes.data(), p->newBytes.size()) == 0)
            WriteProtected(address, p->previousBytes.data(), p->previousBytes.size());
    }
    s.patches.clear();
}

std::vector<TCodePatch> PatchList() {
    TPatchState& s = PS();
    std::lock_guard guard(s.lock);
    return s.patches;
}

// ---- import tables ----

int PatchImportEntries(const char* dllName, const char* functionName, void* previousEntry,
                       void* newFunction, void** previousFunction) {
    HMODULE dll = GetModuleHandleA(dllName);
    void* original = dll ? reinterpret_cast<void*>(GetProcAddress(dll, functionName)) : nullptr;
    if (!original || !newFunction) return 0;
    if (previousFunction) *previousFunction = original;
    int changed = ReplaceSlots(original, newFunction);
    if (void** slot = IndirectJumpSlot(previousEntry))
        if (*slot == original && WriteProtected(slot, &newFunction, sizeof newFunction)) ++changed;
    return changed;
}

int RestoreImportEntries(void* previousEntry, void* previousFunction, void* newFunction) {
    if (!previousFunction || !newFunction) return 0;
    int changed = ReplaceSlots(newFunction, previousFunction);
    if (void** slot = IndirectJumpSlot(previousEntry))
        if (*slot == newFunction &&
            WriteProtected(slot, &previousFunction, sizeof previousFunction))
            ++changed;
    return changed;
}

} // namespace qix
