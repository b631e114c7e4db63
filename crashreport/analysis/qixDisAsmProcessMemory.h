// The own process as an IMemoryReader, its guarded read and its modules' file names
// (Windows only).
#pragma once

#include "crashreport/analysis/qixDisAsm.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace qix {

// Copies exactly size bytes of the own process or fails; never faults, also not on pages
// that are free, guarded or without read access.
[[nodiscard]] bool ReadOwnMemory(const void* source, void* dest, size_t size);
// Whether a fault at this instruction is a guarded read's, which the read itself turns
// into a failure; fault handlers that report must let it pass.
bool IsGuardedReadFault(uintptr_t instructionPointer);

// The full path of a loaded module (null: the main executable), empty when unknown.
std::string ModuleFilePath(void* module);
// The same without its folder.
std::string ModuleFileName(void* module);
// The file name without its extension ("%appname%" of the settings).
std::string ModuleBaseName(void* module);
// The folder, with its trailing separator.
std::string ModuleFolder(void* module);

class TProcessMemoryReader : public IMemoryReader {
public:
    bool Read(TAddress source, void* dest, uint32_t count) const override;
    bool IsCommitted(TAddress address) const override;
    bool FindRegion(TAddress address, TAddress& start, TAddress& end) const override;
    TReadableRanges QueryRanges() const override;
    bool FindImage(TAddress address, TImageInfo& image) const override;
    std::string ExportName(TAddress address) const override;
};

} // namespace qix
