#include "tools/qixinspect/InspectImage.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace qix::inspect {

namespace {

constexpr uint16_t MachineI386 = 0x014C;

std::string CString(std::span<const uint8_t> bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size() && bytes[i] && text.size() < 512; ++i)
        text += char(bytes[i]);
    return text;
}

} // namespace

bool TInspectImage::Load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    return Parse(std::move(bytes), error);
}

bool TInspectImage::Parse(std::vector<uint8_t> file, std::string& error) {
    file_ = std::move(file);
    exports_.clear();
    symbols_.clear();
    boundaries_.clear();
    pe_ = std::make_unique<TPeImage>(file_, false);
    if (!pe_->Valid()) {
        error = "not a PE file, or its headers are cut short";
        return false;
    }
    if (pe_->Machine() != MachineI386 || !pe_->IsPe32()) {
        error = "not a 32-bit x86 PE file";
        return false;
    }
    ReadExports();
    ReadSymbols();
    return true;
}

void TInspectImage::ReadExports() {
    const auto [rva, size] = pe_->Directory(0);
    const auto dir = pe_->AtRva(rva, 40);
    if (!rva || dir.empty()) return;
    const uint32_t count = PeRead32(dir, 20), nameCount = PeRead32(dir, 24);
    const uint32_t functions = PeRead32(dir, 28), names = PeRead32(dir, 32),
                   ordinals = PeRead32(dir, 36);
    for (uint32_t i = 0; i < nameCount && i < 65536; ++i) {
        const auto nameRva = pe_->AtRva(names + 4 * i, 4);
        const auto ordinal = pe_->AtRva(ordinals + 2 * i, 2);
        if (nameRva.empty() || ordinal.empty() || PeRead16(ordinal, 0) >= count) continue;
        const auto target = pe_->AtRva(functions + 4u * PeRead16(ordinal, 0), 4);
        const auto name = pe_->TailAtRva(PeRead32(nameRva, 0));
        if (target.empty() || name.empty()) continue;
        exports_[ImageBase() + PeRead32(target, 0)] = CString(name);
    }
}

void TInspectImage::ReadSymbols() {
    const uint64_t offset = pe_->SymbolTableOffset(), count = pe_->SymbolCount();
    if (!offset || !count) return;
    const std::span<const uint8_t> file(file_);
    const uint64_t strings = offset + 18 * count;
    const auto& sections = Sections();
    for (uint64_t i = 0; i < count && i < 1000000; ++i) {
        const uint64_t at = offset + 18 * i;
        if (at + 18 > file.size()) break;
        const uint32_t zeros = PeRead32(file, at), nameOffset = PeRead32(file, at + 4),
                       value = PeRead32(file, at + 8);
        const auto section = int16_t(PeRead16(file, at + 12));
        const uint16_t type = PeRead16(file, at + 14);
        const uint8_t storage = file[at + 16], aux = file[at + 17];
        i += aux;
        if (section <= 0 || size_t(section) > sections.size()) continue;
        const uint32_t address = ImageBase() + sections[size_t(section) - 1].VirtualAddress + value;
        boundaries_.insert(address);
        if (storage != 2 && storage != 3) continue; // external or static
        std::string name;
        if (zeros == 0) {
            if (strings + nameOffset < file.size())
                name = CString(file.subspan(strings + nameOffset));
        } else {
            name = CString(file.subspan(at, 8));
        }
        if (name.empty() || name[0] == '.' || (type & 0x30) != 0x20) continue; // functions only
        symbols_.emplace(address, name);
    }
}

std::vector<uint8_t> TInspectImage::SectionBytes(const TPeSection& s) const {
    const uint32_t size = std::max(s.VirtualSize, s.RawSize);
    std::vector<uint8_t> bytes(std::min<uint32_t>(size, 64u << 20), 0);
    if (s.RawOffset < file_.size()) {
        const size_t raw =
            std::min<uint64_t>({s.RawSize, bytes.size(), file_.size() - s.RawOffset});
        std::memcpy(bytes.data(), file_.data() + s.RawOffset, raw);
    }
    if (s.VirtualSize && s.VirtualSize < bytes.size()) bytes.resize(s.VirtualSize);
    return bytes;
}

void TInspectImage::MapInto(TBufferMemoryReader& memory, const std::string& moduleName) const {
    const uint32_t headers =
        uint32_t(std::min<uint64_t>({pe_->SizeOfHeaders(), file_.size(), 0x10000}));
    if (headers)
        memory.AddRegion(ImageBase(), std::vector<uint8_t>(file_.begin(), file_.begin() + headers));
    for (const TPeSection& s : Sections()) {
        std::vector<uint8_t> bytes = SectionBytes(s);
        if (!bytes.empty() && s.VirtualAddress >= headers)
            memory.AddRegion(ImageBase() + s.VirtualAddress, bytes);
    }
    TImageInfo image;
    image.ImageStart = ImageBase();
    image.ImageEnd = ImageBase() + pe_->SizeOfImage();
    image.CodeBegin = ImageBase() + pe_->BaseOfCode();
    image.CodeEnd = image.CodeBegin + pe_->SizeOfCode();
    image.DataBegin = ImageBase() + pe_->BaseOfData();
    image.DataEnd = image.DataBegin + pe_->SizeOfData();
    image.ModuleName = moduleName;
    image.IsMainModule = true;
    memory.AddImage(image);
    for (const auto& [address, name] : exports_)
        memory.AddExport(address, name);
}

} // namespace qix::inspect
