// Bounds-checked view of a PE image, either as loaded in memory or as laid out in its file.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qix {

struct TPeSection {
    std::string Name;
    uint32_t VirtualAddress = 0;
    uint32_t VirtualSize = 0;
    uint32_t RawOffset = 0;
    uint32_t RawSize = 0;
    uint32_t Characteristics = 0;
};

inline constexpr uint32_t PeSectionCode = 0x20;

// A range of RVAs, end exclusive.
struct TPeExtent {
    uint32_t Begin = 0, End = 0;
};
inline constexpr uint16_t PeResourceRcData = 10;

class TPeImage {
public:
    // `loaded`: the bytes are the image as mapped by the loader (RVA == offset).
    TPeImage(std::span<const uint8_t> bytes, bool loaded);

    bool Valid() const { return valid_; }
    bool Loaded() const { return loaded_; }
    uint64_t ImageBase() const { return imageBase_; }
    uint32_t BaseOfCode() const { return baseOfCode_; }
    uint32_t SizeOfCode() const { return sizeOfCode_; }
    uint32_t BaseOfData() const { return baseOfData_; }
    uint32_t SizeOfData() const { return sizeOfInitData_ + sizeOfUninitData_; }
    uint32_t EntryPoint() const { return entryPoint_; }
    uint32_t SizeOfImage() const { return sizeOfImage_; }
    uint32_t SizeOfHeaders() const { return sizeOfHeaders_; }
    uint16_t Machine() const { return machine_; }
    bool IsPe32() const { return pe32_; }
    // The COFF symbol table (file offset and record count); zero when stripped.
    uint32_t SymbolTableOffset() const { return symbolTable_; }
    uint32_t SymbolCount() const { return symbolCount_; }
    const std::vector<TPeSection>& Sections() const { return sections_; }
    int CodeSectionCount() const;
    // The module's code: its first section when that holds code, extended over a second code
    // section, else BaseOfCode and SizeOfCode.
    TPeExtent CodeExtent() const;
    // Initialised and uninitialised data from BaseOfData.
    TPeExtent DataExtent() const { return {baseOfData_, baseOfData_ + SizeOfData()}; }

    // Bytes at an RVA, empty when any part lies outside the image.
    std::span<const uint8_t> AtRva(uint32_t rva, uint32_t size) const;
    // Bytes from an RVA to the end of what backs it (its section, or the loaded image).
    std::span<const uint8_t> TailAtRva(uint32_t rva) const;
    std::optional<uint32_t> RvaToOffset(uint32_t rva) const;
    // Resource data by numeric type or by name; names compare ignoring ASCII case.
    std::optional<std::span<const uint8_t>> FindResource(const std::u16string& type,
                                                         const std::u16string& name) const;
    std::optional<std::span<const uint8_t>> FindResource(uint16_t type,
                                                         const std::u16string& name) const;
    // Data directory entry (RVA, size); {0, 0} when absent.
    std::pair<uint32_t, uint32_t> Directory(unsigned index) const;
    // File offset of the first debug directory entry's data, or nothing.
    std::optional<uint32_t> FirstDebugRawPointer() const;
    std::optional<uint32_t> FirstDebugRva() const;
    std::span<const uint8_t> Bytes() const { return bytes_; }

private:
    struct TResourceKey {
        bool Numeric;
        uint16_t Id;
        std::u16string Name;
    };
    std::optional<std::span<const uint8_t>> FindResourceImpl(const TResourceKey& type,
                                                             const TResourceKey& name) const;
    std::optional<uint32_t> FindEntry(uint32_t dirRva, uint32_t rootRva,
                                      const TResourceKey* key) const;

    std::span<const uint8_t> bytes_;
    bool loaded_ = false;
    bool valid_ = false;
    uint64_t imageBase_ = 0;
    uint32_t baseOfCode_ = 0, sizeOfCode_ = 0, baseOfData_ = 0, sizeOfInitData_ = 0,
             sizeOfUninitData_ = 0, entryPoint_ = 0, sizeOfImage_ = 0, sizeOfHeaders_ = 0;
    uint16_t machine_ = 0;
    bool pe32_ = false;
    uint32_t symbolTable_ = 0, symbolCount_ = 0;
    uint32_t directoryCount_ = 0;
    size_t directoryOffset_ = 0;
    std::vector<TPeSection> sections_;
};

// Little-endian reads that return 0 outside the span.
uint16_t PeRead16(std::span<const uint8_t> b, size_t at);
uint32_t PeRead32(std::span<const uint8_t> b, size_t at);

} // namespace qix
