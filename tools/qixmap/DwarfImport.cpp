#include "tools/qixmap/DwarfImport.h"

#include "crashreport/analysis/qixPeImage.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace qix {

namespace {

struct TPipeCloser {
    void operator()(FILE* f) const { pclose(f); }
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string RunTool(const std::string& command) {
    std::unique_ptr<FILE, TPipeCloser> pipe(popen(command.c_str(), "r"));
    if (!pipe) throw std::runtime_error("cannot run: " + command);
    std::string out;
    std::array<char, 65536> buf;
    for (size_t n; (n = fread(buf.data(), 1, buf.size(), pipe.get())) > 0;)
        out.append(buf.data(), n);
    FILE* raw = pipe.release();
    if (pclose(raw) != 0) throw std::runtime_error("failed: " + command);
    return out;
}

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size())
        s.replace(p, from.size(), to);
}

struct TRow {
    uint64_t Address;
    int32_t Line;
    std::string File; // where the line is: the unit's own source or an inlined header
};

} // namespace

uint64_t ReaderBaseOfCode(const TPeImage& pe) {
    const auto& s = pe.Sections();
    if (!s.empty() && (s[0].Characteristics & PeSectionCode))
        return pe.ImageBase() + s[0].VirtualAddress;
    return pe.ImageBase() + pe.BaseOfCode();
}

std::string DemangleCoffSymbol(const std::string& symbol, bool leadingUnderscore) {
    std::string name = symbol;
    if (leadingUnderscore && !name.empty() && name[0] == '_') name.erase(0, 1);
    // stdcall names (C functions, and C++ window procedures) carry their argument bytes behind
    // the name, before any clone suffix (".cold").
    if (const auto at = name.rfind('@'); at != std::string::npos && at > 0) {
        size_t end = at + 1;
        while (end < name.size() && std::isdigit(uint8_t(name[end])))
            ++end;
        if (end > at + 1 && (end == name.size() || name[end] == '.')) name.erase(at, end - at);
    }
    if (name.rfind("_Z", 0) != 0) return name;
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> out(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    return status == 0 && out ? std::string(out.get()) : name;
}

// Removes ", Default<...>" template arguments that only repeat the library's defaults.
void DropDefaultArgument(std::string& s, const std::string& head) {
    for (size_t p; (p = s.find(", " + head + "<")) != std::string::npos;) {
        size_t i = p + head.size() + 3;
        for (int depth = 1; i < s.size() && depth > 0; ++i)
            depth += s[i] == '<' ? 1 : s[i] == '>' ? -1 : 0;
        s.erase(p, i - p);
    }
}

// Template arguments deeper than `keep` levels become "...".
std::string CollapseTemplates(const std::string& s, int keep) {
    std::string out;
    int depth = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool op = s.compare(i, 9, "operator<") == 0 || s.compare(i, 9, "operator>") == 0;
        if (op) {
            out += s.substr(i, 9);
            i += 8;
            continue;
        }
        if (s[i] == '<' && ++depth == keep + 1) {
            out += "<...";
            continue;
        }
        if (s[i] == '>' && depth-- == keep + 1) {
            out += '>';
            continue;
        }
        if (depth <= keep) out += s[i];
    }
    return out;
}

std::string ShortenName(std::string s) {
    // Compiler clones (.isra.0, .part.1, .constprop.2, .cold) are the function they came from.
    if (const auto p = s.find(" [clone "); p != std::string::npos) s.resize(p);
    for (const char* clone : {".isra.", ".part.", ".constprop.", ".cold"})
        if (const auto p = s.find(clone); p != std::string::npos && p > 0) s.resize(p);
    ReplaceAll(s, "[abi:cxx11]", "");
    ReplaceAll(s, "std::__cxx11::", "std::");
    ReplaceAll(s, "std::basic_string<char, std::char_traits<char>, std::allocator<char> >",
               "std::string");
    for (const char* def :
         {"std::allocator", "std::default_delete", "std::char_traits", "std::less"})
        DropDefaultArgument(s, def);
    ReplaceAll(s, " >", ">");
    // Trailing qualifiers, then the parameter list (matched from its closing parenthesis).
    for (bool again = true; again;) {
        again = false;
        for (const char* q : {" const", " volatile", " &&", " &", " noexcept"})
            if (s.size() > std::strlen(q) && s.ends_with(q)) {
                s.resize(s.size() - std::strlen(q));
                again = true;
            }
    }
    if (!s.empty() && s.back() == ')') {
        int depth = 0;
        for (size_t i = s.size(); i-- > 0;) {
            if (s[i] == ')')
                ++depth;
            else if (s[i] == '(' && --depth == 0) {
                s.resize(i);
                break;
            }
        }
    }
    // A return type ends at the last blank outside template brackets (templates carry one).
    int angle = 0;
    size_t cut = std::string::npos;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 8, "operator") == 0) break;
        if (s[i] == '<')
            ++angle;
        else if (s[i] == '>')
            --angle;
        else if (s[i] == ' ' && angle == 0)
            cut = i;
    }
    if (cut != std::string::npos && s.find('<') != std::string::npos) s.erase(0, cut + 1);
    return s;
}

TMapContent ImportDebugInfo(const std::string& exePath, const TPeImage& pe,
                            const TImportTools& tools) {
    const auto bytes = pe.Bytes();
    const bool pe64 = PeRead16(bytes, size_t(PeRead32(bytes, 0x3C)) + 4) == 0x8664;
    const std::string triple = pe64 ? "x86_64-w64-mingw32-" : "i686-w64-mingw32-";
    const std::string objdump = tools.Objdump.empty() ? triple + "objdump" : tools.Objdump;
    const std::string nm = tools.Nm.empty() ? triple + "nm" : tools.Nm;
    const uint64_t base = ReaderBaseOfCode(pe);
    TMapContent c;

    // Line table: sequences cut into runs of one source file each. Code inlined from a header
    // belongs to that header's unit, so that unit and line always name the same file.
    std::istringstream lines(
        RunTool(objdump + " --dwarf=decodedline -w " + Quote(exePath) + " 2>/dev/null"));
    std::string text, unit;
    std::vector<TRow> sequence;
    std::map<uint64_t, TMapContent::Line> rows; // last row at an address wins, as in addr2line
    auto closeSequence = [&](uint64_t end) {
        if (sequence.empty() || end <= sequence.front().Address) return;
        for (size_t i = 0; i < sequence.size();) {
            size_t j = i + 1;
            while (j < sequence.size() && sequence[j].File == sequence[i].File)
                ++j;
            const uint64_t from = sequence[i].Address;
            const uint64_t to = j < sequence.size() ? sequence[j].Address : end;
            if (to > from)
                c.Segments.push_back({int32_t(from - base), uint32_t(to - from),
                                      sequence[i].File.empty() ? unit : sequence[i].File, 1});
            i = j;
        }
        for (const auto& r : sequence)
            rows[r.Address] = {r.Line, int32_t(r.Address - base)};
        sequence.clear();
    };
    while (std::getline(lines, text)) {
        if (text.rfind("CU: ", 0) == 0) {
            std::string path = text.substr(4);
            if (!path.empty() && path.back() == ':') path.pop_back();
            unit = BaseName(path);
            continue;
        }
        std::istringstream fields(text);
        std::vector<std::string> tok;
        for (std::string t; fields >> t;)
            tok.push_back(t);
        size_t a = 0;
        while (a < tok.size() && tok[a].rfind("0x", 0) != 0)
            ++a;
        if (a < 2 || a >= tok.size()) continue;
        const uint64_t address = std::strtoull(tok[a].c_str(), nullptr, 16);
        if (address < base) continue;
        if (tok[a - 1] == "-") {
            closeSequence(address);
            sequence.clear();
        } else if (std::isdigit(uint8_t(tok[a - 1][0]))) {
            std::string file = tok[0];
            for (size_t k = 1; k + 1 < a; ++k)
                file += " " + tok[k];
            sequence.push_back({address, int32_t(std::atoi(tok[a - 1].c_str())), file});
        }
    }
    for (const auto& [addr, row] : rows)
        c.Lines.push_back(row);
    // Procedures: text symbols of the COFF symbol table.
    std::istringstream syms(RunTool(nm + " -n --defined-only " + Quote(exePath) + " 2>/dev/null"));
    std::map<uint64_t, std::string> publics;
    const uint64_t top = base + [&] {
        const auto& s = pe.Sections();
        return s.empty() ? pe.SizeOfCode() : std::max(s[0].VirtualSize, s[0].RawSize);
    }();
    while (std::getline(syms, text)) {
        std::istringstream fields(text);
        std::string addr, type, name;
        if (!(fields >> addr >> type >> name) || (type != "T" && type != "t")) continue;
        if (name.empty() || name[0] == '.' || name.rfind("L", 0) == 0) continue;
        const uint64_t address = std::strtoull(addr.c_str(), nullptr, 16);
        if (address < base || address >= top || publics.count(address)) continue;
        publics[address] = ShortenName(DemangleCoffSymbol(name, !pe64));
    }
    std::sort(c.Segments.begin(), c.Segments.end(),
              [](const auto& x, const auto& y) { return x.Start < y.Start; });
    // Neighbouring sequences of one unit become one segment, unless a procedure starts in the
    // gap between them: that code has no lines and must not borrow the unit's.
    std::vector<TMapContent::Segment> merged;
    for (const auto& s : c.Segments) {
        const int64_t end =
            merged.empty() ? 0 : int64_t(merged.back().Start) + merged.back().Length;
        const auto inGap = publics.lower_bound(base + uint64_t(std::max<int64_t>(end, 0)));
        if (!merged.empty() && merged.back().Unit == s.Unit && end + 16 >= s.Start &&
            end <= s.Start && (inGap == publics.end() || inGap->first >= base + uint64_t(s.Start)))
            merged.back().Length = uint32_t(s.Start + s.Length - merged.back().Start);
        else
            merged.push_back(s);
    }
    c.Segments = std::move(merged);

    for (const auto& [addr, name] : publics)
        c.Publics.push_back({name, int32_t(addr - base)});
    if (pe.EntryPoint() != 0) c.EntryPoint = int32_t(pe.ImageBase() + pe.EntryPoint() - base);
    return c;
}

} // namespace qix
