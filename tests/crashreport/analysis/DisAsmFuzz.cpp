// Random bytes as code: decoding, parsing and listing must neither crash nor read
// outside the buffer (the reader refuses, ASan watches the rest).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crashreport/analysis/qixDisAsm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qix;
    constexpr TAddress kBase = 0x00401000;
    if (size == 0) return 0;
    TBufferMemoryReader memory;
    // The first bytes double as a cell area, so that indirect calls sometimes resolve.
    memory.AddRegion(kBase, std::vector<uint8_t>(data, data + size));
    memory.AddRegion(0x00402000, std::vector<uint8_t>(data, data + (size < 64 ? size : 64)));
    TReadableRanges snapshot = BeginTryRead(memory);
    TDisAsmContext context;
    context.Memory = &memory;
    context.Snapshot = &snapshot;
    context.Hooks.LineNumber = [](TAddress a) { return static_cast<int>((a >> 2) & 0x3FF); };
    TRegisters registers{};
    registers[0] = static_cast<int32_t>(kBase);
    for (TAddress a = kBase; a < kBase + size;) {
        TInstructionInfo info;
        DisassembleInstruction(context, a, &registers, info);
        a = info.IsValid && info.Next > a ? info.Next : a + 1;
    }
    TFunctionInfo function;
    DisassembleFunction(context, kBase, kBase + static_cast<TAddress>(size / 2), function, true, 3);
    EndTryRead(snapshot);
    return 0;
}
