// Prints the listing described by a golden-case input file (see golden/README).
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "crashreport/analysis/qixDisAsm.h"

namespace {

using namespace qix;

TAddress Hex(const std::string& text) {
    return static_cast<TAddress>(std::stoul(text, nullptr, 16));
}

struct TCase {
    TBufferMemoryReader Memory;
    TDisAsmContext Context;
    std::map<TAddress, int> Lines;
    std::map<TAddress, std::string> Names;
    TAddress Entry = 0, Mark = 0;
    int Limit = 0;
    bool Structured = true;
};

bool Read(const char* path, TCase& c) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line, word;
    TAddress regionBase = 0;
    std::vector<uint8_t> bytes;
    auto flush = [&] {
        if (!bytes.empty()) c.Memory.AddRegion(regionBase, bytes);
        bytes.clear();
    };
    while (std::getline(in, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        if (!(words >> word)) continue;
        if (word == "region") {
            flush();
            std::string base;
            words >> base;
            regionBase = Hex(base);
            while (words >> word)
                bytes.push_back(static_cast<uint8_t>(Hex(word)));
        } else if (word == "bytes") {
            while (words >> word)
                bytes.push_back(static_cast<uint8_t>(Hex(word)));
        } else if (word == "image") {
            std::string start, end, name, kind;
            words >> start >> end >> name >> kind;
            TImageInfo image;
            image.ImageStart = image.CodeBegin = Hex(start);
            image.ImageEnd = image.CodeEnd = Hex(end);
            image.ModuleName = name;
            image.IsMainModule = kind == "main";
            c.Memory.AddImage(image);
        } else if (word == "export" || word == "name") {
            std::string at, name;
            words >> at >> name;
            if (word == "export")
                c.Memory.AddExport(Hex(at), name);
            else
                c.Names[Hex(at)] = name;
        } else if (word == "line") {
            std::string at;
            int number = 0;
            words >> at >> number;
            c.Lines[Hex(at)] = number;
        } else if (word == "routine") {
            std::string kind, at;
            words >> kind >> at;
            TRuntimeRoutines& r = c.Context.Routines;
            TAddress a = Hex(at);
            if (kind == "finally") r.HandleFinally = a;
            if (kind == "any") r.HandleAnyException = a;
            if (kind == "on") r.HandleOnException = a;
            if (kind == "auto") r.HandleAutoException = a;
            if (kind == "cxx") r.CxxHandler = a;
            if (kind == "noreturn") r.NoReturn.push_back(a);
        } else if (word == "entry" || word == "mark") {
            words >> word;
            (line.rfind("entry", 0) == 0 ? c.Entry : c.Mark) = Hex(word);
        } else if (word == "limit") {
            words >> c.Limit;
        } else if (word == "structured") {
            words >> c.Structured;
        }
    }
    flush();
    return true;
}

} // namespace

int main(int argc, char** argv) {
    TCase c;
    if (argc != 2 || !Read(argv[1], c)) {
        std::fprintf(stderr, "usage: qixDisAsmGolden CASE.in\n");
        return 2;
    }
    c.Context.Memory = &c.Memory;
    if (!c.Lines.empty())
        c.Context.Hooks.LineNumber = [&](TAddress a) {
            auto it = c.Lines.upper_bound(a);
            return it == c.Lines.begin() ? 0 : std::prev(it)->second;
        };
    if (!c.Names.empty())
        c.Context.Hooks.ProcedureName = [&](TAddress a) {
            auto it = c.Names.find(a);
            return it == c.Names.end() ? std::string() : it->second;
        };
    TFunctionInfo info;
    std::string text = DisassembleFunction(c.Context, c.Entry, c.Mark, info, c.Structured, c.Limit);
    for (char ch : text)
        if (ch != '\r') std::putchar(ch);
    std::printf(
        "\n;; valid=%d begin=%08x length=%d copy=%d hookable=%d areas=%zu far=%zu unknown=%zu\n",
        info.IsValid, info.CodeBegin, info.CodeLength, info.CopySize, info.IsHookable,
        info.CodeAreas.size(), info.FarCalls.size(), info.UnknownTargets.size());
    return 0;
}
