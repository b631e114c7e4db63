// The own process as an IMemoryReader (Windows only).
#pragma once

#include "crashreport/analysis/qixDisAsm.h"

namespace qix {

class TProcessMemoryReader : public IMemoryReader {
public:
    bool Read(TAddress source, void* dest, uint32_t count) const override;
    bool IsCommitted(TAddress address) const override;
    bool FindRegion(TAddress address, TAddress& start, TAddress& end) const override;
    TReadableRanges QueryRanges() const override;
    bool FindImage(TAddress address, TImageInfo& image) const override;
    std::string ExportName(TAddress address) const override;
};

} // namespace qix
