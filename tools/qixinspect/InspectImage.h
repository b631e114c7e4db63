// A PE file as the inspection tool needs it: the crash library's own header reader, plus the
// exports and COFF symbols a linear sweep and the function listing use. Portable.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "crashreport/analysis/qixDisAsm.h"
#include "crashreport/analysis/qixPeImage.h"

namespace qix::inspect {

inline bool IsCodeSection(const TPeSection& s) {
    return (s.Characteristics & PeSectionCode) != 0;
}

class TInspectImage {
public:
    // False with a message for anything that is not a readable 32-bit x86 PE file.
    bool Load(const std::string& path, std::string& error);
    bool Parse(std::vector<uint8_t> file, std::string& error);

    uint32_t ImageBase() const { return uint32_t(pe_->ImageBase()); }
    uint32_t EntryPoint() const { return ImageBase() + pe_->EntryPoint(); }
    const std::vector<TPeSection>& Sections() const { return pe_->Sections(); }
    // Section bytes as mapped: raw data, zero-filled up to the virtual size.
    std::vector<uint8_t> SectionBytes(const TPeSection& section) const;
    const std::map<uint32_t, std::string>& Exports() const { return exports_; }
    const std::map<uint32_t, std::string>& Symbols() const { return symbols_; }
    // Every symbol address, data labels included: a linear sweep restarts there.
    const std::set<uint32_t>& Boundaries() const { return boundaries_; }
    // The whole image placed at its base, for the disassembler.
    void MapInto(TBufferMemoryReader& memory, const std::string& moduleName) const;

private:
    void ReadExports();
    void ReadSymbols();

    std::vector<uint8_t> file_;
    std::unique_ptr<TPeImage> pe_; // views file_
    std::map<uint32_t, std::string> exports_;
    std::map<uint32_t, std::string> symbols_;
    std::set<uint32_t> boundaries_;
};

} // namespace qix::inspect
