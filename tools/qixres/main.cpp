// qixres: compiles a settings text file into the binary TQIXEXCEPT resource.
// Usage: qixres <settings.txt> <output.bin>
#include "tools/qixres/qixresText.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: qixres <settings.txt> <output.bin>\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "qixres: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::vector<uint8_t> resource;
    std::vector<qixres::TError> errors;
    if (!qixres::CompileSettings(text, resource, errors)) {
        for (const auto& e : errors)
            std::fprintf(stderr, "%s:%d: error: %s\n", argv[1], e.line, e.message.c_str());
        return 1;
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(resource.data()),
              static_cast<std::streamsize>(resource.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "qixres: cannot write %s\n", argv[2]);
        std::remove(argv[2]); // never leave a short resource behind
        return 1;
    }
    return 0;
}
