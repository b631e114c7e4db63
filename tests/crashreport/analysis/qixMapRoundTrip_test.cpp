// Real data end to end: a 32-bit mingw executable's DWARF goes through qixmap into an embedded
// block, the executable is stripped, and every answer is checked against addr2line on the
// unstripped copy.
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/analysis/qixPeImage.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::string kPrefix = "i686-w64-mingw32-";

struct TPipeCloser {
    void operator()(FILE* f) const { pclose(f); }
};

std::string Shell(const std::string& command, int* status = nullptr) {
    std::unique_ptr<FILE, TPipeCloser> pipe(popen(command.c_str(), "r"));
    std::string out;
    std::array<char, 65536> buf;
    for (size_t n; pipe && (n = fread(buf.data(), 1, buf.size(), pipe.get())) > 0;)
        out.append(buf.data(), n);
    const int rc = pipe ? pclose(pipe.release()) : -1;
    if (status) *status = rc;
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

bool HaveTool(const std::string& name) {
    int status = 0;
    Shell("command -v " + name + " >/dev/null 2>&1", &status);
    return status == 0;
}

struct TOracleAnswer {
    std::string Function, File; // outermost function of the inline chain, and its file
    std::string InnerFile;      // innermost file and line, as the line table gives them
    int Line = 0;
};

std::pair<std::string, int> SplitLocation(std::string where) {
    if (auto d = where.find(" (discriminator"); d != std::string::npos) where.resize(d);
    const auto colon = where.rfind(':');
    return {where.substr(0, colon),
            colon == std::string::npos ? 0 : std::atoi(where.c_str() + colon + 1)};
}

// addr2line -a -f -C -i over many addresses at once; one answer per address.
std::vector<TOracleAnswer> Addr2Line(const fs::path& exe, const std::vector<uint64_t>& addrs) {
    const fs::path list = fs::temp_directory_path() / ("qix_a2l_" + std::to_string(getpid()));
    {
        std::ofstream out(list);
        for (auto a : addrs)
            out << std::hex << "0x" << a << "\n";
    }
    const auto lines = Lines(Shell(kPrefix + "addr2line -a -f -C -i -e '" + exe.string() + "' < '" +
                                   list.string() + "'"));
    fs::remove(list);
    std::vector<TOracleAnswer> answers;
    for (size_t i = 0; i < lines.size();) {
        if (lines[i].rfind("0x", 0) != 0) {
            ++i;
            continue;
        }
        TOracleAnswer a;
        bool first = true;
        for (++i; i + 1 < lines.size() + 1 && i < lines.size() && lines[i].rfind("0x", 0) != 0;
             i += 2) {
            const auto [file, line] = SplitLocation(i + 1 < lines.size() ? lines[i + 1] : "");
            a.Function = lines[i];
            a.File = file;
            if (first) {
                a.Line = line;
                a.InnerFile = file;
            }
            first = false;
        }
        answers.push_back(a);
    }
    return answers;
}

// addr2line names the CU's file for some rows of an out-of-line header function (printf at
// "main.cpp:369"); where the unit disagrees with it, llvm-symbolizer, a second independent
// reader, has the casting vote. Its first frame is the innermost location.
std::string SymbolizerFile(const fs::path& exe, uint64_t address) {
    std::ostringstream cmd;
    cmd << "llvm-symbolizer --obj='" << exe.string() << "' 0x" << std::hex << address
        << " 2>/dev/null";
    const auto lines = Lines(Shell(cmd.str()));
    if (lines.size() < 2) return {};
    std::string where = lines[1];
    for (int k = 0; k < 2; ++k) // path:line:column
        if (const auto colon = where.rfind(':'); colon != std::string::npos) where.resize(colon);
    return where;
}

// addr2line -C prints either a demangled linkage name, a mangled one it failed on (with or
// without its underscore), or the bare DWARF name of the function (a C name loses one leading
// underscore, the i686 symbol prefix). Ours must be the same function in call-stack form.
std::string WithoutTemplateArgs(const std::string& name) {
    std::string out;
    int depth = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name.compare(i, 8, "operator") == 0) {
            // Comparison and shift operators are names, not brackets.
            size_t end = i + 8;
            for (const char* op :
                 {"<=>", "<<=", ">>=", "<<", ">>", "<=", ">=", "==", "!=", "<", ">"})
                if (name.compare(end, std::strlen(op), op) == 0) {
                    end += std::strlen(op);
                    break;
                }
            out += name.substr(i, end - i);
            i = end - 1;
        } else if (name[i] == '<') {
            if (depth++ == 0 && !out.empty() && out.back() == ' ') out.pop_back();
        } else if (name[i] == '>')
            --depth;
        else if (depth == 0)
            out += name[i];
    }
    return out;
}

// Several symbols at one address name one function; addr2line may know it by another of them.
bool IsOtherAlias(const std::string& oracle, const std::vector<std::string>& symbols) {
    if (symbols.size() < 2) return false;
    for (const auto& s : symbols)
        if (s == "_" + oracle || s == "__" + oracle) return true;
    return false;
}

// Spellings that name the same thing: ABI tags, the inline std namespace, std::string, and the
// stdcall byte count of a C name.
std::string Normalize(std::string s) {
    auto replaceAll = [&](const std::string& from, const std::string& to) {
        for (size_t p; (p = s.find(from)) != std::string::npos;)
            s.replace(p, from.size(), to);
    };
    replaceAll("[abi:cxx11]", "");
    replaceAll("std::__cxx11::", "std::");
    replaceAll("std::basic_string<char, std::char_traits<char>, std::allocator<char> >",
               "std::string");
    const auto at = s.rfind('@');
    if (at != std::string::npos && at > 0 && s.find('(') == std::string::npos &&
        s.find_first_not_of("0123456789", at + 1) == std::string::npos)
        s.resize(at);
    return s;
}

bool SameFunction(const std::string& rawOracle, const std::string& ours) {
    std::string oracle = rawOracle;
    if (oracle.rfind("_Z", 0) == 0 || oracle.rfind("Z", 0) == 0) {
        std::string mangled = oracle[0] == '_' ? oracle : "_" + oracle;
        if (const auto at = mangled.rfind('@'); at != std::string::npos) mangled.resize(at);
        const std::string full = Normalize(
            Lines(Shell(kPrefix + "c++filt --no-strip-underscore '" + mangled + "'")).at(0));
        return WithoutTemplateArgs(full).find(WithoutTemplateArgs(ours) + "(") !=
                   std::string::npos ||
               WithoutTemplateArgs(full) == WithoutTemplateArgs(ours);
    }
    oracle = Normalize(oracle);
    if (oracle.find('(') != std::string::npos && oracle.back() == ')' &&
        oracle.find("operator") == std::string::npos)
        return WithoutTemplateArgs(oracle).find(WithoutTemplateArgs(ours) + "(") !=
               std::string::npos;
    // Bare names spell template arguments their own way; compare without them.
    const std::string o = WithoutTemplateArgs(oracle), u = WithoutTemplateArgs(ours);
    return u == o || u == "_" + o || u.ends_with("::" + o) || u.ends_with("::_" + o);
}

std::string BaseName(const std::string& p) {
    return fs::path(p).filename().string();
}

// The test sample (built with inlining off), and the product itself as it ships.
class MapRoundTrip : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!HaveTool(kPrefix + "addr2line") || !HaveTool(kPrefix + "objdump")) {
            GTEST_FAIL() << "oracle missing: " << kPrefix
                         << "addr2line/objdump not installed (scripts/install-deps installs them)";
        }
        const fs::path built = fs::path(QIX_SOURCE_DIR) / "build/win32/bin" / (GetParam() + ".exe");
        if (fs::exists(built) && fs::exists(built.string() + ".debug")) {
            shipped_ = built;
            debug_ = built.string() + ".debug";
        } else if (GetParam() != "qix_mapsample") {
            GTEST_FAIL() << "oracle input missing: " << built
                         << " (and its .debug) not built; build the win32 preset first";
        } else {
            if (!HaveTool(kPrefix + "g++")) {
                GTEST_FAIL() << "oracle missing: no win32 build tree and no " << kPrefix
                             << "g++ to build the sample";
            }
            work_ = fs::temp_directory_path() / ("qix_roundtrip_" + std::to_string(getpid()));
            fs::create_directories(work_);
            debug_ = work_ / "sample.exe.debug";
            shipped_ = work_ / "sample.exe";
            const std::string dir = QIX_SAMPLE_DIR;
            int status = 0;
            Shell(kPrefix + "g++ -g -O1 -fno-inline -static -o '" + debug_.string() + "' '" + dir +
                      "/main.cpp' '" + dir + "/shapes.cpp' 2>&1",
                  &status);
            ASSERT_EQ(status, 0) << "building the sample failed";
            const std::string block = (work_ / "sample.qix").string();
            Shell(std::string(QIXMAP_TOOL) + " block '" + debug_.string() + "' '" + block + "'",
                  &status);
            ASSERT_EQ(status, 0) << "qixmap block failed";
            Shell(kPrefix + "strip --strip-all -o '" + shipped_.string() + "' '" + debug_.string() +
                      "'",
                  &status);
            ASSERT_EQ(status, 0);
            Shell(std::string(QIXMAP_TOOL) + " embed '" + shipped_.string() + "' '" + block + "'",
                  &status);
            ASSERT_EQ(status, 0) << "qixmap embed failed";
        }
        std::ifstream in(shipped_, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), {});
        image_ = std::make_unique<qix::TPeImage>(bytes_, false);
        ASSERT_TRUE(image_->Valid());
        qix::TModuleSource source{
            image_.get(), qix::TAddress(image_->ImageBase()),
            (work_.empty() ? fs::path("/nonexistent/x.exe") : shipped_).string()};
        // Side files must not help: only the embedded block may answer.
        source.FileName = "/nonexistent/sample.exe";
        map_ = std::make_unique<qix::TMapFile>(true, false, source);
    }
    void TearDown() override {
        if (!work_.empty()) fs::remove_all(work_);
    }

    fs::path work_, shipped_, debug_;
    std::vector<uint8_t> bytes_;
    std::unique_ptr<qix::TPeImage> image_;
    std::unique_ptr<qix::TMapFile> map_;
};

TEST_P(MapRoundTrip, ShippedFileCarriesNoDwarfButAValidBlock) {
    const std::string headers = Shell(kPrefix + "objdump -h '" + shipped_.string() + "'");
    EXPECT_EQ(headers.find(".debug_"), std::string::npos);
    EXPECT_TRUE(image_->FindResource(u"QIX", u"EXCEPT").has_value());
    ASSERT_TRUE(map_->Valid());
    EXPECT_GT(map_->PublicCount(), 100);
    EXPECT_GT(map_->LineCount(), 1000);
}

TEST_P(MapRoundTrip, EveryFunctionSymbolResolvesLikeAddr2line) {
    ASSERT_TRUE(map_->Valid());
    std::vector<uint64_t> addrs;
    std::set<uint64_t> seen;
    std::map<uint64_t, std::vector<std::string>> aliases;
    for (const auto& l : Lines(Shell(kPrefix + "nm -n --defined-only '" + debug_.string() + "'"))) {
        std::istringstream f(l);
        std::string a, t, n;
        if (!(f >> a >> t >> n) || (t != "T" && t != "t") || n[0] == '.') continue;
        aliases[std::stoull(a, nullptr, 16)].push_back(n);
        if (seen.insert(std::stoull(a, nullptr, 16)).second)
            addrs.push_back(std::stoull(a, nullptr, 16));
    }
    ASSERT_GT(addrs.size(), 200u);
    const auto oracle = Addr2Line(debug_, addrs);
    ASSERT_EQ(oracle.size(), addrs.size());
    int compared = 0, mismatches = 0;
    std::ostringstream report;
    for (size_t i = 0; i < addrs.size(); ++i) {
        if (oracle[i].Function == "??")
            continue; // no DWARF for this code: addr2line knows nothing to compare against
        ++compared;
        const std::string& full = oracle[i].Function;
        const qix::TMapPublic pub = map_->FindPublic(qix::TAddress(addrs[i]));
        qix::TAddress next = 0;
        const int line = map_->FindLine(qix::TAddress(addrs[i]), next);
        // Ours is the call-stack form: the oracle's name without return type and parameters.
        const bool nameOk = pub.Valid && pub.Address == addrs[i] &&
                            (SameFunction(full, pub.Name) || IsOtherAlias(full, aliases[addrs[i]]));
        const bool lineOk = line == oracle[i].Line;
        // "??": addr2line knows the symbol but has no lines for it; ours has no unit either.
        const std::string file = oracle[i].InnerFile == "??" ? "" : BaseName(oracle[i].InnerFile);
        // Unit and line name one file, inlined headers included.
        const std::string unit = map_->FindSegment(true, qix::TAddress(addrs[i])).UnitName;
        const bool unitOk = unit == file || unit == BaseName(SymbolizerFile(debug_, addrs[i]));
        if (!nameOk || !lineOk || !unitOk) {
            if (++mismatches <= 15)
                report << std::hex << addrs[i] << std::dec << ": oracle " << full << " " << file
                       << ":" << oracle[i].Line << " / ours " << pub.Name << " "
                       << map_->FindSegment(true, qix::TAddress(addrs[i])).UnitName << ":" << line
                       << "\n";
        }
    }
    EXPECT_GT(compared, 100);
    EXPECT_EQ(mismatches, 0) << report.str();
}

TEST_P(MapRoundTrip, SampledLineRowsResolveLikeAddr2line) {
    ASSERT_TRUE(map_->Valid());
    std::vector<uint64_t> rows;
    for (const auto& l :
         Lines(Shell(kPrefix + "objdump --dwarf=decodedline -w '" + debug_.string() + "'"))) {
        std::istringstream f(l);
        std::vector<std::string> tok;
        for (std::string t; f >> t;)
            tok.push_back(t);
        if (tok.size() >= 3 && tok[2].rfind("0x", 0) == 0 && std::isdigit(uint8_t(tok[1][0])))
            rows.push_back(std::stoull(tok[2], nullptr, 16));
    }
    ASSERT_GT(rows.size(), 1000u);
    std::set<uint64_t> unique(rows.begin(), rows.end());
    std::vector<uint64_t> sample;
    size_t k = 0;
    for (auto a : unique)
        if (k++ % 7 == 0) sample.push_back(a);
    const auto oracle = Addr2Line(debug_, sample);
    ASSERT_EQ(oracle.size(), sample.size());
    int mismatches = 0;
    std::ostringstream report;
    for (size_t i = 0; i < sample.size(); ++i) {
        qix::TAddress next = 0;
        const int line = map_->FindLine(qix::TAddress(sample[i]), next);
        const std::string unit = map_->FindSegment(true, qix::TAddress(sample[i])).UnitName;
        const bool unitOk = oracle[i].Line == 0 || unit == BaseName(oracle[i].InnerFile) ||
                            unit == BaseName(SymbolizerFile(debug_, sample[i]));
        if ((line != oracle[i].Line || !unitOk) && ++mismatches <= 15)
            report << std::hex << sample[i] << std::dec << ": oracle " << oracle[i].InnerFile << ":"
                   << oracle[i].Line << " ours " << unit << ":" << line << "\n";
    }
    EXPECT_EQ(mismatches, 0) << sample.size() << " rows sampled\n" << report.str();
}

INSTANTIATE_TEST_SUITE_P(Executables, MapRoundTrip,
                         ::testing::Values(std::string("qix_mapsample"), std::string("Ravelink")),
                         [](const auto& info) { return info.param; });

} // namespace
