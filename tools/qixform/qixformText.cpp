// The text format, one statement a line:
//   form NAME              starts the description (exactly once, first)
//   item CLASS NAME        starts an item: Button, Label, Edit, CheckBox, Image (or TNV...)
//   Name = value           a property of the form or of the last item
// Values: "text" (escapes \" \\ \n \t), an integer, true / false, or a bare identifier.
#include "tools/qixform/qixformText.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>

namespace qixform {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

bool IsIdentifier(std::string_view s) {
    if (s.empty() || s.size() > 255) return false;
    if (!std::isalpha(static_cast<unsigned char>(s[0])) && s[0] != '_') return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
    });
}

bool ParseQuoted(std::string_view v, std::string& out, std::string& problem) {
    if (v.size() < 2 || v.back() != '"') {
        problem = "unterminated string";
        return false;
    }
    for (size_t i = 1; i + 1 < v.size(); ++i) {
        char c = v[i];
        if (c == '\\') {
            if (i + 2 >= v.size()) {
                problem = "backslash at the end of a string";
                return false;
            }
            const char e = v[++i];
            c = e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
            if (e != 'n' && e != 't' && e != 'r' && e != '"' && e != '\\') {
                problem = std::string("unknown escape \\") + e;
                return false;
            }
        } else if (c == '"') {
            problem = "unescaped quote inside a string";
            return false;
        }
        out += c;
    }
    return true;
}

bool ParseValue(std::string_view v, TValue& value, std::string& problem) {
    if (!v.empty() && v.front() == '"') {
        if (!ParseQuoted(v, value.text, problem)) return false;
        value.type = value.text.size() > 255 ? 12 : 6;
        return true;
    }
    if (v == "true" || v == "false") {
        value.type = v == "true" ? 9 : 8;
        return true;
    }
    if (!v.empty() && (std::isdigit(static_cast<unsigned char>(v[0])) || v[0] == '-')) {
        int64_t n = 0;
        auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
        if (ec != std::errc() || end != v.data() + v.size() || n < INT32_MIN || n > INT32_MAX) {
            problem = "expects a 32-bit integer, got '" + std::string(v) + "'";
            return false;
        }
        value.number = static_cast<int32_t>(n);
        value.type = n >= -128 && n <= 127 ? 2 : n >= -32768 && n <= 32767 ? 3 : 4;
        return true;
    }
    if (IsIdentifier(v)) {
        value.type = 7;
        value.text = v;
        return true;
    }
    problem = "cannot read value '" + std::string(v) + "'";
    return false;
}

std::string ItemClass(std::string_view cls) {
    static const char* const kKinds[] = {"Button", "Label", "Edit", "CheckBox", "Image"};
    for (const char* k : kKinds) {
        const std::string full = std::string("TNV") + k;
        if (cls == k || cls == full) return full;
    }
    return {};
}

void PutShort(std::vector<uint8_t>& out, std::string_view s) {
    out.push_back(static_cast<uint8_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

void PutLe(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutObject(std::vector<uint8_t>& out, const TObject& obj) {
    PutShort(out, obj.className);
    PutShort(out, obj.name);
    for (const auto& [name, v] : obj.props) {
        PutShort(out, name);
        out.push_back(v.type);
        switch (v.type) {
        case 2:
            PutLe(out, static_cast<uint32_t>(v.number), 1);
            break;
        case 3:
            PutLe(out, static_cast<uint32_t>(v.number), 2);
            break;
        case 4:
            PutLe(out, static_cast<uint32_t>(v.number), 4);
            break;
        case 6:
        case 7:
            PutShort(out, v.text);
            break;
        case 12:
            PutLe(out, static_cast<uint32_t>(v.text.size()), 4);
            out.insert(out.end(), v.text.begin(), v.text.end());
            break;
        default: // 8 and 9 carry no bytes
            break;
        }
    }
    out.push_back(0);
    for (const auto& child : obj.children)
        PutObject(out, child);
    out.push_back(0);
}

} // namespace

bool ParseFormText(std::string_view text, TObject& form, std::vector<TError>& errors) {
    form = TObject{};
    bool haveForm = false;
    TObject* current = nullptr;
    std::set<std::string> names;
    int lineNo = 0;
    for (size_t pos = 0; pos <= text.size();) {
        const size_t nl = text.find('\n', pos);
        std::string_view line = Trim(text.substr(pos, nl == text.npos ? text.npos : nl - pos));
        pos = nl == text.npos ? text.size() + 1 : nl + 1;
        ++lineNo;
        if (line.empty() || line.front() == '#') continue;
        const size_t eq = line.find('=');
        const std::string_view head = Trim(line.substr(0, eq));
        if (eq == line.npos) {
            const size_t sp = head.find_first_of(" \t");
            const std::string_view word = head.substr(0, sp);
            const std::string_view rest = sp == head.npos ? "" : Trim(head.substr(sp));
            if (word == "form") {
                if (haveForm) {
                    errors.push_back({lineNo, "a description holds one form"});
                } else if (!IsIdentifier(rest)) {
                    errors.push_back({lineNo, "expected 'form NAME'"});
                } else {
                    haveForm = true;
                    form.className = "TNVForm";
                    form.name = rest;
                    current = &form;
                }
                continue;
            }
            if (word == "item") {
                const size_t sp2 = rest.find_first_of(" \t");
                const std::string cls = ItemClass(rest.substr(0, sp2));
                const std::string_view name = sp2 == rest.npos ? "" : Trim(rest.substr(sp2));
                if (!haveForm) {
                    errors.push_back({lineNo, "'item' before 'form'"});
                } else if (cls.empty()) {
                    errors.push_back(
                        {lineNo, "unknown item class '" + std::string(rest.substr(0, sp2)) + "'"});
                } else if (!IsIdentifier(name) || name.find('.') != name.npos) {
                    errors.push_back({lineNo, "expected 'item CLASS NAME'"});
                } else if (!names.insert(std::string(name)).second) {
                    errors.push_back({lineNo, "item '" + std::string(name) + "' given twice"});
                } else {
                    form.children.push_back({cls, std::string(name), {}, {}});
                    current = &form.children.back();
                }
                continue;
            }
            errors.push_back({lineNo, "expected 'form', 'item' or 'Name = value'"});
            continue;
        }
        if (!current) {
            errors.push_back({lineNo, "property before 'form'"});
            continue;
        }
        if (!IsIdentifier(head) || head.find('.') != head.npos) {
            errors.push_back({lineNo, "bad property name '" + std::string(head) + "'"});
            continue;
        }
        TValue value;
        std::string problem;
        if (!ParseValue(Trim(line.substr(eq + 1)), value, problem)) {
            errors.push_back({lineNo, std::string(head) + ": " + problem});
            continue;
        }
        current->props.emplace_back(std::string(head), std::move(value));
    }
    if (!haveForm) errors.push_back({lineNo, "no 'form NAME' line"});
    return errors.empty();
}

std::vector<uint8_t> WriteFormStream(const TObject& form) {
    std::vector<uint8_t> out = {'T', 'P', 'F', '0'};
    PutObject(out, form);
    return out;
}

std::string ResourceName(std::string_view formName) {
    std::string out = "TQX";
    for (char c : formName)
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string ResourceScript(const std::vector<std::pair<std::string, std::string>>& nameAndFile) {
    std::string rc;
    for (const auto& [name, file] : nameAndFile)
        rc += ResourceName(name) + " RCDATA \"" + file + "\"\n";
    return rc;
}

} // namespace qixform
