// Parsers of the expanded box: each turns one tab's report text into columns and rows.
#include "crashreport/ui/qixExceptBox_Text.h"

#include <algorithm>
#include <cctype>

namespace qix {
namespace {

constexpr uint32_t kCrashRow = 0xD0D0FF; // RGB(255,208,208)
constexpr uint32_t kPlusRow = 0xFFF8F0;  // RGB(240,248,255)
constexpr uint32_t kPlainWhite = 0xFFFFFF;
constexpr char kNbsp = static_cast<char>(0xA0);

bool IsHeading(std::string_view line) {
    return line.substr(0, 2) == ">>";
}

bool TrimmedAway(char c) {
    return c != '\t' && static_cast<unsigned char>(c) <= 32;
}

std::string TrimRow(std::string line) {
    size_t b = 0, e = line.size();
    while (b < e && TrimmedAway(line[b]))
        ++b;
    while (e > b && TrimmedAway(line[e - 1]))
        --e;
    return line.substr(b, e - b);
}

std::string RowFromBoundaries(std::string line, const std::vector<size_t>& bounds,
                              size_t columnCount) {
    for (size_t i = 0; i < bounds.size() && i + 1 < columnCount; ++i)
        if (bounds[i] < line.size()) line[bounds[i]] = '\t';
    return TrimRow(std::move(line));
}

} // namespace

std::string BreakMessageLines(std::string_view message) {
    std::string out(message);
    const size_t length = message.size();
    // Walk backwards so that inserted LFs do not move the positions still to visit.
    for (size_t i = length; i-- > 1;) {
        const size_t position = i + 1; // of the blank, counted from 1
        if (message[i] == ' ' && message[i - 1] == '.' && position >= 20 && length >= 10 &&
            position <= length - 10) {
            out[i] = '\r';
            out.insert(i + 1, 1, '\n');
        }
    }
    return out;
}

std::vector<TBoxColumn> ParseColumnSpec(std::string_view layout) {
    std::vector<TBoxColumn> columns;
    size_t start = 0;
    while (true) {
        const size_t bar = layout.find('|', start);
        std::string_view part =
            layout.substr(start, bar == std::string_view::npos ? layout.npos : bar - start);
        TBoxColumn column;
        if (!part.empty() && part[0] == '^') {
            column.uppercase = true;
            part.remove_prefix(1);
        }
        if (!part.empty() && part[0] == ' ') {
            column.alignment = 1;
            part.remove_prefix(1);
        }
        column.caption = std::string(part);
        columns.push_back(column);
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    return columns;
}

std::vector<std::string> SplitReportLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string_view::npos) {
            if (start < text.size()) lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<size_t> AlignedBoundaries(std::vector<std::string>& lines, bool strict) {
    std::vector<size_t> content;
    for (size_t i = 0; i < lines.size(); ++i)
        if (!IsHeading(lines[i]) && !lines[i].empty()) content.push_back(i);
    std::vector<size_t> bounds;
    if (content.empty()) return bounds;
    size_t longest = content[0];
    for (size_t i : content)
        if (lines[i].size() > lines[longest].size()) longest = i;
    const std::string model = lines[longest];
    for (size_t at = 0; at + 2 < model.size(); ++at) {
        const char c = model[at];
        const bool candidate =
            c == ' ' || c == '=' || c == '|' || (c == ':' && model[at + 1] == ' ');
        if (!candidate) continue;
        bool same = true;
        int shows = 0;
        for (size_t i : content) {
            const std::string& line = lines[i];
            if (line.size() <= at) continue;
            if (line[at] != c) {
                same = false;
                break;
            }
            if (i != longest && (c != ' ' || (at + 1 < line.size() && line[at + 1] != ' ')))
                ++shows;
        }
        if (!same) continue;
        if (strict && content.size() > 1 && shows < 2) continue;
        for (size_t i : content)
            if (lines[i].size() > at) lines[i][at] = ' ';
        if (!bounds.empty() && bounds.back() + 1 == at)
            bounds.back() = at;
        else
            bounds.push_back(at);
    }
    return bounds;
}

TBoxTable ParseHeaderTab(std::string_view text) {
    TBoxTable table;
    table.columns = ParseColumnSpec("description|value");
    for (const std::string& line : SplitReportLines(text))
        if (!line.empty()) table.items.push_back({TrimRow(line), 0, false});
    return table;
}

TBoxTable ParseAlignedColumns(std::string_view text, std::string_view columnSpec) {
    TBoxTable table;
    table.columns = ParseColumnSpec(columnSpec);
    std::vector<std::string> lines = SplitReportLines(text);
    const std::vector<size_t> bounds = AlignedBoundaries(lines, true);
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        if (IsHeading(line)) {
            table.items.push_back({line, kPlainWhite, false});
            continue;
        }
        table.items.push_back({RowFromBoundaries(line, bounds, table.columns.size()), 0, false});
    }
    return table;
}

TBoxTable ParseFixedColumns(std::string_view text, std::vector<size_t> breaks,
                            std::string_view columnSpec) {
    TBoxTable table;
    table.columns = ParseColumnSpec(columnSpec);
    for (const std::string& line : SplitReportLines(text)) {
        if (line.empty()) continue;
        if (IsHeading(line)) {
            table.items.push_back({line, kPlainWhite, false});
            continue;
        }
        table.items.push_back({RowFromBoundaries(line, breaks, table.columns.size()), 0, false});
    }
    return table;
}

TBoxTable ParseGenericText(std::string_view text) {
    TBoxTable table;
    table.headerVisible = false;
    std::vector<std::string> lines = SplitReportLines(text);
    int shortLines = 0, longLines = 0;
    for (const std::string& line : lines)
        (line.size() <= 80 ? shortLines : longLines)++;
    if (shortLines + longLines <= 1 || longLines * 5 >= shortLines) return table;
    bool plusMinus = true, anyContent = false;
    for (const std::string& line : lines) {
        if (IsHeading(line) || line.empty()) continue;
        const size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos) continue;
        anyContent = true;
        if (line[first] != '+' && line[first] != '-') plusMinus = false;
    }
    if (plusMinus && anyContent) {
        table.columns.push_back({});
        for (std::string line : lines) {
            if (line.empty()) continue;
            const size_t first = std::min(line.find_first_not_of(' '), line.size());
            for (size_t i = 0; i < first; ++i)
                line[i] = kNbsp;
            const bool plus = first < line.size() && line[first] == '+';
            table.items.push_back({line, plus ? kPlusRow : 0u, false});
        }
        return table;
    }
    const bool tabs = text.find('\t') != std::string_view::npos;
    std::vector<size_t> bounds;
    size_t count = 1;
    if (tabs) {
        for (const std::string& line : lines)
            count = std::max<size_t>(count, 1 + std::count(line.begin(), line.end(), '\t'));
    } else {
        bounds = AlignedBoundaries(lines, true);
        count = bounds.size() + 1;
    }
    table.columns.resize(count);
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        if (IsHeading(line))
            table.items.push_back({line, kPlainWhite, false});
        else
            table.items.push_back(
                {tabs ? TrimRow(line) : RowFromBoundaries(line, bounds, count), 0, false});
    }
    return table;
}

TBoxTable ParseDisassembly(std::string_view text) {
    TBoxTable table;
    std::vector<std::string> lines = SplitReportLines(text);
    size_t d = 0; // marker position counted from 1
    for (const std::string& line : lines) {
        if (IsHeading(line) || line.empty()) continue;
        const size_t at = line.substr(0, 26).find('>');
        if (at != std::string::npos) {
            d = at + 1;
            break;
        }
    }
    std::vector<size_t> breaks;
    if (d >= 11) {
        table.columns = ParseColumnSpec("address|line|asm code|comments");
        breaks = {8, d - 2};
    } else {
        table.columns = ParseColumnSpec("address|asm code|comments");
        breaks = {8};
    }
    for (std::string line : lines) {
        if (line.empty()) continue;
        if (IsHeading(line)) {
            table.items.push_back({line, kPlainWhite, false});
            continue;
        }
        bool crash = false;
        if (d > 0 && d - 1 < line.size()) {
            crash = line[d - 1] == '>';
            if (line[d - 1] == ' ' || crash) line[d - 1] = kNbsp;
        }
        for (size_t b : breaks)
            if (b < line.size() && line[b] == ' ') line[b] = '\t';
        const size_t semi = line.find(';');
        if (semi != std::string::npos) {
            const size_t dash = line.find("; --");
            if (dash != std::string::npos) {
                const size_t first = line.find('-', dash);
                line.erase(first, std::min<size_t>(28, line.size() - first));
            } else {
                for (size_t i = line.find(';'); i != std::string::npos; i = line.find(';', i + 2))
                    line.insert(i, 1, '\t');
            }
        }
        table.items.push_back({TrimRow(line), crash ? kCrashRow : 0u, false});
    }
    return table;
}

} // namespace qix
