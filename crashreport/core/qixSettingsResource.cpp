#include "crashreport/core/qixSettingsResource.h"

#include "crashreport/support/qixCrypt.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

namespace qix {
namespace {

TPropRecord MakeDefault(std::string_view name, TPropKind kind, int32_t number,
                        std::string_view text) {
    TPropRecord r;
    r.name = std::string(name);
    switch (kind) {
    case TPropKind::Bool:
        r.type = TPropType::Boolean;
        r.boolValue = number != 0;
        break;
    case TPropKind::BoolInt:
        r.type = TPropType::Boolean;
        r.intValue = number;
        break;
    case TPropKind::Int:
        r.type = TPropType::Integer;
        r.intValue = number;
        break;
    case TPropKind::Str:
        r.type = TPropType::String;
        r.strValue = std::string(text);
        break;
    }
    return r;
}

const std::vector<TPropRecord>& Defaults() {
    static const std::vector<TPropRecord> table = {
#define QIX_BOOL(n, d, s) MakeDefault(#n, TPropKind::Bool, d, ""),
#define QIX_INT(n, d, s) MakeDefault(#n, TPropKind::Int, d, ""),
#define QIX_BOOLINT(n, d, s) MakeDefault(#n, TPropKind::BoolInt, d, ""),
#define QIX_STR(n, d, s) MakeDefault(#n, TPropKind::Str, 0, d),
#include "crashreport/core/qixSettingsProps.inc"
#undef QIX_BOOL
#undef QIX_INT
#undef QIX_BOOLINT
#undef QIX_STR
    };
    return table;
}

constexpr TPropInfo kInfos[] = {
#define QIX_BOOL(n, d, s) {#n, TPropKind::Bool},
#define QIX_INT(n, d, s) {#n, TPropKind::Int},
#define QIX_BOOLINT(n, d, s) {#n, TPropKind::BoolInt},
#define QIX_STR(n, d, s) {#n, TPropKind::Str},
#include "crashreport/core/qixSettingsProps.inc"
#undef QIX_BOOL
#undef QIX_INT
#undef QIX_BOOLINT
#undef QIX_STR
    {"MinDebugInfo", TPropKind::Str},
};

// The streamed-component header: signature, class name, component name.
constexpr std::string_view kHeader("TPF0\x0aTQixExcept\x09qixExcept", 25);

enum ValueType : uint8_t {
    kInt8 = 2,
    kInt16 = 3,
    kInt32 = 4,
    kShortString = 6,
    kFalse = 8,
    kTrue = 9,
    kLongString = 12,
    kWideString = 18,
};

// Bounds-checked reader; every read fails cleanly at the end of the data.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> data) : data_(data) {}
    bool Byte(uint8_t& out) {
        if (pos_ >= data_.size()) return false;
        out = data_[pos_++];
        return true;
    }
    bool Bytes(size_t count, std::string& out) {
        if (data_.size() - pos_ < count) return false;
        out.assign(reinterpret_cast<const char*>(data_.data() + pos_), count);
        pos_ += count;
        return true;
    }
    bool Uint(size_t width, uint32_t& out) {
        if (data_.size() - pos_ < width) return false;
        out = 0;
        for (size_t i = 0; i < width; ++i)
            out |= uint32_t(data_[pos_ + i]) << (8 * i);
        pos_ += width;
        return true;
    }
    size_t Remaining() const { return data_.size() - pos_; }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

int32_t SignExtend(uint32_t v, size_t width) {
    const unsigned shift = 32 - 8 * static_cast<unsigned>(width);
    return static_cast<int32_t>(v << shift) >> shift;
}

// Reads one value into the record; false with status set when it cannot.
bool ReadValue(Reader& in, uint8_t type, TPropRecord& r, TParseResult& result, TWideToAnsi toAnsi) {
    uint32_t number = 0;
    switch (type) {
    case kInt8:
    case kInt16:
    case kInt32: {
        const size_t width = type == kInt8 ? 1 : type == kInt16 ? 2 : 4;
        if (!in.Uint(width, number)) break;
        r.type = TPropType::Integer;
        r.intValue = SignExtend(number, width);
        return true;
    }
    case kFalse:
    case kTrue:
        r.type = TPropType::Boolean;
        r.boolValue = type == kTrue;
        return true;
    case kShortString:
    case kLongString:
        if (!in.Uint(type == kShortString ? 1 : 4, number)) break;
        if (!in.Bytes(number, r.strValue)) break;
        r.type = TPropType::String;
        return true;
    case kWideString: {
        std::string raw;
        // Checked against what is left before doubling, so no length can overflow.
        if (!in.Uint(4, number) || number > in.Remaining() / 2) break;
        if (!in.Bytes(size_t(number) * 2, raw)) break;
        std::u16string wide(number, u'\0');
        for (size_t i = 0; i < number; ++i)
            wide[i] = char16_t(uint8_t(raw[2 * i]) | uint8_t(raw[2 * i + 1]) << 8);
        r.type = TPropType::String;
        r.strValue = toAnsi(wide);
        return true;
    }
    default: {
        char buf[80];
        std::snprintf(buf, sizeof buf, "Internal error: Invalid settings resource ($%x).", type);
        result.status = TParseStatus::InvalidType;
        result.message = buf;
        return false;
    }
    }
    result.status = TParseStatus::Truncated;
    result.message = "Internal error: Invalid settings resource (truncated).";
    return false;
}

void Store(std::vector<TPropRecord>& props, TPropRecord&& r) {
    auto it = std::find_if(props.begin(), props.end(),
                           [&](const TPropRecord& p) { return p.name == r.name; });
    if (it != props.end())
        *it = std::move(r);
    else
        props.push_back(std::move(r));
}

} // namespace

std::span<const TPropRecord> DefaultProperties() {
    return Defaults();
}

const TPropRecord* FindDefaultProperty(std::string_view name) {
    for (const auto& r : Defaults())
        if (r.name == name) return &r;
    return nullptr;
}

const TPropInfo* FindPropertyInfo(std::string_view name) {
    for (const auto& info : kInfos)
        if (info.name == name) return &info;
    return nullptr;
}

std::string Utf16ToAnsi(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text)
        out += c < 0x100 ? static_cast<char>(c) : '?';
    return out;
}

TParseResult ParseSettingsResource(std::span<const uint8_t> data, TWideToAnsi toAnsi) {
    TParseResult result;
    if (data.size() < kHeader.size() ||
        !std::equal(kHeader.begin(), kHeader.end(), data.begin(),
                    [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; })) {
        result.status = TParseStatus::NoHeader;
        return result;
    }
    Reader in(data.subspan(kHeader.size()));
    result.props.reserve(131);
    for (;;) {
        uint8_t nameLength = 0, type = 0;
        TPropRecord r;
        if (!in.Byte(nameLength)) {
            result.status = TParseStatus::Truncated;
            result.message = "Internal error: Invalid settings resource (truncated).";
            break;
        }
        if (nameLength == 0) break;
        if (!in.Bytes(nameLength, r.name) || !in.Byte(type)) {
            result.status = TParseStatus::Truncated;
            result.message = "Internal error: Invalid settings resource (truncated).";
            break;
        }
        if (!ReadValue(in, type, r, result, toAnsi ? toAnsi : Utf16ToAnsi)) break;
        Store(result.props, std::move(r));
    }
    return result;
}

void DecodeStoredPasswords(std::vector<TPropRecord>& props) {
    auto text = [&](std::string_view name) -> std::string* {
        for (auto& p : props)
            if (p.name == name) return &p.strValue;
        return nullptr;
    };
    const std::array<std::array<std::string_view, 3>, 2> sets = {{
        {"SmtpPassword", "SmtpAccount", "SmtpServer"},
        {"HttpPassword", "HttpAccount", "HttpServer"},
    }};
    for (const auto& [password, account, server] : sets) {
        std::string* stored = text(password);
        if (!stored || stored->empty()) continue;
        const std::string* acc = text(account);
        const std::string* srv = text(server);
        *stored = DecryptPassword(*stored, acc ? *acc : "", srv ? *srv : "");
    }
}

TSettingsResourceWriter::TSettingsResourceWriter() : bytes_(kHeader.begin(), kHeader.end()) {}

void TSettingsResourceWriter::AddName(std::string_view name) {
    if (name.empty() || name.size() > 255)
        throw std::invalid_argument("property name must have 1 to 255 characters");
    bytes_.push_back(static_cast<uint8_t>(name.size()));
    bytes_.insert(bytes_.end(), name.begin(), name.end());
}

void TSettingsResourceWriter::AddBool(std::string_view name, bool value) {
    AddName(name);
    bytes_.push_back(value ? kTrue : kFalse);
}

void TSettingsResourceWriter::AddInt(std::string_view name, int32_t value) {
    AddName(name);
    size_t width = 4;
    uint8_t type = kInt32;
    if (value >= -128 && value <= 127) {
        width = 1;
        type = kInt8;
    } else if (value >= -32768 && value <= 32767) {
        width = 2;
        type = kInt16;
    }
    bytes_.push_back(type);
    const auto bits = static_cast<uint32_t>(value);
    for (size_t i = 0; i < width; ++i)
        bytes_.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

void TSettingsResourceWriter::AddString(std::string_view name, std::string_view value,
                                        bool longForm) {
    AddName(name);
    const bool shortForm = !longForm && value.size() <= 255;
    bytes_.push_back(shortForm ? kShortString : kLongString);
    const auto length = static_cast<uint32_t>(value.size());
    for (size_t i = 0; i < (shortForm ? 1u : 4u); ++i)
        bytes_.push_back(static_cast<uint8_t>(length >> (8 * i)));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
}

std::vector<uint8_t> TSettingsResourceWriter::Finish() {
    bytes_.push_back(0);
    return std::move(bytes_);
}

} // namespace qix
