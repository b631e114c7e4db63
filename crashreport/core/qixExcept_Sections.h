// Thread sections of the bug report: titles from the thread registry, the order of
// the listed threads, placeholders, "cpu registers", "stack dump", "disassembling", and
// the completion that replaces the placeholders. Threads, contexts and the stack
// tracer are reached through ISectionSource, so this part is Windows-free.
#pragma once

#include "crashreport/analysis/qixDisAsm.h"
#include "crashreport/core/qixExcept_Report.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qix {

inline constexpr const char* kSectionPlaceholder = ">> will be calculated soon";
inline constexpr const char* kCpuRegistersTitle = "cpu registers";
inline constexpr const char* kStackDumpTitle = "stack dump";
inline constexpr const char* kDisassemblingTitle = "disassembling";

// One thread as the registry knows it.
struct TThreadRegistryEntry {
    std::string name; // "-" hides the thread
    std::string className;
    uint32_t creatorThreadId = 0;
    TAddress creatorAddress = 0;
};

// nullptr `entry`: not registered. `registryAvailable` false: the registry could not be
// read in time. Returns "" for a hidden thread unless `forceListed` (the crashed thread,
// or a creator being named).
std::string ThreadTitle(uint32_t threadId, const TThreadRegistryEntry* entry,
                        bool registryAvailable, bool forceListed);

struct TThreadListInput {
    uint32_t crashedThreadId = 0;
    uint32_t mainThreadId = 0;
    bool freeze = false;
    bool listThreads = true;
    std::vector<uint32_t> processThreads; // in the order the system lists them
    std::vector<uint32_t> helperThreads;  // the handling thread and the watchdog
};

struct TListedThread {
    uint32_t id = 0;
    bool crashed = false;
};

// The crashed thread (the main thread for a freeze), the main thread, then the others.
std::vector<TListedThread> ListReportThreads(const TThreadListInput& input);

// What opening a thread gave.
struct TThreadProbe {
    bool contextRead = false;
    bool suspended = false;
    int priority = 0;
    TAddress instructionPointer = 0, stackPointer = 0, framePointer = 0;
    TAddress stackTop = 0;
};

struct TCrashInfo {
    TAddress exceptionAddress = 0;
    TAddress stackPointer = 0, framePointer = 0; // of the crash context; 0 when absent
    bool external = false;                       // a processor or system exception
    bool cxxTermination = false;
};

struct TThreadStackRecord {
    uint32_t threadId = 0;
    std::string title; // with ":" and the state marks
    bool accessible = false;
    bool crashed = false;
    bool external = false;
    bool cxxTermination = false;
    TAddress address = 0;
    TAddress stackPointer = 0, stackTop = 0, framePointer = 0;
    TAddress creationAddress = 0;
    uint32_t creatorThreadId = 0;
    std::string creatorTitle;
    std::string placeholder;
};

using TDescribeAddress = std::function<std::string(TAddress)>;

// The share of a thread in the progress alert: its stack size times 100.
inline uint64_t ProgressWeight(const TThreadStackRecord& thread) {
    return thread.stackTop > thread.stackPointer
               ? uint64_t{thread.stackTop - thread.stackPointer} * 100
               : 0;
}

// `title` is the registry title (not empty); `describe` gives DescribeAddress lines.
TThreadStackRecord MakeThreadRecord(uint32_t threadId, std::string title, bool crashed,
                                    const TThreadProbe& probe, const TCrashInfo& crash,
                                    const TThreadRegistryEntry* entry, std::string creatorTitle,
                                    const TDescribeAddress& describe);

struct TSectionSwitches {
    bool cpuRegs = true, stackDump = true, showDisAsm = true;
    bool haveCrashContext = false;
    bool disassemblerAvailable = true;
    std::string pluginsSetting;
};

// Section titles in report order with their placeholder texts.
std::vector<std::pair<std::string, std::string>>
PlanSections(const std::vector<TThreadStackRecord>& threads,
             const std::vector<TReportPlugin>& plugins, const TSectionSwitches& switches);
void StorePlaceholders(TIQXFields& sections,
                       const std::vector<std::pair<std::string, std::string>>& plan);

// ---- machine-state texts ----

struct TCpuRegisters {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0, esi = 0, edi = 0, eip = 0, esp = 0, ebp = 0;
};

std::string GetCpuRegisters(const TCpuRegisters& context);
// `bytes` are the readable bytes from `start` to the end of their region.
std::string GetStackDump(TAddress start, std::span<const uint8_t> bytes);
inline constexpr uint32_t kStackDumpBytes = 20 * 16;
// The same from memory: up to the end of the region that holds `stackPointer` (the top
// of the address space when it cannot be queried); unreadable lines end the dump.
std::string GetStackDump(const IMemoryReader& memory, TAddress stackPointer);
// Empty with an unknown function start.
std::string GetCleartextDisAsm(const TDisAsmContext& context, TAddress functionStart,
                               TAddress crashAddress, bool structured, int32_t lineLimit);

// A failure whose address is known, so its internal-error text can name the place.
class ELocatedError : public std::runtime_error {
public:
    ELocatedError(const std::string& what, TAddress address)
        : std::runtime_error(what), address_(address) {}
    TAddress Address() const { return address_; }

private:
    TAddress address_;
};

// ">> internal error in STEP" and, with a known place, ":" CRLF and its description.
std::string InternalErrorText(std::string_view step, const std::string& location = {});
// ">> created by TITLE at:" before the last line (the creation address's line).
std::string InsertCreatedBy(std::string_view trace, std::string_view creatorTitle);

// CRC-32 update with the reflected table, no inversions.
uint32_t Crc32Update(uint32_t crc, std::span<const uint8_t> bytes);

// ---- completion ----

struct TThreadTrace {
    std::string text;
    uint32_t crashChecksum = 0, stackChecksum = 0;
    TAddress functionStart = 0, crashAddress = 0;
    bool hasLineInfo = false;
    bool aborted = false;
    std::vector<std::string> qixEntries; // name|value
};

// The Windows side: thread stacks, the tracer, the crash context, plug-ins, progress.
class ISectionSource {
public:
    virtual ~ISectionSource() = default;
    // The quick candidate list of one thread, taken before any slow analysis.
    virtual void PrepareStack(const TThreadStackRecord& thread) = 0;
    virtual TThreadTrace TraceThread(const TThreadStackRecord& thread) = 0;
    virtual std::string DescribeAddress(TAddress address) = 0;
    virtual std::string CpuRegistersText() = 0;
    virtual std::string StackDumpText() = 0;
    virtual std::string DisAsmText(TAddress functionStart, TAddress crashAddress) = 0;
    virtual std::string PluginText(std::string_view name) = 0;
    virtual void CloseProgress() = 0;
};

struct TSectionResult {
    std::array<uint32_t, 3> checksums{};
    TAddress crashAddress = 0, functionStart = 0;
    std::vector<std::string> qixEntries;
    bool aborted = false;
};

// One thread's section body (GetThreadReport).
std::string ThreadReportText(ISectionSource& source, const TThreadStackRecord& thread,
                             TThreadTrace& trace);

// Replaces the placeholders of `plan` in order; stops early once `abort` is set, and
// finishes the report (checksums, ".qix" lines, complete) when all were done. The
// progress alert is closed either way.
TSectionResult CompleteThreadSections(ISectionSource& source,
                                      const std::vector<TThreadStackRecord>& threads,
                                      const std::vector<std::pair<std::string, std::string>>& plan,
                                      TQXReport& report, const std::atomic<bool>& abort);

} // namespace qix
