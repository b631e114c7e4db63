// Text linker maps.
#include "crashreport/analysis/qixMapFile.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace qix {

namespace {

std::optional<uint32_t> Number(std::string_view line, size_t from, size_t count, int base) {
    if (from > line.size() || line.size() - from < count || count == 0) return std::nullopt;
    uint32_t v = 0;
    const char* b = line.data() + from;
    const auto [end, ec] = std::from_chars(b, b + count, v, base);
    if (ec != std::errc() || end != b + count) return std::nullopt;
    return v;
}

bool At(std::string_view line, size_t col, char c) {
    return col < line.size() && line[col] == c;
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(uint8_t(text[i])) != std::tolower(uint8_t(prefix[i]))) return false;
    return true;
}

enum class TTable { None, Classes, Segments, Publics, Lines };

} // namespace

void TMapFile::ParseTextMap(std::string_view text) {
    indexed_ = false;
    uint32_t codeSize = 0, dataSegment = 2;
    TTable table = TTable::None;
    bool tableStarted = false, firstLineOfTable = true;
    // Which kind a segment number stands for: 1 code, 0 data, -1 skipped.
    auto kindOf = [&](uint32_t seg) {
        return seg == 0 || seg > dataSegment ? -1 : seg < dataSegment;
    };
    auto relOffset = [&](uint32_t seg, uint32_t offset) {
        return seg > 1 && seg < dataSegment ? TAddress(offset) + codeSize : TAddress(offset);
    };
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t lead = line.find_first_not_of(" \t");
        line = lead == std::string_view::npos ? std::string_view() : line.substr(lead);

        if (line.empty()) {
            if (tableStarted || table == TTable::Classes) {
                if (table == TTable::Segments) SortSegments();
                table = TTable::None;
            }
            continue;
        }
        if (line.find("Start         Length     Name                   Class") != line.npos) {
            table = TTable::Classes;
            tableStarted = true;
            continue;
        }
        if (line.find("Detailed map of segments") != line.npos) {
            table = TTable::Segments;
            tableStarted = false;
            continue;
        }
        if (line.find("Publics by Value") != line.npos) {
            table = TTable::Publics;
            tableStarted = false;
            continue;
        }
        if (const auto h = line.find("Line numbers for "); h != line.npos) {
            const auto open = line.find('(', 17);
            table = TTable::None;
            if (open != line.npos && line.find(')', open) != line.npos) {
                table = TTable::Lines;
                tableStarted = false;
                firstLineOfTable = true;
            }
            continue;
        }
        if (line.find("Program entry point at ") != line.npos) {
            if (line.size() >= 36 && At(line, 27, ':'))
                if (const auto off = Number(line, 28, 8, 16)) entryPoint_ = baseOfCode_ + *off;
            continue;
        }
        tableStarted = true;
        switch (table) {
        case TTable::Classes:
            if (line.find(".text") != line.npos && At(line, 4, ':') && At(line, 13, ' ') &&
                At(line, 22, 'H')) {
                if (const auto len = Number(line, 14, 8, 16))
                    codeSize = uint32_t((uint64_t(*len) + 4095) / 4096 * 4096);
            } else if (line.find(".data") != line.npos) {
                if (const auto n = Number(line, 0, 4, 10))
                    dataSegment = *n >= 2 && *n <= 9 ? *n : 2;
            }
            break;
        case TTable::Segments: {
            if (line.size() <= 72 || !At(line, 4, ':') || !At(line, 13, ' ') ||
                !At(line, 22, ' ') || line.substr(23, 2) != "C=")
                break;
            const auto seg = Number(line, 0, 4, 16), start = Number(line, 5, 8, 16),
                       len = Number(line, 14, 8, 16);
            if (!seg || !start || !len || kindOf(*seg) < 0) break;
            // Trailing blanks would otherwise make the alignment field pass for the unit name.
            std::string_view rest = line.substr(0, line.find_last_not_of(' ') + 1);
            rest = rest.substr(0, rest.find_last_of(' '));
            rest = rest.substr(0, rest.find_last_not_of(' ') + 1);
            const auto cut = rest.find_last_of("=\\|");
            AddSegment(kindOf(*seg) == 1, relOffset(*seg, *start), *len,
                       std::string(cut == rest.npos ? rest : rest.substr(cut + 1)), true, false,
                       false);
            break;
        }
        case TTable::Publics: {
            if (line.size() <= 13 || !At(line, 4, ':')) break;
            std::string_view cutLine = line;
            if (cutLine.back() == ')') {
                const auto open = cutLine.rfind('(');
                if (open != cutLine.npos && open >= 13) cutLine = cutLine.substr(0, open);
            }
            const auto blank = cutLine.find_last_of(' ');
            if (blank == cutLine.npos || blank < 12 || blank + 1 >= cutLine.size()) break;
            const auto seg = Number(line, 0, 4, 16), off = Number(line, 5, 8, 16);
            if (!seg || !off || kindOf(*seg) < 0) break;
            const bool isCode = kindOf(*seg) == 1;
            std::string name(cutLine.substr(blank + 1));
            const TAddress rel = relOffset(*seg, *off);
            if (dataSegment > 2) {
                // Looked up by the absolute address, so that the prefix is found whatever the base.
                const TMapSegment s = segments_.empty() ? TMapSegment{} : [&] {
                    const int i =
                        FindSegmentIndex(isCode, rel + (isCode ? baseOfCode_ : baseOfData_));
                    return i < 0 ? TMapSegment{} : segments_[size_t(i)];
                }();
                if (s.Valid && StartsNoCase(name, s.UnitName) && name.size() > s.UnitName.size())
                    name.erase(0, s.UnitName.size() + 1);
            }
            AddPublic(isCode, std::move(name), rel, false);
            break;
        }
        case TTable::Lines: {
            std::vector<TMapLine> found;
            size_t p = 0;
            bool parsed = true;
            while (p < line.size()) {
                const size_t first = line.find_first_not_of(' ', p);
                if (first == line.npos) break;
                const size_t colon = line.find(':', first);
                if (colon == line.npos || line.size() - colon <= 8 || colon < first + 6 ||
                    line[colon - 5] != ' ')
                    break;
                const auto number = Number(line, first, colon - 5 - first, 10);
                const auto seg = Number(line, colon - 4, 4, 16);
                const auto off = Number(line, colon + 1, 8, 16);
                if (!number || !seg || !off) {
                    parsed = false;
                    break;
                }
                if (*seg >= 1 && *seg < dataSegment)
                    found.push_back({int32_t(*number), baseOfCode_ + relOffset(*seg, *off)});
                p = colon + 9;
            }
            if (!parsed) break;
            for (const auto& l : found) {
                if (!firstLineOfTable && !lines_.empty() && l.Address <= lines_.back().Address)
                    continue;
                lines_.push_back(l);
            }
            firstLineOfTable = false;
            break;
        }
        case TTable::None:
            break;
        }
    }
    if (table == TTable::Segments) SortSegments();
}

} // namespace qix
