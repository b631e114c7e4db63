#include "crashreport/analysis/qixPeImage.h"

#include <algorithm>

namespace qix {

uint16_t PeRead16(std::span<const uint8_t> b, size_t at) {
    if (at > b.size() || b.size() - at < 2) return 0;
    return uint16_t(b[at] | b[at + 1] << 8);
}

uint32_t PeRead32(std::span<const uint8_t> b, size_t at) {
    if (at > b.size() || b.size() - at < 4) return 0;
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

TPeImage::TPeImage(std::span<const uint8_t> bytes, bool loaded) : bytes_(bytes), loaded_(loaded) {
    if (PeRead16(bytes, 0) != 0x5A4D) return;
    const uint32_t pe = PeRead32(bytes, 0x3C);
    if (PeRead32(bytes, pe) != 0x00004550) return;
    const size_t fileHeader = size_t(pe) + 4;
    machine_ = PeRead16(bytes, fileHeader);
    const uint16_t sectionCount = PeRead16(bytes, fileHeader + 2);
    symbolTable_ = PeRead32(bytes, fileHeader + 8);
    symbolCount_ = PeRead32(bytes, fileHeader + 12);
    const uint16_t optSize = PeRead16(bytes, fileHeader + 16);
    const size_t opt = fileHeader + 20;
    const uint16_t magic = PeRead16(bytes, opt);
    if (magic != 0x10B && magic != 0x20B) return;
    const bool pe32 = pe32_ = magic == 0x10B;
    sizeOfCode_ = PeRead32(bytes, opt + 4);
    sizeOfInitData_ = PeRead32(bytes, opt + 8);
    sizeOfUninitData_ = PeRead32(bytes, opt + 12);
    entryPoint_ = PeRead32(bytes, opt + 16);
    baseOfCode_ = PeRead32(bytes, opt + 20);
    baseOfData_ = pe32 ? PeRead32(bytes, opt + 24) : 0;
    imageBase_ = pe32 ? PeRead32(bytes, opt + 28)
                      : uint64_t(PeRead32(bytes, opt + 24)) | uint64_t(PeRead32(bytes, opt + 28))
                                                                  << 32;
    sizeOfImage_ = PeRead32(bytes, opt + 56);
    sizeOfHeaders_ = PeRead32(bytes, opt + 60);
    directoryCount_ = PeRead32(bytes, opt + (pe32 ? 92 : 108));
    directoryOffset_ = opt + (pe32 ? 96 : 112);
    if (directoryCount_ > 16) directoryCount_ = 16;
    if (directoryOffset_ + size_t(directoryCount_) * 8 > opt + optSize)
        directoryCount_ = uint32_t((opt + optSize - std::min(directoryOffset_, opt + optSize)) / 8);
    const size_t table = opt + optSize;
    if (table + size_t(sectionCount) * 40 > bytes.size()) return;
    for (unsigned i = 0; i < sectionCount; ++i) {
        const size_t s = table + size_t(i) * 40;
        TPeSection sec;
        for (size_t k = 0; k < 8 && bytes[s + k]; ++k)
            sec.Name += char(bytes[s + k]);
        sec.VirtualSize = PeRead32(bytes, s + 8);
        sec.VirtualAddress = PeRead32(bytes, s + 12);
        sec.RawSize = PeRead32(bytes, s + 16);
        sec.RawOffset = PeRead32(bytes, s + 20);
        sec.Characteristics = PeRead32(bytes, s + 36);
        sections_.push_back(std::move(sec));
    }
    valid_ = true;
}

int TPeImage::CodeSectionCount() const {
    int n = 0;
    for (const auto& s : sections_)
        n += (s.Characteristics & PeSectionCode) != 0;
    return n;
}

TPeExtent TPeImage::CodeExtent() const {
    const auto& sec = sections_;
    if (sec.empty() || !(sec[0].Characteristics & PeSectionCode))
        return {baseOfCode_, baseOfCode_ + sizeOfCode_};
    TPeExtent code{sec[0].VirtualAddress, sec[0].VirtualAddress + sec[0].VirtualSize};
    if (sec.size() > 1 && (sec[1].Characteristics & PeSectionCode))
        code.End = sec[1].VirtualAddress + sec[1].VirtualSize;
    return code;
}

std::optional<uint32_t> TPeImage::RvaToOffset(uint32_t rva) const {
    if (loaded_) return rva;
    for (const auto& s : sections_) {
        const uint32_t extent = std::max(s.VirtualSize, s.RawSize);
        if (rva >= s.VirtualAddress && rva - s.VirtualAddress < extent) {
            const uint32_t delta = rva - s.VirtualAddress;
            if (delta >= s.RawSize) return std::nullopt; // zero-filled tail, not in the file
            return s.RawOffset + delta;
        }
    }
    if (!sections_.empty() && rva < sections_.front().VirtualAddress) return rva; // headers
    return std::nullopt;
}

std::span<const uint8_t> TPeImage::AtRva(uint32_t rva, uint32_t size) const {
    const auto off = RvaToOffset(rva);
    if (!off || *off > bytes_.size() || bytes_.size() - *off < size) return {};
    return bytes_.subspan(*off, size);
}

std::span<const uint8_t> TPeImage::TailAtRva(uint32_t rva) const {
    const auto off = RvaToOffset(rva);
    if (!off || *off >= bytes_.size()) return {};
    size_t end = bytes_.size();
    if (!loaded_)
        for (const auto& s : sections_)
            if (*off >= s.RawOffset && *off - s.RawOffset < s.RawSize)
                end = std::min<size_t>(end, size_t(s.RawOffset) + s.RawSize);
    return bytes_.subspan(*off, end - *off);
}

std::pair<uint32_t, uint32_t> TPeImage::Directory(unsigned index) const {
    if (!valid_ || index >= directoryCount_) return {0, 0};
    return {PeRead32(bytes_, directoryOffset_ + index * 8),
            PeRead32(bytes_, directoryOffset_ + index * 8 + 4)};
}

std::optional<uint32_t> TPeImage::FirstDebugRawPointer() const {
    const auto [rva, size] = Directory(6);
    const auto entry = AtRva(rva, 28);
    if (!rva || size < 28 || entry.empty()) return std::nullopt;
    return PeRead32(entry, 24);
}

std::optional<uint32_t> TPeImage::FirstDebugRva() const {
    const auto [rva, size] = Directory(6);
    const auto entry = AtRva(rva, 28);
    if (!rva || size < 28 || entry.empty()) return std::nullopt;
    return PeRead32(entry, 20);
}

static char16_t UpperAscii(char16_t c) {
    return c >= u'a' && c <= u'z' ? c - 32 : c;
}

// Returns the RVA of the matching entry's target (directory or data entry), high bit kept.
std::optional<uint32_t> TPeImage::FindEntry(uint32_t dirRva, uint32_t rootRva,
                                            const TResourceKey* key) const {
    const auto head = AtRva(dirRva, 16);
    if (head.empty()) return std::nullopt;
    const unsigned named = PeRead16(head, 12), ids = PeRead16(head, 14);
    const auto entries = AtRva(dirRva + 16, (named + ids) * 8);
    if (entries.empty()) return std::nullopt;
    for (unsigned i = 0; i < named + ids; ++i) {
        const uint32_t id = PeRead32(entries, i * 8), target = PeRead32(entries, i * 8 + 4);
        bool match = key == nullptr;
        if (!match && key->Numeric)
            match = !(id & 0x80000000u) && id == key->Id;
        else if (!match && (id & 0x80000000u)) {
            const uint32_t nameRva = rootRva + (id & 0x7FFFFFFFu);
            const auto len = AtRva(nameRva, 2);
            const unsigned n = PeRead16(len, 0);
            const auto text = AtRva(nameRva + 2, n * 2);
            if (!len.empty() && n == key->Name.size() && (n == 0 || !text.empty())) {
                match = true;
                for (unsigned k = 0; k < n && match; ++k)
                    match = UpperAscii(char16_t(PeRead16(text, k * 2))) == UpperAscii(key->Name[k]);
            }
        }
        if (match) return target;
    }
    return std::nullopt;
}

std::optional<std::span<const uint8_t>> TPeImage::FindResourceImpl(const TResourceKey& type,
                                                                   const TResourceKey& name) const {
    const auto [root, size] = Directory(2);
    if (!root || !size) return std::nullopt;
    const auto t = FindEntry(root, root, &type);
    if (!t || !(*t & 0x80000000u)) return std::nullopt;
    const auto n = FindEntry(root + (*t & 0x7FFFFFFFu), root, &name);
    if (!n || !(*n & 0x80000000u)) return std::nullopt;
    const auto lang = FindEntry(root + (*n & 0x7FFFFFFFu), root, nullptr); // first language
    if (!lang || (*lang & 0x80000000u)) return std::nullopt;
    const auto data = AtRva(root + *lang, 16);
    if (data.empty()) return std::nullopt;
    const auto bytes = AtRva(PeRead32(data, 0), PeRead32(data, 4));
    if (bytes.empty() && PeRead32(data, 4) != 0) return std::nullopt;
    return bytes;
}

std::optional<std::span<const uint8_t>> TPeImage::FindResource(const std::u16string& type,
                                                               const std::u16string& name) const {
    return FindResourceImpl({false, 0, type}, {false, 0, name});
}

std::optional<std::span<const uint8_t>> TPeImage::FindResource(uint16_t type,
                                                               const std::u16string& name) const {
    return FindResourceImpl({true, type, {}}, {false, 0, name});
}

} // namespace qix
