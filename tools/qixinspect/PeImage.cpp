#include "tools/qixinspect/PeImage.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace qix::inspect {

namespace {

template <typename T> bool Get(const std::vector<uint8_t>& file, uint64_t offset, T& value) {
    if (offset + sizeof(T) > file.size()) return false;
    std::memcpy(&value, file.data() + offset, sizeof(T));
    return true;
}

} // namespace

bool TPeImage::Load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    return Parse(std::move(bytes), error);
}

bool TPeImage::Parse(std::vector<uint8_t> file, std::string& error) {
    FFile = std::move(file);
    uint16_t mz = 0, machine = 0, sectionCount = 0, optionalSize = 0, magic = 0;
    uint32_t peOffset = 0, pe = 0, symbolOffset = 0, symbolCount = 0;
    if (!Get(FFile, 0, mz) || mz != 0x5A4D || !Get(FFile, 0x3C, peOffset) ||
        !Get(FFile, peOffset, pe) || pe != 0x00004550) {
        error = "not a PE file";
        return false;
    }
    const uint64_t coff = uint64_t(peOffset) + 4, optional = coff + 20;
    if (!Get(FFile, coff, machine) || !Get(FFile, coff + 2, sectionCount) ||
        !Get(FFile, coff + 8, symbolOffset) || !Get(FFile, coff + 12, symbolCount) ||
        !Get(FFile, coff + 16, optionalSize) || !Get(FFile, optional, magic)) {
        error = "truncated PE header";
        return false;
    }
    if (machine != 0x014C || magic != 0x10B) {
        error = "not a 32-bit x86 PE file";
        return false;
    }
    uint32_t numberOfRvas = 0, exportRva = 0, exportSize = 0;
    if (!Get(FFile, optional + 16, FEntry) || !Get(FFile, optional + 20, FBaseOfCode) ||
        !Get(FFile, optional + 4, FSizeOfCode) || !Get(FFile, optional + 8, FSizeOfData) ||
        !Get(FFile, optional + 24, FBaseOfData) || !Get(FFile, optional + 28, FImageBase) ||
        !Get(FFile, optional + 56, FImageSize) || !Get(FFile, optional + 60, FHeaderSize) ||
        !Get(FFile, optional + 92, numberOfRvas)) {
        error = "truncated optional header";
        return false;
    }
    if (numberOfRvas > 0 && optionalSize >= 104) {
        Get(FFile, optional + 96, exportRva);
        Get(FFile, optional + 100, exportSize);
    }
    const uint64_t table = optional + optionalSize;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint64_t at = table + 40ull * i;
        char name[9] = {};
        TPeSection s;
        if (at + 40 > FFile.size()) {
            error = "truncated section table";
            return false;
        }
        std::memcpy(name, FFile.data() + at, 8);
        s.Name = name;
        Get(FFile, at + 8, s.VirtualSize);
        Get(FFile, at + 12, s.VirtualAddress);
        Get(FFile, at + 16, s.RawSize);
        Get(FFile, at + 20, s.RawOffset);
        Get(FFile, at + 36, s.Characteristics);
        FSections.push_back(s);
    }
    if (exportRva) ReadExports(exportRva, exportSize);
    if (symbolOffset && symbolCount) ReadSymbols(symbolOffset, symbolCount);
    return true;
}

bool TPeImage::Rva(uint32_t rva, uint32_t size, uint32_t& offset) const {
    for (const TPeSection& s : FSections)
        if (rva >= s.VirtualAddress &&
            uint64_t(rva) + size <= uint64_t(s.VirtualAddress) + s.RawSize) {
            offset = rva - s.VirtualAddress + s.RawOffset;
            return uint64_t(offset) + size <= FFile.size();
        }
    return false;
}

std::string TPeImage::CString(uint32_t offset) const {
    std::string text;
    for (uint64_t i = offset; i < FFile.size() && FFile[i] && text.size() < 512; ++i)
        text += char(FFile[i]);
    return text;
}

void TPeImage::ReadExports(uint32_t rva, uint32_t) {
    uint32_t dir = 0, count = 0, functions = 0, names = 0, ordinals = 0, nameCount = 0;
    if (!Rva(rva, 40, dir) || !Get(FFile, dir + 20, count) || !Get(FFile, dir + 24, nameCount) ||
        !Get(FFile, dir + 28, functions) || !Get(FFile, dir + 32, names) ||
        !Get(FFile, dir + 36, ordinals))
        return;
    for (uint32_t i = 0; i < nameCount && i < 65536; ++i) {
        uint32_t nameRva = 0, nameAt = 0, functionAt = 0, namesAt = 0, ordinalsAt = 0, target = 0;
        uint16_t ordinal = 0;
        if (!Rva(names + 4 * i, 4, namesAt) || !Get(FFile, namesAt, nameRva) ||
            !Rva(nameRva, 1, nameAt) || !Rva(ordinals + 2 * i, 2, ordinalsAt) ||
            !Get(FFile, ordinalsAt, ordinal) || ordinal >= count ||
            !Rva(functions + 4u * ordinal, 4, functionAt) || !Get(FFile, functionAt, target))
            continue;
        FExports[FImageBase + target] = CString(nameAt);
    }
}

void TPeImage::ReadSymbols(uint32_t offset, uint32_t count) {
    const uint64_t strings = uint64_t(offset) + 18ull * count;
    for (uint32_t i = 0; i < count && i < 1000000; ++i) {
        const uint64_t at = uint64_t(offset) + 18ull * i;
        uint32_t value = 0, zeros = 0, nameOffset = 0;
        int16_t section = 0;
        uint16_t type = 0;
        uint8_t storage = 0, aux = 0;
        if (!Get(FFile, at, zeros) || !Get(FFile, at + 4, nameOffset) ||
            !Get(FFile, at + 8, value) || !Get(FFile, at + 12, section) ||
            !Get(FFile, at + 14, type) || !Get(FFile, at + 16, storage) ||
            !Get(FFile, at + 17, aux))
            break;
        i += aux;
        if (section <= 0 || size_t(section) > FSections.size()) continue;
        const uint32_t address = FImageBase + FSections[size_t(section) - 1].VirtualAddress + value;
        FBoundaries.insert(address);
        if (storage != 2 && storage != 3) continue;
        std::string name;
        if (zeros == 0) {
            if (strings + nameOffset < FFile.size())
                name = CString(static_cast<uint32_t>(strings + nameOffset));
        } else {
            char shortName[9] = {};
            std::memcpy(shortName, FFile.data() + at, 8);
            name = shortName;
        }
        if (name.empty() || name[0] == '.' || (type & 0x30) != 0x20) continue;
        FSymbols.emplace(address, name);
    }
}

std::vector<uint8_t> TPeImage::SectionBytes(const TPeSection& s) const {
    const uint32_t size = std::max(s.VirtualSize, s.RawSize);
    std::vector<uint8_t> bytes(std::min<uint32_t>(size, 64u << 20), 0);
    if (s.RawOffset < FFile.size()) {
        const size_t raw =
            std::min<uint64_t>({s.RawSize, bytes.size(), FFile.size() - s.RawOffset});
        std::memcpy(bytes.data(), FFile.data() + s.RawOffset, raw);
    }
    if (s.VirtualSize && s.VirtualSize < bytes.size()) bytes.resize(s.VirtualSize);
    return bytes;
}

void TPeImage::MapInto(TBufferMemoryReader& memory, const std::string& moduleName) const {
    const uint32_t headers = std::min<uint64_t>({FHeaderSize, FFile.size(), 0x10000});
    if (headers)
        memory.AddRegion(FImageBase, std::vector<uint8_t>(FFile.begin(), FFile.begin() + headers));
    for (const TPeSection& s : FSections) {
        std::vector<uint8_t> bytes = SectionBytes(s);
        if (!bytes.empty() && s.VirtualAddress >= headers)
            memory.AddRegion(FImageBase + s.VirtualAddress, bytes);
    }
    TImageInfo image;
    image.ImageStart = FImageBase;
    image.ImageEnd = FImageBase + FImageSize;
    image.CodeBegin = FImageBase + FBaseOfCode;
    image.CodeEnd = image.CodeBegin + FSizeOfCode;
    image.DataBegin = FImageBase + FBaseOfData;
    image.DataEnd = image.DataBegin + FSizeOfData;
    image.ModuleName = moduleName;
    image.IsMainModule = true;
    memory.AddImage(image);
    for (const auto& [address, name] : FExports)
        memory.AddExport(address, name);
}

} // namespace qix::inspect
