// Expands the generated tables; the macros keep the .inc file free of C++ details.
#include "crashreport/analysis/qixDisAsmTables.h"

namespace qix::disasm {

#define QIX_OPCODE_TABLE(name) const TOpcodeEntry name[256] = {
#define QIX_OP(attr, mnemonic)                                                                     \
    { attr, mnemonic }
#define QIX_GROUP_TABLE(name) const TGroupRow name[10] = {
#define QIX_WORDS(...)                                                                             \
    { __VA_ARGS__ }
#define QIX_GROUP(opcode, memory, reg)                                                             \
    { opcode, memory, reg }
#define QIX_FPU_MEM_TABLE(name) const TFpuEntry name[64] = {
#define QIX_FPU_REG_TABLE(name) const TFpuEntry name[512] = {
#define QIX_FPU(mnemonic, form)                                                                    \
    { mnemonic, form }
#define QIX_BYTE_TABLE(name) const uint16_t name[256] = {
#define QIX_END_TABLE                                                                              \
    }                                                                                              \
    ;
#define QIX_MNEMONIC_TEXT(name) const char name[] =
#define QIX_END_TEXT ;
#define QIX_MNEMONIC_OFFSETS(name) const uint16_t name[] = {

#include "crashreport/analysis/qixDisAsmTables.inc"

const std::size_t kMnemonicCount = sizeof(kMnemonicOffsets) / sizeof(kMnemonicOffsets[0]);

} // namespace qix::disasm
