#include "tools/qixmap/PeEmbed.h"

#include "crashreport/analysis/qixPeImage.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

namespace qix {

namespace {

// A directory key: names sort before ids, as the format requires.
struct TKey {
    bool Named = false;
    uint32_t Id = 0;
    std::u16string Name;
    bool operator<(const TKey& o) const {
        if (Named != o.Named) return Named;
        return Named ? Name < o.Name : Id < o.Id;
    }
};

using TTree = std::map<TKey, std::map<TKey, std::map<uint32_t, std::vector<uint8_t>>>>;

uint32_t Align(uint32_t v, uint32_t a) {
    return a ? (v + a - 1) / a * a : v;
}

void Set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.at(at + size_t(i)) = uint8_t(v >> (8 * i));
}
void Set16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b.at(at) = uint8_t(v);
    b.at(at + 1) = uint8_t(v >> 8);
}

// "#10" stands for the numeric id 10, as in resource scripts.
TKey MakeKey(const std::u16string& text) {
    if (text.size() > 1 && text[0] == u'#') {
        uint32_t id = 0;
        for (size_t i = 1; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
            id = id * 10 + uint32_t(text[i] - u'0');
        return {false, id, {}};
    }
    return {true, 0, text};
}

TKey ReadKey(const TPeImage& pe, uint32_t root, uint32_t id) {
    if (!(id & 0x80000000u)) return {false, id, {}};
    const uint32_t at = root + (id & 0x7FFFFFFFu);
    const unsigned n = PeRead16(pe.AtRva(at, 2), 0);
    const auto text = pe.AtRva(at + 2, n * 2);
    std::u16string name;
    for (unsigned i = 0; i < n && !text.empty(); ++i)
        name += char16_t(PeRead16(text, i * 2));
    return {true, 0, name};
}

// Visits the entries of one directory: (key, target with the subdirectory bit).
template <class F> void ForEachEntry(const TPeImage& pe, uint32_t dir, F&& f) {
    const auto head = pe.AtRva(dir, 16);
    const unsigned n = PeRead16(head, 12) + PeRead16(head, 14);
    const auto entries = pe.AtRva(dir + 16, n * 8);
    for (unsigned i = 0; i < n && !entries.empty(); ++i)
        f(PeRead32(entries, i * 8), PeRead32(entries, i * 8 + 4));
}

TTree ReadTree(const TPeImage& pe) {
    TTree tree;
    const auto dir = pe.Directory(2);
    const uint32_t root = dir.first;
    if (!root || !dir.second) return tree;
    ForEachEntry(pe, root, [&](uint32_t typeId, uint32_t typeDir) {
        if (!(typeDir & 0x80000000u)) return;
        ForEachEntry(pe, root + (typeDir & 0x7FFFFFFFu), [&](uint32_t nameId, uint32_t nameDir) {
            if (!(nameDir & 0x80000000u)) return;
            ForEachEntry(pe, root + (nameDir & 0x7FFFFFFFu), [&](uint32_t lang, uint32_t data) {
                const auto entry = pe.AtRva(root + data, 16);
                const auto bytes = pe.AtRva(PeRead32(entry, 0), PeRead32(entry, 4));
                tree[ReadKey(pe, root, typeId)][ReadKey(pe, root, nameId)][lang] =
                    std::vector<uint8_t>(bytes.begin(), bytes.end());
            });
        });
    });
    return tree;
}

// Lays the tree out as a resource section placed at `rva`.
std::vector<uint8_t> WriteTree(const TTree& tree, uint32_t rva) {
    size_t dirBytes = 16 + tree.size() * 8, dataEntries = 0;
    for (const auto& [t, names] : tree) {
        dirBytes += 16 + names.size() * 8;
        for (const auto& [n, langs] : names) {
            dirBytes += 16 + langs.size() * 8;
            dataEntries += langs.size();
        }
    }
    size_t stringAt = dirBytes + dataEntries * 16, stringBytes = 0;
    auto countString = [&](const TKey& k) {
        if (k.Named) stringBytes += 2 + k.Name.size() * 2;
    };
    for (const auto& [t, names] : tree) {
        countString(t);
        for (const auto& [n, langs] : names)
            countString(n);
    }
    size_t dataAt = Align(uint32_t(stringAt + stringBytes), 8);
    size_t total = dataAt;
    for (const auto& [t, names] : tree)
        for (const auto& [n, langs] : names)
            for (const auto& [l, bytes] : langs)
                total = Align(uint32_t(total + bytes.size()), 8);
    std::vector<uint8_t> out(total, 0);
    size_t nextDir = 0, nextEntry = dirBytes, nextString = stringAt, nextData = dataAt;
    auto putKey = [&](size_t at, const TKey& k) {
        if (!k.Named) {
            Set32(out, at, k.Id);
            return;
        }
        Set32(out, at, 0x80000000u | uint32_t(nextString));
        Set16(out, nextString, uint16_t(k.Name.size()));
        for (size_t i = 0; i < k.Name.size(); ++i)
            Set16(out, nextString + 2 + i * 2, uint16_t(k.Name[i]));
        nextString += 2 + k.Name.size() * 2;
    };
    auto putDir = [&](size_t named, size_t ids) {
        const size_t at = nextDir;
        Set16(out, at + 12, uint16_t(named));
        Set16(out, at + 14, uint16_t(ids));
        nextDir += 16 + (named + ids) * 8;
        return at + 16;
    };
    auto countNamed = [](const auto& m) {
        return size_t(
            std::count_if(m.begin(), m.end(), [](const auto& e) { return e.first.Named; }));
    };
    // Breadth-first is not required; each directory is followed by its children.
    const size_t rootEntries = putDir(countNamed(tree), tree.size() - countNamed(tree));
    size_t ti = 0;
    for (const auto& [t, names] : tree) {
        putKey(rootEntries + ti * 8, t);
        Set32(out, rootEntries + ti * 8 + 4, 0x80000000u | uint32_t(nextDir));
        const size_t typeEntries = putDir(countNamed(names), names.size() - countNamed(names));
        size_t ni = 0;
        for (const auto& [n, langs] : names) {
            putKey(typeEntries + ni * 8, n);
            Set32(out, typeEntries + ni * 8 + 4, 0x80000000u | uint32_t(nextDir));
            const size_t langEntries = putDir(0, langs.size());
            size_t li = 0;
            for (const auto& [l, bytes] : langs) {
                Set32(out, langEntries + li * 8, l);
                Set32(out, langEntries + li * 8 + 4, uint32_t(nextEntry));
                Set32(out, nextEntry, rva + uint32_t(nextData));
                Set32(out, nextEntry + 4, uint32_t(bytes.size()));
                std::copy(bytes.begin(), bytes.end(), out.begin() + std::ptrdiff_t(nextData));
                nextEntry += 16;
                nextData = Align(uint32_t(nextData + bytes.size()), 8);
                ++li;
            }
            ++ni;
        }
        ++ti;
    }
    return out;
}

} // namespace

std::vector<uint8_t> EmbedResource(const std::vector<uint8_t>& file, const std::u16string& type,
                                   const std::u16string& name, const std::vector<uint8_t>& data) {
    const TPeImage pe(file, false);
    if (!pe.Valid() || pe.Sections().empty()) throw std::runtime_error("not a PE file");
    TTree tree = ReadTree(pe);
    auto& names = tree[MakeKey(type)];
    names[MakeKey(name)].clear();
    names[MakeKey(name)][0] = data;

    const uint32_t peAt = PeRead32(file, 0x3C);
    const size_t fileHeader = peAt + 4, opt = fileHeader + 20;
    const uint16_t optSize = PeRead16(file, fileHeader + 16);
    const bool pe32 = PeRead16(file, opt) == 0x10B;
    const uint32_t sectionAlign = PeRead32(file, opt + 32), fileAlign = PeRead32(file, opt + 36);
    const uint32_t sizeOfHeaders = PeRead32(file, opt + 60);
    const size_t table = opt + optSize;
    const size_t count = pe.Sections().size();
    const size_t newHeader = table + count * 40;
    uint32_t firstRaw = sizeOfHeaders;
    for (const auto& s : pe.Sections())
        if (s.RawSize) firstRaw = std::min(firstRaw, s.RawOffset);
    if (newHeader + 40 > firstRaw) throw std::runtime_error("no room for another section header");
    uint32_t end = 0;
    for (const auto& s : pe.Sections())
        end = std::max(end, s.VirtualAddress + std::max(s.VirtualSize, 1u));
    const uint32_t rva = Align(end, sectionAlign);
    const std::vector<uint8_t> section = WriteTree(tree, rva);
    const uint32_t rawSize = Align(uint32_t(section.size()), fileAlign);
    const uint32_t rawAt = Align(uint32_t(file.size()), fileAlign);

    std::vector<uint8_t> out = file;
    out.resize(rawAt + rawSize, 0);
    std::copy(section.begin(), section.end(), out.begin() + rawAt);
    // Tools that take the directory from the section named .rsrc must find the new one.
    for (size_t i = 0; i < count; ++i)
        if (std::memcmp(&out[table + i * 40], ".rsrc\0", 6) == 0)
            std::memcpy(&out[table + i * 40], ".rsrc_o\0", 8);
    std::memcpy(&out[newHeader], ".rsrc\0\0\0", 8);
    Set32(out, newHeader + 8, uint32_t(section.size()));
    Set32(out, newHeader + 12, rva);
    Set32(out, newHeader + 16, rawSize);
    Set32(out, newHeader + 20, rawAt);
    std::fill(out.begin() + std::ptrdiff_t(newHeader + 24),
              out.begin() + std::ptrdiff_t(newHeader + 36), 0);
    Set32(out, newHeader + 36, 0x40000040u); // initialised data, readable
    Set16(out, fileHeader + 2, uint16_t(count + 1));
    Set32(out, opt + 8, PeRead32(file, opt + 8) + rawSize);
    Set32(out, opt + 56, Align(rva + uint32_t(section.size()), sectionAlign));
    Set32(out, opt + 64, 0); // checksum: not verified for ordinary executables
    const size_t dirs = opt + (pe32 ? 96 : 112);
    Set32(out, dirs + 2 * 8, rva);
    Set32(out, dirs + 2 * 8 + 4, uint32_t(section.size()));
    return out;
}

} // namespace qix
