// PE headers and resource directories, as a module's file or its loaded image would give them.
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/analysis/qixPeImage.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (bool loaded : {false, true}) {
        const qix::TPeImage pe(std::span<const uint8_t>(data, size), loaded);
        if (!pe.Valid()) return 0;
        pe.FindResource(qix::PeResourceRcData, u"TQIXEXCEPT");
        pe.FirstDebugRawPointer();
        if (const auto rva = pe.FirstDebugRva()) pe.TailAtRva(*rva);
        const qix::TMapFile map(true, false, {&pe, 0x400000, "/nonexistent/fuzz.exe"});
        map.FindPublic(0x401000);
    }
    return 0;
}
