// The tracer's sample program (tracesample/) as tests and benchmarks see it: its image laid
// out as the loader would, objdump's listing of it, and a process around both.
#pragma once

#include "crashreport/analysis/qixPeImage.h"
#include "crashreport/analysis/qixStackTrace.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qix::tracesample {

namespace fs = std::filesystem;

struct TPipeCloser {
    void operator()(FILE* f) const { pclose(f); }
};

inline std::string Shell(const std::string& command) {
    std::unique_ptr<FILE, TPipeCloser> pipe(popen(command.c_str(), "r"));
    std::string out;
    std::array<char, 65536> buf;
    for (size_t n; pipe && (n = fread(buf.data(), 1, buf.size(), pipe.get())) > 0;)
        out.append(buf.data(), n);
    return out;
}

inline std::string Hex(TAddress a) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", unsigned(a));
    return buf;
}

// What objdump says about the sample: per symbol its instructions, in order.
struct TListing {
    struct TInsn {
        TAddress Address;
        std::string Text;
    };
    std::map<std::string, std::vector<TInsn>> Functions;

    static TListing Read(const std::string& exe) {
        TListing listing;
        std::istringstream in(Shell("i686-w64-mingw32-objdump -d --no-show-raw-insn " + exe));
        const std::regex header(R"(^([0-9a-f]+) <(.+)>:$)");
        const std::regex insn(R"(^\s+([0-9a-f]+):\s+(.*)$)");
        std::vector<TInsn>* current = nullptr;
        std::smatch m;
        for (std::string line; std::getline(in, line);) {
            if (std::regex_match(line, m, header))
                current = &listing.Functions[m[2]];
            else if (current && std::regex_match(line, m, insn))
                current->push_back({TAddress(std::stoul(m[1], nullptr, 16)), m[2]});
        }
        return listing;
    }
    const std::vector<TInsn>& Of(const std::string& symbol) const {
        const auto it = Functions.find(symbol);
        if (it == Functions.end()) throw std::runtime_error("objdump lists no " + symbol);
        return it->second;
    }
    TAddress Start(const std::string& symbol) const { return Of(symbol).front().Address; }
    // The address after the first instruction of `symbol` whose text contains `what`.
    TAddress After(const std::string& symbol, const std::string& what) const {
        const auto& code = Of(symbol);
        for (size_t i = 0; i + 1 < code.size(); ++i)
            if (code[i].Text.find(what) != std::string::npos) return code[i + 1].Address;
        throw std::runtime_error(symbol + " has no " + what);
    }
    TAddress At(const std::string& symbol, const std::string& what) const {
        for (const auto& i : Of(symbol))
            if (i.Text.find(what) != std::string::npos) return i.Address;
        throw std::runtime_error(symbol + " has no " + what);
    }
};

struct TOracleLine {
    std::string Function, File;
    int Line = 0;
};

inline TOracleLine Addr2Line(const std::string& exe, TAddress address) {
    // Without -C: for this target it strips one leading underscore from every name.
    std::istringstream in(Shell("i686-w64-mingw32-addr2line -f -e " + exe + " 0x" + Hex(address)));
    TOracleLine r;
    std::string where;
    std::getline(in, r.Function);
    std::getline(in, where);
    if (r.Function.rfind("_Z", 0) == 0) {
        std::istringstream plain(Shell("c++filt " + r.Function));
        std::getline(plain, r.Function);
    }
    r.Function = r.Function.substr(0, r.Function.find('('));
    // The map reader writes scopes with "." as the other runtime's names do.
    for (size_t at; (at = r.Function.find("::")) != std::string::npos;)
        r.Function.replace(at, 2, ".");
    const size_t colon = where.rfind(':');
    r.File = fs::path(where.substr(0, colon)).filename().string();
    r.Line = std::atoi(where.c_str() + colon + 1);
    return r;
}

const char* const kMain = "_main";
const char* const kLevel[7] = {nullptr,
                               "__ZN6sample6Level1Ei",
                               "__ZN6sample6Level2Ei",
                               "__ZN6sample6Level3Ei",
                               "__ZN6sample6Level4Ei",
                               "__ZN6sample6Level5Ei",
                               "__ZN6sample6Level6Ei"};
const char* const kCallThrough = "__ZN6sample11CallThroughEPFiiEi";
const char* const kJumpThrough = "__ZN6sample11JumpThroughEPFiiEi";

class TSampleProcess : public ITraceProcess {
public:
    TBufferMemoryReader Mem;
    std::map<TAddress, std::shared_ptr<const TMapFile>> Maps;
    std::vector<std::pair<TAddress, std::string>> Exports; // of the copy
    bool ThrowFromExports = false;

    const IMemoryReader& Memory() const override { return Mem; }
    std::shared_ptr<const TMapFile> DebugInfo(const TImageInfo& image) const override {
        const auto it = Maps.find(image.ImageStart);
        return it == Maps.end() ? nullptr : it->second;
    }
    TAddress ExportBelow(const TImageInfo& image, TAddress address,
                         std::string& name) const override {
        if (ThrowFromExports) throw std::runtime_error("export table");
        TAddress best = 0;
        for (const auto& [at, n] : Exports)
            if (at >= image.ImageStart && at <= address && at > best) {
                best = at;
                name = n;
            }
        return best;
    }
};

// One frame of a laid-out stack: the return address into its caller, then its locals.
struct TFrame {
    TAddress Return = 0;
    std::vector<uint32_t> Locals;
};

struct TSample {
    std::string Exe;
    std::vector<uint8_t> Image; // as the loader lays it out
    TImageInfo Info;
    TListing Listing;
    std::shared_ptr<const TMapFile> Map;
    std::string Error;

    static const TSample& Get() {
        static const TSample sample = Load();
        return sample;
    }

    static TSample Load() {
        TSample s;
        s.Exe = QIX_TRACE_SAMPLE;
        std::ifstream in(s.Exe, std::ios::binary);
        const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
        if (file.empty()) {
            s.Error = s.Exe + " is missing: the host build makes it with i686-w64-mingw32-g++";
            return s;
        }
        const TPeImage pe(file, false);
        if (!pe.Valid()) {
            s.Error = s.Exe + " is no PE image";
            return s;
        }
        s.Image.assign(pe.SizeOfImage(), 0);
        std::copy_n(file.begin(), std::min<size_t>(pe.SizeOfHeaders(), file.size()),
                    s.Image.begin());
        for (const TPeSection& sec : pe.Sections())
            for (uint32_t i = 0; i < sec.RawSize && i < sec.VirtualSize; ++i)
                if (sec.RawOffset + i < file.size() && sec.VirtualAddress + i < s.Image.size())
                    s.Image[sec.VirtualAddress + i] = file[sec.RawOffset + i];
        const TAddress base = TAddress(pe.ImageBase());
        s.Info.ImageStart = base;
        s.Info.ImageEnd = base + pe.SizeOfImage();
        s.Info.CodeBegin = base + pe.CodeExtent().Begin;
        s.Info.CodeEnd = base + pe.CodeExtent().End;
        s.Info.DataBegin = base + pe.DataExtent().Begin;
        s.Info.DataEnd = base + pe.DataExtent().End;
        s.Info.ModuleName = "trace_sample.exe";
        s.Info.IsMainModule = true;
        const TPeImage loaded(s.Image, true);
        auto map = std::make_shared<TMapFile>(true, false, TModuleSource{&loaded, base, s.Exe});
        if (!map->Valid() || map->PublicCount() == 0) {
            s.Error = "no debug information next to " + s.Exe + " (trace_sample.qix)";
            return s;
        }
        s.Map = map;
        s.Listing = TListing::Read(s.Exe);
        if (s.Listing.Functions.empty()) s.Error = "i686-w64-mingw32-objdump gave no listing";
        return s;
    }
};

} // namespace qix::tracesample
