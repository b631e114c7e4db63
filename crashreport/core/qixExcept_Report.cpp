#include "crashreport/core/qixExcept_Report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace qix {
namespace {

std::string Digits(int64_t value, int width) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*lld", width, static_cast<long long>(value));
    return buffer;
}

std::string Plural(int64_t count, const char* unit) {
    std::string text = std::to_string(count) + " " + unit;
    if (count != 1) text += 's';
    return text;
}

std::string Pair(int64_t first, const char* firstUnit, int64_t second, const char* secondUnit) {
    std::string text;
    if (first != 0) text = Plural(first, firstUnit);
    if (second != 0) {
        if (!text.empty()) text += ' ';
        text += Plural(second, secondUnit);
    }
    return text;
}

// v hundredths with the separator before the last two digits.
std::string Hundredths(uint64_t value, std::string_view separator) {
    return std::to_string(value / 100) + std::string(separator) + Digits(value % 100, 2);
}

std::string_view FileNamePart(std::string_view path) {
    const size_t slash = path.find_last_of("\\/:");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string DiskText(const TDiskSpace& disk, std::string_view separator) {
    if (disk.drive == 0) return {};
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(disk.drive)));
    return std::string("(") + letter + ":) " + SizeText(disk.freeBytes, separator);
}

std::string VersionText(const TFileVersion& version) {
    if (std::all_of(version.begin(), version.end(), [](uint16_t part) { return part == 0; }))
        return {};
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
           std::to_string(version[2]) + "." + std::to_string(version[3]);
}

uint64_t RoundedMegaBytes(uint64_t bytes) {
    return (bytes + 524288) / 1048576;
}

bool LooksLikeClassName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name.front() == ' ' || name.back() == ' ')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        const auto code = static_cast<unsigned char>(c);
        return code >= 32 && code < 127;
    });
}

// Namespaces do not count: fw::Exception and std::exception carry messages too.
bool CarriesMessage(const std::string& className) {
    const size_t colon = className.rfind("::");
    const std::string_view name = colon == std::string::npos
                                      ? std::string_view(className)
                                      : std::string_view(className).substr(colon + 2);
    return SameText(name, "QixException") || SameText(name, "Exception");
}

// Collects header lines; a value whose computation throws is left out.
class THeaderCollector {
public:
    template <typename Compute> void Add(std::string name, Compute compute) {
        try {
            std::optional<std::string> value = compute();
            if (value) lines_.push_back({std::move(name), std::move(*value)});
        } catch (...) {
        }
    }
    template <typename Compute> void AddNamed(Compute compute) {
        try {
            std::optional<THeaderLine> line = compute();
            if (line) lines_.push_back(std::move(*line));
        } catch (...) {
        }
    }
    std::vector<THeaderLine>& Lines() { return lines_; }

private:
    std::vector<THeaderLine> lines_;
};

template <typename T, typename Format>
std::optional<std::string> Map(const std::optional<T>& value, Format format) {
    if (!value) return std::nullopt;
    return format(*value);
}

} // namespace

std::string HexDollar(uint64_t value, int width) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "$%0*llx", std::clamp(width, 1, 16),
                  static_cast<unsigned long long>(value));
    return buffer;
}

std::string Hex8(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08x", static_cast<unsigned>(value));
    return buffer;
}

std::string ReportDateTimeText(const TLocalTime& t) {
    return Digits(t.year, 4) + "-" + Digits(t.month, 2) + "-" + Digits(t.day, 2) + ", " +
           Digits(t.hour, 2) + ":" + Digits(t.minute, 2) + ":" + Digits(t.second, 2) + ", " +
           std::to_string(t.millisecond) + "ms";
}

std::string FileDateTimeText(const TLocalTime& t) {
    return Digits(t.year, 4) + "-" + Digits(t.month, 2) + "-" + Digits(t.day, 2) + " " +
           Digits(t.hour, 2) + ":" + Digits(t.minute, 2);
}

std::string UpTimeText(int64_t seconds) {
    const int64_t s = std::max<int64_t>(seconds, 0);
    const int64_t days = s / 86400, hours = s / 3600 % 24, minutes = s / 60 % 60;
    if (days > 0) return Pair(days, "day", hours, "hour");
    if (hours > 0) return Pair(hours, "hour", minutes, "minute");
    return Pair(minutes, "minute", s % 60, "second");
}

std::string SizeText(uint64_t bytes, std::string_view separator) {
    constexpr uint64_t kKilo = 1024, kMega = kKilo * 1024, kGiga = kMega * 1024;
    if (bytes < kKilo) return std::to_string(bytes) + " Bytes";
    if (bytes < kMega) return Hundredths(bytes * 100 / kKilo, separator) + " KB";
    if (bytes < kGiga) return Hundredths(bytes / kKilo * 100 / kKilo, separator) + " MB";
    return Hundredths(bytes / kMega * 100 / kKilo, separator) + " GB";
}

std::string OsName(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t build) {
    if (platformId == kPlatformWin9x) {
        if (major < 4) return "None";
        if (major > 4 || minor > 90) return "Windows 9x New";
        build &= 0xffff;
        if (minor < 10) return build <= 1000 ? "Windows 95" : "Windows 95 OSR-2";
        if (minor == 10) {
            if (build <= 2000) return "Windows 98";
            return build <= 2700 ? "Windows 98 SE" : "Windows ME";
        }
        return "Windows ME";
    }
    if (platformId == kPlatformNT) {
        if (major < 4) return "Windows NT 3";
        if (major == 4) return "Windows NT 4";
        if (major == 5 && minor == 0) return "Windows 2000";
        if (major == 5 && minor == 1) return "Windows XP";
        if (major == 5 && minor == 2) return "Windows 2003";
        return "Windows NT New";
    }
    return "None";
}

// ---- the raised object ----

bool PassesValidityTest(const TRaisedObjectInfo& object) {
    if (!object.present || object.classChain.empty() || object.classChain.size() > 64) return false;
    return std::all_of(object.classChain.begin(), object.classChain.end(),
                       [](const std::string& name) { return LooksLikeClassName(name); });
}

std::string ObjectClassName(const TRaisedObjectInfo& object) {
    return PassesValidityTest(object) ? object.classChain.front() : "Unknown";
}

std::string RawObjectMessage(const TRaisedObjectInfo& object) {
    std::string raw = ObjectClassName(object);
    if (PassesValidityTest(object) &&
        std::any_of(object.classChain.begin(), object.classChain.end(), CarriesMessage))
        raw = object.message.value_or(std::string());
    std::string kept;
    for (char c : raw)
        if (static_cast<unsigned char>(c) >= 32 || c == '\r' || c == '\n') kept += c;
    kept = TrimControl(kept);
    return kept.empty() ? "Unknown" : kept;
}

std::string FormatObjectMessage(std::string_view raw) {
    const size_t last = raw.find_last_not_of(std::string_view(".!\0", 3));
    std::string text(last == std::string_view::npos ? std::string_view() : raw.substr(0, last + 1));
    return text + ".";
}

// ---- header ----

TExceptionCounter& ProcessExceptionCounter() {
    static TExceptionCounter counter;
    return counter;
}

THeaderLines ComposeHeaderLines(const TReportSystemInfo& sys, const THeaderInput& input,
                                TExceptionCounter& counter) {
    const std::string& sep = sys.decimalSeparator;
    THeaderCollector c;
    c.Add("date/time", [&] { return Map(sys.now, ReportDateTimeText); });
    c.Add("computer name", [&] { return sys.computerName; });
    c.Add("wts client name", [&] { return sys.wtsClientName; });
    c.Add("user name", [&] {
        return Map(sys.userName, [&](const std::string& name) {
            return sys.userIsAdmin ? name + "  <admin>" : name;
        });
    });
    c.Add("operating system", [&] {
        return Map(sys.os, [](const TOsVersion& os) {
            std::string text = OsName(os.platformId, os.major, os.minor, os.build);
            if (!TrimControl(os.servicePack).empty()) text += " " + os.servicePack;
            const uint32_t build = os.platformId == kPlatformWin9x ? os.build & 0xffff : os.build;
            return text + " build " + std::to_string(build);
        });
    });
    c.Add("system language", [&] { return sys.systemLanguage; });
    c.Add("system up time", [&] {
        return Map(sys.performanceCounter, [](const std::pair<int64_t, int64_t>& counter) {
            if (counter.second <= 0) throw std::domain_error("no counter frequency");
            return UpTimeText(counter.first / counter.second);
        });
    });
    c.Add("program up time", [&] {
        return Map(sys.programMilliseconds, [](int64_t ms) {
            ms = std::max<int64_t>(ms, 0);
            std::string text = UpTimeText(ms / 1000);
            return text.empty() ? std::to_string(ms) + " milliseconds" : text;
        });
    });
    c.AddNamed([&]() -> std::optional<THeaderLine> {
        if (!sys.processorName) return std::nullopt;
        const std::string name = TrimControl(*sys.processorName);
        if (sys.processorCount <= 1) return THeaderLine{"processor", name};
        return THeaderLine{"processors",
                           name.empty() ? "" : std::to_string(sys.processorCount) + "x " + name};
    });
    c.Add("physical memory", [&] {
        return Map(sys.physicalMemory, [](const std::pair<uint64_t, uint64_t>& memory) {
            return std::to_string(RoundedMegaBytes(memory.first)) + "/" +
                   std::to_string(RoundedMegaBytes(memory.second)) + " MB (free/total)";
        });
    });
    c.Add("system resources", [&] {
        return Map(sys.freeResources, [](const std::pair<int, int>& free) {
            return Digits(free.first, 2) + "/" + Digits(free.second, 2) + " (gdi/user)";
        });
    });
    c.Add("free disk space", [&]() -> std::optional<std::string> {
        if (!sys.windowsDisk) return std::nullopt;
        std::string text = DiskText(*sys.windowsDisk, sep);
        if (sys.executableDisk) {
            const std::string other = DiskText(*sys.executableDisk, sep);
            if (!text.empty() && !other.empty()) text += " ";
            text += other;
        }
        return text;
    });
    c.Add("display mode", [&] {
        return Map(sys.display, [](const TDisplayMode& mode) {
            return std::to_string(mode.width) + "x" + std::to_string(mode.height) + ", " +
                   std::to_string(mode.bitsPerPixel * mode.planes) + " bit";
        });
    });
    c.Add("process id",
          [&] { return Map(sys.processId, [](uint32_t id) { return HexDollar(id); }); });
    c.Add("allocated memory",
          [&] { return Map(sys.allocatedBytes, [&](uint64_t n) { return SizeText(n, sep); }); });
    c.Add("command line", [&] { return sys.commandLine; });
    c.Add("executable", [&] {
        return Map(sys.executablePath,
                   [](const std::string& path) { return std::string(FileNamePart(path)); });
    });
    c.Add("current module", [&] {
        return Map(sys.currentModule,
                   [](const std::string& path) { return std::string(FileNamePart(path)); });
    });
    c.Add(sys.fileTimeOfExecutable ? "exec. date/time" : "module date/time",
          [&] { return Map(sys.fileTime, FileDateTimeText); });
    c.Add("version", [&]() -> std::optional<std::string> {
        if (sys.versionVar && !sys.versionVar->empty()) return sys.versionVar;
        return Map(sys.fileVersion, VersionText);
    });
    c.Add("bde version", [&] { return Map(sys.bdeVersion, VersionText); });
    c.Add("qixExcept version", [] { return std::optional<std::string>(kQixExceptVersion); });
    for (std::string_view wanted : SplitBar(input.pluginsSetting)) {
        for (const TReportPlugin& plugin : input.plugins) {
            if (plugin.isSection || !SameText(plugin.name, wanted) || !plugin.text) continue;
            c.Add(plugin.name, [&] { return std::optional<std::string>(plugin.text()); });
            break;
        }
    }

    THeaderLines result;
    result.addPosition = static_cast<int>(c.Lines().size()) - 1;
    c.Add("callstack crc", [] { return std::optional<std::string>("will be calculated soon"); });
    c.Add("exception number",
          [&] { return std::optional<std::string>(std::to_string(counter.Next())); });
    if (input.kind == TReportKind::Freeze) {
        c.Add("exception message", [&] { return std::optional<std::string>(input.frozenMessage); });
    } else {
        c.Add("exception class",
              [&] { return std::optional<std::string>(ObjectClassName(input.object)); });
        c.Add("exception message", [&]() -> std::optional<std::string> {
            const std::string raw = RawObjectMessage(input.object);
            if (raw == ObjectClassName(input.object)) return std::nullopt;
            return FormatObjectMessage(raw);
        });
    }
    result.lines = std::move(c.Lines());
    return result;
}

void StoreHeaderLines(TIQXFields& header, const THeaderLines& lines) {
    header.Lock();
    try {
        for (const auto& [name, value] : lines.lines)
            if (!TrimControl(value).empty()) header.SetContents(name, value);
        header.SetAddPosition(lines.addPosition);
    } catch (...) {
        header.Unlock();
        throw;
    }
    header.Unlock();
}

std::string CallstackCrcText(const std::array<uint32_t, 3>& checksums) {
    return HexDollar(checksums[0], 8) + ", " + HexDollar(checksums[1], 8) + ", " +
           HexDollar(checksums[2], 8);
}

std::vector<std::string_view> SplitBar(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('|', start), text.size());
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

} // namespace qix
