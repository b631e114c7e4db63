// Opcode tables of qixDisAsm; the data itself is generated into qixDisAsmTables.inc.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qix::disasm {

// Attribute word of an opcode (one per opcode, or per ModR/M reg field for groups).
enum : uint16_t {
    kAttrInvalid = 0xFFFF,
    kRegMask = 0x0007,      // register operand kind (TRegKind)
    kRmShift = 3,           // r/m operand kind (TRmKind), 1 = group
    kMemSizeShift = 6,      // memory size override (TMemSize)
    kAttrPtr = 0x0100,      // print the size keyword
    kAttrReversed = 0x0200, // r/m (or immediate) operand first
    kImmShift = 10,         // 1 byte, 2 word, 3 operand size
    kAttrRelative = 0x1000,
    kWriteShift = 13, // TWrite
};

enum TRegKind : uint8_t { rkNone, rkByte, rkWord, rkSpecial, rkDword, rkMmx, rkFpu, rkXmm };
// Without a ModR/M byte the register bits name an implicit operand instead.
enum TImplicit : uint8_t { imNone, imAl, imUnused, imByteLow, imEax, imRegLow, imDx };
enum TRmKind : uint8_t { mkNone, mkGroup, mkByte, mkWord, mkOperand, mkMmx, mkXmm, mkDword };
enum TMemSize : uint8_t { msDefault, msDword, msQword, msNone };
enum TWrite : uint8_t { wrNone, wrEax, wrReg, wrRm, wrLow, wrEdxEax, wrRegRm, wrAll };

struct TOpcodeEntry {
    uint16_t Attr;
    uint16_t Mnemonic;
};
struct TGroupRow {
    uint16_t Opcode;
    uint16_t Memory[8];
    uint16_t Register[8];
};
// FPU forms: mnemonic (without the leading "f") and size (memory) or operand form (register).
struct TFpuEntry {
    uint16_t Mnemonic;
    uint8_t Form;
};
enum : uint16_t { kNoMnemonic = 0xFFFF };
enum TFpuSize : uint8_t { fsNone, fsDword, fsQword, fsWord, fsTbyte, fsUnsized };
enum TFpuForm : uint8_t { ffNone, ffSti, ffStSti, ffStiSt };

extern const TOpcodeEntry kOneByte[256];
extern const TOpcodeEntry kTwoByte[256];
extern const TGroupRow kGroups[10];
extern const TFpuEntry kFpuMemory[64];
extern const TFpuEntry kFpuRegister[512];
extern const uint16_t k3DNow[256];
extern const char kMnemonics[];
extern const uint16_t kMnemonicOffsets[];
extern const std::size_t kMnemonicCount;

} // namespace qix::disasm
