// The stack tracer over the own, live process (Windows only): memory through the guarded
// reader, debug information from the map cache, exports from the loaded images.
#pragma once

#include "crashreport/analysis/qixDisAsmProcessMemory.h"
#include "crashreport/analysis/qixStackTrace.h"

#include <map>
#include <mutex>

namespace qix {

class TProcessTrace : public ITraceProcess {
public:
    const IMemoryReader& Memory() const override { return FMemory; }
    std::shared_ptr<const TMapFile> DebugInfo(const TImageInfo& image) const override;
    TAddress ExportBelow(const TImageInfo& image, TAddress address,
                         std::string& name) const override;
    TAddress EntryPoint(const TImageInfo& image) const override;
    bool OldConsumerWindows() const override;
    TAddress DispatchMessageAddress() const override;

private:
    using TExports = std::map<TAddress, std::string>;
    const TExports& ExportsOf(const TImageInfo& image) const;

    TProcessMemoryReader FMemory;
    mutable std::mutex FLock;
    mutable std::map<TAddress, TExports> FExports; // by module
};

// The process-wide tracer; its module and function caches live as long as the process.
TStackTracer& ProcessStackTracer();

// The stack of a thread of this process: its base (first byte above) from the thread's
// information block; false when it cannot be found.
bool ThreadStackTop(void* thread, TAddress& top);

// Traces a thread from a processor context (an exception's, or a stopped thread's): the
// context gives the stack pointer, frame pointer and current address; the thread gives
// the stack top unless the request has one.
TStackTraceResult TraceContext(const void* context, void* thread, TStackTraceRequest request,
                               std::vector<std::string>* minDebugInfo = nullptr);

// Traces the calling thread from its caller: the stack from the caller's position up, and,
// unless the request names one, the caller's return address as the current address.
TStackTraceResult TraceCurrentThread(TStackTraceRequest request,
                                     std::vector<std::string>* minDebugInfo = nullptr);

} // namespace qix
