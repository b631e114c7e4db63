// The object stream of a form description: "TPF0", then one object with its class and
// object name, its properties and its child objects. Windows-free; never throws.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace qix {

struct TNVStreamObject {
    std::string className;
    std::string name;
    // Values as text: integers in decimal, booleans "0" / "1".
    std::vector<std::pair<std::string, std::string>> props;
    std::vector<TNVStreamObject> children;
};

enum class TNVStreamStatus { Ok, NoSignature, Truncated, InvalidType, TooDeep };

struct TNVStreamResult {
    TNVStreamObject root; // what was read before any error
    TNVStreamStatus status = TNVStreamStatus::Ok;
    std::string message; // the text to show; empty when all went well
};

// Nesting deeper than this is refused rather than followed.
constexpr int kMaxStreamDepth = 32;

TNVStreamResult ParseFormStream(std::span<const uint8_t> data);

} // namespace qix
