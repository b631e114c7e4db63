#include "crashreport/analysis/qixMapFile.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qix::TMapFile map;
    map.SetBounds(0x1000, 0x9000, 0x10000, 0x20000);
    map.FinishLoad(map.ReadSymbolTable(std::span<const uint8_t>(data, size)));
    qix::TAddress next = 0;
    map.FindLine(0x1010, next);
    map.FindPublic(0x1010);
    return 0;
}
