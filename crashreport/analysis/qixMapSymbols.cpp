// FB09/FB0A symbol tables and JDBG files.
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/analysis/qixMapInternal.h"
#include "crashreport/analysis/qixPeImage.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

namespace qix {

namespace {

using TBytes = std::span<const uint8_t>;

std::string FileBase(std::string_view path) {
    const auto slash = path.find_last_of("\\/");
    return std::string(slash == path.npos ? path : path.substr(slash + 1));
}

TBytes Sub(TBytes b, uint64_t at, uint64_t size) {
    if (at > b.size() || b.size() - at < size) return {};
    return b.subspan(size_t(at), size_t(size));
}

// Subsection walk shared by the three passes; bounded against directory loops.
template <class F> void ForEachSubsection(TBytes data, uint16_t type, F&& visit) {
    uint32_t dir = PeRead32(data, 4);
    for (int guard = 0; dir != 0 && guard < 256; ++guard) {
        const uint16_t headerSize = PeRead16(data, dir),
                       entrySize = PeRead16(data, size_t(dir) + 2);
        const uint32_t count = PeRead32(data, size_t(dir) + 4);
        if (entrySize < 12 ||
            uint64_t(dir) + headerSize + uint64_t(count) * entrySize > data.size())
            return;
        for (uint32_t i = 0; i < count; ++i) {
            const size_t e = size_t(dir) + headerSize + size_t(i) * entrySize;
            if (PeRead16(data, e) != type) continue;
            const TBytes sub = Sub(data, PeRead32(data, e + 4), PeRead32(data, e + 8));
            if (!sub.empty()) visit(sub);
        }
        dir = PeRead32(data, size_t(dir) + 8);
    }
}

bool EndsNoCase(const std::string& s, std::string_view suffix) {
    if (s.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower(uint8_t(s[s.size() - suffix.size() + i])) != uint8_t(suffix[i]))
            return false;
    return true;
}

// Variable-length unsigned integers, 7 bits a byte; nothing when the data runs out.
class TJdbgReader {
public:
    TJdbgReader(TBytes file, uint32_t at) : file_(file), pos_(at) {}
    std::optional<uint32_t> Next() {
        uint32_t v = 0;
        for (int shift = 0; shift < 35; shift += 7) {
            if (pos_ >= file_.size()) return std::nullopt;
            const uint8_t b = file_[pos_++];
            v |= uint32_t(b & 0x7F) << shift;
            if (!(b & 0x80)) return v == 0x7FFFFFFF ? std::nullopt : std::optional<uint32_t>(v);
        }
        return std::nullopt;
    }

private:
    TBytes file_;
    size_t pos_;
};

std::string JdbgName(TBytes pool, uint32_t index) {
    if (index == 0 || index - 1 >= pool.size()) return {};
    size_t p = index - 1;
    std::string name;
    if (pool[p] == 1) {
        for (++p; p < pool.size() && pool[p] != 0 && name.size() < 255; ++p)
            name += char(pool[p] == 0xAA ? pool[p] : pool[p] ^ 0xAA);
        return name;
    }
    if (pool[p] == 2) {
        name = "@";
        ++p;
    }
    static constexpr char alphabet[] =
        "\0000123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_";
    for (int code = 0; name.size() < 255; ++code) {
        const size_t group = p + size_t(code / 4) * 3;
        auto byte = [&](size_t k) -> unsigned {
            return group + k < pool.size() ? pool[group + k] : 0;
        };
        unsigned c = 0;
        switch (code % 4) {
        case 0:
            c = byte(0) & 0x3F;
            break;
        case 1:
            c = (byte(0) >> 6) | (byte(1) & 0x0F) << 2;
            break;
        case 2:
            c = (byte(1) >> 4) | (byte(2) & 0x03) << 4;
            break;
        default:
            c = byte(2) >> 2;
            break;
        }
        if (c == 0 || group >= pool.size()) break;
        name += alphabet[c];
    }
    return name;
}

} // namespace

bool TMapFile::ReadSymbolTable(TBytes data) {
    if (data.size() < 8 ||
        (std::memcmp(data.data(), "FB09", 4) && std::memcmp(data.data(), "FB0A", 4)))
        return false;
    lastSegment_[0] = lastSegment_[1] = -1;
    std::vector<std::string> names{""};
    ForEachSubsection(data, 0x130, [&](TBytes sub) {
        const uint32_t count = PeRead32(sub, 0);
        size_t p = 4;
        for (uint32_t i = 0; i < count && p < sub.size(); ++i) {
            const size_t len = sub[p];
            if (sub.size() - p - 1 < len) break;
            names.emplace_back(reinterpret_cast<const char*>(sub.data() + p + 1), len);
            p += len + 2;
        }
    });
    auto nameOf = [&](uint32_t index) {
        return index < names.size() ? names[index] : std::string();
    };
    ForEachSubsection(data, 0x120, [&](TBytes sub) {
        const unsigned count = PeRead16(sub, 4);
        const std::string unit = FileBase(nameOf(PeRead32(sub, 8)));
        bool dataAdded = false;
        for (unsigned i = 0; i < count; ++i) {
            const TBytes e = Sub(sub, 28 + uint64_t(i) * 12, 12);
            if (e.empty()) break;
            const uint16_t segIndex = PeRead16(e, 2);
            const uint32_t offset = PeRead32(e, 4), size = PeRead32(e, 8);
            if (size == 0) continue;
            if (segIndex == 1)
                AddSegment(true, offset, size, unit, true, true, false);
            else if (!dataAdded) {
                AddSegment(false, offset, size, unit, true, true, false);
                dataAdded = true;
            }
        }
    });
    ForEachSubsection(data, 0x127, [&](TBytes sub) {
        const unsigned files = PeRead16(sub, 0);
        for (unsigned f = 0; f < files && 2 + f * 4 + 4 <= sub.size(); ++f) {
            const uint32_t fileAt = PeRead32(sub, 2 + f * 4);
            const TBytes head = Sub(data, fileAt, 6);
            if (head.empty()) continue;
            const unsigned blocks = PeRead16(head, 0);
            const std::string fileName = FileBase(nameOf(PeRead32(head, 2)));
            for (unsigned b = 0; b < blocks; ++b) {
                const TBytes blockAt = Sub(data, uint64_t(fileAt) + 6 + b * 4, 4);
                if (blockAt.empty()) break;
                const uint32_t at = PeRead32(blockAt, 0);
                const TBytes bh = Sub(data, at, 4);
                const unsigned seg = PeRead16(bh, 0), pairs = PeRead16(bh, 2);
                const TBytes body = Sub(data, uint64_t(at) + 4, uint64_t(pairs) * 6);
                if (bh.empty() || body.empty() || seg == 0 || seg > 2 || pairs == 0) continue;
                for (unsigned k = 0; k < pairs; ++k)
                    AddLine(int32_t(PeRead16(body, pairs * 4 + k * 2)),
                            baseOfCode_ + PeRead32(body, k * 4));
                if (!fileName.empty()) {
                    const uint32_t first = PeRead32(body, 0),
                                   last = PeRead32(body, (pairs - 1) * 4);
                    if (last >= first)
                        AddSegment(true, baseOfCode_ + first, last - first + 1, fileName, false,
                                   true, false);
                }
            }
        }
    });
    SortSegments();
    lastSegment_[0] = lastSegment_[1] = -1;
    TidySegments(false);
    bool haveGlobals = false;
    ForEachSubsection(data, 0x129, [&](TBytes) { haveGlobals = true; });
    auto walk = [&](TBytes sub, size_t first) {
        for (size_t p = first; p + 4 <= sub.size();) {
            const uint16_t len = PeRead16(sub, p), type = PeRead16(sub, p + 2);
            if (len == 0 || sub.size() - p < size_t(len) + 2) break;
            const TBytes rec = sub.subspan(p, size_t(len) + 2);
            uint32_t nameAt = 0, offsetAt = 0;
            bool isCode = true;
            if (type == 0x204 || type == 0x205)
                nameAt = 40, offsetAt = 28;
            else if (type == 0x201 || type == 0x202)
                nameAt = 16, offsetAt = 4, isCode = false;
            else if (type == 0x20 || type == 0x21)
                nameAt = 12, offsetAt = 20, isCode = type == 0x20;
            const uint32_t index = nameAt ? PeRead32(rec, nameAt) : 0;
            if (index != 0) AddPublic(isCode, nameOf(index), PeRead32(rec, offsetAt), true);
            p += size_t(len) + 2;
        }
    };
    if (haveGlobals)
        ForEachSubsection(data, 0x129, [&](TBytes sub) { walk(sub, 32); });
    else
        ForEachSubsection(data, 0x125, [&](TBytes sub) { walk(sub, 4); });
    std::stable_sort(
        publics_.begin(), publics_.end(),
        [](const TMapPublic& a, const TMapPublic& b) { return a.Address < b.Address; });
    TidySegments(true);
    return true;
}

bool TMapFile::LoadSymbolTableFile() {
    if (image_) {
        if (const auto rva = image_->FirstDebugRva()) {
            if (image_->CodeSectionCount() != 1) return false;
            return ReadSymbolTable(image_->TailAtRva(*rva));
        }
    }
    const std::string base = mapFileName_.substr(0, mapFileName_.rfind('.'));
    std::string tds = EndsNoCase(mapFileName_, ".tds") ? mapFileName_ : base + ".tds";
    std::error_code ec;
    if (!std::filesystem::exists(tds, ec))
        tds = mapFileName_;
    else if (std::filesystem::exists(base + ".map", ec)) {
        using namespace std::chrono;
        const auto day = [](const std::string& p) {
            std::error_code e;
            return floor<days>(std::filesystem::last_write_time(p, e).time_since_epoch());
        };
        if (day(tds) < day(base + ".map")) return false;
    }
    const auto bytes = ReadWholeFile(tds);
    if (!bytes) return false;
    const TPeImage pe(*bytes, false);
    if (!pe.Valid()) return ReadSymbolTable(*bytes);
    const auto [dirRva, dirSize] = pe.Directory(6);
    const auto raw = pe.FirstDebugRawPointer();
    if (!raw || pe.CodeSectionCount() != 1 || pe.Sections().empty() ||
        pe.Sections().back().VirtualAddress != dirRva)
        return false;
    return ReadSymbolTable(
        Sub(*bytes, *raw, bytes->size() - std::min<size_t>(*raw, bytes->size())));
}

bool TMapFile::ReadJdbg(TBytes file) {
    if (file.size() < 35 || file.size() % 4 || std::memcmp(file.data(), "JDBG", 4) || file[4] != 1)
        return false;
    if (file[33]) {
        const uint32_t stored = PeRead32(file, 29);
        uint32_t sum = 0;
        for (size_t p = 0; p < file.size(); p += 4)
            sum += PeRead32(file, p);
        sum -= stored;
        if (((sum >> 8) | (sum << 24)) != stored) return false;
    }
    const uint32_t poolAt = PeRead32(file, 21);
    const TBytes pool = poolAt < file.size() ? file.subspan(poolAt) : TBytes{};
    TJdbgReader sources(file, PeRead32(file, 9));
    uint32_t address = 0, nameIndex = 0;
    while (true) {
        const auto da = sources.Next();
        const auto dn = da ? sources.Next() : std::nullopt;
        if (!dn) break;
        address += *da;
        nameIndex += *dn;
        AddSegment(true, address, 1, FileBase(JdbgName(pool, nameIndex)), true, false, false);
    }
    SortSegments();
    TidySegments(true);
    if (topOfCode_ != 0) {
        auto last = std::find_if(segments_.rbegin(), segments_.rend(),
                                 [](const TMapSegment& s) { return s.IsCode; });
        if (last != segments_.rend() && last->Start < topOfCode_)
            last->Length = uint32_t(topOfCode_ - last->Start);
    }
    TJdbgReader symbols(file, PeRead32(file, 13));
    address = 0;
    uint32_t first = 0, second = 0;
    while (true) {
        const auto da = symbols.Next();
        const auto d1 = da ? symbols.Next() : std::nullopt;
        const auto d2 = d1 ? symbols.Next() : std::nullopt;
        if (!d2) break;
        address += *da;
        first += *d1;
        second += *d2;
        std::string name = JdbgName(pool, first);
        if (int32_t(second) > 0) {
            name += "." + JdbgName(pool, second);
            const TMapSegment s = [&] {
                const int i = FindSegmentIndex(true, baseOfCode_ + address);
                return i < 0 ? TMapSegment{} : segments_[size_t(i)];
            }();
            if (s.Valid && name.size() > s.UnitName.size() &&
                std::equal(s.UnitName.begin(), s.UnitName.end(), name.begin(), [](char a, char b) {
                    return std::tolower(uint8_t(a)) == std::tolower(uint8_t(b));
                }))
                name.erase(0, s.UnitName.size() + 1);
        }
        AddPublic(true, std::move(name), address, false);
    }
    TJdbgReader lines(file, PeRead32(file, 17));
    address = 0;
    int32_t line = 0;
    while (true) {
        const auto da = lines.Next();
        const auto dl = da ? lines.Next() : std::nullopt;
        if (!dl) break;
        address += *da;
        line = int32_t(uint32_t(line) + *dl); // wraps, no UB
        AddLine(line, baseOfCode_ + address);
    }
    return true;
}

} // namespace qix
