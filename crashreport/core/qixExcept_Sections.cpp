#include "crashreport/core/qixExcept_Sections.h"

#include <algorithm>

namespace qix {
namespace {

bool Contains(const std::vector<uint32_t>& ids, uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool IsMachineSection(std::string_view title) {
    return title == kCpuRegistersTitle || title == kStackDumpTitle || title == kDisassemblingTitle;
}

char Printable(uint8_t byte) {
    return byte >= 33 && byte <= 126 ? static_cast<char>(byte) : '.';
}

std::string HexByte(uint8_t byte) {
    static const char kDigits[] = "0123456789abcdef";
    return {kDigits[byte >> 4], kDigits[byte & 15]};
}

// Runs one step; a failure becomes the step's internal-error text.
template <typename Compute>
std::string Guarded(ISectionSource& source, std::string_view step, Compute compute) {
    try {
        return compute();
    } catch (const ELocatedError& error) {
        std::string location;
        try {
            location = source.DescribeAddress(error.Address());
        } catch (...) {
        }
        return InternalErrorText(step, location);
    } catch (...) {
        return InternalErrorText(step);
    }
}

} // namespace

std::string ThreadTitle(uint32_t threadId, const TThreadRegistryEntry* entry,
                        bool registryAvailable, bool forceListed) {
    const std::string plain = "thread " + HexDollar(threadId);
    if (!registryAvailable || !entry) return plain;
    if (entry->name == "-" && !forceListed) return {};
    if (!entry->name.empty() && entry->name != "-")
        return entry->name + " (" + HexDollar(threadId) + ")";
    return entry->className.empty() ? plain : plain + " (" + entry->className + ")";
}

std::vector<TListedThread> ListReportThreads(const TThreadListInput& input) {
    std::vector<TListedThread> listed;
    std::vector<uint32_t> taken;
    if (input.freeze) {
        listed.push_back({input.mainThreadId, false});
    } else {
        listed.push_back({input.crashedThreadId, true});
        if (input.mainThreadId != input.crashedThreadId)
            listed.push_back({input.mainThreadId, false});
    }
    if (!input.listThreads) return listed;
    for (const TListedThread& thread : listed)
        taken.push_back(thread.id);
    for (uint32_t id : input.processThreads) {
        if (id == input.crashedThreadId || id == input.mainThreadId || Contains(taken, id) ||
            Contains(input.helperThreads, id))
            continue;
        listed.push_back({id, false});
        taken.push_back(id);
    }
    return listed;
}

TThreadStackRecord MakeThreadRecord(uint32_t threadId, std::string title, bool crashed,
                                    const TThreadProbe& probe, const TCrashInfo& crash,
                                    const TThreadRegistryEntry* entry, std::string creatorTitle,
                                    const TDescribeAddress& describe) {
    TThreadStackRecord record;
    record.threadId = threadId;
    record.crashed = crashed;
    record.external = crash.external && crashed;
    record.cxxTermination = crash.cxxTermination && crashed;
    if (entry) {
        record.creationAddress = entry->creatorAddress;
        record.creatorThreadId = entry->creatorThreadId;
    }
    if (record.creationAddress) record.creatorTitle = std::move(creatorTitle);
    title += ':';
    const auto description = [&](TAddress address) {
        try {
            return describe ? describe(address) : Hex8(address);
        } catch (...) {
            return Hex8(address);
        }
    };
    if (!probe.contextRead) {
        record.title = std::move(title);
        record.address = crashed ? crash.exceptionAddress : 0;
        record.placeholder = ">> stack not accessible";
        if (crashed)
            record.placeholder +=
                std::string(", exception location: ") + kCrLf + description(crash.exceptionAddress);
        return record;
    }
    if (probe.suspended) title += " <suspended>";
    if (probe.priority != 0) title += " <priority:" + std::to_string(probe.priority) + ">";
    record.title = std::move(title);
    record.accessible = true;
    record.stackTop = probe.stackTop;
    record.stackPointer = probe.stackPointer;
    record.framePointer = probe.framePointer;
    if (crashed) {
        record.address = crash.exceptionAddress;
        if (crash.stackPointer) record.stackPointer = crash.stackPointer;
        if (crash.framePointer) record.framePointer = crash.framePointer;
    } else {
        record.address = probe.instructionPointer;
    }
    record.placeholder =
        description(record.address) + kCrLf + ">> stack " + "will be calculated soon";
    return record;
}

std::vector<std::pair<std::string, std::string>>
PlanSections(const std::vector<TThreadStackRecord>& threads,
             const std::vector<TReportPlugin>& plugins, const TSectionSwitches& switches) {
    std::vector<std::pair<std::string, std::string>> plan;
    for (const TThreadStackRecord& thread : threads)
        plan.emplace_back(thread.title, thread.placeholder);
    for (std::string_view wanted : SplitBar(switches.pluginsSetting))
        for (const TReportPlugin& plugin : plugins)
            if (plugin.isSection && SameText(plugin.name, wanted)) {
                plan.emplace_back(plugin.name, kSectionPlaceholder);
                break;
            }
    if (switches.cpuRegs && switches.haveCrashContext)
        plan.emplace_back(kCpuRegistersTitle, kSectionPlaceholder);
    if (switches.stackDump && switches.haveCrashContext)
        plan.emplace_back(kStackDumpTitle, kSectionPlaceholder);
    if (switches.showDisAsm && switches.disassemblerAvailable)
        plan.emplace_back(kDisassemblingTitle, kSectionPlaceholder);
    return plan;
}

void StorePlaceholders(TIQXFields& sections,
                       const std::vector<std::pair<std::string, std::string>>& plan) {
    sections.Lock();
    try {
        for (const auto& [title, body] : plan)
            sections.SetContents(title, body);
    } catch (...) {
        sections.Unlock();
        throw;
    }
    sections.Unlock();
}

// ---- machine-state texts ----

std::string GetCpuRegisters(const TCpuRegisters& c) {
    const std::pair<const char*, uint32_t> registers[] = {
        {"eax", c.eax}, {"ebx", c.ebx}, {"ecx", c.ecx}, {"edx", c.edx}, {"esi", c.esi},
        {"edi", c.edi}, {"eip", c.eip}, {"esp", c.esp}, {"ebp", c.ebp}};
    std::string text;
    for (const auto& [name, value] : registers) {
        if (!text.empty()) text += kCrLf;
        text += std::string(name) + " = " + Hex8(value);
    }
    return text;
}

std::string GetStackDump(TAddress start, std::span<const uint8_t> bytes) {
    // The end may be the top of the address space, one past the last 32-bit address.
    const uint64_t end = static_cast<uint64_t>(start) + bytes.size();
    std::string text;
    for (uint64_t line = start; line < end && line - start < kStackDumpBytes; line += 16) {
        if (!text.empty()) text += kCrLf;
        text += Hex8(static_cast<uint32_t>(line)) + "  ";
        std::string chars;
        for (uint64_t i = 0; i < 16; ++i) {
            const bool inside = line + i < end;
            if (i == 8) text += inside ? "- " : "  ";
            if (!inside) {
                text += "   ";
                continue;
            }
            const uint8_t byte = bytes[line - start + i];
            text += HexByte(byte) + " ";
            chars += Printable(byte);
        }
        text += " " + chars;
    }
    return text;
}

std::string GetStackDump(const IMemoryReader& memory, TAddress stackPointer) {
    TAddress regionStart = 0, regionLast = 0;
    const uint64_t end = memory.FindRegion(stackPointer, regionStart, regionLast)
                             ? uint64_t{regionLast} + 1
                             : uint64_t{1} << 32;
    uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(end - stackPointer, kStackDumpBytes));
    std::vector<uint8_t> bytes(count);
    while (count > 0 && !TryReadMemory(memory, stackPointer, bytes.data(), count))
        count = count > 16 ? (count - 1) / 16 * 16 : 0;
    return GetStackDump(stackPointer, std::span<const uint8_t>(bytes.data(), count));
}

std::string GetCleartextDisAsm(const TDisAsmContext& context, TAddress functionStart,
                               TAddress crashAddress, bool structured, int32_t lineLimit) {
    if (functionStart == 0) return {};
    TFunctionInfo info;
    return DisassembleFunction(context, functionStart, crashAddress, info, structured, lineLimit);
}

std::string InternalErrorText(std::string_view step, const std::string& location) {
    std::string text = ">> internal error in " + std::string(step);
    if (!location.empty()) text += std::string(":") + kCrLf + location;
    return text;
}

std::string InsertCreatedBy(std::string_view trace, std::string_view creatorTitle) {
    if (trace.empty() || trace.front() == '>') return std::string(trace);
    const std::string line = ">> created by " + std::string(creatorTitle) + " at:" + kCrLf;
    // The last line starts after the last line break that has text behind it.
    std::string_view body = trace;
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n'))
        body.remove_suffix(1);
    const size_t lastBreak = body.find_last_of("\r\n");
    const size_t insertAt = lastBreak == std::string_view::npos ? 0 : lastBreak + 1;
    std::string text(trace);
    text.insert(insertAt, line);
    return text;
}

uint32_t Crc32Update(uint32_t crc, std::span<const uint8_t> bytes) {
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

// ---- completion ----

std::string ThreadReportText(ISectionSource& source, const TThreadStackRecord& thread,
                             TThreadTrace& trace) {
    return Guarded(source, "GetThreadReport", [&] {
        trace = source.TraceThread(thread);
        if (thread.creationAddress == 0 || trace.aborted) return trace.text;
        return InsertCreatedBy(trace.text, thread.creatorTitle);
    });
}

namespace {

TSectionResult FillSections(ISectionSource& source, const std::vector<TThreadStackRecord>& threads,
                            const std::vector<std::pair<std::string, std::string>>& plan,
                            TQXReport& report, const std::atomic<bool>& abort) {
    TSectionResult result;
    const auto stop = [&] { return result.aborted = result.aborted || abort.load(); };
    const auto collect = [&](const TThreadTrace& trace) {
        result.qixEntries.insert(result.qixEntries.end(), trace.qixEntries.begin(),
                                 trace.qixEntries.end());
    };

    // All stacks are captured before the slow analysis: the threads keep running.
    for (const TThreadStackRecord& thread : threads) {
        if (stop()) return result;
        if (!thread.accessible) continue;
        try {
            source.PrepareStack(thread);
        } catch (...) {
        }
    }

    if (!threads.empty() && threads.front().accessible && !stop()) {
        TThreadTrace trace;
        const std::string text = ThreadReportText(source, threads.front(), trace);
        result.checksums = {trace.crashChecksum, trace.stackChecksum, trace.stackChecksum};
        result.crashAddress = trace.crashAddress;
        result.functionStart = trace.functionStart;
        collect(trace);
        if (stop()) return result;
        report.StoreSection(threads.front().title, text);
    }

    const size_t threadCount = std::min(threads.size(), plan.size());
    for (size_t i = threadCount; i < plan.size(); ++i) {
        const std::string& title = plan[i].first;
        if (!IsMachineSection(title)) continue;
        if (stop()) return result;
        std::string text;
        if (title == kCpuRegistersTitle)
            text = Guarded(source, "GetCpuRegisters", [&] { return source.CpuRegistersText(); });
        else if (title == kStackDumpTitle)
            text = Guarded(source, "GetStackDump", [&] { return source.StackDumpText(); });
        else
            text = Guarded(source, "GetCleartextDisAsm", [&] {
                return source.DisAsmText(result.functionStart, result.crashAddress);
            });
        report.StoreSection(title, text);
    }
    for (size_t i = threadCount; i < plan.size(); ++i) {
        const std::string& title = plan[i].first;
        if (IsMachineSection(title)) continue;
        if (stop()) return result;
        report.StoreSection(title,
                            Guarded(source, "plugin", [&] { return source.PluginText(title); }));
    }

    for (size_t i = 1; i < threads.size(); ++i) {
        if (stop()) return result;
        if (!threads[i].accessible) continue;
        TThreadTrace trace;
        const std::string text = ThreadReportText(source, threads[i], trace);
        if (trace.hasLineInfo) {
            const uint32_t v = trace.stackChecksum;
            const uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                      static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
            result.checksums[2] = Crc32Update(result.checksums[2], bytes);
        }
        collect(trace);
        if (stop()) return result;
        report.StoreSection(threads[i].title, text);
    }

    stop();
    return result;
}

} // namespace

TSectionResult CompleteThreadSections(ISectionSource& source,
                                      const std::vector<TThreadStackRecord>& threads,
                                      const std::vector<std::pair<std::string, std::string>>& plan,
                                      TQXReport& report, const std::atomic<bool>& abort) {
    TSectionResult result = FillSections(source, threads, plan, report, abort);
    try {
        source.CloseProgress();
    } catch (...) {
    }
    if (!result.aborted) report.FinishSections(result.checksums, result.qixEntries);
    return result;
}

} // namespace qix
