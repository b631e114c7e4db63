// The exception the assistant tests hand their forms: one thread's stack in the report,
// show mode 1, a screenshot wanted and appended.
#pragma once

#include "tests/support/qixFakeException.h"

namespace qix::test {

class TAssistantException final : public TFakeException {
public:
    explicit TAssistantException(TModuleHandle module = 0, TRecordRef record = TRecordRef())
        : TFakeException(module, std::move(record)) {
        header_->SetContents("exception class", "EAccessViolation");
        sections_->SetContents("main thread ($1a4)", "00401234 +034 lab.exe Main 123 +4 Crash");
        mode = 1;
        screenshotWanted = true;
        screenshotAppended = true;
    }
};

} // namespace qix::test
