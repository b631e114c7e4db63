// The threads of this process in the order the system lists them. Windows only; the
// header itself stays free of <windows.h>.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace qix {

// The tool-help snapshot of threads, or without it the system's process information.
std::vector<uint32_t> ProcessThreadIds();

// The two sources, each resolved at run time; nothing when the system lacks it or the
// call fails.
std::optional<std::vector<uint32_t>> ThreadIdsFromSnapshot();
std::optional<std::vector<uint32_t>> ThreadIdsFromSystemInformation();

} // namespace qix
