#include "crashreport/analysis/qixMapFile.h"

#include <algorithm>
#include <cstdio>

namespace qix {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y));
           });
}

// Segment order: code before data, then by start, then the longer first.
bool SegmentBefore(const TMapSegment& a, const TMapSegment& b) {
    if (a.IsCode != b.IsCode) return a.IsCode;
    if (a.Start != b.Start) return a.Start < b.Start;
    return a.Length > b.Length;
}

// Wide, so that a segment ending at the top of a 32-bit address space does not wrap.
uint64_t SegmentEnd(const TMapSegment& s) {
    return uint64_t(s.Start) + s.Length;
}

std::string StripUnitExtension(std::string name) {
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && name.size() - dot == 4) {
        const std::string ext = name.substr(dot + 1);
        if (EqualNoCase(ext, "pas") || EqualNoCase(ext, "dpr")) name.resize(dot);
    }
    return name;
}

} // namespace

void TMapFile::SetBounds(TAddress baseOfCode, TAddress topOfCode, TAddress baseOfData,
                         TAddress topOfData) {
    baseOfCode_ = baseOfCode;
    topOfCode_ = topOfCode;
    baseOfData_ = baseOfData;
    topOfData_ = topOfData;
}

void TMapFile::FinishLoad(bool valid) {
    valid_ = valid;
    // The lookups are binary searches; damaged sources must not leave unsorted arrays behind.
    std::stable_sort(segments_.begin(), segments_.end(), SegmentBefore);
    std::stable_sort(
        publics_.begin(), publics_.end(),
        [](const TMapPublic& a, const TMapPublic& b) { return a.Address < b.Address; });
    std::stable_sort(lines_.begin(), lines_.end(),
                     [](const TMapLine& a, const TMapLine& b) { return a.Address < b.Address; });
    lastSegment_[0] = lastSegment_[1] = -1;
    BuildIndex();
}

void TMapFile::BuildIndex() {
    firstData_ = size_t(std::partition_point(segments_.begin(), segments_.end(),
                                             [](const TMapSegment& seg) { return seg.IsCode; }) -
                        segments_.begin());
    std::vector<TAddress> code, data, pubs, lines;
    for (size_t i = 0; i < segments_.size(); ++i)
        (i < firstData_ ? code : data).push_back(segments_[i].Start);
    for (const auto& pub : publics_)
        pubs.push_back(pub.Address);
    for (const auto& line : lines_)
        lines.push_back(line.Address);
    reach_.assign(segments_.size(), 0);
    for (size_t i = 0; i < segments_.size(); ++i) {
        const bool first = i == 0 || i == firstData_;
        reach_[i] = std::max(first ? uint64_t(0) : reach_[i - 1], SegmentEnd(segments_[i]));
    }
    codeStarts_.Build(std::move(code));
    dataStarts_.Build(std::move(data));
    publicIndex_.Build(std::move(pubs));
    lineIndex_.Build(std::move(lines));
    indexed_ = true;
}

void TMapFile::AddSegment(bool isCode, TAddress address, uint32_t length, std::string unitName,
                          bool relative, bool tracked, bool sorted) {
    indexed_ = false;
    if (codeOnly_ && !isCode) return;
    unitName = StripUnitExtension(std::move(unitName));
    if (relative) address += isCode ? baseOfCode_ : baseOfData_;
    int& last = lastSegment_[isCode ? 1 : 0];
    if (tracked && last >= 0 && size_t(last) < segments_.size()) {
        TMapSegment& s = segments_[size_t(last)];
        if (s.UnitName == unitName && address >= s.Start && address <= SegmentEnd(s) + 2) {
            s.Length = uint32_t(address + length - s.Start);
            return;
        }
    }
    TMapSegment entry{1, isCode, address, length, std::move(unitName), 0};
    size_t index = segments_.size();
    if (sorted && tracked) {
        index = 0;
        for (size_t i = segments_.size(); i > 0; --i)
            if (!SegmentBefore(entry, segments_[i - 1])) {
                index = i;
                break;
            }
    }
    segments_.insert(segments_.begin() + std::ptrdiff_t(index), std::move(entry));
    if (tracked) {
        // Indexes behind the insertion point moved up by one.
        int& other = lastSegment_[isCode ? 0 : 1];
        if (other >= int(index)) ++other;
        last = int(index);
    }
}

void TMapFile::AddPublic(bool isCode, std::string name, TAddress address, bool tracked) {
    indexed_ = false;
    if (codeOnly_ && !isCode) return;
    if (name.size() >= 6 && name[0] == '@' && name[1] == '$' && name[4] == '$') return;
    std::string unit;
    DemangleSymbol(name, unit);
    address += isCode ? baseOfCode_ : baseOfData_;
    const int found = FindSegmentIndex(isCode, address);
    if (found >= 0) {
        const std::string& segUnit = segments_[size_t(found)].UnitName;
        if (name == segUnit)
            name = "initialization";
        else if (!unit.empty() && !EqualNoCase(unit, segUnit))
            name = unit + "." + name;
        unit = segUnit;
    }
    publics_.push_back({1, isCode, name, address});
    if (!tracked) return;
    const int last = lastSegment_[isCode ? 1 : 0];
    if (last >= 0 && size_t(last) < segments_.size()) {
        TMapSegment& s = segments_[size_t(last)];
        if (address == s.Start) return;
        if (address > SegmentEnd(s)) {
            TAddress limit = address;
            for (size_t j = size_t(last) + 1; j < segments_.size(); ++j)
                if (segments_[j].IsCode == isCode) {
                    limit = std::min(limit, segments_[j].Start);
                    break;
                }
            if (limit > s.Start) s.Length = uint32_t(limit - s.Start);
        }
    }
    const int lastNow = lastSegment_[isCode ? 1 : 0];
    if (found < 0 && (lastNow < 0 || !EqualNoCase(segments_[size_t(lastNow)].UnitName, unit)))
        AddSegment(isCode, address, 1, unit, false, true, true);
}

void TMapFile::SortSegments() {
    std::stable_sort(segments_.begin(), segments_.end(), SegmentBefore);
}

void TMapFile::TidySegments(bool fill) {
    indexed_ = false;
    std::vector<bool> dropped(segments_.size(), false);
    size_t i = 0;
    for (size_t j = 1; j < segments_.size(); ++j) {
        TMapSegment& a = segments_[i];
        TMapSegment& b = segments_[j];
        if (a.Length == 0 || a.Start == b.Start) {
            dropped[i] = true;
            i = j;
            continue;
        }
        if (a.IsCode == b.IsCode && (fill || SegmentEnd(a) >= b.Start)) {
            a.Length = uint32_t(b.Start - a.Start);
            if (EqualNoCase(a.UnitName, b.UnitName)) {
                a.Length += b.Length;
                dropped[j] = true;
                continue;
            }
        }
        i = j;
    }
    size_t out = 0;
    for (size_t k = 0; k < segments_.size(); ++k)
        if (!dropped[k]) {
            if (out != k) // a self-move would empty the name
                segments_[out] = std::move(segments_[k]);
            ++out;
        }
    segments_.resize(out);
}

int TMapFile::FindSegmentIndex(bool isCode, TAddress address) const {
    // Segment order puts code first, so kinds partition the array.
    const size_t first =
        indexed_ ? firstData_
                 : size_t(std::partition_point(segments_.begin(), segments_.end(),
                                               [](const TMapSegment& seg) { return seg.IsCode; }) -
                          segments_.begin());
    const size_t lo = isCode ? 0 : first, hi = isCode ? first : segments_.size();
    size_t k;
    if (indexed_)
        k = lo + (isCode ? codeStarts_ : dataStarts_).UpperBound(address);
    else
        k = size_t(
            std::upper_bound(segments_.begin() + std::ptrdiff_t(lo),
                             segments_.begin() + std::ptrdiff_t(hi), address,
                             [](TAddress a, const TMapSegment& seg) { return a < seg.Start; }) -
            segments_.begin());
    // Overlapping entries: the nearest one below that still covers the address wins.
    while (k > lo) {
        --k;
        if (indexed_ && reach_[k] <= address) break;
        if (address < SegmentEnd(segments_[k])) return int(k);
        if (uint64_t(segments_[k].Start) + UINT32_MAX < address) break;
    }
    return -1;
}

const TMapSegment* TMapFile::SegmentAt(bool isCode, TAddress address) const {
    if (!valid_) return nullptr;
    const int i = FindSegmentIndex(isCode, address);
    return i < 0 ? nullptr : &segments_[size_t(i)];
}

const TMapPublic* TMapFile::PublicAt(TAddress address) const {
    if (!valid_) return nullptr;
    const int i = FindPublicIndex(address);
    return i < 0 ? nullptr : &publics_[size_t(i)];
}

TMapSegment TMapFile::FindSegment(bool isCode, TAddress address) const {
    if (!valid_) return {};
    const int i = FindSegmentIndex(isCode, address);
    return i < 0 ? TMapSegment{} : segments_[size_t(i)];
}

int TMapFile::FindPublicIndex(TAddress address) const {
    size_t k;
    if (indexed_)
        k = publicIndex_.UpperBound(address);
    else
        k = size_t(std::upper_bound(publics_.begin(), publics_.end(), address,
                                    [](TAddress a, const TMapPublic& p) { return a < p.Address; }) -
                   publics_.begin());
    if (k == 0) return -1;
    if (k == publics_.size() && topOfCode_ != 0 && address >= topOfCode_) return -1;
    return int(k) - 1;
}

TMapPublic TMapFile::FindPublic(TAddress address) const {
    if (!valid_) return {};
    const int i = FindPublicIndex(address);
    return i < 0 ? TMapPublic{} : publics_[size_t(i)];
}

int32_t TMapFile::FindLine(TAddress address, TAddress& nextLineAddress) const {
    nextLineAddress = 0;
    if (!valid_) return 0;
    const int seg = FindSegmentIndex(true, address);
    if (lines_.empty()) return seg >= 0 && segments_[size_t(seg)].HasLineInfo ? -1 : 0;
    const auto it =
        indexed_ ? lines_.begin() + std::ptrdiff_t(lineIndex_.UpperBound(address))
                 : std::upper_bound(lines_.begin(), lines_.end(), address,
                                    [](TAddress a, const TMapLine& l) { return a < l.Address; });
    if (it == lines_.begin() || seg < 0) return 0;
    if (it == lines_.end() && topOfCode_ != 0 && address >= topOfCode_) return 0;
    const TMapLine& hit = *(it - 1);
    const TMapSegment& s = segments_[size_t(seg)];
    if (hit.Address < s.Start || hit.Address > SegmentEnd(s)) return 0;
    if (it != lines_.end()) nextLineAddress = it->Address;
    return hit.Line;
}

TAddress TMapFile::FindPublicByName(bool isCode, const std::string& unitName, bool caseSensitive,
                                    const std::string& name) const {
    if (!valid_) return 0;
    TAddress result = 0;
    for (const auto& s : segments_) {
        if (s.IsCode != isCode || !EqualNoCase(s.UnitName, unitName)) continue;
        auto it = std::lower_bound(publics_.begin(), publics_.end(), s.Start,
                                   [](const TMapPublic& p, TAddress a) { return p.Address < a; });
        for (; it != publics_.end() && it->Address <= SegmentEnd(s); ++it)
            if (it->IsCode == isCode &&
                (caseSensitive ? it->Name == name : EqualNoCase(it->Name, name))) {
                result = it->Address;
                break;
            }
    }
    if (result == 0 && unitName.find('.') == std::string::npos)
        for (const char* ext : {".cpp", ".h", ".c"})
            if ((result = FindPublicByName(isCode, unitName + ext, caseSensitive, name)) != 0)
                break;
    return result;
}

std::string TMapFile::GetPublicNameAt(TAddress address) const {
    if (!valid_) return {};
    const int i = FindPublicIndex(address);
    if (i < 0 || publics_[size_t(i)].Address != address) return {};
    const TMapSegment seg = FindSegment(true, address);
    std::string text = seg.UnitName.empty() ? publics_[size_t(i)].Name
                                            : seg.UnitName + "." + publics_[size_t(i)].Name;
    if (text.find('%') != std::string::npos) {
        const auto slash = moduleFileName_.find_last_of("\\/");
        text += " (" + moduleFileName_.substr(slash == std::string::npos ? 0 : slash + 1) + ")";
    }
    return text;
}

bool DemangleSymbol(std::string& name, std::string& unitName) {
    unitName.clear();
    for (size_t p; (p = name.find("::")) != std::string::npos;)
        name.replace(p, 2, ".");
    if (name.empty() || name[0] != '@') return false;
    std::string suffix;
    if (name.size() > 1 && name[1] == '%') {
        const auto p = name.rfind("%@");
        if (p != std::string::npos && p >= 2) suffix = "." + name.substr(p + 2);
    }
    size_t i = 2;
    if (name.size() >= 7 && name.compare(0, 3, "@_$") == 0) {
        const auto p = name.find("$@", 4);
        i = p == std::string::npos ? name.size() : p + 2;
    }
    bool destructor = false, cut = false;
    for (; i < name.size(); ++i) {
        if (name[i] == '$') {
            destructor = i + 2 < name.size() && name[i + 2] == 'd';
            name = name.substr(0, i) + suffix;
            cut = true;
            break;
        }
        if (name[i] == '@') {
            name[i] = '.';
            if (unitName.empty()) unitName = name.substr(1, i - 1);
        }
    }
    if (!unitName.empty() && name.size() > unitName.size() + 2)
        name.erase(0, unitName.size() + 2);
    else {
        unitName.clear();
        if (cut && !name.empty() && name[0] == '@') name.erase(0, 1);
    }
    if (!name.empty() && name[0] == '%') name.erase(0, 1);
    if (!name.empty() && name[0] == '.') name[0] = '@';
    if (!name.empty() && name.back() == '.') name += destructor ? "Destroy" : "Create";
    const auto b = name.find_first_not_of(' ');
    name =
        b == std::string::npos ? std::string() : name.substr(b, name.find_last_not_of(' ') - b + 1);
    if (!name.empty() && name.back() == '.') name += '?';
    return true;
}

bool GetAddressInfo(const TMapFile& map, TAddress address, TAddressInfo& info) {
    info = {};
    if (address == 0 || !map.Valid()) return false;
    info.ModuleFileName = map.ModuleFileName();
    if (const TMapSegment* seg = map.SegmentAt(true, address)) info.UnitName = seg->UnitName;
    if (const TMapPublic* pub = map.PublicAt(address)) {
        info.PublicName = pub->Name;
        info.PublicAddress = pub->Address;
    }
    TAddress next = 0;
    info.Line = std::max(map.FindLine(address, next), 0);
    return true;
}

void GetLineNumberCached(const TMapFile& map, TAddress address, int32_t& line, TAddress& rangeStart,
                         TAddress& rangeEnd) {
    if (address == 0 || (line != 0 && rangeStart <= address && address < rangeEnd)) return;
    TAddress next = 0;
    line = std::max(map.FindLine(address, next), 0);
    rangeStart = address;
    rangeEnd = next != 0 ? next : address + 1;
}

} // namespace qix
