// qixStackTrace: the call stack of one thread from its raw stack memory. Every slot that holds
// a plausible return address becomes a candidate; frame-pointer slots, the creation address and
// the crash address anchor the result, and between two anchors only the best-scored chain of
// calls survives. Windows-free: the process is seen through ITraceProcess.
#pragma once

#include "crashreport/analysis/qixDisAsm.h"
#include "crashreport/analysis/qixMapFile.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qix {

struct IProgressAlert;

// One printed line of a trace.
struct TStackTraceItem {
    TAddress Address = 0;
    uint32_t Offset = 0; // from the procedure start, 0 when unknown
    std::string ModuleName;
    std::string UnitName;
    int32_t Line = 0;
    int32_t RelLine = 0; // line - the procedure's first line, else the line, else 0
    std::string ProcName;
};

// One entry of a prepared stack: flag set means the address is certain.
struct TPreparedEntry {
    uint8_t Flag = 0;
    TAddress Address = 0;
};

// What the tracer sees of a process: its memory, and the debug information, exports and entry
// points of its modules.
class ITraceProcess {
public:
    virtual ~ITraceProcess() = default;
    virtual const IMemoryReader& Memory() const = 0;
    // Debug information of the module, or null when it has none.
    virtual std::shared_ptr<const TMapFile> DebugInfo(const TImageInfo& image) const = 0;
    // The nearest export at or below the address (0: none) and its name.
    virtual TAddress ExportBelow(const TImageInfo&, TAddress, std::string&) const { return 0; }
    virtual TAddress EntryPoint(const TImageInfo&) const { return 0; }
    // The older consumer Windows family, where window procedures are reached through
    // DispatchMessageA (its address, 0 when unknown).
    virtual bool OldConsumerWindows() const { return false; }
    virtual TAddress DispatchMessageAddress() const { return 0; }
};

struct TStackTraceRequest {
    bool HideUglyItems = false;
    bool ShowRelAddrs = false;
    bool ShowRelLines = false;
    bool DoNotAddTopItem = false;
    const std::atomic<bool>* Abort = nullptr;
    const std::vector<TPreparedEntry>* Prepared = nullptr;
    bool CxxTermination = false; // an uncaught C++ exception ended in std::terminate
    bool PlainTrace = false;     // skips the chain scoring
    TAddress FramePointer = 0;
    IProgressAlert* Progress = nullptr;
    TAddress CreationAddress = 0;
    TAddress StackTop = 0;     // first byte above the stack
    TAddress StackBottom = 0;  // the stack pointer
    bool IsException = false;  // the current address is an exception address
    bool RaisedByCode = false; // raised by a call (throw, RaiseException), not by the processor
    TAddress CurrentAddress = 0;
    // Checksums are only computed when asked for, as they cost a pass over the names.
    bool WantChecksums = true;
};

struct TStackTraceResult {
    std::string Text;
    std::vector<TStackTraceItem> Items;
    bool HasLineNumbers = false;
    uint32_t Checksums[2] = {0, 0}; // crash location, whole stack
    TAddress CrashProcStart = 0;    // of the crashing function
    TAddress CrashProcAddress = 0;  // its printed address
    TAddress CrashAddress = 0;      // the first item's printed address
};

namespace trace {
class TTraceCaches;
}

// A tracer over one process, with that process's module and function caches. Traces may run
// from several threads at once.
class TStackTracer {
public:
    explicit TStackTracer(const ITraceProcess& process);
    ~TStackTracer();
    TStackTracer(const TStackTracer&) = delete;
    TStackTracer& operator=(const TStackTracer&) = delete;

    // `minDebugInfo` collects "identification|name" entries of modules with reduced debug
    // information; may be null.
    TStackTraceResult Trace(const TStackTraceRequest& request,
                            std::vector<std::string>* minDebugInfo = nullptr);
    // One line describing a code address, as internal-error texts use it.
    std::string DescribeAddress(TAddress address, bool showRelAddr, bool showRelLine);

private:
    std::unique_ptr<trace::TTraceCaches> FCaches;
};

// Whether the bytes before the address end with a call instruction: the cheap first test of
// every stack slot (direct, indirect near and far forms of 2 to 7 bytes).
bool FollowsCall(const IMemoryReader& memory, TAddress address,
                 const TReadableRanges* snapshot = nullptr);

// The CRC-32 table step (reflected polynomial 0xEDB88320) without the initial and final
// inversion, as the call-stack checksums chain it.
uint32_t ChecksumUpdate(uint32_t value, const void* data, size_t size);

} // namespace qix
