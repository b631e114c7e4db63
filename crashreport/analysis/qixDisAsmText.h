// Internal: text helpers shared by the instruction and function listings.
#pragma once

#include <functional>
#include <string>

#include "crashreport/analysis/qixDisAsmDecoder.h"

namespace qix::disasm {

// Label of a jump or call target inside the listed function, or empty.
using TLabelFunction = std::function<std::string(TAddress)>;

std::string Hex(uint32_t value);
std::string Hex8(uint32_t value);
// 0-9 in decimal, larger values as "$" and lower-case hex digits.
std::string ImmediateText(uint32_t value);
std::string SignedText(int32_t value, bool plus);
std::string TargetName(const TDisAsmContext& context, TAddress target, bool followThunk);
// The instruction without its address: mnemonic column, operands, comment.
std::string InstructionBody(const TDisAsmContext& context, const TDecoded& d,
                            const TInstructionInfo& info, const TLabelFunction* label);
std::string InvalidText(const TDisAsmContext& context, const TInstructionInfo& info);

} // namespace qix::disasm
