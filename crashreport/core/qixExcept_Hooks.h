// Interception hooks: code patches with their undo list, import-table redirection, the
// system's fault handlers, the C++ runtime's throw, terminate and abort paths, the
// framework's application and thread objects, thread creation and the message hooks
// used for pausing. Windows only; the header itself stays free of <windows.h>.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qix {

// ---- code patching ----

struct TCodePatch {
    uintptr_t address = 0;
    std::string previousBytes;
    std::string newBytes;
};

// Writes `bytes` at `address` when they differ from what is there; recorded in the
// patch list. False when the page could not be made writable (nothing recorded).
bool PatchBytes(void* address, const std::string& bytes);
// A 5-byte relative jump at `entry` to `target`. An entry that is an indirect jump
// (FF 25) is followed first; an entry that already starts with a relative jump is
// left alone.
bool PatchJump(void* entry, const void* target);
// The 32-bit displacement of the relative call at `callInstruction` (E8 xx xx xx xx).
bool PatchCallDisplacement(void* callInstruction, const void* target);
// A 32-bit value, e.g. a pointer slot.
bool PatchValue(void* address, uint32_t value);
// Restores the previous bytes, newest first, but only where the patched bytes are
// still in place; a later patch by someone else stays.
void UndoPatches();
std::vector<TCodePatch> PatchList();

// ---- import tables ----

// Redirects every import slot of `functionName` (exported by `dllName`) in every loaded
// module to `newFunction`; `previousFunction` receives the original. `previousEntry`,
// when given and an indirect jump (FF 25), has its pointer slot redirected too.
// Returns the number of slots changed.
int PatchImportEntries(const char* dllName, const char* functionName, void* previousEntry,
                       void* newFunction, void** previousFunction);
// The reverse: slots holding `newFunction` get `previousFunction` back.
int RestoreImportEntries(void* previousEntry, void* previousFunction, void* newFunction);

// ---- start-up and shutdown (run by the pipeline when the library is active) ----

void InstallHooks();
void RemoveHooks();
bool HooksInstalled();

// ---- for the application ----

// Called by the application inside its own catch block: an exception it caught and
// dealt with is offered to the hidden-exception handlers.
void CheckHiddenException();

// The place of the last C++ throw in this thread (0: none yet).
uintptr_t LastThrowAddress();
// This thread's exception record: the throw site of `object` when it is the thread's last
// thrown object (else 0), and the registers there when the address is that site too.
uintptr_t ThrowAddressOf(const void* object);
const void* ThrowContextFor(const void* object, uintptr_t address);
// Forgets the thread's last throw (a report is over, or the exception was dealt with).
void ClearThrowRecord();

// The stack as it was at a throw: the throw site (certain, flag 1) and the words above
// it that point into the executable's image (flag 0, for the tracer to judge).
struct TThrowStackEntry {
    uint8_t flag = 0;
    uint32_t address = 0;
};
// The prepared stack of `object` when it is this thread's last thrown object, else null;
// the pointer stays valid until the thread's next throw.
const std::vector<TThrowStackEntry>* PreparedStackFor(const void* object);

} // namespace qix
