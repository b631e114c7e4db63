// A made-up exception object for tests: settings overridden through a map, header and
// section lists the report text is joined from, and plain members for the state a test
// wants to steer. Tests derive from it for anything more.
#pragma once

#include "crashreport/core/qixExcept_Exception.h"

#include <map>
#include <memory>
#include <string>
#include <variant>

namespace qix::test {

class TLabEnvironment : public ISettingsEnvironment {
public:
    std::string AppFileName() const override { return "C:\\lab\\lab.exe"; }
    std::string ModuleFileName(TModuleHandle) const override { return "C:\\lab\\lab.exe"; }
    TLocalTime Now() const override { return {}; }
};

class TFakeException : public IQXException {
public:
    explicit TFakeException(TModuleHandle module = 0, TRecordRef record = TRecordRef())
        : IQXException(std::make_shared<TLabEnvironment>(), module, std::move(record)),
          header_(std::make_shared<TIQXFields>()), sections_(std::make_shared<TIQXFields>()) {
        header_->AcceptData();
        sections_->AcceptData();
    }

    std::map<std::string, std::variant<bool, int32_t, std::string>, std::less<>> props;
    int phase = 3;
    bool continuable = true;
    uint8_t mode = 0;
    bool screenshotWanted = false;
    bool screenshotAppended = false;
    std::string className = "EAccessViolation";
    std::string message = "Access violation";

    bool GetPropBool(std::string_view n) const override {
        auto it = props.find(n);
        return it != props.end() ? std::get<bool>(it->second) : TIQXSettings::GetPropBool(n);
    }
    int32_t GetPropInt(std::string_view n) const override {
        auto it = props.find(n);
        return it != props.end() ? std::get<int32_t>(it->second) : TIQXSettings::GetPropInt(n);
    }
    std::string GetPropStr(std::string_view n) const override {
        auto it = props.find(n);
        return it != props.end() ? std::get<std::string>(it->second) : TIQXSettings::GetPropStr(n);
    }
    bool SetPropBool(std::string_view n, bool v) override { return Set(n, v); }
    bool SetPropInt(std::string_view n, int32_t v) override { return Set(n, v); }
    bool SetPropStr(std::string_view n, std::string_view v) override {
        return Set(n, std::string(v));
    }

    int HandlingPhase() const override { return phase; }
    bool Continuable() const override { return continuable; }
    void SetContinuable(bool v) override { continuable = v; }
    TReportKind ReportKind() const override { return TReportKind::Exception; }
    const TRaisedObject& RaisedObject() const override { return raised_; }
    std::string ObjectClassName() const override { return className; }
    std::string ObjectMessage() const override { return message; }
    TAddress FaultAddress() const override { return 0x401234; }
    uint32_t FaultThreadId() const override { return 0x1a4; }
    uint32_t StackChecksum(int) const override { return 0; }
    const void* ProcessorContext() const override { return nullptr; }
    uint8_t ReportSource() const override { return 0; }
    const void* RelatedObject() const override { return nullptr; }
    TModuleHandle PackageHandle() const override { return 0; }
    std::shared_ptr<IQXFields> HeaderFields() override { return header_; }
    std::shared_ptr<IQXFields> SectionFields() override { return sections_; }
    std::string CompleteReport() override { return JoinReportText(*header_, *sections_); }
    void SetReportText(std::string) override {}
    std::string ReportText(bool) override { return CompleteReport(); }
    void BeginChange() override {}
    void EndChange() override {}
    void AddReportListener(TReportCallback, bool) override {}
    void AddReportListener(const void*, TReportMethod, bool) override {}
    void RemoveReportListener(TReportCallback) override {}
    void RemoveReportListener(const void*) override {}
    bool ReportWanted() const override { return true; }
    void SetReportWanted(bool) override {}
    bool ScreenshotWanted() const override { return screenshotWanted; }
    void SetScreenshotWanted(bool v) override { screenshotWanted = v; }
    bool HandlersWanted() const override { return true; }
    void SetHandlersWanted(bool) override {}
    bool ScreenshotAppended() const override { return screenshotAppended; }
    void SetScreenshotAppended(bool v) override { screenshotAppended = v; }
    uint8_t ShowMode() const override { return mode; }
    void SetShowMode(uint8_t v) override { mode = v; }
    std::string AssistantName() const override { return {}; }
    void SetAssistantName(std::string_view) override {}
    bool ShowDialog() override { return false; }

protected:
    std::shared_ptr<TIQXFields> header_, sections_;
    TRaisedObject raised_;

private:
    template <typename T> bool Set(std::string_view n, T v) {
        props[std::string(n)] = v;
        return true;
    }
};

} // namespace qix::test
