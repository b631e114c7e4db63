// Adds a resource to a linked PE file by writing a fresh resource section behind the last one.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qix {

// Returns the new file; existing resources are carried over, one of the same type and name is
// replaced; "#n" names the numeric id n. Throws std::runtime_error when the file cannot take
// another section header.
std::vector<uint8_t> EmbedResource(const std::vector<uint8_t>& file, const std::u16string& type,
                                   const std::u16string& name, const std::vector<uint8_t>& data);

} // namespace qix
