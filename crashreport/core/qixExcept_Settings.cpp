#include "crashreport/core/qixExcept_Settings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace qix {
namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (auto& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string FormatDate(const TLocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
    return buf;
}

std::string FormatTime(const TLocalTime& t) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d, %dms", t.hour, t.minute, t.second,
                  t.millisecond);
    return buf;
}

std::vector<std::string> SplitPlugins(std::string_view list) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        const size_t end = list.find('|', start);
        out.emplace_back(list.substr(start, end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return out;
}

} // namespace

TRecordRef& TRecordRef::operator=(TRecordRef&& other) noexcept {
    if (this != &other) {
        Reset();
        record_ = std::exchange(other.record_, nullptr);
        release_ = std::move(other.release_);
    }
    return *this;
}

void TRecordRef::Reset() {
    if (record_ && release_) release_(record_);
    record_ = nullptr;
}

TRecordRef MakeOwnedRecord(TModuleHandle module, std::span<const uint8_t> resource,
                           TParseResult* parse, TWideToAnsi toAnsi) {
    TParseResult result = ParseSettingsResource(resource, toAnsi);
    auto* record = new TSettingsModuleRecord;
    record->module = module;
    record->refCount = 1;
    record->props = std::move(result.props);
    DecodeStoredPasswords(record->props);
    if (parse) {
        parse->status = result.status;
        parse->message = std::move(result.message);
    }
    return TRecordRef(record, [](TSettingsModuleRecord* r) { delete r; });
}

std::string ExpandVariables(std::string_view text, const ISettingsEnvironment& env,
                            TModuleHandle module, const std::optional<std::string>& exceptMsg,
                            const std::optional<std::string>& bugReport) {
    if (text.find('%') == std::string_view::npos) return std::string(text);
    std::optional<TLocalTime> now; // one clock reading per text, so date and time agree
    auto clock = [&]() -> const TLocalTime& {
        if (!now) now = env.Now();
        return *now;
    };
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t open = text.find('%', pos);
        const size_t close = open == std::string_view::npos ? open : text.find('%', open + 1);
        if (close == std::string_view::npos) {
            out.append(text.substr(pos));
            break;
        }
        out.append(text.substr(pos, open - pos));
        const std::string name = Lower(text.substr(open + 1, close - open - 1));
        std::optional<std::string> value;
        if (name == "appname")
            value = env.AppFileName();
        else if (name == "modname")
            value = env.ModuleFileName(module);
        else if (name == "lf")
            value = "\r\n";
        else if (name == "date")
            value = FormatDate(clock());
        else if (name == "time")
            value = FormatTime(clock());
        else if (name == "datetime")
            value = FormatDate(clock()) + ", " + FormatTime(clock());
        else if (name == "exceptmsg" && exceptMsg)
            value = exceptMsg->empty() ? "Unknown" : *exceptMsg;
        else if (name == "bugreport" && bugReport)
            value = *bugReport;
        if (value) {
            out += *value;
            pos = close + 1;
        } else {
            // Not a variable: keep the first '%' and look for one starting at the second.
            out += '%';
            pos = open + 1;
        }
    }
    return out;
}

bool IQXSettings::PluginEnabled(std::string_view name) const {
    for (const auto& entry : SplitPlugins(GetPropStr("Plugins")))
        if (SameText(entry, name)) return true;
    return false;
}

bool IQXSettings::SetPluginEnabled(std::string_view name, bool enabled) {
    const std::string list = GetPropStr("Plugins");
    if (enabled) {
        if (PluginEnabled(name)) return true;
        return SetPropStr("Plugins",
                          list.empty() ? std::string(name) : list + "|" + std::string(name));
    }
    std::string kept;
    for (const auto& entry : SplitPlugins(list)) {
        if (SameText(entry, name)) continue;
        if (!kept.empty()) kept += '|';
        kept += entry;
    }
    return kept == list || SetPropStr("Plugins", kept);
}

TIQXSettings::TIQXSettings(std::shared_ptr<const ISettingsEnvironment> env, TModuleHandle module,
                           TRecordRef record, std::shared_ptr<const IQXSettings> processWide)
    : env_(std::move(env)), module_(module), record_(std::move(record)),
      processWide_(std::move(processWide)) {}

TIQXSettings::~TIQXSettings() {
    // The lists hold an uncounted pointer back to us; they may outlive us.
    if (fields_) fields_->DetachSettings();
    if (attachments_) attachments_->DetachSettings();
}

std::optional<TPropRecord> TIQXSettings::Lookup(std::string_view name) const {
    if (auto* rec = record_.get()) {
        std::lock_guard g(rec->lock);
        for (const auto& p : rec->props)
            if (p.name == name) return p;
    }
    if (processWide_ && processWide_->OwnerModule() != module_) return std::nullopt;
    if (const TPropRecord* def = FindDefaultProperty(name)) return *def;
    return TPropRecord{};
}

bool TIQXSettings::GetPropBool(std::string_view name) const {
    if (auto r = Lookup(name)) return r->boolValue;
    return processWide_->GetPropBool(name);
}

int32_t TIQXSettings::GetPropInt(std::string_view name) const {
    if (auto r = Lookup(name)) return r->intValue;
    return processWide_->GetPropInt(name);
}

std::string TIQXSettings::GetPropStr(std::string_view name) const {
    if (auto r = Lookup(name)) return Expand(r->strValue);
    return processWide_->GetPropStr(name);
}

std::string TIQXSettings::Expand(std::string_view text, const std::optional<std::string>& exceptMsg,
                                 const std::optional<std::string>& bugReport) const {
    return ExpandVariables(text, *env_, module_, exceptMsg, bugReport);
}

template <typename Apply>
bool TIQXSettings::Write(std::string_view name, TPropType type, Apply apply) {
    auto* rec = record_.get();
    if (!rec || name.empty()) return false;
    std::lock_guard g(rec->lock);
    auto it = std::find_if(rec->props.begin(), rec->props.end(),
                           [&](const TPropRecord& p) { return p.name == name; });
    if (it == rec->props.end()) {
        TPropRecord fresh;
        fresh.name = std::string(name);
        fresh.type = type;
        rec->props.push_back(std::move(fresh));
        it = rec->props.end() - 1;
    }
    if (it->type != type) return false;
    apply(*it);
    return true;
}

bool TIQXSettings::SetPropBool(std::string_view name, bool value) {
    return Write(name, TPropType::Boolean, [&](TPropRecord& r) { r.boolValue = value; });
}

bool TIQXSettings::SetPropInt(std::string_view name, int32_t value) {
    return Write(name, TPropType::Integer, [&](TPropRecord& r) { r.intValue = value; });
}

bool TIQXSettings::SetPropStr(std::string_view name, std::string_view value) {
    return Write(name, TPropType::String, [&](TPropRecord& r) { r.strValue = std::string(value); });
}

std::shared_ptr<IQXFields> TIQXSettings::AdditionalFields() {
    std::lock_guard g(listsLock_);
    if (!fields_) {
        fields_ = std::make_shared<TIQXFields>();
        fields_->LoadSerialized(GetPropStr("AddFields"));
        fields_->AcceptData();
        fields_->AttachSettings(this);
    }
    return fields_;
}

std::shared_ptr<IQXAttachments> TIQXSettings::AdditionalAttachments() {
    std::lock_guard g(listsLock_);
    if (!attachments_) {
        attachments_ = std::make_shared<TIQXAttachments>();
        attachments_->LoadSerialized(GetPropStr("AddAttachs"));
        attachments_->AttachSettings(this);
    }
    return attachments_;
}

std::shared_ptr<IQXFields> TIQXSettings::FormCache() {
    std::lock_guard g(listsLock_);
    if (!formCache_) {
        formCache_ = std::make_shared<TIQXFields>();
        formCache_->AcceptData();
    }
    return formCache_;
}

} // namespace qix
