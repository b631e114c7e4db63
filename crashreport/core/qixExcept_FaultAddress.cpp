#include "crashreport/core/qixExcept_FaultAddress.h"

namespace qix {

bool IsInstructionStart(const TDisAsmContext& context, const TFunctionInfo& function,
                        TAddress address) {
    for (const TFarCall& call : function.FarCalls)
        if (call.Target == address) return true;
    for (const TCodeArea& area : function.CodeAreas) {
        if (area.IsCaseTable || area.IsExceptTable || address < area.AreaStart ||
            address > area.AreaEnd)
            continue;
        // Walked from the area's start: only this finds the instruction boundaries.
        for (TAddress at = area.AreaStart; at <= address && at <= area.AreaEnd;) {
            if (at == address) return true;
            TInstructionInfo info;
            DecodeInstruction(context, at, info);
            if (!info.IsValid || info.Next <= at) break;
            at = info.Next;
        }
    }
    return false;
}

TAddress CorrectFaultAddress(const TDisAsmContext& context, TAddress functionStart,
                             TAddress address) {
    if (!functionStart || !address || address > 0xFFFFFFFFu - 4) return address;
    TFunctionInfo function;
    ParseFunction(context, functionStart, function);
    if (!function.IsValid) return address;
    if (!IsInstructionStart(context, function, address) &&
        IsInstructionStart(context, function, address + 4))
        return address + 4;
    return address;
}

} // namespace qix
