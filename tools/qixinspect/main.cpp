// qixinspect: runs the crash library's analysis code on PE files at build time and in tests.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "crashreport/analysis/qixDisAsm.h"
#include "tools/qixinspect/Lookup.h"
#include "tools/qixinspect/InspectImage.h"

namespace {

using namespace qix;

int Usage() {
    std::fprintf(stderr, "usage: qixinspect disasm FILE\n"
                         "       qixinspect function FILE ADDRESS\n"
                         "       qixinspect lookup FILE ADDRESS...\n");
    return 2;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct TLoaded {
    inspect::TInspectImage Image;
    TBufferMemoryReader Memory;
    TDisAsmContext Context;
};

bool Load(const std::string& path, TLoaded& loaded) {
    std::string error;
    if (!loaded.Image.Load(path, error)) {
        std::fprintf(stderr, "qixinspect: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    loaded.Image.MapInto(loaded.Memory, BaseName(path));
    loaded.Context.Memory = &loaded.Memory;
    const auto& symbols = loaded.Image.Symbols();
    // COFF names carry a leading underscore on this target.
    loaded.Context.Routines = RuntimeRoutinesByName([&](const std::string& name) -> TAddress {
        for (const auto& [address, symbol] : symbols)
            if (symbol == "_" + name || symbol == name) return address;
        return 0;
    });
    loaded.Context.Hooks.ProcedureName = [&symbols](TAddress address) -> std::string {
        auto it = symbols.find(address);
        return it == symbols.end() ? std::string() : it->second;
    };
    return true;
}

bool ParseAddress(const char* text, TAddress& address) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 16);
    if (errno || end == text || *end || value > 0xFFFFFFFFull) return false;
    address = static_cast<TAddress>(value);
    return true;
}

int Disasm(const std::string& path) {
    TLoaded loaded;
    if (!Load(path, loaded)) return 1;
    std::string out;
    for (const TPeSection& section : loaded.Image.Sections()) {
        if (!inspect::IsCodeSection(section)) continue;
        const TAddress start = loaded.Image.ImageBase() + section.VirtualAddress;
        const TAddress end =
            start + static_cast<TAddress>(loaded.Image.SectionBytes(section).size());
        char head[32];
        const auto& boundaries = loaded.Image.Boundaries();
        auto boundary = boundaries.upper_bound(start);
        for (TAddress a = start; a < end && a >= start;) {
            TInstructionInfo info;
            std::string text = DisassembleInstruction(loaded.Context, a, nullptr, info);
            while (boundary != boundaries.end() && *boundary <= a)
                ++boundary;
            const TAddress limit = boundary == boundaries.end() ? end : std::min(end, *boundary);
            // Like a linker map, a symbol starts a new instruction stream.
            if (!info.IsValid || info.Next <= a || info.Next > limit) {
                uint8_t byte = 0;
                (void)TryReadMemory(loaded.Memory, a, &byte, 1);
                std::snprintf(head, sizeof head, "%08x 1 db $%02x\n", a, byte);
                out += head;
                ++a;
            } else {
                std::snprintf(head, sizeof head, "%08x %u ", a, info.Next - a);
                out += head;
                out.append(text, text.size() > 11 ? 11 : text.size());
                out += '\n';
                a = info.Next;
            }
            if (out.size() > (1u << 16)) {
                std::fwrite(out.data(), 1, out.size(), stdout);
                out.clear();
            }
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

int Function(const std::string& path, const char* addressText) {
    TAddress address = 0;
    if (!ParseAddress(addressText, address)) {
        std::fprintf(stderr, "qixinspect: bad address '%s'\n", addressText);
        return 2;
    }
    TLoaded loaded;
    if (!Load(path, loaded)) return 1;
    TFunctionInfo info;
    std::string text = DisassembleFunction(loaded.Context, address, 0, info, true, 0);
    if (info.ErrorCode == kNotCommittedError) {
        std::fprintf(stderr, "qixinspect: %08x is not inside the image\n", address);
        return 1;
    }
    for (char c : text)
        if (c != '\r') std::putchar(c);
    std::putchar('\n');
    if (!info.IsValid) {
        std::fprintf(stderr, "qixinspect: %s at %08x\n", info.ErrorText.c_str(), info.ErrorAddress);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    if (command == "lookup") return RunLookup(argc, argv);
    if (command == "disasm" && argc == 3) return Disasm(argv[2]);
    if (command == "function" && argc == 4) return Function(argv[2], argv[3]);
    return Usage();
}
