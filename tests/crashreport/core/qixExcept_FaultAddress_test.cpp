// The fault-address correction against objdump's own instruction boundaries of the
// same bytes.
#include "crashreport/core/qixExcept_FaultAddress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace qix {
namespace {

constexpr TAddress kBase = 0x401000, kCallee = 0x402000;

// push ebp; mov ebp,esp; sub esp,0x18; mov dword [esp],0x12345678; call kCallee;
// mov eax,[ebp+8]; test eax,eax; je +5; mov eax,1; leave; ret
const std::vector<uint8_t> kFunction = {
    0x55, 0x89, 0xe5, 0x83, 0xec, 0x18, 0xc7, 0x04, 0x24, 0x78, 0x56, 0x34, 0x12, 0xe8, 0xee, 0x0f,
    0x00, 0x00, 0x8b, 0x45, 0x08, 0x85, 0xc0, 0x74, 0x05, 0xb8, 0x01, 0x00, 0x00, 0x00, 0xc9, 0xc3};

// Instruction starts as objdump decodes the bytes placed at kBase.
std::set<TAddress> ObjdumpStarts() {
    const std::string file = testing::TempDir() + "fault_address.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(kFunction.data()), std::streamsize(kFunction.size()));
    const std::string command =
        std::string(QIX_OBJDUMP) + " -D -b binary -m i386 --adjust-vma=0x401000 " + file;
    std::set<TAddress> starts;
    FILE* out = popen(command.c_str(), "r");
    if (!out) return starts;
    char line[512];
    while (std::fgets(line, sizeof line, out)) {
        unsigned address = 0;
        char colon = 0;
        if (std::sscanf(line, " %x%c", &address, &colon) == 2 && colon == ':' && address >= kBase &&
            address < kBase + kFunction.size())
            starts.insert(address);
    }
    pclose(out);
    return starts;
}

TEST(FaultAddress, MovesOnlyAddressesInsideAnInstructionWhoseNextWordStartsOne) {
    const std::set<TAddress> starts = ObjdumpStarts();
    ASSERT_EQ(starts.size(), 11u) << "objdump (" << QIX_OBJDUMP << ") gave no listing";
    TBufferMemoryReader memory;
    memory.AddRegion(kBase, kFunction);
    memory.AddRegion(kCallee, {0xc3});
    TDisAsmContext context;
    context.Memory = &memory;
    for (TAddress at = kBase; at < kBase + kFunction.size(); ++at) {
        const TAddress expected = starts.count(at) ? at : starts.count(at + 4) ? at + 4 : at;
        EXPECT_EQ(CorrectFaultAddress(context, kBase, at), expected) << std::hex << at;
    }
    // The call's target is listed, so it counts as a start although it lies elsewhere.
    TFunctionInfo function;
    ParseFunction(context, kBase, function);
    EXPECT_TRUE(IsInstructionStart(context, function, kCallee));
    // Without a function, or with one that cannot be read, the address stays.
    EXPECT_EQ(CorrectFaultAddress(context, 0, kBase + 14), kBase + 14);
    EXPECT_EQ(CorrectFaultAddress(context, 0x500000, 0x500001), 0x500001u);
}

} // namespace
} // namespace qix
