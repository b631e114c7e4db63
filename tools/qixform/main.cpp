// qixform: compiles form descriptions into the binary streams of the assistants and a
// resource script that names each "TQX" + FORMNAME.
// Usage: qixform <out.rc> <form.txt>...   (the streams go beside out.rc)
#include "tools/qixform/qixformText.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

bool WriteFile(const std::filesystem::path& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (out) return true;
    std::error_code ec;
    std::filesystem::remove(path, ec); // never leave a short file behind
    std::fprintf(stderr, "qixform: cannot write %s\n", path.string().c_str());
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: qixform <out.rc> <form.txt>...\n");
        return 2;
    }
    const std::filesystem::path rc = argv[1];
    std::vector<std::pair<std::string, std::string>> entries;
    bool ok = true;
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "qixform: cannot read %s\n", argv[i]);
            return 1;
        }
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        qixform::TObject form;
        std::vector<qixform::TError> errors;
        if (!qixform::ParseFormText(text, form, errors)) {
            for (const auto& e : errors)
                std::fprintf(stderr, "%s:%d: error: %s\n", argv[i], e.line, e.message.c_str());
            ok = false;
            continue;
        }
        const auto bytes = qixform::WriteFormStream(form);
        const auto bin = rc.parent_path() / (qixform::ResourceName(form.name) + ".bin");
        if (!WriteFile(bin, bytes.data(), bytes.size())) return 1;
        // windres reads the path inside the script; forward slashes keep it unescaped.
        entries.emplace_back(form.name, bin.generic_string());
    }
    if (!ok) return 1;
    const std::string script = qixform::ResourceScript(entries);
    return WriteFile(rc, script.data(), script.size()) ? 0 : 1;
}
