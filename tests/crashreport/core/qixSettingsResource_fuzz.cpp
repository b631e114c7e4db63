// The settings resource comes from a module file that may be damaged: any bytes must
// parse to a clean status, and whatever was read must survive password decoding.
#include "crashreport/core/qixExcept_Settings.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
class TQuietEnvironment : public qix::ISettingsEnvironment {
public:
    std::string AppFileName() const override { return "app.exe"; }
    std::string ModuleFileName(qix::TModuleHandle) const override { return "app.exe"; }
    qix::TLocalTime Now() const override { return {}; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    const qix::TParseResult parsed = qix::ParseSettingsResource(bytes);
    if (parsed.status == qix::TParseStatus::Ok && !parsed.message.empty()) std::abort();
    if (parsed.status == qix::TParseStatus::NoHeader && !parsed.props.empty()) std::abort();
    qix::TIQXSettings settings(std::make_shared<TQuietEnvironment>(), 1,
                               qix::MakeOwnedRecord(1, bytes));
    for (const auto& p : parsed.props) {
        (void)settings.GetPropStr(p.name);
        (void)settings.GetPropInt(p.name);
    }
    (void)settings.AdditionalFields()->ItemCount();
    (void)settings.AdditionalAttachments()->ItemCount();
    return 0;
}
