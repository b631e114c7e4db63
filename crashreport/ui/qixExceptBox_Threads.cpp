// The call-stack parser (threads measured one by one), the choice of parser per tab and
// the small arithmetic of the box.
#include "crashreport/ui/qixExceptBox_Text.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace qix {
namespace {

bool IsHeading(std::string_view line) {
    return line.substr(0, 2) == ">>";
}
bool IsContent(std::string_view line) {
    return !line.empty() && !IsHeading(line);
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32)
        --e;
    return std::string(s.substr(b, e - b));
}

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameNoCase(text.substr(0, prefix.size()), prefix);
}

// Roles of a call-stack line's columns, in header order.
enum TRole { kRel, kModule, kUnit, kLine, kLineOffset, kFunction, kRoleCount };
constexpr std::array<const char*, kRoleCount> kRoleCaptions = {"^ rel.", "module", "unit",
                                                               " line",  " rel.",  "function"};

struct TPiece {
    size_t begin = 0, end = 0;  // line range
    std::vector<size_t> bounds; // after blanking
    std::array<int, kRoleCount> role{-1, -1, -1, -1, -1, -1};
    int columns = 0; // cells after the address
};

std::vector<std::string> PieceCells(const std::string& line, const TPiece& piece) {
    std::vector<std::string> cells;
    size_t start = 0;
    for (size_t b : piece.bounds) {
        cells.push_back(start < line.size() ? Trim(line.substr(start, b - start)) : "");
        start = b + 1;
    }
    cells.push_back(start < line.size() ? Trim(line.substr(start)) : "");
    return cells;
}

// Column texts of one column (1 = first after the address) without trimming the start.
std::string RawCell(const std::string& line, const TPiece& piece, int column) {
    const size_t start = column == 0 ? 0 : piece.bounds[column - 1] + 1;
    const size_t end =
        column < static_cast<int>(piece.bounds.size()) ? piece.bounds[column] : line.size();
    if (start >= line.size()) return {};
    std::string cell = line.substr(start, std::min(end, line.size()) - start);
    while (!cell.empty() && cell.back() == ' ')
        cell.pop_back();
    return cell;
}

template <typename Test>
bool EveryContentLine(const std::vector<std::string>& lines, const TPiece& piece, Test test) {
    bool any = false;
    for (size_t i = piece.begin; i < piece.end; ++i) {
        if (!IsContent(lines[i])) continue;
        any = true;
        if (!test(lines[i])) return false;
    }
    return any;
}

void AssignRoles(const std::vector<std::string>& lines, TPiece& piece) {
    const int n = piece.columns;
    if (n < 1) return;
    const bool rel = EveryContentLine(lines, piece, [&](const std::string& line) {
        const std::string cell = Trim(RawCell(line, piece, 1));
        return cell.size() > 1 && cell[0] == '+' &&
               std::all_of(cell.begin() + 1, cell.end(),
                           [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    });
    int next = 1;
    if (rel) piece.role[kRel] = next++;
    if (next <= n) piece.role[kModule] = next++;
    for (int c = rel ? 4 : 3; c <= n; ++c) {
        const bool digits = EveryContentLine(lines, piece, [&](const std::string& line) {
            const std::string cell = RawCell(line, piece, c);
            size_t i = cell.find_first_not_of(' ');
            return i != std::string::npos && std::all_of(cell.begin() + i, cell.end(), [](char ch) {
                       return std::isdigit(static_cast<unsigned char>(ch));
                   });
        });
        if (!digits) continue;
        piece.role[kLine] = c;
        piece.role[kUnit] = c - 1;
        if (n - c >= 2) {
            piece.role[kLineOffset] = c + 1;
            piece.role[kFunction] = c + 2;
        } else if (n - c == 1) {
            piece.role[kFunction] = c + 1;
        }
        return;
    }
    for (int c = rel ? 3 : 2; c <= n; ++c) {
        const bool names = EveryContentLine(lines, piece, [&](const std::string& line) {
            const std::string cell = Trim(RawCell(line, piece, c));
            if (cell.empty() || StartsNoCase(cell, "public") || StartsNoCase(cell, "segment"))
                return true;
            if (!(std::isalpha(static_cast<unsigned char>(cell[0])) || cell[0] == '_'))
                return false;
            return std::all_of(cell.begin(), cell.end(), [](char ch) {
                return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '.';
            });
        });
        if (!names) continue;
        if (n - c + 1 == 2) {
            piece.role[kUnit] = c;
            piece.role[kFunction] = c + 1;
        } else {
            piece.role[kFunction] = c;
        }
        return;
    }
}

std::vector<TPiece> CutPieces(const std::vector<std::string>& lines) {
    std::vector<TPiece> pieces;
    size_t start = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        // i starts a heading run that follows content and is followed by content.
        if (IsContent(lines[i]) || !IsContent(lines[i - 1])) continue;
        size_t j = i;
        while (j < lines.size() && !IsContent(lines[j]))
            ++j;
        if (j == lines.size() || lines[i].rfind(">> created", 0) == 0) continue;
        pieces.push_back({start, i, {}, {-1, -1, -1, -1, -1, -1}, 0});
        start = i;
    }
    pieces.push_back({start, lines.size(), {}, {-1, -1, -1, -1, -1, -1}, 0});
    return pieces;
}

} // namespace

TBoxTable ParseThreadList(std::string_view text) {
    TBoxTable table;
    std::vector<std::string> lines = SplitReportLines(text);
    std::vector<TPiece> pieces = CutPieces(lines);
    std::array<bool, kRoleCount> present{};
    for (TPiece& piece : pieces) {
        std::vector<std::string> own(lines.begin() + piece.begin, lines.begin() + piece.end);
        piece.bounds = AlignedBoundaries(own, false);
        std::copy(own.begin(), own.end(), lines.begin() + piece.begin);
        piece.columns = static_cast<int>(piece.bounds.size());
        AssignRoles(lines, piece);
        for (int r = 0; r < kRoleCount; ++r)
            present[r] = present[r] || piece.role[r] >= 0;
    }
    std::string layout = "^address";
    for (int r = 0; r < kRoleCount; ++r)
        if (present[r]) layout += std::string("|") + kRoleCaptions[r];
    table.columns = ParseColumnSpec(layout);
    const bool internalStart = text.substr(0, 17) == ">> internal error";
    for (const TPiece& piece : pieces) {
        for (size_t i = piece.begin; i < piece.end; ++i) {
            const std::string& line = lines[i];
            if (!IsContent(line)) {
                const bool title = i == 0 ? !internalStart : lines[i - 1].empty() && !line.empty();
                table.items.push_back({line, 0xFFFFFF, title});
                continue;
            }
            const std::vector<std::string> cells = PieceCells(line, piece);
            std::string row = cells[0];
            for (int r = 0; r < kRoleCount; ++r) {
                if (!present[r]) continue;
                row += '\t';
                const int c = piece.role[r];
                if (c < 0 || c >= static_cast<int>(cells.size())) continue;
                row += cells[c];
                // Cells past the function belong to it.
                if (r == kFunction)
                    for (size_t k = c + 1; k < cells.size(); ++k)
                        row += " " + cells[k];
            }
            table.items.push_back({row, 0, false});
        }
    }
    return table;
}

TBoxTable ParseTabContent(int tabIndex, std::string_view sectionName, std::string_view content,
                          TContentFont& font) {
    font = TContentFont::Normal;
    if (content.substr(0, 10) == ">> will be") return ParseGenericText(content);
    if (content.substr(0, 11) == ">> internal") return ParseThreadList(content);
    if (tabIndex == 0) return ParseHeaderTab(content);
    if (tabIndex == 1) return ParseThreadList(content);
    if (SameNoCase(sectionName, "modules"))
        return ParseAlignedColumns(content, "^handle|file name| version|path");
    if (SameNoCase(sectionName, "processes"))
        return ParseAlignedColumns(content, "^id|file name|priority|path");
    font = TContentFont::Fixed;
    if (SameNoCase(sectionName, "cpu registers"))
        return ParseAlignedColumns(content, "reg.|content");
    if (SameNoCase(sectionName, "stack dump"))
        return ParseFixedColumns(content, {9, 60}, "address|data - hexadecimal|data - chars");
    if (SameNoCase(sectionName, "disassembling")) return ParseDisassembly(content);
    font = TContentFont::Normal;
    return ParseGenericText(content);
}

int ThreadSectionCount(const std::vector<std::string>& sectionNames) {
    int count = 0;
    while (count < static_cast<int>(sectionNames.size()) &&
           sectionNames[count].find('$') != std::string::npos)
        ++count;
    return std::max(count, 1);
}

std::vector<std::string> WantedTabCaptions(const std::vector<std::string>& sectionNames) {
    const int threads = ThreadSectionCount(sectionNames);
    std::vector<std::string> tabs = {"general", threads > 1 ? "call stacks" : "call stack"};
    for (size_t i = threads; i < sectionNames.size(); ++i) {
        const std::string& name = sectionNames[i];
        tabs.push_back(SameNoCase(name, "cpu registers")   ? "cpu regs"
                       : SameNoCase(name, "disassembling") ? "disasm"
                                                           : name);
    }
    return tabs;
}

int32_t CountdownX(uint32_t elapsedMs, int32_t width, int32_t delaySeconds, bool classic) {
    const int64_t delay = delaySeconds;
    const int64_t span = classic ? width - 11 : width;
    return static_cast<int32_t>((int64_t(elapsedMs) * span + delay * 500) / (delay * 1000) +
                                (classic ? 5 : 0));
}

int32_t CountdownEnd(int32_t width, bool classic) {
    return classic ? width - 6 : width;
}

int32_t ButtonWidth(int32_t textWidth, bool visible, bool messageBoxMode) {
    if (!visible) return 0;
    const int32_t width = textWidth + 39;
    return messageBoxMode && width < 75 ? 79 : width;
}

} // namespace qix
