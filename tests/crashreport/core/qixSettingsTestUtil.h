// Helpers shared by the settings tests: a fixed environment and a hand-assembled
// resource, byte by byte, so the parser is not checked against its own writer.
#pragma once

#include "crashreport/core/qixExcept_Settings.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace qix::test {

class TFakeEnvironment : public ISettingsEnvironment {
public:
    std::string AppFileName() const override { return "Ravelink.exe"; }
    std::string ModuleFileName(TModuleHandle module) const override {
        return module == 0x400000 ? "Ravelink.exe" : "plugin.dll";
    }
    TLocalTime Now() const override { return {2026, 3, 7, 9, 5, 4, 42}; }
};

struct TBytes {
    std::vector<uint8_t> data;
    TBytes& Raw(std::initializer_list<int> bytes) {
        for (int b : bytes)
            data.push_back(static_cast<uint8_t>(b));
        return *this;
    }
    TBytes& Text(const std::string& s) {
        data.insert(data.end(), s.begin(), s.end());
        return *this;
    }
    TBytes& Name(const std::string& s) {
        Raw({static_cast<int>(s.size())});
        return Text(s);
    }
    TBytes& Header() {
        Text("TPF0");
        Name("TQixExcept");
        return Name("qixExcept");
    }
};

} // namespace qix::test
