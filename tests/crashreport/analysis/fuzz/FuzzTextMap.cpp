#include "crashreport/analysis/qixMapFile.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qix::TMapFile map;
    map.SetBounds(0x401000, 0x500000, 0x600000, 0x700000);
    map.ParseTextMap(std::string_view(reinterpret_cast<const char*>(data), size));
    map.FinishLoad(true);
    for (const auto& p : map.Publics()) {
        qix::TAddress next = 0;
        map.FindLine(p.Address, next);
        map.FindSegment(p.IsCode, p.Address);
        map.FindPublicByName(p.IsCode, "Main", false, p.Name);
        break;
    }
    return 0;
}
