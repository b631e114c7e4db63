// Debug information of a mingw-built executable, read through binutils' objdump and nm.
#pragma once
#include "tools/qixmap/qixMapWriter.h"

#include <cstdint>
#include <string>

namespace qix {

class TPeImage;

struct TImportTools {
    std::string Objdump; // empty: the mingw objdump for the image's machine
    std::string Nm;
};

// Absolute address that the reader takes as the first byte of code for this image.
uint64_t ReaderBaseOfCode(const TPeImage& pe);

// Units (one per source file, from the line-table sequences), procedures and lines.
// Throws std::runtime_error when the tools cannot be run.
TMapContent ImportDebugInfo(const std::string& exePath, const TPeImage& pe,
                            const TImportTools& tools);

// A demangled C++ name as a call stack should show it: no return type, no parameters,
// no ABI tags, std::string for the basic_string spelling.
std::string ShortenName(std::string demangled);
// Itanium demangling of a COFF symbol (one leading underscore on i686), without its stdcall
// byte count; otherwise unchanged when not mangled.
std::string DemangleCoffSymbol(const std::string& symbol, bool leadingUnderscore);

} // namespace qix
