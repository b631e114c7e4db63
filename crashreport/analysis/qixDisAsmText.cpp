// Text of one instruction: mnemonic column, operands and a comment naming the target.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "crashreport/analysis/qixDisAsmDecoder.h"
#include "crashreport/analysis/qixDisAsmText.h"

namespace qix::disasm {

namespace {

const char* const kReg8[8] = {"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"};
const char* const kReg16[8] = {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di"};
const char* const kReg32[8] = {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi"};
const char* const kSegments[8] = {"es", "cs", "ss", "ds", "fs", "gs", "?", "?"};

// Opcodes whose 0x66/0xF2/0xF3 select an SSE form instead of the operand size.
bool IsSseOpcode(const TDecoded& d) {
    if (!d.TwoByte) return false;
    uint8_t op = d.Op;
    return (op >= 0x10 && op <= 0x17) || (op >= 0x28 && op <= 0x2F) || (op >= 0x50 && op <= 0x7F) ||
           (op >= 0xC2 && op <= 0xC6) || op >= 0xD0;
}

struct TKinds {
    uint8_t Reg, Rm, MemSize;
    bool Reversed;
};

TKinds KindsOf(const TDecoded& d) {
    TKinds k{RegKind(d.Attr), RmKind(d.Attr), static_cast<uint8_t>((d.Attr >> kMemSizeShift) & 3),
             (d.Attr & kAttrReversed) != 0};
    if (!d.TwoByte) return k;
    const uint8_t op = d.Op;
    const bool mmxRange = (op >= 0x60 && op <= 0x7F) || op == 0xC4 || op == 0xC5 || op >= 0xD0;
    auto toXmm = [&] {
        if (k.Reg == rkMmx) k.Reg = rkXmm;
        if (k.Rm == mkMmx) k.Rm = mkXmm;
    };
    if (mmxRange && d.SsePrefix == 1) toXmm();
    if (d.SsePrefix >= 2 && (op == 0x6F || op == 0x7F || op == 0x70)) toXmm();
    if (op == 0x7E && d.SsePrefix == 3) k = {rkXmm, mkXmm, msQword, false};
    if (op == 0xD6 && d.SsePrefix == 2) k = {rkMmx, mkXmm, msDefault, false};
    if (op == 0xD6 && d.SsePrefix == 3) k = {rkXmm, mkMmx, msDefault, false};
    if (op == 0x2A && d.SsePrefix >= 2) k.Rm = mkDword;
    if ((op == 0x2C || op == 0x2D) && d.SsePrefix >= 2) k.Reg = rkDword;
    if ((op == 0x2C || op == 0x2D) && d.SsePrefix == 1) k.Rm = mkXmm;
    return k;
}

bool Word(const TDecoded& d) {
    return d.OpSize16 && !IsSseOpcode(d);
}

std::string RegisterName(const TDecoded& d, uint8_t kind, int n) {
    switch (kind) {
    case rkByte:
        return kReg8[n];
    case rkWord:
        return kReg16[n];
    case rkDword:
        return Word(d) ? kReg16[n] : kReg32[n];
    case rkMmx:
        return "mm" + std::to_string(n);
    case rkXmm:
        return "xmm" + std::to_string(n);
    case rkFpu:
        return n ? "st(" + std::to_string(n) + ")" : "st";
    case rkSpecial:
        if (d.TwoByte && (d.Op == 0x20 || d.Op == 0x22)) return "cr" + std::to_string(n);
        if (d.TwoByte && (d.Op == 0x21 || d.Op == 0x23)) return "dr" + std::to_string(n);
        return kSegments[n];
    default:
        return {};
    }
}

std::string RmRegisterName(const TDecoded& d, uint8_t kind, int n) {
    switch (kind) {
    case mkByte:
        return kReg8[n];
    case mkWord:
        return kReg16[n];
    case mkOperand:
        return Word(d) ? kReg16[n] : kReg32[n];
    case mkDword:
        return kReg32[n];
    case mkMmx:
        return "mm" + std::to_string(n);
    case mkXmm:
        return "xmm" + std::to_string(n);
    default:
        return {};
    }
}

const char* SizeKeyword(const TDecoded& d, const TKinds& k) {
    if (d.IsFpu) {
        static const char* const kFpu[6] = {"", "dword", "qword", "word", "tbyte", ""};
        return kFpu[d.Fpu.Form < 6 ? d.Fpu.Form : 0];
    }
    switch (k.MemSize) {
    case msDword:
        return "dword";
    case msQword:
        return "qword";
    case msNone:
        return "";
    default:
        break;
    }
    switch (k.Rm) {
    case mkByte:
        return "byte";
    case mkWord:
        return "word";
    case mkOperand:
        return Word(d) ? "word" : "dword";
    case mkDword:
        return "dword";
    case mkMmx:
        return "qword";
    case mkXmm:
        return "oword";
    default:
        return "";
    }
}

std::string MemoryText(const TDecoded& d, const TKinds& k, bool withSize) {
    std::string text;
    if (withSize) {
        const char* size = SizeKeyword(d, k);
        if (*size) text = std::string(size) + " ptr ";
    }
    if (d.Segment >= 0) text += std::string(kSegments[d.Segment]) + ":";
    text += "[";
    const char* const* names = d.AddrSize16 ? kReg16 : kReg32;
    if (d.Base >= 0) text += names[d.Base];
    if (d.Index >= 0) {
        if (d.Base >= 0) text += "+";
        text += names[d.Index];
        if (d.Scale > 1) text += "*" + std::to_string(d.Scale);
    }
    if (d.Base < 0 && d.Index < 0)
        text += ImmediateText(static_cast<uint32_t>(d.Displacement) &
                              (d.AddrSize16 ? 0xFFFFu : 0xFFFFFFFFu));
    else if (d.Displacement != 0)
        text += SignedText(d.Displacement, true);
    return text + "]";
}

bool IsSignedImmediate(const TDecoded& d) {
    if (d.TwoByte) return false;
    return d.Op == 0x69 || d.Op == 0x6B || d.Op == 0x6A || (d.Op >= 0x80 && d.Op <= 0x83);
}

std::string ImmediateOperand(const TDecoded& d, const TInstructionInfo& info,
                             const TLabelFunction* label) {
    if (!d.TwoByte && (d.Op == 0x9A || d.Op == 0xEA))
        return "$" + Hex(d.FarSegment) + ":$" + Hex(static_cast<uint32_t>(d.Immediate));
    if (d.Attr & kAttrRelative) {
        TAddress target = static_cast<uint32_t>(static_cast<uint32_t>(d.Immediate) + info.Next);
        if (d.OpSize16) target &= 0xFFFF;
        if (label && *label) {
            std::string name = (*label)(target);
            if (!name.empty()) return name;
        }
        return SignedText(d.Immediate, true) + " ($" + Hex8(target) + ")";
    }
    if (IsSignedImmediate(d)) return SignedText(d.Immediate, false);
    uint32_t mask = d.ImmediateSize == 1 ? 0xFF : d.ImmediateSize == 2 ? 0xFFFF : 0xFFFFFFFF;
    return ImmediateText(static_cast<uint32_t>(d.Immediate) & mask);
}

std::vector<std::string> Operands(const TDecoded& d, const TInstructionInfo& info,
                                  const TLabelFunction* label) {
    std::vector<std::string> ops;
    const TKinds k = KindsOf(d);
    const bool ptr = (d.Attr & kAttrPtr) != 0 || d.IsFpu;
    if (d.IsFpu) {
        if (d.Mod != 3) {
            ops.push_back(MemoryText(d, k, ptr));
        } else if (d.Fpu.Form == ffSti) {
            ops.push_back(RegisterName(d, rkFpu, d.Rm));
        } else if (d.Fpu.Form == ffStSti) {
            ops = {"st", RegisterName(d, rkFpu, d.Rm)};
        } else if (d.Fpu.Form == ffStiSt) {
            ops = {RegisterName(d, rkFpu, d.Rm), "st"};
        }
        return ops;
    }
    if (d.TwoByte && d.Op == 0x0F) {
        ops.push_back(RegisterName(d, rkMmx, d.Reg));
        ops.push_back(d.Mod == 3 ? RegisterName(d, rkMmx, d.Rm) : MemoryText(d, k, false));
        return ops;
    }
    std::string immediate = d.ImmediateSize ? ImmediateOperand(d, info, label) : std::string();
    if (d.HasModRm) {
        std::string reg = k.Reg ? RegisterName(d, k.Reg, d.Reg) : std::string();
        std::string rm = d.Mod == 3 ? RmRegisterName(d, k.Rm, d.Rm) : MemoryText(d, k, ptr);
        if (k.Reversed) {
            ops.push_back(rm);
            if (!reg.empty()) ops.push_back(reg);
        } else {
            if (!reg.empty()) ops.push_back(reg);
            ops.push_back(rm);
        }
    } else {
        std::string implicit;
        switch (k.Reg) {
        case imAl:
            implicit = "al";
            break;
        case imByteLow:
            implicit = kReg8[d.Op & 7];
            break;
        case imEax:
            implicit = Word(d) ? "ax" : "eax";
            break;
        case imRegLow:
            implicit = Word(d) ? kReg16[d.Op & 7] : kReg32[d.Op & 7];
            break;
        case imDx:
            implicit = "dx";
            break;
        default:
            break;
        }
        std::string other = d.HasMemory ? MemoryText(d, k, false) : immediate;
        if (d.HasMemory) immediate.clear();
        if (k.Reversed) std::swap(implicit, other);
        if (!implicit.empty()) ops.push_back(implicit);
        if (!other.empty()) ops.push_back(other);
        if (!d.TwoByte && d.Op >= 0x91 && d.Op <= 0x97) ops.push_back(Word(d) ? "ax" : "eax");
        if (!d.TwoByte && d.Op == 0xC8) ops.push_back(ImmediateText(d.EnterLevel));
        return ops;
    }
    if (!immediate.empty()) ops.push_back(immediate);
    if (!d.TwoByte && (d.Op == 0xD0 || d.Op == 0xD1)) ops.push_back("1");
    if ((!d.TwoByte && (d.Op == 0xD2 || d.Op == 0xD3)) ||
        (d.TwoByte && (d.Op == 0xA5 || d.Op == 0xAD)))
        ops.push_back("cl");
    return ops;
}

// Letters, digits and blanks must clearly outnumber everything else.
std::string TextAt(const TDisAsmContext& context, TAddress address) {
    char buffer[101] = {};
    uint32_t n = 100;
    while (n > 0 && !TryReadMemory(*context.Memory, address, buffer, n, context.Snapshot))
        n = n > 8 ? n / 2 : n - 1;
    int good = 0, bad = 0;
    std::string text;
    for (uint32_t i = 0; i < n && buffer[i]; ++i) {
        unsigned char c = static_cast<unsigned char>(buffer[i]);
        if (std::isalnum(c) || c == ' ')
            ++good;
        else
            ++bad;
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    if (good < 4 || good < 3 * bad) return {};
    return text;
}

} // namespace

std::string Hex(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%x", value);
    return buffer;
}

std::string Hex8(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08x", value);
    return buffer;
}

std::string ImmediateText(uint32_t value) {
    return value <= 9 ? std::to_string(value) : "$" + Hex(value);
}

std::string SignedText(int32_t value, bool plus) {
    uint32_t magnitude =
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    std::string sign = value < 0 ? "-" : plus ? "+" : "";
    return sign + ImmediateText(magnitude);
}

std::string TargetName(const TDisAsmContext& context, TAddress target, bool followThunk) {
    const IMemoryReader& memory = *context.Memory;
    std::string name = memory.ExportName(target);
    if (name.empty() && context.Hooks.ProcedureName) name = context.Hooks.ProcedureName(target);
    TImageInfo image;
    bool inImage = memory.FindImage(target, image);
    if (name.empty() && followThunk && inImage) {
        TInstructionInfo info;
        DecodeInstruction(context, target, info);
        if (info.IsValid && info.Target != 0 && info.Target != target)
            return TargetName(context, info.Target, false);
    }
    if (name.empty() || name.find('(') != std::string::npos) return {};
    if (inImage && !image.IsMainModule && !image.ModuleName.empty())
        name += " (" + image.ModuleName + ")";
    return name;
}

std::string InstructionBody(const TDisAsmContext& context, const TDecoded& d,
                            const TInstructionInfo& info, const TLabelFunction* label) {
    std::string text;
    if (d.Lock) text += "lock ";
    if (!d.TwoByte && d.Op != 0xFF && d.Op != 0x90) {
        if (d.Repne) text += "repne ";
        if (d.Rep) text += "rep ";
    }
    text += MnemonicOf(d);
    std::vector<std::string> ops = Operands(d, info, label);
    ops.erase(std::remove(ops.begin(), ops.end(), std::string()), ops.end());
    if (!ops.empty()) {
        text.resize(std::max<size_t>(text.size() + 1, 8), ' ');
        for (size_t i = 0; i < ops.size(); ++i)
            text += (i ? ", " : "") + ops[i];
    }
    // Name what the instruction points at.
    std::string comment;
    if (info.Target != 0 && (info.IsCall || info.IsJump)) {
        comment = TargetName(context, info.Target, true);
    } else {
        uint32_t pointer = 0;
        if (d.HasMemory && d.DisplacementSize == 4)
            pointer = static_cast<uint32_t>(d.Displacement);
        else if (d.ImmediateSize == 4 && !(d.Attr & kAttrRelative))
            pointer = static_cast<uint32_t>(d.Immediate);
        TImageInfo image;
        if (pointer && context.Memory->FindImage(pointer, image) &&
            pointer + 100 <= image.ImageEnd) {
            comment = TargetName(context, pointer, false);
            if (comment.empty()) {
                std::string quoted = TextAt(context, pointer);
                if (!quoted.empty()) comment = "'" + quoted + "'";
            }
        }
    }
    if (!comment.empty()) {
        text.resize(std::max<size_t>(text.size(), 29), ' ');
        text += "  ; " + comment;
    }
    return text;
}

std::string InvalidText(const TDisAsmContext& context, const TInstructionInfo& info) {
    std::string text;
    TAddress end = info.Next > info.Start ? info.Next : info.Start + 1;
    for (TAddress a = info.Start; a != end; ++a) {
        uint8_t byte = 0;
        if (!TryReadMemory(*context.Memory, a, &byte, 1, context.Snapshot) && a != info.Start)
            break;
        if (!text.empty()) text += "\r\n";
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%08x   db $%02x", unsigned(a), byte);
        text += buffer;
    }
    return text;
}

} // namespace qix::disasm

namespace qix {

std::string DisassembleInstruction(const TDisAsmContext& context, TAddress address,
                                   TRegisters* registers, TInstructionInfo& info) {
    disasm::TDecoded d;
    if (!disasm::Decode(context, address, d, info, registers))
        return disasm::InvalidText(context, info);
    return disasm::Hex8(address) + "   " + disasm::InstructionBody(context, d, info, nullptr);
}

} // namespace qix
