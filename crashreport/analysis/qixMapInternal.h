// Helpers shared by the loaders of qixMapFile; not part of its interface.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qix {

// The whole file, or nothing when it is absent, unreadable, implausibly large or comes out short.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path);

} // namespace qix
