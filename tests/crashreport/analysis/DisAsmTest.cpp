// Decoder and parser cases whose expected values come from the Intel encodings,
// worked out by hand, not from the decoder's own output.
#include <gtest/gtest.h>

#include <sstream>

#include "crashreport/analysis/qixDisAsm.h"

namespace qix {
namespace {

constexpr TAddress kCode = 0x00401000;

class DisAsm : public ::testing::Test {
protected:
    void Code(std::vector<uint8_t> bytes, TAddress base = kCode) {
        FMemory.AddRegion(base, std::move(bytes));
        FContext.Memory = &FMemory;
    }
    TInstructionInfo Decode(TAddress at = kCode, TRegisters* registers = nullptr) {
        TInstructionInfo info;
        DecodeInstruction(FContext, at, info, registers);
        return info;
    }
    // The instruction text after the address and its three blanks.
    std::string Text(TAddress at = kCode) {
        TInstructionInfo info;
        std::string text = DisassembleInstruction(FContext, at, nullptr, info);
        return text.substr(11);
    }
    TBufferMemoryReader FMemory;
    TDisAsmContext FContext;
};

TEST_F(DisAsm, CallToNextInstructionIsNoTransfer) {
    Code({0xE8, 0x00, 0x00, 0x00, 0x00});
    TInstructionInfo info = Decode();
    EXPECT_TRUE(info.IsValid);
    EXPECT_EQ(info.Next, kCode + 5);
    EXPECT_FALSE(info.IsCall);
    EXPECT_FALSE(info.IsJump);
    EXPECT_FALSE(info.CanWiden);
    EXPECT_EQ(info.Target, 0u);
    EXPECT_EQ(info.TargetField, 0u);
    EXPECT_EQ(info.TargetSize, 0);
}

TEST_F(DisAsm, RelativeFormsAndWidening) {
    // call +0x10; loop -2; jecxz +0; jmp short +3; jnz near +0x100
    Code({0xE8, 0x10, 0x00, 0x00, 0x00, 0xE2, 0xFE, 0xE3, 0x01, 0x90, 0xEB, 0x03, 0x0F, 0x85, 0x00,
          0x01, 0x00, 0x00});
    TInstructionInfo call = Decode(kCode);
    EXPECT_TRUE(call.IsCall && call.IsRelative && call.CanWiden);
    EXPECT_EQ(call.Target, kCode + 5 + 0x10);
    EXPECT_EQ(call.TargetField, kCode + 1);
    EXPECT_EQ(call.TargetSize, 4);
    TInstructionInfo loop = Decode(kCode + 5);
    EXPECT_TRUE(loop.IsJump);
    EXPECT_FALSE(loop.CanWiden);
    EXPECT_EQ(loop.Target, kCode + 5);
    TInstructionInfo jecxz = Decode(kCode + 7);
    EXPECT_TRUE(jecxz.IsJump);
    EXPECT_FALSE(jecxz.CanWiden);
    TInstructionInfo shortJump = Decode(kCode + 10);
    EXPECT_TRUE(shortJump.CanWiden);
    EXPECT_EQ(shortJump.TargetSize, 1);
    EXPECT_EQ(shortJump.Target, kCode + 15);
    TInstructionInfo near = Decode(kCode + 12);
    EXPECT_EQ(near.Opcode, 0x0F85);
    EXPECT_TRUE(near.IsJump && near.CanWiden);
    EXPECT_EQ(near.Target, kCode + 18 + 0x100);
}

TEST_F(DisAsm, GroupFiveRejectsUndefinedForms) {
    Code({0xFF, 0x38, 0xFF, 0xF8, 0xFF, 0xD8, 0xFF, 0x18, 0xFE, 0x10, 0x8D, 0xC0});
    EXPECT_FALSE(Decode(kCode).IsValid) << "FF /7 with memory";
    EXPECT_FALSE(Decode(kCode + 2).IsValid) << "FF /7 register form";
    EXPECT_FALSE(Decode(kCode + 4).IsValid) << "far call needs memory";
    TInstructionInfo far = Decode(kCode + 6);
    EXPECT_TRUE(far.IsValid);
    EXPECT_TRUE(far.IsCall);
    EXPECT_FALSE(Decode(kCode + 8).IsValid) << "FE /2";
    EXPECT_FALSE(Decode(kCode + 10).IsValid) << "lea with a register";
}

TEST_F(DisAsm, IndirectCallThroughCell) {
    Code({0xFF, 0x15, 0x00, 0x10, 0x40, 0x00}, 0x00500000);
    TInstructionInfo unreadable = Decode(0x00500000);
    EXPECT_FALSE(unreadable.IsValid) << "the cell $00401000 is not mapped";
    FMemory.AddRegion(0x00401000, {0x60, 0x50, 0x40, 0x00});
    TInstructionInfo readable = Decode(0x00500000);
    EXPECT_TRUE(readable.IsValid);
    EXPECT_TRUE(readable.IsCall);
    EXPECT_EQ(readable.TargetCell, 0x00401000u);
    EXPECT_EQ(readable.Target, 0x00405060u);
    EXPECT_EQ(readable.TargetSize, 4);
    EXPECT_EQ(readable.Next, 0x00500006u);
}

TEST_F(DisAsm, RegisterTrackingResolvesRegisterCalls) {
    // mov eax, $00402000; call eax; mov ecx, $00403000; call [ecx]; inc eax; call eax
    Code({0xB8, 0x00, 0x20, 0x40, 0x00, 0xFF, 0xD0, 0xB9, 0x00, 0x30, 0x40, 0x00, 0xFF, 0x11, 0xFF,
          0xC0, 0xFF, 0xD0});
    FMemory.AddRegion(0x00403000, {0x44, 0x33, 0x22, 0x11});
    TRegisters registers{};
    Decode(kCode, &registers);
    EXPECT_EQ(registers[0], 0x00402000);
    TInstructionInfo callEax = Decode(kCode + 5, &registers);
    EXPECT_EQ(callEax.Target, 0x00402000u);
    EXPECT_EQ(callEax.TargetField, 0u) << "slot of eax";
    Decode(kCode + 7, &registers);
    TInstructionInfo callCell = Decode(kCode + 12, &registers);
    EXPECT_EQ(callCell.TargetCell, 0x00403000u);
    EXPECT_EQ(callCell.Target, 0x11223344u);
    Decode(kCode + 14, &registers);
    EXPECT_EQ(registers[0], 0) << "inc forgets the value";
    EXPECT_EQ(Decode(kCode + 16, &registers).Target, 0u);
    EXPECT_EQ(Decode(kCode + 16).Target, 0u) << "no registers, no target";
}

TEST_F(DisAsm, ImplicitRegisterWrites) {
    // mov ecx/esi/edi/edx/ebp known, then rep movsb; cdq; leave
    Code({0xF3, 0xA4, 0x99, 0xC9});
    TRegisters registers{1, 2, 3, 4, 5, 6, 7, 8};
    Decode(kCode, &registers);
    EXPECT_EQ(registers, (TRegisters{1, 0, 3, 4, 5, 6, 0, 0}));
    Decode(kCode + 2, &registers);
    EXPECT_EQ(registers[2], 0);
    Decode(kCode + 3, &registers);
    EXPECT_EQ(registers[5], 0);
}

TEST_F(DisAsm, MandatoryPrefixesSelectSseForms) {
    Code({0x66, 0x0F, 0x6F, 0xC1, 0xF3, 0x0F, 0x6F, 0xC1, 0x0F, 0x6F, 0xC1, 0xF2, 0x0F, 0x10, 0x02,
          0x0F, 0x10, 0x02});
    EXPECT_EQ(Text(kCode), "movdqa  xmm0, xmm1");
    EXPECT_EQ(Text(kCode + 4), "movdqu  xmm0, xmm1");
    EXPECT_EQ(Text(kCode + 8), "movq    mm0, mm1");
    EXPECT_EQ(Text(kCode + 11), "movsd   xmm0, [edx]");
    EXPECT_EQ(Text(kCode + 15), "movups  xmm0, [edx]");
    EXPECT_EQ(Decode(kCode).Opcode, 0x0F6F);
}

TEST_F(DisAsm, OperandTexts) {
    Code({0x8B, 0x40, 0x0A,                           // mov eax, [eax+10]
          0x8B, 0x40, 0x09,                           // mov eax, [eax+9]
          0x8B, 0x40, 0xF0,                           // mov eax, [eax-16]
          0x83, 0xC4, 0xFB,                           // add esp, -5
          0xC7, 0x04, 0x24, 0x2A, 0x00, 0x00, 0x00,   // mov dword ptr [esp], 42
          0x64, 0x8B, 0x00,                           // mov eax, fs:[eax]
          0xD1, 0xE0,                                 // shl eax, 1
          0xD3, 0xF8,                                 // sar eax, cl
          0xDD, 0xD9,                                 // fstp st(1)
          0xD8, 0xC1,                                 // fadd st, st(1)
          0x9A, 0x78, 0x56, 0x34, 0x12, 0x08, 0x00,   // call $8:$12345678
          0xF0, 0x0F, 0xC1, 0x08,                     // lock xadd [eax], ecx
          0xF3, 0xAB,                                 // rep stosd
          0x8B, 0x04, 0x8D, 0x00, 0x10, 0x40, 0x00}); // mov eax, [ecx*4+$401000]
    EXPECT_EQ(Text(kCode), "mov     eax, [eax+$a]");
    EXPECT_EQ(Text(kCode + 3), "mov     eax, [eax+9]");
    EXPECT_EQ(Text(kCode + 6), "mov     eax, [eax-$10]");
    EXPECT_EQ(Text(kCode + 9), "add     esp, -5");
    EXPECT_EQ(Text(kCode + 12), "mov     dword ptr [esp], $2a");
    EXPECT_EQ(Text(kCode + 19), "mov     eax, fs:[eax]");
    EXPECT_EQ(Text(kCode + 22), "shl     eax, 1");
    EXPECT_EQ(Text(kCode + 24), "sar     eax, cl");
    EXPECT_EQ(Text(kCode + 26), "fstp    st(1)");
    EXPECT_EQ(Text(kCode + 28), "fadd    st, st(1)");
    EXPECT_EQ(Text(kCode + 30), "call    $8:$12345678");
    EXPECT_EQ(Text(kCode + 37), "lock xadd [eax], ecx");
    EXPECT_EQ(Text(kCode + 41), "rep stosd");
    EXPECT_EQ(Text(kCode + 43), "mov     eax, [ecx*4+$401000]");
}

TEST_F(DisAsm, RelativeTargetText) {
    Code({0xEB, 0x1C, 0x74, 0xFB});
    EXPECT_EQ(Text(kCode), "jmp     +$1c ($0040101e)");
    EXPECT_EQ(Text(kCode + 2), "jz      -5 ($00400fff)");
}

TEST_F(DisAsm, InvalidBytesAreListedOneByOne) {
    Code({0x0F, 0x0B, 0x0F, 0xFF, 0x0F});
    TInstructionInfo info;
    EXPECT_EQ(DisassembleInstruction(FContext, kCode + 2, nullptr, info), "00401002   db $0f");
    EXPECT_FALSE(info.IsValid);
    EXPECT_FALSE(Decode(kCode + 4).IsValid) << "truncated at the end of readable memory";
    EXPECT_FALSE(Decode(0).IsValid);
}

TEST_F(DisAsm, ValidityOfTwoByteForms) {
    struct TCase {
        std::vector<uint8_t> Bytes;
        bool Valid;
    };
    const TCase cases[] = {
        {{0x0F, 0x20, 0xC0}, true},  // mov eax, cr0
        {{0x0F, 0x20, 0xC8}, false}, // cr1
        {{0x0F, 0x21, 0xE0}, false}, // dr4
        {{0x0F, 0x20, 0x00}, false}, // control register needs the register form
        {{0x0F, 0xAE, 0xE8}, true},  // lfence
        {{0x0F, 0xAE, 0x28}, false}, // lfence has no memory form
        {{0x0F, 0xAE, 0x38}, true},  // clflush
        {{0x0F, 0xAE, 0xC0}, false}, // fxsave needs memory
        {{0x0F, 0xAE, 0x30}, false}, // 0F AE /6 only in register form
        {{0x0F, 0x6C, 0xC1}, false}, // punpcklqdq needs 0x66
        {{0x66, 0x0F, 0x6C, 0xC1}, true},
        {{0x0F, 0xD6, 0xC1}, false},       // movq needs a prefix
        {{0x0F, 0x0F, 0xC1, 0x9E}, true},  // pfadd
        {{0x0F, 0x0F, 0xC1, 0x9F}, false}, // no such 3DNow! operation
        {{0x0F, 0x71, 0x10, 0x03}, false}, // shifts by immediate need a register
        {{0x0F, 0xBA, 0xE0, 0x03}, true},  // bt eax, 3
        {{0x0F, 0xBA, 0xD8, 0x03}, false}, // 0F BA /3
        {{0x0F, 0x18, 0xC0}, false},       // prefetch needs memory
        {{0x0F, 0x0D, 0x10}, false},       // 0F 0D /2
        {{0x0F, 0xB2, 0xC0}, false},       // lss needs memory
        {{0x8C, 0xF0}, false},             // segment register 6
        {{0xD9, 0xD1}, false},             // undefined FPU register forms
        {{0xD9, 0xE2}, false},
        {{0xDA, 0xE8}, false},
        {{0xDB, 0xE5}, false},
        {{0xDF, 0xE1}, false},
        {{0xDA, 0xE9}, true}, // fucompp
        {{0x0F, 0x38, 0x00, 0xC1}, false},
    };
    for (const TCase& c : cases) {
        TBufferMemoryReader memory;
        memory.AddRegion(kCode, c.Bytes);
        TDisAsmContext context;
        context.Memory = &memory;
        TInstructionInfo info;
        DecodeInstruction(context, kCode, info);
        std::ostringstream bytes;
        for (uint8_t b : c.Bytes)
            bytes << std::hex << int(b) << ' ';
        EXPECT_EQ(info.IsValid, c.Valid) << bytes.str();
        if (c.Valid) {
            EXPECT_EQ(info.Next, kCode + c.Bytes.size()) << bytes.str();
        }
    }
}

TEST(TryReadMemory, SnapshotRefusesUnreadableStarts) {
    TBufferMemoryReader memory;
    memory.AddRegion(0x1000, std::vector<uint8_t>(16, 0xAA));
    TReadableRanges snapshot = BeginTryRead(memory);
    ASSERT_EQ(snapshot.size(), 3u);
    EXPECT_FALSE(snapshot[0].Readable);
    EXPECT_TRUE(snapshot[1].Readable);
    EXPECT_EQ(snapshot[1].Start, 0x1000u);
    EXPECT_EQ(snapshot[1].End, 0x100Fu);
    uint8_t buffer[16];
    EXPECT_TRUE(TryReadMemory(memory, 0x1000, buffer, 16, &snapshot));
    EXPECT_FALSE(TryReadMemory(memory, 0x1001, buffer, 16, &snapshot)) << "runs past the end";
    EXPECT_FALSE(TryReadMemory(memory, 0x2000, buffer, 1, &snapshot));
    EXPECT_FALSE(TryReadMemory(memory, 0, buffer, 1, &snapshot));
    EndTryRead(snapshot);
    EXPECT_TRUE(snapshot.empty());
}

} // namespace
} // namespace qix
