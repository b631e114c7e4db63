// The per-process thread registry: names, classes and creators of threads, kept in a
// named shared mapping so that every copy of the library in the process sees one list.
// Windows only (the entries hold thread handles).
#pragma once

#include "crashreport/core/qixExcept_Sections.h"

#include <cstdint>
#include <string>

namespace qix {

// Opens the process's registry, creating it (and recording `mainThreadId` as
// "main thread") when this is the first copy. Returns false when it could not be
// opened; the caller has then already been told by a message box.
bool OpenThreadRegistry(uint32_t mainThreadId);
// Drops this copy's share; the last copy frees the list, the mutexes and the mapping.
void CloseThreadRegistry();
bool ThreadRegistryIsOpen();
// The registry's mapping name for this process.
std::string ThreadRegistryName();
// The oldest entry's thread id (the first copy's main thread), or 0.
uint32_t OldestRegisteredThread();
// The mutex that the running freeze watchdog owns for its lifetime; 0 without registry.
uintptr_t WatchdogMutex();

// Under the list mutex. An existing entry for `threadId` is replaced; what the call
// leaves empty is taken over from it. Neither a name nor a creator address: the entry
// is only removed. One dead entry is dropped per call.
void RecordThreadInfo(uint32_t threadId, uintptr_t threadHandle, const char* name,
                      uint32_t creatorThreadId, TAddress creatorAddress, const char* className);
// Records the name; with a debugger attached it also tells the debugger.
void SetThreadName(uint32_t threadId, const char* name);
// Drops the entry of `threadId`.
void ForgetThread(uint32_t threadId);

// Reads one entry, waiting at most 50 ms for the list. `available` false: timed out or
// no registry. Returns false when the thread is not registered.
bool LookupThreadEntry(uint32_t threadId, TThreadRegistryEntry& entry, bool& available);
// The report text for a thread ("name ($id)", "thread $id (class)", "" for a hidden one
// unless `force`), plus the creator's code address and thread id when known.
std::string ThreadDisplayName(uint32_t threadId, bool force, TAddress* creatorAddress = nullptr,
                              uint32_t* creatorThreadId = nullptr);

} // namespace qix
