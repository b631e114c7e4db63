// The exception address as reports use it: one that lands inside an instruction of the
// function around it, while the word after it starts one, is moved there.
#pragma once

#include "crashreport/analysis/qixDisAsm.h"

namespace qix {

// Whether `address` starts an instruction of one of the function's code areas, or is a
// call or jump target the function lists.
bool IsInstructionStart(const TDisAsmContext& context, const TFunctionInfo& function,
                        TAddress address);

// `address` + 4 when `address` starts no instruction of the function at `functionStart`
// and `address` + 4 does; else `address`. Without a function start nothing changes.
TAddress CorrectFaultAddress(const TDisAsmContext& context, TAddress functionStart,
                             TAddress address);

} // namespace qix
