// Internal: the full decoding of one instruction, shared by the decoder, the text
// writer and the function parser.
#pragma once

#include <string>
#include <string_view>

#include "crashreport/analysis/qixDisAsm.h"
#include "crashreport/analysis/qixDisAsmTables.h"

namespace qix::disasm {

struct TDecoded {
    uint8_t Bytes[16] = {};
    int Available = 0; // bytes that could be read
    int Length = 0;
    bool OpSize16 = false, AddrSize16 = false, Lock = false, Rep = false, Repne = false;
    int Segment = -1;  // override: 0 es .. 5 gs
    int SsePrefix = 0; // 0 none, 1 0x66, 2 0xF2, 3 0xF3 (last mandatory-prefix candidate)
    bool TwoByte = false;
    uint8_t Op = 0; // the opcode byte (second byte for two-byte opcodes)
    uint16_t Attr = 0;
    uint16_t Mnemonic = 0;
    bool HasModRm = false;
    uint8_t Mod = 0, Reg = 0, Rm = 0;
    bool HasMemory = false;
    int Base = -1, Index = -1, Scale = 1;
    int32_t Displacement = 0;
    int DisplacementSize = 0;
    int32_t Immediate = 0;
    int ImmediateSize = 0;
    uint16_t FarSegment = 0;
    uint8_t EnterLevel = 0;
    TFpuEntry Fpu{kNoMnemonic, 0};
    bool IsFpu = false;
    bool Wait = false; // 0x9B folded into an FPU control instruction
};

// Decodes into both structures; returns info.IsValid.
bool Decode(const TDisAsmContext& context, TAddress address, TDecoded& d, TInstructionInfo& info,
            TRegisters* registers);

std::string_view MnemonicText(uint16_t index);
std::string_view SelectedPattern(const TDecoded& d);
// The mnemonic after applying prefix forms, group members, register/memory forms.
std::string MnemonicOf(const TDecoded& d);

inline uint8_t RegKind(uint16_t attr) {
    return attr & kRegMask;
}
inline uint8_t RmKind(uint16_t attr) {
    return (attr >> kRmShift) & 7;
}
inline uint8_t ImmKind(uint16_t attr) {
    return (attr >> kImmShift) & 3;
}

} // namespace qix::disasm
