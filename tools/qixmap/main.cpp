// qixmap: turns the debug information of a mingw-built executable into map data.
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/analysis/qixPeImage.h"
#include "tools/qixmap/DwarfImport.h"
#include "tools/qixmap/PeEmbed.h"
#include "tools/qixmap/qixMapWriter.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>
#include <zlib.h>

namespace {

const char* const kUsage =
    "usage: qixmap block EXE OUT.qix [--version 2|3] [--reduced]\n"
    "       qixmap text EXE OUT.map\n"
    "       qixmap embed EXE BLOCK.qix [OUT.exe]\n"
    "Reads the DWARF line table and symbols of EXE (through the mingw objdump and nm;\n"
    "override with --objdump PATH and --nm PATH) and writes a compiled map data block, a\n"
    "text map, or puts a block into an executable as resource QIX/EXCEPT.\n";

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string& path, const void* data, size_t size) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), std::streamsize(size));
        if (!out.flush()) {
            std::remove(temp.c_str());
            throw std::runtime_error("cannot write " + path);
        }
    }
    // Keep the mode of the file being replaced (an executable stays executable).
    std::error_code ec;
    const auto mode = std::filesystem::status(path, ec).permissions();
    if (!ec && std::filesystem::exists(path, ec)) std::filesystem::permissions(temp, mode, ec);
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        throw std::runtime_error("cannot replace " + path);
    }
}

int Run(std::vector<std::string> args) {
    qix::TImportTools tools;
    uint32_t version = 3;
    bool reduced = false;
    std::vector<std::string> pos;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::runtime_error(a + " needs a value");
            return args[++i];
        };
        if (a == "--objdump")
            tools.Objdump = value();
        else if (a == "--nm")
            tools.Nm = value();
        else if (a == "--version")
            version = uint32_t(std::stoul(value()));
        else if (a == "--reduced")
            reduced = true;
        else if (a.rfind("--", 0) == 0)
            throw std::runtime_error("unknown option " + a);
        else
            pos.push_back(a);
    }
    if (pos.size() < 3 || (version != 2 && version != 3) || (reduced && version != 3)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string& command = pos[0];
    if (command == "embed") {
        const auto exe = ReadFile(pos[1]);
        const auto block = ReadFile(pos[2]);
        const auto out = qix::EmbedResource(exe, u"QIX", u"EXCEPT", block);
        WriteFile(pos.size() > 3 ? pos[3] : pos[1], out.data(), out.size());
        return 0;
    }
    const auto exe = ReadFile(pos[1]);
    const qix::TPeImage pe(exe, false);
    if (!pe.Valid()) throw std::runtime_error(pos[1] + " is not a PE file");
    const qix::TMapContent content = qix::ImportDebugInfo(pos[1], pe, tools);
    if (content.Lines.empty() && content.Publics.empty())
        throw std::runtime_error(pos[1] + " has no debug information");
    if (command == "text") {
        const auto& s = pe.Sections();
        const std::string text = qix::WriteTextMap(content, s.empty() ? 0 : s[0].VirtualSize);
        WriteFile(pos[2], text.data(), text.size());
        return 0;
    }
    if (command != "block") {
        std::fputs(kUsage, stderr);
        return 2;
    }
    qix::TMapBlockHeader header;
    header.Version = version;
    header.Flags = reduced ? 1 : 0;
    header.IdA = uint32_t(crc32(0L, exe.data(), uInt(exe.size())));
    header.IdB = uint32_t(std::time(nullptr));
    const auto block = qix::BuildMapBlock(content, header);
    WriteFile(pos[2], block.data(), block.size());
    std::printf("%s: %zu units, %zu procedures, %zu lines, %zu bytes\n", pos[2].c_str(),
                content.Segments.size(), content.Publics.size(), content.Lines.size(),
                block.size());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qixmap: %s\n", e.what());
        return 1;
    }
}
