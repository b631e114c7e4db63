// Property records, the compiled-in defaults and the "TQIXEXCEPT" resource format.
// Windows-free: the loader, the resource writer tool and the tests share it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qix {

// Type byte of a record; a getter reads its own field whatever the type says.
enum class TPropType : uint8_t { String = 0, Integer = 1, Boolean = 2 };

// How accessors and the resource writer treat a property. BoolInt records are
// boolean-typed by default but their integer field carries the value.
enum class TPropKind : uint8_t { Bool, Int, BoolInt, Str };

struct TPropRecord {
    std::string name;
    TPropType type = TPropType::String;
    bool boolValue = false;
    int32_t intValue = 0;
    std::string strValue;
};

struct TPropInfo {
    std::string_view name;
    TPropKind kind;
};

// The 121 compiled-in records, in table order.
std::span<const TPropRecord> DefaultProperties();
const TPropRecord* FindDefaultProperty(std::string_view name);
// Also knows MinDebugInfo, which is read but has no default.
const TPropInfo* FindPropertyInfo(std::string_view name);

enum class TParseStatus { Ok, NoHeader, Truncated, InvalidType };

struct TParseResult {
    std::vector<TPropRecord> props; // what was read before any error
    TParseStatus status = TParseStatus::Ok;
    std::string message; // the text to show, empty when nothing is to be shown
};

// UTF-16 to a single-byte code page: Latin-1 maps through, anything else becomes '?'.
std::string Utf16ToAnsi(std::u16string_view text);
using TWideToAnsi = std::string (*)(std::u16string_view);

// Never throws on malformed data; properties read before an error are kept.
// A name that occurs twice keeps its last value. Wide strings go through `toAnsi`
// (the Windows side passes the ANSI code page).
TParseResult ParseSettingsResource(std::span<const uint8_t> data, TWideToAnsi toAnsi = Utf16ToAnsi);

// Replaces the stored forms of SmtpPassword and HttpPassword by their plain text.
void DecodeStoredPasswords(std::vector<TPropRecord>& props);

// Builds a resource in the same streamed format, choosing the smallest value type.
class TSettingsResourceWriter {
public:
    TSettingsResourceWriter();
    void AddBool(std::string_view name, bool value);
    void AddInt(std::string_view name, int32_t value);
    // The short form up to 255 bytes unless `longForm`: readers that search the bytes
    // for one property (MinDebugInfo) expect its long form.
    void AddString(std::string_view name, std::string_view value, bool longForm = false);
    // Appends the end marker; the writer is spent afterwards.
    std::vector<uint8_t> Finish();

private:
    void AddName(std::string_view name);
    std::vector<uint8_t> bytes_;
};

} // namespace qix
