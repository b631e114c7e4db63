// Random stacks over random code: the tracer never crashes, hangs or reads out of bounds.
// The input is split into a code region (no module) and the stack itself.
#include "crashreport/analysis/qixStackTrace.h"

#include <cstring>

namespace {

class TFuzzProcess : public qix::ITraceProcess {
public:
    qix::TBufferMemoryReader Mem;
    const qix::IMemoryReader& Memory() const override { return Mem; }
    std::shared_ptr<const qix::TMapFile> DebugInfo(const qix::TImageInfo&) const override {
        return nullptr;
    }
};

constexpr qix::TAddress kCode = 0x00401000;
constexpr qix::TAddress kStack = 0x00200000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const size_t split = std::min<size_t>(size / 2, 4096);
    TFuzzProcess process;
    process.Mem.AddRegion(kCode, {data, data + split});
    std::vector<uint8_t> stack(data + split, data + size);
    stack.resize((stack.size() + 3) & ~size_t(3));
    // Stack slots that point into the code region make real candidates.
    for (size_t i = 0; i + 4 <= stack.size(); i += 8) {
        uint32_t v;
        std::memcpy(&v, &stack[i], 4);
        v = kCode + v % uint32_t(split);
        std::memcpy(&stack[i], &v, 4);
    }
    process.Mem.AddRegion(kStack, stack);
    qix::TStackTracer tracer(process);
    qix::TStackTraceRequest r;
    r.StackBottom = kStack;
    r.StackTop = kStack + qix::TAddress(stack.size());
    r.FramePointer = kStack + (data[0] % 64) * 4;
    r.CurrentAddress = kCode + data[1] % split;
    r.IsException = data[2] & 1;
    r.HideUglyItems = data[2] & 2;
    r.ShowRelAddrs = data[2] & 4;
    r.ShowRelLines = data[2] & 8;
    r.PlainTrace = data[2] & 16;
    r.CreationAddress = data[2] & 32 ? kCode + data[3] % split : 0;
    tracer.Trace(r);
    return 0;
}
