#include "tools/qixres/qixresText.h"

#include "crashreport/core/qixSettingsResource.h"
#include "crashreport/support/qixCrypt.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <optional>

namespace qixres {
namespace {

using qix::TPropKind;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::optional<bool> ParseBool(std::string_view v) {
    const std::string l = Lower(v);
    if (l == "true" || l == "yes" || l == "on" || l == "1") return true;
    if (l == "false" || l == "no" || l == "off" || l == "0") return false;
    return std::nullopt;
}

std::optional<int32_t> ParseInt(std::string_view v) {
    bool negative = false;
    if (!v.empty() && (v.front() == '-' || v.front() == '+')) {
        negative = v.front() == '-';
        v.remove_prefix(1);
    }
    int base = 10;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.remove_prefix(2);
    }
    int64_t magnitude = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), magnitude, base);
    if (v.empty() || ec != std::errc() || end != v.data() + v.size() || magnitude < 0)
        return std::nullopt;
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

// A value in double quotes may use \" \\ \t \r \n; anything else is taken as it stands.
std::optional<std::string> ParseString(std::string_view v, std::string& error) {
    if (v.size() < 2 || v.front() != '"' || v.back() != '"') {
        if (!v.empty() && v.front() == '"') {
            error = "unterminated quoted string";
            return std::nullopt;
        }
        return std::string(v);
    }
    std::string out;
    for (size_t i = 1; i + 1 < v.size(); ++i) {
        char c = v[i];
        if (c == '\\') {
            if (i + 2 >= v.size()) {
                error = "backslash at the end of a quoted string";
                return std::nullopt;
            }
            switch (v[++i]) {
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            case 't':
                c = '\t';
                break;
            case '"':
                c = '"';
                break;
            case '\\':
                c = '\\';
                break;
            default:
                error = std::string("unknown escape \\") + v[i];
                return std::nullopt;
            }
        } else if (c == '"') {
            error = "unescaped quote inside a quoted string";
            return std::nullopt;
        }
        out += c;
    }
    return out;
}

struct TEntry {
    std::string name;
    TPropKind kind = TPropKind::Str;
    bool boolValue = false;
    int32_t intValue = 0;
    std::string strValue;
};

// "Assistant" followed by a number from 1 on.
bool IsAssistantName(std::string_view name) {
    constexpr std::string_view kPrefix = "Assistant";
    if (name.size() <= kPrefix.size() || name.substr(0, kPrefix.size()) != kPrefix) return false;
    const std::string_view digits = name.substr(kPrefix.size());
    return digits[0] != '0' &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool CompileSettings(std::string_view text, std::vector<uint8_t>& resource,
                     std::vector<TError>& errors) {
    resource.clear();
    std::vector<TEntry> entries;
    std::map<std::string, int> seen; // name -> line
    int lineNo = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
        pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        ++lineNo;
        line = Trim(line);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            errors.push_back({lineNo, "expected 'Name = value'"});
            continue;
        }
        const std::string_view name = Trim(line.substr(0, eq));
        const std::string_view value = Trim(line.substr(eq + 1));
        const qix::TPropInfo* info = qix::FindPropertyInfo(name);
        // Assistant definitions are numbered strings outside the fixed table.
        static const qix::TPropInfo kAssistant{"Assistant", TPropKind::Str};
        if (!info && IsAssistantName(name)) info = &kAssistant;
        if (!info) {
            errors.push_back({lineNo, "unknown property '" + std::string(name) + "'"});
            continue;
        }
        if (auto [it, fresh] = seen.emplace(std::string(name), lineNo); !fresh) {
            errors.push_back({lineNo, "'" + std::string(name) + "' already set on line " +
                                          std::to_string(it->second)});
            continue;
        }
        TEntry e;
        e.name = std::string(name);
        e.kind = info->kind;
        std::string problem;
        switch (info->kind) {
        case TPropKind::Bool:
            if (auto b = ParseBool(value))
                e.boolValue = *b;
            else
                problem = "expects true or false";
            break;
        case TPropKind::Int:
        case TPropKind::BoolInt:
            if (auto i = ParseInt(value))
                e.intValue = *i;
            else
                problem = "expects a 32-bit integer";
            break;
        case TPropKind::Str:
            if (auto s = ParseString(value, problem)) e.strValue = std::move(*s);
            // The map reader takes exactly 31 characters after a fixed length field.
            if (problem.empty() && name == "MinDebugInfo" && !e.strValue.empty() &&
                e.strValue.size() != 31)
                problem = "expects the 31-character identification of the full map data";
            break;
        }
        if (!problem.empty()) {
            errors.push_back(
                {lineNo, std::string(name) + " " + problem + ", got '" + std::string(value) + "'"});
            continue;
        }
        entries.push_back(std::move(e));
    }
    if (!errors.empty()) return false;

    auto str = [&](std::string_view name) -> std::string {
        for (const auto& e : entries)
            if (e.name == name) return e.strValue;
        return {};
    };
    qix::TSettingsResourceWriter writer;
    for (auto& e : entries) {
        switch (e.kind) {
        case TPropKind::Bool:
            writer.AddBool(e.name, e.boolValue);
            break;
        case TPropKind::Int:
        case TPropKind::BoolInt:
            writer.AddInt(e.name, e.intValue);
            break;
        case TPropKind::Str:
            // Passwords are stored enciphered with their account and server names.
            if (e.name == "SmtpPassword" && !e.strValue.empty())
                e.strValue =
                    qix::EncryptPassword(e.strValue, str("SmtpAccount"), str("SmtpServer"));
            else if (e.name == "HttpPassword" && !e.strValue.empty())
                e.strValue =
                    qix::EncryptPassword(e.strValue, str("HttpAccount"), str("HttpServer"));
            writer.AddString(e.name, e.strValue, e.name == "MinDebugInfo");
            break;
        }
    }
    resource = writer.Finish();
    return true;
}

} // namespace qixres
