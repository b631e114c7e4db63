// Settings objects of the crash reporter: named properties with compiled-in defaults,
// backed by one module's loaded record, plus variable expansion and plug-in switches.
// Windows-free; the per-process shared buffer and module lookup live in
// qixExcept_SettingsWin.h.
#pragma once

#include "crashreport/core/qixSettingsFields.h"
#include "crashreport/core/qixSettingsResource.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qix {

using TModuleHandle = uintptr_t;

// One module's loaded properties, shared by every settings object of that module.
// Values are read and written under `lock`, and strings are handed out as copies,
// so a string replaced on one thread never dangles in another.
struct TSettingsModuleRecord {
    int32_t refCount = 0; // guarded by whoever owns the record list
    TModuleHandle module = 0;
    mutable std::mutex lock;
    std::vector<TPropRecord> props;
    TSettingsModuleRecord* next = nullptr;
};

// A counted reference on a module record; `release` drops it.
class TRecordRef {
public:
    using Release = std::function<void(TSettingsModuleRecord*)>;
    TRecordRef() = default;
    TRecordRef(TSettingsModuleRecord* record, Release release)
        : record_(record), release_(std::move(release)) {}
    TRecordRef(TRecordRef&& other) noexcept
        : record_(std::exchange(other.record_, nullptr)), release_(std::move(other.release_)) {}
    TRecordRef& operator=(TRecordRef&& other) noexcept;
    TRecordRef(const TRecordRef&) = delete;
    TRecordRef& operator=(const TRecordRef&) = delete;
    ~TRecordRef() { Reset(); }
    void Reset();
    TSettingsModuleRecord* get() const { return record_; }
    explicit operator bool() const { return record_ != nullptr; }

private:
    TSettingsModuleRecord* record_ = nullptr;
    Release release_;
};

// Builds a record from resource bytes (parse, then decode the passwords) that is owned
// by the returned reference alone. `parse` receives the parser's result for reporting.
TRecordRef MakeOwnedRecord(TModuleHandle module, std::span<const uint8_t> resource,
                           TParseResult* parse = nullptr, TWideToAnsi toAnsi = Utf16ToAnsi);

struct TLocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// What variable expansion needs from the process; the Windows side supplies the real one.
class ISettingsEnvironment {
public:
    virtual ~ISettingsEnvironment() = default;
    virtual std::string AppFileName() const = 0;
    virtual std::string ModuleFileName(TModuleHandle module) const = 0;
    virtual TLocalTime Now() const = 0;
};

// Replaces %appname%, %modname%, %LF%, %date%, %time%, %datetime% (any case).
// %exceptMsg% and %bugReport% stay unless values are given.
std::string ExpandVariables(std::string_view text, const ISettingsEnvironment& env,
                            TModuleHandle module,
                            const std::optional<std::string>& exceptMsg = std::nullopt,
                            const std::optional<std::string>& bugReport = std::nullopt);

#define QIX_GEN_ACCESSORS(getType, setType, kind, n)                                               \
    getType n() const {                                                                            \
        return GetProp##kind(#n);                                                                  \
    }                                                                                              \
    bool Set##n(setType value) {                                                                   \
        return SetProp##kind(#n, value);                                                           \
    }
#define QIX_SCOPE_G_G(x) x
#define QIX_SCOPE_M_G(x)
#define QIX_SCOPE_G_M(x)
#define QIX_SCOPE_M_M(x) x

class IQXSettings {
public:
    virtual ~IQXSettings() = default;
    virtual TModuleHandle OwnerModule() const = 0;

    // Generic access by name; every typed accessor below goes through these.
    virtual bool GetPropBool(std::string_view name) const = 0;
    virtual int32_t GetPropInt(std::string_view name) const = 0;
    virtual std::string GetPropStr(std::string_view name) const = 0;
    uint32_t GetPropDw(std::string_view name) const {
        return static_cast<uint32_t>(GetPropInt(name));
    }
    [[nodiscard]] virtual bool SetPropBool(std::string_view name, bool value) = 0;
    [[nodiscard]] virtual bool SetPropInt(std::string_view name, int32_t value) = 0;
    [[nodiscard]] virtual bool SetPropStr(std::string_view name, std::string_view value) = 0;

    virtual std::shared_ptr<IQXFields> AdditionalFields() = 0;
    virtual std::shared_ptr<IQXAttachments> AdditionalAttachments() = 0;
    virtual std::string VersionText() const = 0;

    // Whether `name` is one of the "|"-separated entries of Plugins, ignoring case.
    bool PluginEnabled(std::string_view name) const;
    bool SetPluginEnabled(std::string_view name, bool enabled);

#define QIX_BOOL(n, d, s) QIX_SCOPE_##s##_G(QIX_GEN_ACCESSORS(bool, bool, Bool, n))
#define QIX_INT(n, d, s) QIX_SCOPE_##s##_G(QIX_GEN_ACCESSORS(int32_t, int32_t, Int, n))
#define QIX_BOOLINT(n, d, s) QIX_SCOPE_##s##_G(QIX_GEN_ACCESSORS(int32_t, int32_t, Int, n))
#define QIX_STR(n, d, s) QIX_SCOPE_##s##_G(QIX_GEN_ACCESSORS(std::string, std::string_view, Str, n))
#include "crashreport/core/qixSettingsProps.inc"
#undef QIX_BOOL
#undef QIX_INT
#undef QIX_BOOLINT
#undef QIX_STR
};

class IQXModuleSettings : public IQXSettings {
public:
    virtual bool Valid() const = 0;
    bool MinDebugInfoOnly() const { return !GetPropStr("MinDebugInfo").empty(); }

#define QIX_BOOL(n, d, s) QIX_SCOPE_##s##_M(QIX_GEN_ACCESSORS(bool, bool, Bool, n))
#define QIX_INT(n, d, s) QIX_SCOPE_##s##_M(QIX_GEN_ACCESSORS(int32_t, int32_t, Int, n))
#define QIX_BOOLINT(n, d, s) QIX_SCOPE_##s##_M(QIX_GEN_ACCESSORS(int32_t, int32_t, Int, n))
#define QIX_STR(n, d, s) QIX_SCOPE_##s##_M(QIX_GEN_ACCESSORS(std::string, std::string_view, Str, n))
#include "crashreport/core/qixSettingsProps.inc"
#undef QIX_BOOL
#undef QIX_INT
#undef QIX_BOOLINT
#undef QIX_STR
};

#undef QIX_GEN_ACCESSORS
#undef QIX_SCOPE_G_G
#undef QIX_SCOPE_M_G
#undef QIX_SCOPE_G_M
#undef QIX_SCOPE_M_M

class TIQXSettings : public IQXModuleSettings {
public:
    // `record` empty: not valid, reads give defaults and writes are refused.
    // `processWide` set: names this module's record lacks come from there instead of
    // the compiled-in defaults (null for the process-wide object itself).
    TIQXSettings(std::shared_ptr<const ISettingsEnvironment> env, TModuleHandle module,
                 TRecordRef record, std::shared_ptr<const IQXSettings> processWide = nullptr);
    ~TIQXSettings() override;
    TIQXSettings(const TIQXSettings&) = delete;
    TIQXSettings& operator=(const TIQXSettings&) = delete;

    TModuleHandle OwnerModule() const override { return module_; }
    bool Valid() const override { return static_cast<bool>(record_); }

    bool GetPropBool(std::string_view name) const override;
    int32_t GetPropInt(std::string_view name) const override;
    std::string GetPropStr(std::string_view name) const override;
    bool SetPropBool(std::string_view name, bool value) override;
    bool SetPropInt(std::string_view name, int32_t value) override;
    bool SetPropStr(std::string_view name, std::string_view value) override;

    std::shared_ptr<IQXFields> AdditionalFields() override;
    std::shared_ptr<IQXAttachments> AdditionalAttachments() override;
    std::string VersionText() const override { return versionText_; }
    void SetVersionText(std::string text) { versionText_ = std::move(text); }
    // Values of assistant form controls, kept in memory only.
    std::shared_ptr<IQXFields> FormCache();

    // Expansion with this object's module and environment.
    std::string Expand(std::string_view text,
                       const std::optional<std::string>& exceptMsg = std::nullopt,
                       const std::optional<std::string>& bugReport = std::nullopt) const;

private:
    // The record for `name` from this module or the compiled-in table; nullopt when the
    // process-wide object is to be asked.
    std::optional<TPropRecord> Lookup(std::string_view name) const;
    template <typename Apply> bool Write(std::string_view name, TPropType type, Apply apply);

    std::shared_ptr<const ISettingsEnvironment> env_;
    TModuleHandle module_;
    TRecordRef record_;
    std::shared_ptr<const IQXSettings> processWide_;
    std::string versionText_;
    std::mutex listsLock_;
    std::shared_ptr<TIQXAttachments> attachments_;
    std::shared_ptr<TIQXFields> fields_;
    std::shared_ptr<TIQXFields> formCache_;
};

} // namespace qix
