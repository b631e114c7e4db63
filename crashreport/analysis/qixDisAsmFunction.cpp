// ParseFunction: follows the control flow from an entry point through all branches.
#include <algorithm>
#include <cstdint>

#include "crashreport/analysis/qixDisAsmDecoder.h"
#include "crashreport/analysis/qixDisAsmText.h"

namespace qix::disasm {

namespace {

constexpr int kMaxAreas = 20000; // a bound for garbage that looks like endless code
constexpr TAddress kGapLimit = 1024;

TRegisters Merge(const TRegisters& a, const TRegisters& b) {
    TRegisters r{};
    for (size_t i = 0; i < r.size(); ++i)
        r[i] = a[i] == b[i] ? a[i] : 0;
    return r;
}

bool IsUnconditionalJump(const TDecoded& d) {
    if (d.TwoByte) return false;
    return d.Op == 0xE9 || d.Op == 0xEA || d.Op == 0xEB ||
           (d.Op == 0xFF && (d.Reg == 4 || d.Reg == 5));
}

bool IsReturn(const TDecoded& d) {
    return !d.TwoByte &&
           (d.Op == 0xC2 || d.Op == 0xC3 || d.Op == 0xCA || d.Op == 0xCB || d.Op == 0xCF);
}

class TParser {
public:
    TParser(const TDisAsmContext& context, TFunctionInfo& info) : FContext(context), FInfo(info) {}
    void Run(TAddress entry);

private:
    const IMemoryReader& Memory() const { return *FContext.Memory; }
    bool Read32(TAddress address, uint32_t& value) const {
        return TryReadMemory(Memory(), address, &value, 4, FContext.Snapshot);
    }
    void SetBounds(TAddress entry);
    int FirstUnparsed() const;
    TAddress NextAreaStart(TAddress after) const;
    bool Walk(size_t index);
    bool HandleTarget(const TInstructionInfo& info, const TRegisters& registers, bool& ends);
    void HandleSpecial(TAddress routine, const TInstructionInfo& info, const TRegisters& registers);
    void AddFarCall(const TInstructionInfo& info);
    void AddArea(TAddress address, TAddress from, const TRegisters& registers);
    void AddTable(TAddress start, TAddress length, bool caseTable);
    void AddUnknown(const TInstructionInfo& info);
    void RemoveUnknown(TAddress start);
    bool RetryUnknownTargets();
    bool FillGap();
    bool IsSpecial(TAddress target) const;
    bool IsNoReturn(TAddress target) const;
    bool Fail(TAddress at);
    void Finish();
    void ComputeHookable();
    void CxxHandlerAreas(TAddress call);

    const TDisAsmContext& FContext;
    TFunctionInfo& FInfo;
    TAddress FImageStart = 0, FImageEnd = 0; // FImageEnd: first byte after
    int FCellCalls = 0;
    std::vector<TAddress> FRetried;
    bool FFailed = false;
    size_t FWalking = SIZE_MAX;
};

void TParser::SetBounds(TAddress entry) {
    TImageInfo image;
    if (Memory().FindImage(entry, image)) {
        FImageStart = image.CodeBegin;
        FImageEnd = image.CodeEnd;
        if (image.DataEnd > image.DataBegin) {
            FImageStart = std::min(FImageStart, image.DataBegin);
            FImageEnd = std::max(FImageEnd, image.DataEnd);
        }
        if (FImageEnd > FImageStart) return;
    }
    TAddress start = entry, end = entry;
    Memory().FindRegion(entry, start, end);
    FImageStart = start;
    FImageEnd = end + 1 == 0 ? end : end + 1;
}

int TParser::FirstUnparsed() const {
    for (size_t i = 0; i < FInfo.CodeAreas.size(); ++i)
        if (FInfo.CodeAreas[i].AreaEnd == 0) return static_cast<int>(i);
    return -1;
}

TAddress TParser::NextAreaStart(TAddress after) const {
    TAddress next = FImageEnd;
    for (const TCodeArea& a : FInfo.CodeAreas)
        if (a.AreaStart > after && a.AreaStart < next) next = a.AreaStart;
    return next;
}

bool TParser::IsNoReturn(TAddress target) const {
    const auto& list = FContext.Routines.NoReturn;
    return std::find(list.begin(), list.end(), target) != list.end();
}

bool TParser::IsSpecial(TAddress target) const {
    const TRuntimeRoutines& r = FContext.Routines;
    if (target == 0) return false;
    return target == r.HandleFinally || target == r.HandleAnyException ||
           target == r.HandleOnException || target == r.HandleAutoException ||
           target == r.CxxHandler || IsNoReturn(target);
}

bool TParser::Fail(TAddress at) {
    FFailed = true;
    FInfo.IsValid = false;
    FInfo.ErrorAddress = at;
    FInfo.ErrorCode = kInvalidCodeError;
    FInfo.ErrorText = "Invalid code!";
    return false;
}

void TParser::AddArea(TAddress address, TAddress from, const TRegisters& registers) {
    if (address == 0) return;
    for (TCodeArea& a : FInfo.CodeAreas) {
        if (a.AreaStart == address) {
            if (a.IsCaseTable || a.IsExceptTable) return;
            if (from && (a.CalledFrom == 0 || (from > a.CalledFrom && from < address) ||
                         (from < a.CalledFrom && from > address)))
                a.CalledFrom = from;
            a.Registers = Merge(a.Registers, registers);
            return;
        }
    }
    if (FInfo.CodeAreas.size() >= kMaxAreas) return;
    for (size_t i = 0; i < FInfo.CodeAreas.size(); ++i) {
        TCodeArea& a = FInfo.CodeAreas[i];
        if (a.AreaEnd != 0 && address > a.AreaStart && address <= a.AreaEnd) {
            if (a.IsCaseTable || a.IsExceptTable) return;
            TCodeArea cut = a;
            cut.AreaStart = address;
            cut.CalledFrom = from;
            cut.Registers = Merge(a.Registers, registers);
            a.AreaEnd = address - 1;
            FInfo.CodeAreas.push_back(cut);
            // A jump back into the area being walked: the walk goes on in the new piece.
            if (i == FWalking) FWalking = FInfo.CodeAreas.size() - 1;
            return;
        }
    }
    if (FInfo.CodeAreas.size() == FInfo.CodeAreas.capacity())
        FInfo.CodeAreas.reserve(std::max<size_t>(8, FInfo.CodeAreas.size() * 2));
    TCodeArea area;
    area.AreaStart = address;
    area.CalledFrom = from;
    area.Registers = registers;
    FInfo.CodeAreas.push_back(area);
}

void TParser::AddTable(TAddress start, TAddress length, bool caseTable) {
    for (const TCodeArea& a : FInfo.CodeAreas)
        if (a.AreaStart == start && (a.IsCaseTable || a.IsExceptTable)) return;
    TCodeArea area;
    area.AreaStart = start;
    area.AreaEnd = start + length - 1;
    area.IsCaseTable = caseTable;
    area.IsExceptTable = !caseTable;
    FInfo.CodeAreas.push_back(area);
}

void TParser::AddUnknown(const TInstructionInfo& info) {
    for (const TUnknownTarget& u : FInfo.UnknownTargets)
        if (u.Start == info.Start) return;
    FInfo.UnknownTargets.push_back({info.IsCall, info.Start, info.Next});
}

void TParser::RemoveUnknown(TAddress start) {
    auto& list = FInfo.UnknownTargets;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const TUnknownTarget& u) { return u.Start == start; }),
               list.end());
}

void TParser::AddFarCall(const TInstructionInfo& info) {
    for (const TFarCall& f : FInfo.FarCalls)
        if (f.Start == info.Start) return;
    TFarCall call{info.IsCall,     info.Start,       info.Next,      info.Target,
                  info.IsRelative, info.TargetField, info.TargetCell};
    // Import thunks are followed one step, so the call names the imported routine.
    uint8_t first = 0;
    if (TryReadMemory(Memory(), info.Target, &first, 1, FContext.Snapshot) &&
        (first == 0x02 || first == 0x03 || first == 0xE9 || first == 0xEB || first == 0xFF)) {
        TInstructionInfo thunk;
        DecodeInstruction(FContext, info.Target, thunk);
        if (thunk.IsValid && thunk.IsJump && thunk.Target != 0 &&
            Memory().ExportName(info.Target).empty())
            call.Target = thunk.Target;
    }
    if (info.TargetCell) ++FCellCalls;
    FInfo.FarCalls.push_back(call);
}

// Compiled C++ exception descriptors: the last "mov eax, imm32" before the call names one.
void TParser::CxxHandlerAreas(TAddress call) {
    for (const TCodeArea& area : FInfo.CodeAreas) {
        if (area.IsCaseTable || area.IsExceptTable || call < area.AreaStart || call > area.AreaEnd)
            continue;
        TAddress descriptor = 0;
        for (TAddress a = area.AreaStart; a < call;) {
            TInstructionInfo info;
            TDecoded d;
            if (!Decode(FContext, a, d, info, nullptr)) break;
            if (!d.TwoByte && d.Op == 0xB8 && !d.OpSize16)
                descriptor = static_cast<TAddress>(d.Immediate);
            a = info.Next;
        }
        uint32_t type = 0, handler = 0;
        if (!descriptor || !Read32(descriptor, type)) return;
        if (type == 0 && Read32(descriptor + 4, handler)) AddArea(handler, call, {});
        if ((type == 1 || type == 2) && Read32(descriptor + 8, handler)) AddArea(handler, call, {});
        if (type == 3)
            for (TAddress entry = descriptor + 4, n = 0; n < 64; entry += 20, ++n) {
                uint32_t head = 0;
                if (!Read32(entry, head) || head == 0 || !Read32(entry + 16, handler)) break;
                AddArea(handler, call, {});
            }
        return;
    }
}

void TParser::HandleSpecial(TAddress routine, const TInstructionInfo& info,
                            const TRegisters& registers) {
    const TRuntimeRoutines& r = FContext.Routines;
    if (routine == r.HandleFinally) {
        AddArea(info.Next, info.Start, registers);
        TInstructionInfo back;
        DecodeInstruction(FContext, info.Next, back);
        uint8_t push = 0;
        uint32_t pushed = 0;
        if (back.IsValid && back.IsJump && back.Target > FImageStart && back.Target < info.Start &&
            TryReadMemory(Memory(), back.Target - 5, &push, 1, FContext.Snapshot) && push == 0x68 &&
            Read32(back.Target - 4, pushed) && pushed > FImageStart)
            AddArea(pushed, info.Start, {});
    } else if (routine == r.HandleAnyException) {
        AddArea(info.Next, info.Start, registers);
    } else if (routine == r.HandleOnException) {
        uint32_t count = 0;
        if (!Read32(info.Next, count) || count > 1000) return;
        AddTable(info.Next, count * 8 + 4, false);
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t handler = 0;
            if (Read32(info.Next + 8 + i * 8, handler)) AddArea(handler, info.Start, {});
        }
    } else if (routine == r.CxxHandler) {
        CxxHandlerAreas(info.Start);
    }
}

bool TParser::HandleTarget(const TInstructionInfo& info, const TRegisters& registers, bool& ends) {
    if (info.Target == 0) {
        AddUnknown(info);
        return false;
    }
    const TAddress target = info.Target;
    const bool outside = target < FImageStart || target >= FImageEnd;
    // A jump to another named routine is a tail call, not a part of this function.
    const bool tailCall =
        info.IsJump && target != FInfo.EntryPoint &&
        (!Memory().ExportName(target).empty() ||
         (FContext.Hooks.ProcedureName && !FContext.Hooks.ProcedureName(target).empty()));
    if (IsSpecial(target)) HandleSpecial(target, info, registers);
    if ((info.TargetSize == 4 && info.IsCall) || outside || IsSpecial(target) || tailCall) {
        AddFarCall(info);
        if (IsNoReturn(target) || IsNoReturn(FInfo.FarCalls.back().Target)) ends = true;
    } else {
        AddArea(target, info.Start, registers);
    }
    RemoveUnknown(info.Start);
    return true;
}

bool TParser::Walk(size_t index) {
    FWalking = index;
    TAddress a = FInfo.CodeAreas[index].AreaStart;
    TRegisters registers = FInfo.CodeAreas[index].Registers;
    TAddress handler = 0;
    bool handlerArmed = false;
    int caseRegister = -1, caseLength = -1, caseCount = 0;
    for (;;) {
        TInstructionInfo info;
        TDecoded d;
        const TRegisters before = registers;
        Decode(FContext, a, d, info, &registers);
        if (!info.IsValid) return Fail(a);
        FInfo.CodeAreas[FWalking].AreaEnd = info.Next - 1;

        // try blocks: push handler / push fs:[...] sets up an exception frame
        if (handlerArmed && !d.TwoByte && d.Op == 0xFF && d.Reg == 6 && d.Segment == 4 &&
            d.HasMemory &&
            ((d.Base < 0 && d.Index < 0 && d.Displacement == 0) ||
             (d.Base >= 0 && d.Index < 0 && d.Displacement == 0 && before[d.Base] == 0))) {
            AddArea(handler, a, {});
            handlerArmed = false;
        }
        uint8_t following = 0;
        if (!d.TwoByte && d.Op == 0x68 && info.Next - a == 5 &&
            TryReadMemory(Memory(), info.Next, &following, 1, FContext.Snapshot) &&
            following == 0x64) {
            handler = static_cast<TAddress>(d.Immediate);
            handlerArmed = true;
        }

        // case jump tables: cmp reg, n / ja|jae / jmp [reg*4+table]
        bool tableDone = false;
        const uint16_t op = info.Opcode;
        if (op == 0x83 && info.ModRm >= 0xF8) {
            caseRegister = info.ModRm & 7;
            caseCount = static_cast<uint8_t>(d.Immediate);
            caseLength = -1;
        } else if (caseRegister >= 0 && caseLength < 0 &&
                   (op == 0x77 || op == 0x7F || op == 0x0F87 || op == 0x0F8F)) {
            caseLength = caseCount + 1;
        } else if (caseRegister >= 0 && caseLength < 0 &&
                   (op == 0x73 || op == 0x7D || op == 0x0F83 || op == 0x0F8D)) {
            caseLength = caseCount;
        } else if (caseLength >= 0 && op == 0xFF && d.Reg == 4 && d.HasMemory && d.Base < 0 &&
                   d.Index == caseRegister && d.Scale == 4 && d.DisplacementSize == 4) {
            const TAddress table = static_cast<TAddress>(d.Displacement);
            if (table == info.Next) AddTable(table, static_cast<TAddress>(caseLength) * 4, true);
            for (int i = 0; i < caseLength; ++i) {
                uint32_t entry = 0;
                if (!Read32(table + 4 * i, entry) || entry < FImageStart || entry >= FImageEnd)
                    break;
                AddArea(entry, a, registers);
            }
            tableDone = true;
            caseRegister = caseLength = -1;
        } else {
            caseRegister = caseLength = -1;
        }

        if (IsReturn(d)) return true;
        bool ends = false;
        if ((info.IsCall || info.IsJump) && !tableDone) HandleTarget(info, registers, ends);
        if (ends || IsUnconditionalJump(d)) return true;
        const TAddress limit = NextAreaStart(a);
        if (info.Next > limit) return Fail(a);
        if (registers == before && info.Next < limit) {
            a = info.Next;
            continue;
        }
        if (info.Next < FImageEnd) AddArea(info.Next, 0, registers);
        return true;
    }
}

bool TParser::RetryUnknownTargets() {
    for (size_t i = FInfo.UnknownTargets.size(); i-- > 0;) {
        const TUnknownTarget u = FInfo.UnknownTargets[i];
        if (std::find(FRetried.begin(), FRetried.end(), u.Start) != FRetried.end()) continue;
        for (const TCodeArea& area : FInfo.CodeAreas) {
            if (area.IsCaseTable || area.IsExceptTable || area.AreaEnd == 0 ||
                u.Start < area.AreaStart || u.Start > area.AreaEnd)
                continue;
            FRetried.push_back(u.Start);
            // Replay the area up to the instruction, so its register values are current.
            TRegisters registers = area.Registers;
            TInstructionInfo info;
            for (TAddress a = area.AreaStart; a < u.Start; a = info.Next) {
                DecodeInstruction(FContext, a, info, &registers);
                if (!info.IsValid) break;
            }
            DecodeInstruction(FContext, u.Start, info, &registers);
            if (!info.IsValid || info.Target == 0) break;
            size_t before = FInfo.CodeAreas.size();
            bool ends = false;
            HandleTarget(info, registers, ends);
            if (FirstUnparsed() >= 0 || FInfo.CodeAreas.size() != before) return true;
            break;
        }
    }
    return false;
}

bool TParser::FillGap() {
    bool anyJump = std::any_of(FInfo.UnknownTargets.begin(), FInfo.UnknownTargets.end(),
                               [](const TUnknownTarget& u) { return !u.IsCall; });
    if (!anyJump || FInfo.CodeAreas.empty()) return false;
    std::vector<TCodeArea> sorted = FInfo.CodeAreas;
    std::sort(sorted.begin(), sorted.end(),
              [](const TCodeArea& x, const TCodeArea& y) { return x.AreaStart < y.AreaStart; });
    TAddress highest = 0;
    for (const TCodeArea& a : sorted)
        highest = std::max(highest, a.AreaEnd);
    TAddress end = sorted[0].AreaEnd;
    TAddress gap = 0;
    for (size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i].AreaStart > end + 1) {
            gap = end + 1;
            break;
        }
        end = std::max(end, sorted[i].AreaEnd);
    }
    if (gap == 0 || gap >= highest || highest - gap >= kGapLimit) return false;
    TFunctionInfo saved = FInfo;
    const int savedCells = FCellCalls;
    AddArea(gap, 0, {});
    int index = FirstUnparsed();
    if (index < 0) return false;
    if (!Walk(static_cast<size_t>(index))) {
        FInfo = saved; // a gap that is no code is just padding or data
        FCellCalls = savedCells;
        FFailed = false;
        return false;
    }
    return true;
}

void TParser::ComputeHookable() {
    FInfo.IsHookable = false;
    TAddress runEnd = FInfo.EntryPoint; // first byte after the straight run
    bool extended = true;
    while (extended) {
        extended = false;
        for (const TCodeArea& a : FInfo.CodeAreas)
            if (a.AreaStart == runEnd && !a.IsCaseTable && !a.IsExceptTable &&
                a.AreaEnd >= a.AreaStart &&
                (a.AreaStart == FInfo.EntryPoint ? a.CalledFrom == 0 : a.CalledFrom == 0)) {
                runEnd = a.AreaEnd + 1;
                extended = true;
            }
    }
    if (runEnd - FInfo.EntryPoint <= 5) return;
    for (TAddress a = FInfo.EntryPoint; a < FInfo.EntryPoint + 6;) {
        TInstructionInfo info;
        DecodeInstruction(FContext, a, info);
        if (!info.IsValid) return;
        if ((info.IsCall || info.IsJump) &&
            (info.Target == 0 || (info.IsRelative && info.TargetSize < 4)))
            return;
        a = info.Next;
    }
    FInfo.IsHookable = true;
}

void TParser::Finish() {
    std::sort(FInfo.CodeAreas.begin(), FInfo.CodeAreas.end(),
              [](const TCodeArea& x, const TCodeArea& y) { return x.AreaStart < y.AreaStart; });
    if (FFailed) return;
    FInfo.IsValid = true;
    TAddress low = FInfo.CodeAreas.front().AreaStart, high = 0;
    for (const TCodeArea& a : FInfo.CodeAreas)
        high = std::max(high, a.AreaEnd);
    FInfo.CodeBegin = low;
    FInfo.CodeLength = static_cast<int32_t>(high - low + 1);
    FInfo.CopySize = FInfo.CodeLength + 4 + 4 * FCellCalls;
    ComputeHookable();
}

void TParser::Run(TAddress entry) {
    FInfo = TFunctionInfo{};
    FInfo.EntryPoint = entry;
    if (!FContext.Memory || entry == 0 || !Memory().IsCommitted(entry)) {
        FInfo.ErrorAddress = entry;
        FInfo.ErrorCode = kNotCommittedError;
        FInfo.ErrorText = "The parameter is incorrect.";
        return;
    }
    SetBounds(entry);
    FInfo.CodeAreas.reserve(8);
    AddArea(entry, 0, {});
    for (int rounds = 0; rounds < kMaxAreas; ++rounds) {
        int index = FirstUnparsed();
        if (index >= 0) {
            if (!Walk(static_cast<size_t>(index))) break;
            continue;
        }
        if (RetryUnknownTargets()) continue;
        if (!FillGap()) break;
    }
    Finish();
}

} // namespace

} // namespace qix::disasm

namespace qix {

void ParseFunction(const TDisAsmContext& context, TAddress entryPoint, TFunctionInfo& info) {
    disasm::TParser(context, info).Run(entryPoint);
}

} // namespace qix

namespace qix {

TRuntimeRoutines RuntimeRoutinesByName(const std::function<TAddress(const std::string&)>& find) {
    TRuntimeRoutines r;
    // DWARF-2 code has no try-finally or filter helpers called inline: cleanups and
    // handlers are landing pads named only in the unwind tables.
    r.HandleAnyException = find("__cxa_begin_catch");
    r.HandleAutoException = find("__cxa_end_catch");
    // What never returns ends a code area, like the runtime's halt.
    for (const char* name :
         {"__cxa_throw", "__cxa_rethrow", "_Unwind_Resume", "_ZSt9terminatev", "abort", "exit",
          "_exit", "__stack_chk_fail", "__cxa_pure_virtual", "__cxa_bad_cast", "__cxa_bad_typeid",
          "__cxa_throw_bad_array_new_length"})
        if (TAddress a = find(name)) r.NoReturn.push_back(a);
    return r;
}

} // namespace qix
