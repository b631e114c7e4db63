// qixinspect lookup FILE ADDRESS...: unit, procedure and line of code addresses, from the
// file's embedded map data block or its side files (.tds, .map, .qix, .jdbg).
#if __has_include("tools/qixinspect/Lookup.h")
#include "tools/qixinspect/Lookup.h"
#else
int RunLookup(int argc, char** argv);
#endif

#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/analysis/qixPeImage.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool ParseAddress(std::string text, uint64_t& value) {
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) text.erase(0, 2);
    if (text.empty() || text.size() > 16 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 16);
    return true;
}

} // namespace

int RunLookup(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    // Accept being called with or without the program name in front of the command.
    while (!args.empty() && args.front() != "lookup" && args.size() > 1 && args[1] == "lookup")
        args.erase(args.begin());
    if (!args.empty() && args.front() == "lookup") args.erase(args.begin());
    if (args.size() < 2) {
        std::fputs("usage: qixinspect lookup FILE ADDRESS...\n"
                   "Prints unit, procedure and line for each hexadecimal address.\n",
                   stderr);
        return 2;
    }
    const std::string& file = args[0];
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "qixinspect: cannot open %s\n", file.c_str());
        return 1;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    const qix::TPeImage pe(bytes, false);
    qix::TModuleSource source;
    source.FileName = file;
    if (pe.Valid()) {
        source.Image = &pe;
        source.Module = qix::TAddress(pe.ImageBase());
    }
    const qix::TMapFile map(true, false, source);
    if (!map.Valid()) {
        std::fprintf(stderr, "qixinspect: %s: no debug information found\n", file.c_str());
        return 1;
    }
    int status = 0;
    for (size_t i = 1; i < args.size(); ++i) {
        uint64_t address = 0;
        if (!ParseAddress(args[i], address)) {
            std::fprintf(stderr, "qixinspect: not a hexadecimal address: %s\n", args[i].c_str());
            status = 2;
            continue;
        }
        qix::TAddressInfo info;
        qix::GetAddressInfo(map, qix::TAddress(address), info);
        std::printf("%08llx", static_cast<unsigned long long>(address));
        if (info.PublicName.empty() && info.UnitName.empty()) {
            std::printf(" ???\n");
            continue;
        }
        std::printf(" %s %s+0x%llx", info.UnitName.empty() ? "?" : info.UnitName.c_str(),
                    info.PublicName.empty() ? "?" : info.PublicName.c_str(),
                    static_cast<unsigned long long>(address - info.PublicAddress));
        if (info.Line > 0) std::printf(" line %d", info.Line);
        std::printf("\n");
    }
    return status;
}
