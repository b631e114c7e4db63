// DisassembleFunction: the listing of a parsed function with labels, line numbers,
// a mark at the crash address and an optional limit around it.
#include <algorithm>
#include <set>

#include "crashreport/analysis/qixDisAsmDecoder.h"
#include "crashreport/analysis/qixDisAsmText.h"

namespace qix::disasm {

namespace {

const char kSeparator[] = "; ---------------------------------------------------------";
const char kEllipsis[] = "[...]";

std::string PadTo(std::string text, size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

int Digits(int value) {
    int digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

// Delphi-style class reference: the class name is a short string behind a pointer at -44.
std::string ClassName(const TDisAsmContext& context, TAddress classRef) {
    uint32_t namePointer = 0;
    uint8_t length = 0;
    char buffer[256];
    if (classRef > 44 &&
        TryReadMemory(*context.Memory, classRef - 44, &namePointer, 4, context.Snapshot) &&
        TryReadMemory(*context.Memory, namePointer, &length, 1, context.Snapshot) && length > 0 &&
        TryReadMemory(*context.Memory, namePointer + 1, buffer, length, context.Snapshot))
        return std::string(buffer, length);
    return "EUnknown";
}

class TLister {
public:
    TLister(const TDisAsmContext& context, const TFunctionInfo& info, TAddress mark,
            bool structured)
        : FContext(context), FInfo(info), FMark(mark), FStructured(structured) {}
    std::vector<std::string> Compose(bool& ok);
    int MarkLine() const { return FMarkLine; }

private:
    bool HasLabel(TAddress address) const { return FLabels.count(address) != 0; }
    std::string LabelOf(TAddress address) const {
        return address == FInfo.EntryPoint ? FName : "loc_" + Hex(address);
    }
    std::string LineColumn(TAddress address);
    void CodeArea(const TCodeArea& area, bool last);
    void CaseTable(const TCodeArea& area);
    void ExceptTable(const TCodeArea& area);
    bool IsSpecialTarget(TAddress target) const;

    const TDisAsmContext& FContext;
    const TFunctionInfo& FInfo;
    TAddress FMark;
    bool FStructured;
    std::string FName, FTitle;
    std::set<TAddress> FLabels;
    int FWidth = 0;
    int FPreviousLine = -1;
    int FMarkLine = -1;
    std::vector<std::string> FLines;
};

bool TLister::IsSpecialTarget(TAddress target) const {
    const TRuntimeRoutines& r = FContext.Routines;
    return target && (target == r.HandleFinally || target == r.HandleAnyException ||
                      target == r.HandleOnException || target == r.HandleAutoException ||
                      target == r.CxxHandler ||
                      std::find(r.NoReturn.begin(), r.NoReturn.end(), target) != r.NoReturn.end());
}

std::string TLister::LineColumn(TAddress address) {
    if (FWidth == 0) return {};
    // A blank, then the number; the mnemonic column's blanks follow.
    int line = FContext.Hooks.LineNumber(address);
    if (line <= 0 || line == FPreviousLine)
        return std::string(static_cast<size_t>(FWidth) + 1, ' ');
    FPreviousLine = line;
    std::string digits = std::to_string(line);
    return " " +
           std::string(static_cast<size_t>(FWidth) - std::min<size_t>(digits.size(), FWidth), '0') +
           digits;
}

void TLister::CaseTable(const TCodeArea& area) {
    bool first = true;
    for (TAddress a = area.AreaStart; a + 3 <= area.AreaEnd; a += 4) {
        uint32_t entry = 0;
        if (!TryReadMemory(*FContext.Memory, a, &entry, 4, FContext.Snapshot)) break;
        std::string line = "  dd loc_" + Hex(entry);
        if (first) line = PadTo(line, 31) + "  ; case jump table";
        first = false;
        FLines.push_back(line);
    }
}

void TLister::ExceptTable(const TCodeArea& area) {
    uint32_t count = 0;
    if (!TryReadMemory(*FContext.Memory, area.AreaStart, &count, 4, FContext.Snapshot)) return;
    std::vector<std::pair<std::string, uint32_t>> entries;
    size_t width = 0;
    for (uint32_t i = 0; i < count && i < 1000; ++i) {
        uint32_t pair[2] = {};
        if (!TryReadMemory(*FContext.Memory, area.AreaStart + 4 + 8 * i, pair, 8,
                           FContext.Snapshot))
            break;
        std::string name = pair[0] ? ClassName(FContext, pair[0]) : std::string();
        width = std::max(width, name.size());
        entries.emplace_back(name, pair[1]);
    }
    for (const auto& [name, handler] : entries) {
        std::string line =
            name.empty() ? PadTo("  else", width + 8) : "  on " + PadTo(name, width) + " do";
        FLines.push_back(line + " loc_" + Hex(handler));
    }
}

void TLister::CodeArea(const TCodeArea& area, bool last) {
    if (FStructured && HasLabel(area.AreaStart)) {
        if (area.AreaStart == FInfo.EntryPoint)
            FLines.push_back(PadTo(FTitle + ":", 31) + "  ; function entry point");
        else
            FLines.push_back(LabelOf(area.AreaStart) + ":");
    }
    TLabelFunction label = [this](TAddress target) {
        return HasLabel(target) ? LabelOf(target) : std::string();
    };
    TRegisters registers = area.Registers;
    for (TAddress a = area.AreaStart; a <= area.AreaEnd && a >= area.AreaStart;) {
        TDecoded d;
        TInstructionInfo info;
        const bool valid = Decode(FContext, a, d, info, &registers);
        const bool isMark = FMark >= a && FMark < std::max(info.Next, a + 1);
        if (isMark) FMarkLine = static_cast<int>(FLines.size());
        const std::string column = LineColumn(a);
        if (!valid) {
            FLines.push_back(InvalidText(FContext, info));
            break;
        }
        FLines.push_back(Hex8(a) + column + (isMark ? "  >" : "   ") +
                         InstructionBody(FContext, d, info, FStructured ? &label : nullptr));
        const bool leaves =
            (!d.TwoByte && (d.Op == 0xC2 || d.Op == 0xC3 || d.Op == 0xCA || d.Op == 0xCB ||
                            d.Op == 0xCF || d.Op == 0xE9 || d.Op == 0xEA || d.Op == 0xEB)) ||
            (!d.TwoByte && d.Op == 0xFF && (d.Reg == 4 || d.Reg == 5));
        if (FStructured && leaves && info.Next > area.AreaEnd && !last &&
            !IsSpecialTarget(info.Target)) {
            FLines.push_back(kSeparator);
            FLines.push_back("");
        }
        a = info.Next;
    }
}

std::vector<std::string> TLister::Compose(bool& ok) {
    ok = true;
    FName = TargetName(FContext, FInfo.EntryPoint, false);
    if (FName.size() > 2 && FName.back() == ')') FName = FName.substr(0, FName.rfind(" ("));
    FTitle = FName.empty() ? "sub_" + Hex(FInfo.EntryPoint) : "public " + FName;
    if (FName.empty()) FName = FTitle;
    if (FContext.Hooks.LineNumber) {
        int last = FContext.Hooks.LineNumber(FInfo.CodeBegin +
                                             static_cast<TAddress>(FInfo.CodeLength) - 1);
        if (last <= 0 && FMark) last = FContext.Hooks.LineNumber(FMark) * 10;
        FWidth = last > 0 ? Digits(last) : 0;
    }
    for (const TCodeArea& a : FInfo.CodeAreas)
        if (a.AreaStart == FInfo.EntryPoint ||
            (a.CalledFrom != 0 && !a.IsCaseTable && !a.IsExceptTable))
            FLabels.insert(a.AreaStart);
    FLabels.insert(FInfo.EntryPoint);
    for (size_t i = 0; i < FInfo.CodeAreas.size(); ++i) {
        const TCodeArea& area = FInfo.CodeAreas[i];
        if (area.AreaEnd < area.AreaStart) {
            ok = area.AreaEnd == 0 && !FInfo.IsValid; // an unwalked area only in a failed parse
            if (!ok) return {};
            continue;
        }
        if (area.IsCaseTable)
            CaseTable(area);
        else if (area.IsExceptTable)
            ExceptTable(area);
        else
            CodeArea(area, i + 1 == FInfo.CodeAreas.size());
    }
    while (!FLines.empty() && FLines.back().empty())
        FLines.pop_back();
    return FLines;
}

} // namespace

} // namespace qix::disasm

namespace qix {

std::string DisassembleFunction(const TDisAsmContext& context, TAddress entryPoint, TAddress mark,
                                TFunctionInfo& info, bool structured, int32_t lineLimit) {
    ParseFunction(context, entryPoint, info);
    if (info.CodeAreas.empty()) return {};
    disasm::TLister lister(context, info, mark, structured);
    bool ok = true;
    std::vector<std::string> lines = lister.Compose(ok);
    if (!ok)
        return "Internal error in ParseFunction while composing the disassembling string...  :-(";
    const int markLine = lister.MarkLine();
    size_t first = 0, end = lines.size();
    bool cutFront = false, cutBack = false;
    if (lineLimit > 0 && markLine >= 0) {
        if (markLine > lineLimit * 12 / 10) {
            first = static_cast<size_t>(markLine - lineLimit);
            cutFront = true;
        }
        if (lines.size() - static_cast<size_t>(markLine) - 1 > static_cast<size_t>(lineLimit)) {
            end = static_cast<size_t>(markLine) + 1 + static_cast<size_t>(lineLimit);
            cutBack = true;
        }
    }
    std::string text;
    if (cutFront) text = std::string(disasm::kEllipsis) + "\r\n";
    for (size_t i = first; i < end; ++i)
        text += lines[i] + "\r\n";
    if (cutBack) text += std::string(disasm::kEllipsis) + "\r\n";
    if (text.size() >= 2) text.resize(text.size() - 2);
    return text;
}

} // namespace qix
