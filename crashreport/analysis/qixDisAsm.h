// qixDisAsm: x86-32 instruction decoder, function parser and listing writer.
// All memory access goes through an IMemoryReader, so the same code reads the own
// process on Windows and plain byte buffers in tests and host tools.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crashreport/analysis/qixAddress.h"

namespace qix {

// Known register values (eax, ecx, edx, ebx, esp, ebp, esi, edi); 0 means unknown.
using TRegisters = std::array<int32_t, 8>;

struct TReadableRange {
    TAddress Start = 0;
    TAddress End = 0; // last byte
    bool Readable = false;
};
// Sorted, gap-free snapshot of the address space, built by BeginTryRead.
using TReadableRanges = std::vector<TReadableRange>;

// A loaded (or mapped) module image, as far as the disassembler cares.
struct TImageInfo {
    TAddress ImageStart = 0;
    TAddress ImageEnd = 0; // first byte after the image
    TAddress CodeBegin = 0, CodeEnd = 0;
    TAddress DataBegin = 0, DataEnd = 0;
    std::string ModuleName; // file name without path
    bool IsMainModule = false;
};

class IMemoryReader {
public:
    virtual ~IMemoryReader() = default;
    // Copies exactly count bytes or fails; never faults.
    virtual bool Read(TAddress source, void* dest, uint32_t count) const = 0;
    virtual bool IsCommitted(TAddress address) const = 0;
    // The committed region around address (used when no image covers it).
    virtual bool FindRegion(TAddress address, TAddress& start, TAddress& end) const = 0;
    virtual TReadableRanges QueryRanges() const = 0;
    virtual bool FindImage(TAddress, TImageInfo&) const { return false; }
    virtual std::string ExportName(TAddress) const { return {}; }
};

// Reads from byte buffers placed at chosen addresses; the portable default.
class TBufferMemoryReader : public IMemoryReader {
public:
    void AddRegion(TAddress base, std::vector<uint8_t> bytes);
    void AddImage(const TImageInfo& image) { FImages.push_back(image); }
    void AddExport(TAddress address, std::string name);

    bool Read(TAddress source, void* dest, uint32_t count) const override;
    bool IsCommitted(TAddress address) const override;
    bool FindRegion(TAddress address, TAddress& start, TAddress& end) const override;
    TReadableRanges QueryRanges() const override;
    bool FindImage(TAddress address, TImageInfo& image) const override;
    std::string ExportName(TAddress address) const override;

private:
    struct TRegion {
        TAddress Base;
        std::vector<uint8_t> Bytes;
    };
    const TRegion* RegionOf(TAddress address) const;
    std::vector<TRegion> FRegions; // sorted by base
    std::vector<TImageInfo> FImages;
    std::vector<std::pair<TAddress, std::string>> FExports;
};

// Names from the debug-information reader; either may be empty.
struct TDisAsmHooks {
    std::function<std::string(TAddress)> ProcedureName;
    std::function<int(TAddress)> LineNumber; // 0 or less: none
};

// Runtime routines that shape control flow. Zero means "not present".
struct TRuntimeRoutines {
    TAddress HandleFinally = 0;
    TAddress HandleAnyException = 0;
    TAddress HandleOnException = 0;
    TAddress HandleAutoException = 0;
    std::vector<TAddress> NoReturn; // end the code area, like a halt
    TAddress CxxHandler = 0;
};

// The routines of our runtime (mingw-w64 GCC, DWARF-2 unwinding, libstdc++), found
// by their undecorated names through `find` (0 when absent).
TRuntimeRoutines RuntimeRoutinesByName(const std::function<TAddress(const std::string&)>& find);

struct TDisAsmContext {
    const IMemoryReader* Memory = nullptr;
    const TReadableRanges* Snapshot = nullptr;
    TDisAsmHooks Hooks;
    TRuntimeRoutines Routines;
};

[[nodiscard]] bool TryReadMemory(const IMemoryReader& memory, TAddress source, void* dest,
                                 uint32_t count, const TReadableRanges* snapshot = nullptr);
TReadableRanges BeginTryRead(const IMemoryReader& memory);
void EndTryRead(TReadableRanges& snapshot);

struct TInstructionInfo {
    bool IsValid = false;
    uint16_t Opcode = 0;
    uint8_t ModRm = 0;
    bool IsCall = false;
    bool IsJump = false;
    bool IsRelative = false;
    TAddress Target = 0;
    TAddress TargetField = 0;
    TAddress TargetCell = 0;
    int32_t TargetSize = 0;
    bool CanWiden = false;
    TAddress Start = 0;
    TAddress Next = 0;
};

void DecodeInstruction(const TDisAsmContext& context, TAddress address, TInstructionInfo& info,
                       TRegisters* registers = nullptr);

struct TCodeArea {
    TAddress AreaStart = 0;
    TAddress AreaEnd = 0; // last byte; 0 while not yet walked
    uint8_t IsCaseTable = 0;
    uint8_t IsExceptTable = 0;
    TAddress CalledFrom = 0;
    TRegisters Registers{};
};

struct TFarCall {
    bool IsCall = false;
    TAddress Start = 0, Next = 0, Target = 0;
    bool IsRelative = false;
    TAddress TargetField = 0, TargetCell = 0;
};

struct TUnknownTarget {
    bool IsCall = false;
    TAddress Start = 0, Next = 0;
};

inline constexpr int32_t kInvalidCodeError = 0x00770001;
inline constexpr int32_t kNotCommittedError = 87;

struct TFunctionInfo {
    bool IsValid = false;
    TAddress EntryPoint = 0;
    TAddress CodeBegin = 0;
    int32_t CodeLength = 0;
    TAddress ErrorAddress = 0;
    int32_t ErrorCode = 0;
    std::string ErrorText;
    std::vector<TCodeArea> CodeAreas;
    std::vector<TFarCall> FarCalls;
    std::vector<TUnknownTarget> UnknownTargets;
    bool IsHookable = false;
    int32_t CopySize = 0;
};

void ParseFunction(const TDisAsmContext& context, TAddress entryPoint, TFunctionInfo& info);

// One instruction as text: address, mnemonic column, operands and a name comment.
std::string DisassembleInstruction(const TDisAsmContext& context, TAddress address,
                                   TRegisters* registers, TInstructionInfo& info);

// The listing of a whole function; mark gets ">" and anchors the line limit.
std::string DisassembleFunction(const TDisAsmContext& context, TAddress entryPoint, TAddress mark,
                                TFunctionInfo& info, bool structured, int32_t lineLimit);

} // namespace qix
