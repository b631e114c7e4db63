// Duplicate folding keeps one report per crash site with a count; the size limit drops
// the oldest whole reports.
#include "crashreport/ui/qixExceptBox_File.h"

#include <cstdio>

namespace qix {
namespace {

constexpr std::string_view kDateLine = "date/time";

// Header lines run from `start` to the first empty line.
std::string_view HeaderBlock(std::string_view text) {
    const size_t end = text.find("\r\n\r\n");
    return end == std::string_view::npos ? text : text.substr(0, end);
}

// Offset of the line holding header `name`, or npos.
size_t HeaderLine(std::string_view header, std::string_view name) {
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find("\r\n", start);
        if (end == std::string_view::npos) end = header.size();
        const std::string_view line = header.substr(start, end - start);
        if (line.substr(0, name.size()) == name) {
            size_t i = name.size();
            while (i < line.size() && line[i] == ' ')
                ++i;
            if (line.substr(i, 2) == ": " || line.substr(i) == ":") return start;
        }
        start = end + 2;
    }
    return std::string_view::npos;
}

bool ReportStartAt(std::string_view text, size_t at) {
    return text.substr(at, kDateLine.size()) == kDateLine &&
           (at == 0 || (at >= 2 && text.substr(at - 2, 2) == "\r\n"));
}

bool SameHeader(std::string_view a, std::string_view b, std::string_view name) {
    return ReportHeaderValue(a, name).value_or("") == ReportHeaderValue(b, name).value_or("");
}

bool IsDuplicate(std::string_view old, std::string_view report) {
    for (std::string_view name : {"executable", "current module", "exception class", "version"})
        if (!SameHeader(old, report, name)) return false;
    if (ReportHeaderValue(report, "version").value_or("").empty())
        for (std::string_view name : {"exec. date/time", "module date/time"})
            if (!SameHeader(old, report, name)) return false;
    return true;
}

std::string WithCount(std::string_view report, int count) {
    const std::string_view header = HeaderBlock(report);
    const size_t crcLine = HeaderLine(header, "callstack crc");
    size_t lineEnd = report.find("\r\n", crcLine);
    if (lineEnd == std::string_view::npos) lineEnd = report.size();
    const size_t colon = report.find(':', crcLine) - crcLine;
    std::string line = "\r\ncount";
    line.append(colon > 5 ? colon - 5 : 0, ' ');
    line += ": " + std::to_string(count);
    std::string out(report);
    out.insert(lineEnd, line);
    return out;
}

std::string FoldDuplicate(std::string& content, std::string_view report, size_t prefix) {
    const std::string needle = ": " + ReportHeaderValue(report, "callstack crc")->substr(0, prefix);
    size_t from = content.size();
    while (from > 0) {
        const size_t hit = content.rfind(needle, from - 1);
        if (hit == std::string::npos) break;
        from = hit;
        size_t start = hit;
        while (start > 0 && !ReportStartAt(content, start))
            --start;
        if (!ReportStartAt(content, start)) break;
        size_t end = content.find(std::string("\r\n") + std::string(kDateLine), hit);
        end = end == std::string::npos ? content.size() : end + 2;
        const std::string_view old = std::string_view(content).substr(start, end - start);
        if (!IsDuplicate(old, report)) continue;
        int count = 1;
        if (auto value = ReportHeaderValue(old, "count")) count = std::atoi(value->c_str());
        if (count < 1) count = 1;
        std::string folded = WithCount(report, count + 1);
        content.erase(start, end - start);
        return folded;
    }
    return std::string(report);
}

} // namespace

std::optional<std::string> ReportHeaderValue(std::string_view text, std::string_view name) {
    const std::string_view header = HeaderBlock(text);
    const size_t line = HeaderLine(header, name);
    if (line == std::string_view::npos) return std::nullopt;
    size_t end = header.find("\r\n", line);
    if (end == std::string_view::npos) end = header.size();
    const size_t colon = header.find(':', line + name.size());
    if (colon >= end) return std::string();
    size_t begin = colon + 1;
    if (begin < end && header[begin] == ' ') ++begin;
    return std::string(header.substr(begin, end - begin));
}

std::string ComposeBugReportFile(std::string_view existing, std::string_view report,
                                 const TBugFileRules& rules) {
    std::string newReport(report);
    if (!rules.append) return newReport + "\r\n\r\n";
    std::string content(existing);
    const auto crc = ReportHeaderValue(report, "callstack crc");
    if (!content.empty() && crc && crc->size() == 31) {
        const bool exception = ReportHeaderValue(report, "exception class").has_value();
        const bool fold = exception ? rules.noDupExcepts : rules.noDupFreezes;
        const int32_t def = exception ? rules.dupExceptDef : rules.dupFreezeDef;
        if (fold) newReport = FoldDuplicate(content, report, def == 0 ? 9 : def == 1 ? 20 : 31);
    }
    if (rules.sizeLimit > 0 && content.size() > static_cast<size_t>(rules.sizeLimit)) {
        const size_t keep = static_cast<size_t>(rules.sizeLimit) / 4 * 3;
        size_t cut = content.size();
        for (size_t at = content.find(kDateLine); at != std::string::npos;
             at = content.find(kDateLine, at + 1))
            if (ReportStartAt(content, at) && at > 0 && content.size() - at < keep) {
                cut = at;
                break;
            }
        content.erase(0, cut);
    }
    return content + newReport + "\r\n\r\n";
}

} // namespace qix
