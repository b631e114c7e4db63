// Sends one bug report with the settings given on the command line and prints how it
// went; the end-to-end script runs it under Wine inside its own network namespace.
//   qixSendProbe [--silent] [--screenshot] Name=Value ...
//   qixSendProbe --capture FILE ARGS...   (the registered mailto command: records its line)
#include "crashreport/delivery/qixExceptSend_Win.h"
#include "crashreport/delivery/qixExceptSend_WinNet.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>

namespace {

using namespace qix;

// Settings from the compiled-in defaults, overridden by the command line.
class TProbeSettings : public IQXSettings {
public:
    TProbeSettings() {
        fields_->AcceptData();
#define QIX_BOOL(n, d, s) values_[#n] = (d) ? "1" : "0";
#define QIX_INT(n, d, s) values_[#n] = std::to_string(d);
#define QIX_BOOLINT(n, d, s) values_[#n] = std::to_string(d);
#define QIX_STR(n, d, s) values_[#n] = d;
#include "crashreport/core/qixSettingsProps.inc"
#undef QIX_BOOL
#undef QIX_INT
#undef QIX_BOOLINT
#undef QIX_STR
    }
    TModuleHandle OwnerModule() const override {
        return 0x400000;
    }
    bool GetPropBool(std::string_view n) const override {
        return GetPropInt(n) != 0;
    }
    int32_t GetPropInt(std::string_view n) const override {
        return std::atoi(GetPropStr(n).c_str());
    }
    std::string GetPropStr(std::string_view n) const override {
        const auto it = values_.find(std::string(n));
        return it == values_.end() ? std::string() : it->second;
    }
    bool SetPropBool(std::string_view n, bool v) override {
        return SetPropStr(n, v ? "1" : "0");
    }
    bool SetPropInt(std::string_view n, int32_t v) override {
        return SetPropStr(n, std::to_string(v));
    }
    bool SetPropStr(std::string_view n, std::string_view v) override {
        values_[std::string(n)] = std::string(v);
        return true;
    }
    std::shared_ptr<IQXFields> AdditionalFields() override {
        return fields_;
    }
    std::shared_ptr<IQXAttachments> AdditionalAttachments() override {
        return attachments_;
    }
    std::string VersionText() const override {
        return "probe 1.0";
    }

    std::shared_ptr<TIQXFields> fields_ = std::make_shared<TIQXFields>();
    std::shared_ptr<TIQXAttachments> attachments_ = std::make_shared<TIQXAttachments>();

private:
    std::map<std::string, std::string, std::less<>> values_;
};

const char* ViaName(TSendVia via) {
    switch (via) {
    case TSendVia::Nothing:
        return "nothing";
    case TSendVia::Network:
        return "network";
    case TSendVia::Mapi:
        return "mapi";
    case TSendVia::MapiCancelled:
        return "mapi-cancelled";
    case TSendVia::Mailto:
        return "mailto";
    case TSendVia::Thread:
        return "thread";
    case TSendVia::Aborted:
        return "aborted";
    }
    return "?";
}

int Capture(const char* file) {
    FILE* f = std::fopen(file, "wb");
    if (!f) return 1;
    std::fputs(GetCommandLineA(), f);
    return std::fclose(f) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--capture") == 0) return Capture(argv[2]);
    if (argc >= 2 && std::strcmp(argv[1], "--system") == 0) {
        std::printf("online: %d\nproxy: %s\n", IsOnline() ? 1 : 0, SystemProxy().c_str());
        for (const std::string& server : GetDnsServers())
            std::printf("dns server: %s\n", server.c_str());
        return 0;
    }
    auto settings = std::make_shared<TProbeSettings>();
    TSendRequest request;
    request.Settings = settings;
    request.Report = "date/time         : 2026-12-08 07:00\r\n"
                     "exception message : Access violation at address 0041A2B3\r\n"
                     ".\r\n"
                     "main thread ($a4):\r\n0041a2b3 probe.exe probe.cpp 42 main\r\n";
    bool background = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        if (arg == "--silent")
            request.Silent = true;
        else if (arg == "--background")
            background = true;
        else if (arg == "--screenshot") {
            auto canvas = CreateDibCanvas(40, 30);
            for (int p = 0; canvas && p < 40 * 30 * 4; ++p)
                canvas->Pixels()[p] = uint8_t(p * 7);
            if (canvas) request.Screenshot = std::make_shared<TINVBitmap>(std::move(canvas));
        } else if (arg.rfind("Field:", 0) == 0 && eq != std::string::npos)
            settings->fields_->SetContents(arg.substr(6, eq - 6), arg.substr(eq + 1));
        else if (arg.rfind("Attach:", 0) == 0 && eq != std::string::npos) {
            // Attach:FILE=SENDAS|ZIP|FIELD
            std::string rest = arg.substr(eq + 1), parts[3];
            for (int k = 0; k < 3; ++k) {
                const size_t bar = rest.find('|');
                parts[k] = rest.substr(0, bar);
                rest = bar == std::string::npos ? std::string() : rest.substr(bar + 1);
            }
            settings->attachments_->Add(arg.substr(7, eq - 7), parts[0], parts[1], parts[2]);
        } else if (eq != std::string::npos)
            (void)settings->SetPropStr(arg.substr(0, eq), arg.substr(eq + 1));
    }
    request.Hooks.MarkSent = [] { std::printf("marked sent\n"); };
    request.Hooks.ShowFailure = [](void*, const std::string& text) {
        std::printf("failure message: %s\n", text.c_str());
    };
    request.Background = background;
    void* thread = nullptr;
    TSendResult result;
    const bool ok = SendBugReport(request, background ? &thread : nullptr, &result);
    if (thread) {
        WaitForSingleObject(static_cast<HANDLE>(thread), 120000);
        CloseHandle(static_cast<HANDLE>(thread));
    }
    std::printf("handed over: %d\nvia: %s\n", ok ? 1 : 0, ViaName(result.Via));
    for (const std::string& note : result.Network.Notes)
        std::printf("note: %s\n", note.c_str());
    std::fflush(stdout);
    return 0;
}
