// A small reader for 32-bit PE files: sections, image base, entry point, exports and
// COFF symbols. Portable; every offset is checked against the file size.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "crashreport/analysis/qixDisAsm.h"

namespace qix::inspect {

struct TPeSection {
    std::string Name;
    uint32_t VirtualAddress = 0; // relative to the image base
    uint32_t VirtualSize = 0;
    uint32_t RawOffset = 0, RawSize = 0;
    uint32_t Characteristics = 0;
    bool IsCode() const { return (Characteristics & 0x20) != 0; } // IMAGE_SCN_CNT_CODE
};

class TPeImage {
public:
    // Returns false with a message for anything that is not a readable 32-bit PE file.
    bool Load(const std::string& path, std::string& error);
    bool Parse(std::vector<uint8_t> file, std::string& error);

    uint32_t ImageBase() const { return FImageBase; }
    uint32_t EntryPoint() const { return FImageBase + FEntry; }
    const std::vector<TPeSection>& Sections() const { return FSections; }
    // Section bytes as mapped: raw data, zero-filled up to the virtual size.
    std::vector<uint8_t> SectionBytes(const TPeSection& section) const;
    const std::map<uint32_t, std::string>& Exports() const { return FExports; }
    const std::map<uint32_t, std::string>& Symbols() const { return FSymbols; }
    // Every symbol address, data labels included: a linear sweep restarts there.
    const std::set<uint32_t>& Boundaries() const { return FBoundaries; }
    // The whole image placed at its base, for the disassembler.
    void MapInto(TBufferMemoryReader& memory, const std::string& moduleName) const;

private:
    bool Rva(uint32_t rva, uint32_t size, uint32_t& offset) const;
    std::string CString(uint32_t offset) const;
    void ReadExports(uint32_t rva, uint32_t size);
    void ReadSymbols(uint32_t offset, uint32_t count);

    std::vector<uint8_t> FFile;
    uint32_t FImageBase = 0, FEntry = 0, FImageSize = 0, FHeaderSize = 0;
    uint32_t FBaseOfCode = 0, FSizeOfCode = 0, FBaseOfData = 0, FSizeOfData = 0;
    std::vector<TPeSection> FSections;
    std::map<uint32_t, std::string> FExports; // address -> name
    std::map<uint32_t, std::string> FSymbols; // address -> name (functions from the COFF table)
    std::set<uint32_t> FBoundaries;
};

} // namespace qix::inspect
