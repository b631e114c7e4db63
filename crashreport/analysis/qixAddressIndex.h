// Sorted addresses with a bucket table over their range, so that finding the entry for an
// address costs one table read and a search among a handful of neighbours instead of a binary
// search whose every step misses the cache.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crashreport/analysis/qixAddress.h"

namespace qix {

class TAddressIndex {
public:
    using TKey = TAddress;

    // Keys must be sorted ascending; duplicates are fine.
    void Build(std::vector<TKey> keys) {
        keys_ = std::move(keys);
        buckets_.clear();
        shift_ = 0;
        if (keys_.empty()) return;
        base_ = keys_.front();
        const TKey span = keys_.back() - base_;
        // About one key a bucket, but never more buckets than keys times two: a few far-apart
        // keys (data next to code) must not blow the table up.
        while (shift_ < sizeof(TKey) * 8 - 1 && (span >> shift_) > 2 * keys_.size())
            ++shift_;
        const size_t count = size_t(span >> shift_) + 1;
        buckets_.assign(count + 1, uint32_t(keys_.size()));
        size_t k = 0;
        for (size_t b = 0; b < count; ++b) {
            const TKey start = base_ + (TKey(b) << shift_);
            while (k < keys_.size() && keys_[k] < start)
                ++k;
            buckets_[b] = uint32_t(k);
        }
    }

    // Index of the first key above the address, as std::upper_bound gives it.
    size_t UpperBound(TKey address) const {
        if (keys_.empty() || address < base_) return 0;
        const TKey b = (address - base_) >> shift_;
        if (b >= buckets_.size() - 1) return keys_.size();
        const auto first = keys_.begin() + buckets_[size_t(b)];
        const auto last = keys_.begin() + buckets_[size_t(b) + 1];
        // Mostly zero to three keys: a linear scan beats the branches of a binary search.
        auto it = first;
        if (last - first > 8)
            it = std::upper_bound(first, last, address);
        else
            while (it != last && *it <= address)
                ++it;
        return size_t(it - keys_.begin());
    }

    size_t Size() const { return keys_.size(); }

private:
    std::vector<TKey> keys_;
    std::vector<uint32_t> buckets_;
    TKey base_ = 0;
    unsigned shift_ = 0;
};

} // namespace qix
