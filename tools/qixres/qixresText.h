// Reads the plain-text settings description and turns it into the binary
// "TQIXEXCEPT" resource. Kept apart from main() so the tests can drive it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qixres {

struct TError {
    int line = 0; // 0: not tied to a line
    std::string message;
};

// On success returns true and fills `resource`; otherwise fills `errors`, one per
// offending line, and leaves `resource` empty.
bool CompileSettings(std::string_view text, std::vector<uint8_t>& resource,
                     std::vector<TError>& errors);

} // namespace qixres
