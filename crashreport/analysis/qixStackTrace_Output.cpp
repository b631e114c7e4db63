// The stack tracer's output: names and lines per item, the text with its columns, the call-stack
// checksums, internal-error texts, and the tracer object that runs the phases.
#include "crashreport/analysis/qixStackTraceInternal.h"
#include "crashreport/ui/qixProgressAlert.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

namespace qix {

uint32_t ChecksumUpdate(uint32_t value, const void* data, size_t size) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i)
        value = table[(value ^ p[i]) & 0xFF] ^ (value >> 8);
    return value;
}

namespace trace {

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Hex(uint32_t value, int width = 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*x", width, value);
    return buf;
}

std::string Demangled(std::string name) {
    std::string unit;
    DemangleSymbol(name, unit);
    return name;
}

std::string PadRight(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string PadLeft(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// The frames that the C++ throw of our runtime leaves above the code that threw.
bool IsThrowName(const std::string& name) {
    return name == "__cxa_throw" || name == "__cxa_rethrow" || name == "_Unwind_RaiseException" ||
           name == "std::rethrow_exception" || name == "_ThrowExceptionLDTC" ||
           name == "_ReThrowException";
}

// The exception handlers that a prepared stack of an exception starts in.
bool IsHandlerName(const std::string& name) {
    return name == "__ExceptionHandler" || name == "_gnu_exception_handler" ||
           name == "__mingw_SEH_error_handler" || name == "UnhandledExceptionFilter";
}

} // namespace

std::string Hex8(TAddress value) {
    return Hex(uint32_t(value), 8);
}

std::string DescribeAddress(TTraceCaches& caches, TAddress address, bool showRelAddr,
                            bool showRelLine) {
    std::string text = Hex8(address);
    const int32_t m = caches.ModuleOf(address);
    const TModule* module = m >= 0 ? &caches.Module(m) : nullptr;
    const TMapPublic* pub = module && module->Map ? module->Map->PublicAt(address) : nullptr;
    if (!pub) {
        if (showRelAddr) text += " +0";
        return text + " ???";
    }
    const TMapFile& map = *module->Map;
    if (showRelAddr) text += " +" + Hex(uint32_t(address - pub->Address));
    const TMapSegment* segment = map.SegmentAt(true, address);
    text += " " + module->Image.ModuleName + " " + (segment ? segment->UnitName : "") + " ";
    TAddress next = 0;
    const int32_t line = map.FindLine(address, next);
    if (line > 0) text += std::to_string(line) + " ";
    if (showRelLine) {
        const int32_t first = map.FindLine(pub->Address, next);
        text += line > 0 && first > 0 ? "+" + std::to_string(line - first) + " " : "+0 ";
    }
    return text + Demangled(pub->Name);
}

void TTraceRun::FillFinalOutput() {
    bool first = true;
    for (size_t k = FItems.size(); k-- > 0;) {
        TItem& item = FItems[k];
        if (item.Invalid) continue;
        FFaultAddress = item.Address;
        const TLink* approved = nullptr;
        for (const TLink& l : item.Down)
            if (l.Function >= 0 && Fn(l.Function).Approved) {
                approved = &l;
                break;
            }
        if (approved) {
            const TFunction& f = Fn(approved->Function);
            item.OutAddress = approved->CallSite;
            item.ProcName = Demangled(f.Name);
            item.ProcStart = f.Info.EntryPoint;
        } else {
            item.OutAddress = item.Address;
            for (const TLink& l : item.Down)
                if (l.CallSite) {
                    item.OutAddress = l.CallSite;
                    break;
                }
        }
        const TModule* module = item.Module >= 0 ? &Mod(item.Module) : nullptr;
        item.ModuleName = module ? module->Image.ModuleName : "???";
        if (module && module->Map) {
            const TMapFile& map = *module->Map;
            if (item.ProcName.empty())
                if (const TMapPublic* pub = map.PublicAt(item.OutAddress); pub && pub->IsCode) {
                    item.ProcName = Demangled(pub->Name);
                    item.ProcStart = pub->Address;
                }
            if (const TMapSegment* segment = map.SegmentAt(true, item.OutAddress))
                item.UnitName = segment->UnitName;
            TAddress next = 0;
            item.Line = map.FindLine(item.OutAddress, next);
            item.RelLine = std::max(item.Line, 0);
            if (FRequest.ShowRelLines && item.Line > 0 && item.ProcStart) {
                const int32_t procLine = map.FindLine(item.ProcStart, next);
                if (procLine > 0) {
                    item.RelLine = item.Line - procLine;
                    item.HasRelLine = true;
                }
            }
            if (FMinDebugInfo && !map.MinDebugInfo().empty())
                for (const std::string* name : {&item.UnitName, &item.ProcName}) {
                    if (name->empty()) continue;
                    const std::string entry = map.MinDebugInfo() + "|" + *name;
                    if (std::find(FMinDebugInfo->begin(), FMinDebugInfo->end(), entry) ==
                        FMinDebugInfo->end())
                        FMinDebugInfo->push_back(entry);
                }
        }
        if (first) FResult.CrashAddress = item.OutAddress;
        first = false;
    }
    // Hidden frames: those of the C++ throw when it ended in std::terminate, and those of
    // the exception dispatch above the handler of a prepared stack.
    std::vector<size_t> order; // newest first
    for (size_t k = FItems.size(); k-- > 0;)
        if (!FItems[k].Invalid) order.push_back(k);
    if (FRequest.CxxTermination)
        for (size_t i = order.size(); i-- > 0;)
            if (IsThrowName(FItems[order[i]].ProcName)) {
                for (size_t j = 0; j <= i; ++j)
                    FItems[order[j]].Hidden = true;
                break;
            }
    const bool topAdded = !order.empty() && FItems[order.front()].Top;
    if (FRequest.Prepared && topAdded)
        for (size_t i = order.size(); i-- > 0;)
            if (IsHandlerName(FItems[order[i]].ProcName)) {
                for (size_t j = 1; j <= i; ++j)
                    FItems[order[j]].Hidden = true;
                for (size_t j = i + 1; j < order.size(); ++j)
                    if (!FItems[order[j]].ProcName.empty()) {
                        if (FItems[order[j]].ProcName == "KiUserExceptionDispatcher")
                            FItems[order[j]].Hidden = true;
                        break;
                    }
                break;
            }
}

void TTraceRun::ComposeResult() {
    std::vector<int32_t> printed;
    TAddress previous = 0;
    bool havePrevious = false;
    for (size_t k = FItems.size(); k-- > 0;) {
        const TItem& item = FItems[k];
        if (item.Invalid || item.Hidden) continue;
        const bool ugly = FRequest.HideUglyItems && item.RelLine <= 0;
        const bool print =
            item.Forced || (item.Creation && k == 0) ||
            (!item.ProcName.empty() && !ugly && !(havePrevious && item.OutAddress == previous));
        if (!print) continue;
        printed.push_back(int32_t(k));
        previous = item.OutAddress;
        havePrevious = true;
    }
    // First pass: column widths and the crashing function.
    size_t offsetWidth = 1, moduleWidth = 0, unitWidth = 0, lineWidth = 0, relWidth = 0;
    const TItem* crashing = nullptr;
    const TItem* crashingNoLine = nullptr;
    for (int32_t k : printed) {
        const TItem& item = FItems[size_t(k)];
        if (item.ProcStart)
            offsetWidth =
                std::max(offsetWidth, Hex(uint32_t(item.OutAddress - item.ProcStart)).size());
        moduleWidth = std::max(moduleWidth, item.ModuleName.size());
        unitWidth = std::max(unitWidth, item.UnitName.size());
        if (item.Line > 0) {
            lineWidth = std::max(lineWidth, std::to_string(item.Line).size());
            const std::string rel =
                item.HasRelLine ? "+" + std::to_string(item.RelLine) : std::to_string(item.Line);
            relWidth = std::max(relWidth, rel.size());
        }
        if (item.ProcStart && item.Line > 0 && !crashing) crashing = &item;
        if (item.ProcStart && !crashingNoLine) crashingNoLine = &item;
    }
    if (!crashing) crashing = crashingNoLine;
    if (crashing) {
        FResult.CrashProcStart = crashing->ProcStart;
        FResult.CrashProcAddress = crashing->OutAddress;
    }
    std::string text;
    for (int32_t k : printed) {
        const TItem& item = FItems[size_t(k)];
        std::string line = Hex8(item.OutAddress) + " ";
        const uint32_t offset = item.ProcStart ? uint32_t(item.OutAddress - item.ProcStart) : 0;
        if (FRequest.ShowRelAddrs) line += "+" + Hex(offset, int(offsetWidth)) + " ";
        line += PadRight(item.ModuleName, moduleWidth + 1);
        line += PadRight(item.UnitName, unitWidth + 1);
        if (lineWidth)
            line += PadLeft(item.Line > 0 ? std::to_string(item.Line) : "", lineWidth) + " ";
        if (FRequest.ShowRelLines && relWidth) {
            std::string rel;
            if (item.Line > 0)
                rel = item.HasRelLine ? "+" + std::to_string(item.RelLine)
                                      : std::to_string(item.Line);
            line += PadLeft(rel, relWidth) + " ";
        }
        line += item.ProcName;
        if (!text.empty()) text += "\r\n";
        text += line;
        FResult.HasLineNumbers |= item.Line > 0;
        TStackTraceItem out;
        out.Address = item.OutAddress;
        out.Offset = offset;
        out.ModuleName = item.ModuleName;
        out.UnitName = item.UnitName;
        out.Line = std::max(item.Line, 0);
        out.RelLine = item.RelLine;
        out.ProcName = item.ProcName;
        FResult.Items.push_back(std::move(out));
    }
    FResult.Text = std::move(text);
    if (FRequest.WantChecksums) Checksums(printed);
}

void TTraceRun::Checksums(const std::vector<int32_t>& printed) {
    bool first = true;
    for (int32_t k : printed) {
        const TItem& item = FItems[size_t(k)];
        uint32_t v = uint32_t(item.OutAddress);
        const bool named = item.ProcStart && item.Module >= 0;
        if (named && !item.ProcName.empty()) {
            v = uint32_t(item.OutAddress - item.ProcStart);
            for (const std::string* part : {&item.ModuleName, &item.UnitName, &item.ProcName}) {
                if (part->empty()) continue;
                const std::string lower = Lower(*part);
                v = ChecksumUpdate(v, lower.data(), lower.size());
            }
        }
        if (first) {
            FResult.Checksums[0] = FResult.Checksums[1] = v;
            first = false;
        } else {
            const uint8_t bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16),
                                      uint8_t(v >> 24)};
            FResult.Checksums[1] = ChecksumUpdate(FResult.Checksums[1], bytes, 4);
        }
    }
}

TStackTraceResult TTraceRun::Run() {
    const TStackTraceRequest& r = FRequest;
    if (r.StackTop > r.StackBottom) {
        // A stack larger than this is no stack of ours.
        if (r.StackTop - r.StackBottom > (256u << 20)) return {};
        FStack.resize(r.StackTop - r.StackBottom);
        if (!Memory().Read(r.StackBottom, FStack.data(), uint32_t(FStack.size()))) return {};
    } else if (!r.Prepared) {
        return {};
    }
    FSnapshot = BeginTryRead(Memory());
    static const char* const kPhaseNames[] = {"CollectPossibleStackItems",
                                              "RemoveRecursiveStackAreas",
                                              "InDeepChecks",
                                              "RealizeOptimalLinkChains",
                                              "RemoveRecursiveAreas",
                                              "FillFinalOutput",
                                              "ComposeResult"};
    auto runPhase = [this](size_t phase) {
        switch (phase) {
        case 0:
            return CollectPossibleStackItems();
        case 1:
            return RemoveRecursiveStackAreas();
        case 2:
            return InDeepChecks();
        case 3:
            return RealizeOptimalLinkChains();
        case 4:
            return RemoveRecursiveAreas();
        case 5:
            return FillFinalOutput();
        default:
            return ComposeResult();
        }
    };
    for (size_t i = 0; i < std::size(kPhaseNames); ++i) {
        if (i == 3 && r.PlainTrace) continue;
        // An abort keeps what was found: the output phases still run.
        if (i < 5 && Aborted()) continue;
        FFaultAddress = 0;
        try {
            if (i == 4) Progress(1000);
            runPhase(i);
            if (i == 0) Progress(25);
            if (i == 2) Progress(650);
        } catch (...) {
            auto describe = [&](TAddress a) {
                try {
                    return DescribeAddress(FCaches, a, r.ShowRelAddrs, r.ShowRelLines);
                } catch (...) {
                    return Hex8(a) + " ???";
                }
            };
            std::string text = std::string(">> internal error in ") + kPhaseNames[i];
            if (FFaultAddress) text += ":\r\n" + describe(FFaultAddress);
            if (r.IsException && r.CurrentAddress)
                text += "\r\n>> original exception location: " + describe(r.CurrentAddress);
            FResult = {};
            FResult.Text = std::move(text);
            break;
        }
    }
    EndTryRead(FSnapshot);
    return std::move(FResult);
}

} // namespace trace

TStackTracer::TStackTracer(const ITraceProcess& process)
    : FCaches(std::make_unique<trace::TTraceCaches>(process)) {}

TStackTracer::~TStackTracer() = default;

TStackTraceResult TStackTracer::Trace(const TStackTraceRequest& request,
                                      std::vector<std::string>* minDebugInfo) {
    trace::TTraceRun run(*FCaches, request, minDebugInfo);
    return run.Run();
}

std::string TStackTracer::DescribeAddress(TAddress address, bool showRelAddr, bool showRelLine) {
    try {
        return trace::DescribeAddress(*FCaches, address, showRelAddr, showRelLine);
    } catch (...) {
        return trace::Hex8(address) + " ???";
    }
}

} // namespace qix
