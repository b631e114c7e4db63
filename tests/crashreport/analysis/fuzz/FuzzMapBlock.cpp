// Compiled map data: odd inputs are taken as whole blocks, even ones as the inflated payload
// (wrapped here, so that the fuzzer reaches the table reader past cipher and checksum).
#include "crashreport/analysis/qixMapFile.h"
#include "tools/qixmap/qixMapWriter.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> input(data + 1, data + size);
    const uint8_t mode = data[0];
    if (!(mode & 1))
        input =
            qix::BuildMapBlock(qix::CompressMapPayload(input), {3, 0, 0, uint32_t(mode >> 1 & 1)});
    qix::TMapFile map;
    map.SetBounds(0x401000, mode & 4 ? 0x402000 : 0);
    map.FinishLoad(map.ImportMapData(input));
    for (qix::TAddress a : {0x400000, 0x401000, 0x401001, 0x401fff, 0x402000}) {
        qix::TAddress next = 0;
        map.FindSegment(true, a);
        map.FindPublic(a);
        map.FindLine(a, next);
        map.GetPublicNameAt(a);
    }
    map.FindPublicByName(true, "segment%0", false, "public%0");
    return 0;
}
