// qixform: readable form descriptions to the object stream the assistants read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qixform {

// One value as it goes into the stream: the type byte decides the encoding.
struct TValue {
    uint8_t type = 6; // 2, 3, 4 integers; 6, 12 strings; 7 identifier; 8 false; 9 true
    int32_t number = 0;
    std::string text;
};

struct TObject {
    std::string className, name;
    std::vector<std::pair<std::string, TValue>> props;
    std::vector<TObject> children;
};

struct TError {
    int line = 0;
    std::string message;
};

// Parses one description; false with the errors when it has any.
bool ParseFormText(std::string_view text, TObject& form, std::vector<TError>& errors);

// "TPF0" and the object with its properties and children.
std::vector<uint8_t> WriteFormStream(const TObject& form);

// The resource script lines for the forms, one RCDATA each: "TQX" + upper-case name.
std::string ResourceScript(const std::vector<std::pair<std::string, std::string>>& nameAndFile);

std::string ResourceName(std::string_view formName);

} // namespace qixform
