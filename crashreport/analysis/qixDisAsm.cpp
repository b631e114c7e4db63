// Single-instruction decoding: prefixes, opcode tables, ModR/M, immediates,
// validity, targets and register tracking.
#include <algorithm>
#include <vector>

#include "crashreport/analysis/qixDisAsmDecoder.h"

namespace qix::disasm {

std::string_view MnemonicText(uint16_t index) {
    // Measured once: every decoded instruction looks its pattern text up at least twice.
    static const std::vector<std::string_view> texts = [] {
        std::vector<std::string_view> t;
        for (size_t i = 0; i < kMnemonicCount; ++i)
            t.emplace_back(kMnemonics + kMnemonicOffsets[i]);
        return t;
    }();
    if (index >= texts.size()) return {};
    return texts[index];
}

namespace {

const TGroupRow* FindGroup(uint16_t opcode) {
    for (const TGroupRow& row : kGroups)
        if (row.Opcode == opcode) return &row;
    return nullptr;
}

// Picks part `index` of text split at `separator`, or the whole text without one.
std::string_view Part(std::string_view text, char separator, size_t index, bool& found) {
    found = text.find(separator) != std::string_view::npos;
    if (!found) return text;
    for (size_t i = 0; i < index; ++i) {
        size_t p = text.find(separator);
        if (p == std::string_view::npos) return {};
        text.remove_prefix(p + 1);
    }
    return text.substr(0, text.find(separator));
}

class TCursor {
public:
    explicit TCursor(TDecoded& d) : FD(d) {}
    bool Ok() const { return FOk; }
    uint8_t Byte() {
        if (FD.Length >= FD.Available || FD.Length >= 15) {
            FOk = false;
            return 0;
        }
        return FD.Bytes[FD.Length++];
    }
    int32_t Signed(int size) {
        if (size == 1) return static_cast<int8_t>(Byte());
        if (size == 2) {
            uint16_t lo = Byte();
            return static_cast<int16_t>(lo | (Byte() << 8));
        }
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return static_cast<int32_t>(v);
    }

private:
    TDecoded& FD;
    bool FOk = true;
};

void Fetch(const TDisAsmContext& context, TAddress address, TDecoded& d) {
    for (int n = 16; n > 0; --n)
        if (TryReadMemory(*context.Memory, address, d.Bytes, n, context.Snapshot)) {
            d.Available = n;
            return;
        }
}

void DecodeMemory(TCursor& in, TDecoded& d) {
    d.HasMemory = true;
    if (d.AddrSize16) {
        static const int8_t kBase[8] = {3, 3, 5, 5, 6, 7, 5, 3};
        static const int8_t kIndex[8] = {6, 7, 6, 7, -1, -1, -1, -1};
        d.Base = kBase[d.Rm];
        d.Index = kIndex[d.Rm];
        if (d.Mod == 0 && d.Rm == 6) {
            d.Base = -1;
            d.DisplacementSize = 2;
        }
        if (d.Mod == 1) d.DisplacementSize = 1;
        if (d.Mod == 2) d.DisplacementSize = 2;
    } else {
        d.Base = d.Rm;
        if (d.Rm == 4) {
            uint8_t sib = in.Byte();
            d.Base = sib & 7;
            if (((sib >> 3) & 7) != 4) {
                d.Index = (sib >> 3) & 7;
                d.Scale = 1 << (sib >> 6);
            }
        }
        if (d.Mod == 0 && d.Base == 5) {
            d.Base = -1;
            d.DisplacementSize = 4;
        }
        if (d.Mod == 1) d.DisplacementSize = 1;
        if (d.Mod == 2) d.DisplacementSize = 4;
    }
    if (d.DisplacementSize) d.Displacement = in.Signed(d.DisplacementSize);
}

void DecodeImmediate(TCursor& in, TDecoded& d) {
    const int operand = d.OpSize16 ? 2 : 4;
    if (!d.TwoByte && (d.Op == 0x9A || d.Op == 0xEA)) {
        d.ImmediateSize = operand;
        d.Immediate = in.Signed(operand);
        d.FarSegment = static_cast<uint16_t>(in.Signed(2));
        return;
    }
    if (!d.TwoByte && d.Op >= 0xA0 && d.Op <= 0xA3) {
        d.HasMemory = true;
        d.DisplacementSize = d.AddrSize16 ? 2 : 4;
        d.Displacement = in.Signed(d.DisplacementSize);
        if (d.AddrSize16) d.Displacement &= 0xFFFF;
        return;
    }
    if (!d.TwoByte && d.Op == 0xC8) {
        d.ImmediateSize = 2;
        d.Immediate = in.Signed(2) & 0xFFFF;
        d.EnterLevel = in.Byte();
        return;
    }
    switch (ImmKind(d.Attr)) {
    case 1:
        d.ImmediateSize = 1;
        break;
    case 2:
        d.ImmediateSize = 2;
        break;
    case 3:
        d.ImmediateSize = operand;
        break;
    default:
        return;
    }
    d.Immediate = in.Signed(d.ImmediateSize);
}

// wait followed by a no-wait FPU control form is one instruction (fstsw, fstcw, finit, ...).
bool IsWaitForm(const TDecoded& d) {
    if (d.Length + 1 >= d.Available) return false;
    const uint8_t escape = d.Bytes[d.Length], modrm = d.Bytes[d.Length + 1];
    const int reg = (modrm >> 3) & 7;
    switch (escape) {
    case 0xD9:
    case 0xDD:
        return modrm < 0xC0 && reg >= 6;
    case 0xDB:
        return modrm == 0xE2 || modrm == 0xE3;
    case 0xDF:
        return modrm == 0xE0;
    default:
        return false;
    }
}

bool NeedsMemory(const TDecoded& d) {
    if (!d.TwoByte) {
        switch (d.Op) {
        case 0x62:
        case 0x8D:
        case 0xC4:
        case 0xC5:
            return true;
        case 0xFF:
            return d.Reg == 3 || d.Reg == 5;
        default:
            return false;
        }
    }
    switch (d.Op) {
    case 0xB2:
    case 0xB4:
    case 0xB5:
    case 0xC3:
        return true;
    case 0xC7:
        return d.Reg < 6;
    default:
        return false;
    }
}

bool IsValidForm(const TDecoded& d) {
    if (NeedsMemory(d) && !d.HasMemory) return false;
    if (!d.TwoByte) {
        if ((d.Op == 0x8C || d.Op == 0x8E) && d.Reg >= 6) return false;
        return !SelectedPattern(d).empty();
    }
    switch (d.Op) {
    case 0x20:
    case 0x22:
        if (d.Mod != 3 || !(d.Reg == 0 || d.Reg == 2 || d.Reg == 3 || d.Reg == 4)) return false;
        break;
    case 0x21:
    case 0x23:
        if (d.Mod != 3 || d.Reg == 4 || d.Reg == 5) return false;
        break;
    case 0x71:
    case 0x72:
    case 0x73:
        if (d.Mod != 3) return false;
        if (d.Op == 0x73 && (d.Reg == 3 || d.Reg == 7) && d.SsePrefix != 1) return false;
        break;
    case 0x0F:
        if (k3DNow[static_cast<uint8_t>(d.Immediate)] == kNoMnemonic) return false;
        break;
    default:
        break;
    }
    return !SelectedPattern(d).empty();
}

bool IsGpr(uint8_t kind) {
    return kind == rkByte || kind == rkWord || kind == rkDword;
}
bool IsGprRm(uint8_t kind) {
    return kind == mkByte || kind == mkWord || kind == mkOperand || kind == mkDword;
}
int Slot(int number, bool byteRegister) {
    return byteRegister ? number & 3 : number;
}

void TrackRegisters(const TDecoded& d, TRegisters& r) {
    const uint8_t reg = RegKind(d.Attr), rm = RmKind(d.Attr);
    const bool modrm = d.HasModRm;
    switch ((d.Attr >> kWriteShift) & 7) {
    case wrEax:
        r[0] = 0;
        break;
    case wrReg:
        if (IsGpr(reg) || (d.TwoByte && (d.Op == 0x2C || d.Op == 0x2D)))
            r[Slot(d.Reg, reg == rkByte)] = 0;
        break;
    case wrRm:
        if (d.Mod == 3 && IsGprRm(rm)) r[Slot(d.Rm, rm == mkByte)] = 0;
        break;
    case wrLow:
        r[Slot(d.Op & 7, !modrm && reg == imByteLow)] = 0;
        break;
    case wrEdxEax:
        r[0] = r[2] = 0;
        break;
    case wrRegRm:
        r[Slot(d.Reg, reg == rkByte)] = 0;
        if (d.Mod == 3) r[Slot(d.Rm, rm == mkByte)] = 0;
        break;
    case wrAll:
        r.fill(0);
        break;
    default:
        break;
    }
    if (d.TwoByte) return;
    if (d.Op >= 0xB8 && d.Op <= 0xBF && !d.OpSize16) r[d.Op & 7] = d.Immediate;
    if (d.Op == 0xC7 && d.Mod == 3 && !d.OpSize16) r[d.Rm] = d.Immediate;
    if (d.Op >= 0xA4 && d.Op <= 0xA7) r[6] = r[7] = 0;
    if (d.Op == 0xAC || d.Op == 0xAD) r[6] = 0;
    if (d.Op >= 0xAA && d.Op <= 0xAF && d.Op != 0xAC && d.Op != 0xAD) r[7] = 0;
    if (d.Op == 0xC8 || d.Op == 0xC9) r[5] = 0;
    if (d.Op >= 0xE0 && d.Op <= 0xE2) r[1] = 0;
    if (d.Op == 0xFF && d.Mod == 3 && d.Reg <= 1) r[d.Rm] = 0;
    if (d.Op == 0xDF && d.Mod == 3 && d.Rm == 0 && d.Reg == 4) r[0] = 0;
}

void ResolveTarget(const TDisAsmContext& context, const TDecoded& d, TInstructionInfo& info,
                   const TRegisters* registers) {
    if (d.Attr & kAttrRelative) {
        info.IsRelative = true;
        info.TargetSize = d.ImmediateSize;
        info.TargetField = info.Next - d.ImmediateSize;
        // x86-32 targets wrap at 4 GB, also where addresses are wider.
        info.Target = static_cast<uint32_t>(info.Next + static_cast<uint32_t>(d.Immediate));
        if (d.OpSize16) info.Target &= 0xFFFF;
        info.CanWiden = d.TwoByte || d.Op < 0xE0 || d.Op > 0xE3;
        info.IsCall = !d.TwoByte && d.Op == 0xE8;
        info.IsJump = !info.IsCall;
    } else if (!d.TwoByte && d.Op == 0xFF && d.Reg >= 2 && d.Reg <= 5) {
        info.IsCall = d.Reg <= 3;
        info.IsJump = !info.IsCall;
        if (d.HasMemory) {
            if (d.Base < 0 && d.Index < 0 && !d.AddrSize16 && d.Segment < 0) {
                info.TargetCell = static_cast<TAddress>(d.Displacement);
                info.TargetSize = 4;
                info.IsValid = TryReadMemory(*context.Memory, info.TargetCell, &info.Target, 4,
                                             context.Snapshot);
                if (!info.IsValid) info.Target = 0;
            } else if (registers && d.Base >= 0 && d.Index < 0 && d.Displacement == 0 &&
                       !d.AddrSize16 && (*registers)[d.Base] != 0) {
                TAddress cell = static_cast<TAddress>((*registers)[d.Base]);
                if (TryReadMemory(*context.Memory, cell, &info.Target, 4, context.Snapshot)) {
                    info.TargetCell = cell;
                    info.TargetSize = 4;
                } else {
                    info.Target = 0;
                }
            }
        } else if (registers && (*registers)[d.Rm] != 0) {
            info.TargetField = d.Rm;
            info.TargetSize = 4;
            info.Target = static_cast<TAddress>((*registers)[d.Rm]);
        }
    } else if (!d.TwoByte && (d.Op == 0x9A || d.Op == 0xEA)) {
        info.IsCall = d.Op == 0x9A;
        info.IsJump = !info.IsCall;
    }
    // call $+5 and its kin only push or fall through: no control transfer.
    if ((info.IsCall || info.IsJump) && info.Target != 0 && info.Target == info.Next) {
        info.IsCall = info.IsJump = info.CanWiden = false;
        info.Target = info.TargetField = info.TargetCell = 0;
        info.TargetSize = 0;
    }
}

} // namespace

std::string_view SelectedPattern(const TDecoded& d) {
    std::string_view text;
    if (d.IsFpu)
        text = MnemonicText(d.Fpu.Mnemonic);
    else if (d.TwoByte && d.Op == 0x0F)
        text = MnemonicText(k3DNow[static_cast<uint8_t>(d.Immediate)]);
    else
        text = MnemonicText(d.Mnemonic);
    if (text.empty()) return text;
    size_t form = d.OpSize16 ? 1 : 0;
    if (d.TwoByte)
        form = static_cast<size_t>(d.SsePrefix);
    else if (d.Op == 0x90 && d.Rep)
        form = 3;
    else if (d.Op == 0xE3)
        form = d.AddrSize16 ? 1 : 0;
    bool found = false;
    std::string_view chosen = Part(text, '/', form, found);
    if (found && chosen.empty()) chosen = Part(text, '/', 0, found);
    std::string_view member = Part(chosen, '|', 0, found);
    if (found) {
        size_t count = 1 + static_cast<size_t>(std::count(chosen.begin(), chosen.end(), '|'));
        member = Part(chosen, '|', (count > 8 && d.Mod == 3) ? 8u + d.Reg : d.Reg, found);
    }
    std::string_view shape = Part(member, ':', d.Mod == 3 ? 0 : 1, found);
    return shape;
}

std::string MnemonicOf(const TDecoded& d) {
    static const char* const kConditions[16] = {"o", "no", "b", "nb", "z", "nz", "be", "a",
                                                "s", "ns", "p", "np", "l", "ge", "le", "g"};
    std::string_view pattern = SelectedPattern(d);
    if (pattern.empty()) return {};
    if (d.Wait && pattern.size() > 1 && pattern[0] == 'n') pattern.remove_prefix(1);
    // Built in a fixed buffer: mnemonics are short, and this runs once per instruction.
    char buffer[40];
    size_t n = 0;
    auto put = [&](std::string_view part) {
        for (char c : part)
            if (n < sizeof buffer) buffer[n++] = c;
    };
    if (d.IsFpu) put("f");
    size_t cc = pattern.find("%cc");
    if (cc == std::string_view::npos) {
        put(pattern);
    } else {
        put(pattern.substr(0, cc));
        put(kConditions[d.Op & 15]);
        put(pattern.substr(cc + 3));
    }
    std::string text(buffer, n);
    return text;
}

bool Decode(const TDisAsmContext& context, TAddress address, TDecoded& d, TInstructionInfo& info,
            TRegisters* registers) {
    info = TInstructionInfo{};
    d = TDecoded{};
    info.Start = info.Next = address;
    if (address == 0 || !context.Memory) return false;
    Fetch(context, address, d);
    TCursor in(d);
    bool repNoEscape = false;
    for (;;) {
        uint8_t b = in.Byte();
        if (!in.Ok()) return false;
        switch (b) {
        case 0x66:
            d.OpSize16 = true;
            continue;
        case 0x67:
            d.AddrSize16 = true;
            continue;
        case 0xF0:
            d.Lock = true;
            continue;
        case 0xF2:
            d.Repne = true;
            d.Rep = false;
            continue;
        case 0xF3:
            d.Rep = true;
            d.Repne = false;
            continue;
        case 0x26:
            d.Segment = 0;
            continue;
        case 0x2E:
            d.Segment = 1;
            continue;
        case 0x36:
            d.Segment = 2;
            continue;
        case 0x3E:
            d.Segment = 3;
            continue;
        case 0x64:
            d.Segment = 4;
            continue;
        case 0x65:
            d.Segment = 5;
            continue;
        case 0x9B:
            if (IsWaitForm(d)) {
                d.Wait = true;
                continue;
            }
            break;
        default:
            break;
        }
        if (b == 0x0F) {
            d.TwoByte = true;
            d.Op = in.Byte();
            d.Attr = kTwoByte[d.Op].Attr;
            d.Mnemonic = kTwoByte[d.Op].Mnemonic;
            info.Opcode = static_cast<uint16_t>(0x0F00 + d.Op);
        } else {
            repNoEscape = d.Rep || d.Repne;
            d.Op = b;
            d.Attr = kOneByte[b].Attr;
            d.Mnemonic = kOneByte[b].Mnemonic;
            info.Opcode = b;
        }
        break;
    }
    d.SsePrefix = d.Rep ? 3 : d.Repne ? 2 : d.OpSize16 ? 1 : 0;
    if (!in.Ok() || d.Attr == kAttrInvalid) return false;
    d.IsFpu = !d.TwoByte && d.Op >= 0xD8 && d.Op <= 0xDF;
    d.HasModRm = RmKind(d.Attr) != mkNone;
    if (d.HasModRm) {
        uint8_t modrm = in.Byte();
        info.ModRm = modrm;
        d.Mod = modrm >> 6;
        d.Reg = (modrm >> 3) & 7;
        d.Rm = modrm & 7;
        if (d.Mod != 3) DecodeMemory(in, d);
        if (RmKind(d.Attr) == mkGroup) {
            const TGroupRow* row = FindGroup(info.Opcode);
            d.Attr = row ? (d.Mod == 3 ? row->Register[d.Reg] : row->Memory[d.Reg])
                         : static_cast<uint16_t>(kAttrInvalid);
            if (d.Attr == kAttrInvalid) return false;
        }
        if (d.IsFpu) {
            d.Fpu = d.Mod == 3 ? kFpuRegister[(d.Op - 0xD8) * 64 + (modrm - 0xC0)]
                               : kFpuMemory[(d.Op - 0xD8) * 8 + d.Reg];
            if (d.Fpu.Mnemonic == kNoMnemonic) return false;
        }
    }
    DecodeImmediate(in, d);
    info.Next = address + static_cast<TAddress>(d.Length);
    if (!in.Ok() || !IsValidForm(d)) return false;
    info.IsValid = true;
    ResolveTarget(context, d, info, registers);
    if (registers) {
        if (repNoEscape) (*registers)[1] = 0;
        TrackRegisters(d, *registers);
    }
    return info.IsValid;
}

} // namespace qix::disasm

namespace qix {

void DecodeInstruction(const TDisAsmContext& context, TAddress address, TInstructionInfo& info,
                       TRegisters* registers) {
    disasm::TDecoded d;
    disasm::Decode(context, address, d, info, registers);
}

} // namespace qix
