// Guarded reads and the portable byte-buffer reader.
#include <algorithm>
#include <cstring>

#include "crashreport/analysis/qixDisAsm.h"

namespace qix {

bool TryReadMemory(const IMemoryReader& memory, TAddress source, void* dest, uint32_t count,
                   const TReadableRanges* snapshot) {
    if (source == 0 || dest == nullptr) return false;
    if (snapshot && !snapshot->empty()) {
        // Only the start is checked: the snapshot is a cheap filter, the reader has the last word.
        auto it = std::upper_bound(snapshot->begin(), snapshot->end(), source,
                                   [](TAddress a, const TReadableRange& r) { return a < r.Start; });
        if (it != snapshot->begin()) {
            --it;
            if (source <= it->End && !it->Readable) return false;
        }
    }
    return memory.Read(source, dest, count);
}

TReadableRanges BeginTryRead(const IMemoryReader& memory) {
    return memory.QueryRanges();
}

void EndTryRead(TReadableRanges& snapshot) {
    snapshot.clear();
    snapshot.shrink_to_fit();
}

void TBufferMemoryReader::AddRegion(TAddress base, std::vector<uint8_t> bytes) {
    TRegion region{base, std::move(bytes)};
    auto at = std::lower_bound(FRegions.begin(), FRegions.end(), base,
                               [](const TRegion& r, TAddress a) { return r.Base < a; });
    FRegions.insert(at, std::move(region));
}

void TBufferMemoryReader::AddExport(TAddress address, std::string name) {
    FExports.emplace_back(address, std::move(name));
}

const TBufferMemoryReader::TRegion* TBufferMemoryReader::RegionOf(TAddress address) const {
    auto it = std::upper_bound(FRegions.begin(), FRegions.end(), address,
                               [](TAddress a, const TRegion& r) { return a < r.Base; });
    if (it == FRegions.begin()) return nullptr;
    --it;
    if (address - it->Base >= it->Bytes.size()) return nullptr;
    return &*it;
}

bool TBufferMemoryReader::Read(TAddress source, void* dest, uint32_t count) const {
    const TRegion* region = RegionOf(source);
    if (!region) return false;
    uint64_t offset = source - region->Base;
    if (offset + count > region->Bytes.size()) return false;
    if (count) std::memcpy(dest, region->Bytes.data() + offset, count);
    return true;
}

bool TBufferMemoryReader::IsCommitted(TAddress address) const {
    return RegionOf(address) != nullptr;
}

bool TBufferMemoryReader::FindRegion(TAddress address, TAddress& start, TAddress& end) const {
    const TRegion* region = RegionOf(address);
    if (!region) return false;
    start = region->Base;
    end = region->Base + static_cast<TAddress>(region->Bytes.size() - 1);
    return true;
}

TReadableRanges TBufferMemoryReader::QueryRanges() const {
    TReadableRanges ranges;
    ranges.reserve(64);
    TAddress next = 0;
    auto add = [&](TAddress start, TAddress end, bool readable) {
        if (!ranges.empty() && ranges.back().Readable == readable && ranges.back().End + 1 == start)
            ranges.back().End = end;
        else
            ranges.push_back({start, end, readable});
    };
    for (const TRegion& r : FRegions) {
        if (r.Bytes.empty()) continue;
        if (r.Base > next) add(next, r.Base - 1, false);
        TAddress last = r.Base + static_cast<TAddress>(r.Bytes.size() - 1);
        add(r.Base, last, true);
        next = last + 1;
        if (next == 0) return ranges;
    }
    add(next, 0xFFFFFFFF, false);
    return ranges;
}

bool TBufferMemoryReader::FindImage(TAddress address, TImageInfo& image) const {
    for (const TImageInfo& i : FImages)
        if (address >= i.ImageStart && address < i.ImageEnd) {
            image = i;
            return true;
        }
    return false;
}

std::string TBufferMemoryReader::ExportName(TAddress address) const {
    for (const auto& [at, name] : FExports)
        if (at == address) return name;
    return {};
}

} // namespace qix
