// One whole report the way the pipeline drives it: header, threads listed from the
// registry, placeholders, completion, and the final text written out by hand.
#include "crashreport/core/qixExcept_Sections.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <map>

using namespace qix;

namespace {

constexpr uint32_t kMain = 0x9f4, kWorker = 0x20, kHidden = 0x30, kHandler = 0x40;

class TLabProcess : public IReportBuilder, public ISectionSource {
public:
    TLabProcess() {
        registry_[kMain] = {"main thread", "", 0, 0};
        registry_[kWorker] = {"", "TWorker", kMain, 0x401500};
        registry_[kHidden] = {"-", "", 0, 0};
        registry_[kHandler] = {"-", "", 0, 0};
    }

    void FillHeader(TIQXFields& header) override {
        TReportSystemInfo system{};
        system.computerName = "PC";
        system.processId = 0x10;
        system.executablePath = "C:\\lab\\crashlab.exe";
        THeaderInput input;
        input.object = {true,
                        {"EAccessViolation", "EExternal", "Exception"},
                        "Access violation at address 0040100A in module 'crashlab.exe'. Write "
                        "of address 00000000"};
        TExceptionCounter counter;
        StoreHeaderLines(header, ComposeHeaderLines(system, input, counter));
    }

    void PrepareSections(TIQXFields& sections) override {
        TThreadListInput list;
        list.crashedThreadId = kMain;
        list.mainThreadId = kMain;
        list.processThreads = {kMain, kHidden, kWorker, kHandler};
        list.helperThreads = {kHandler};
        TCrashInfo crash{0x40100a, 0x12ff00, 0x12ff10, true, false};
        for (const TListedThread& listed : ListReportThreads(list)) {
            const TThreadRegistryEntry* entry = Find(listed.id);
            std::string title = ThreadTitle(listed.id, entry, true, listed.crashed);
            if (title.empty()) continue;
            TThreadProbe probe;
            probe.contextRead = true;
            probe.suspended = listed.id == kWorker;
            probe.instructionPointer = listed.id == kWorker ? 0x402000 : 0x401010;
            std::string creator;
            if (entry && entry->creatorThreadId)
                creator =
                    ThreadTitle(entry->creatorThreadId, Find(entry->creatorThreadId), true, true);
            threads_.push_back(MakeThreadRecord(listed.id, std::move(title), listed.crashed, probe,
                                                crash, entry, creator,
                                                [this](TAddress a) { return DescribeAddress(a); }));
        }
        TSectionSwitches switches;
        switches.haveCrashContext = true;
        switches.disassemblerAvailable = false;
        plan_ = PlanSections(threads_, {}, switches);
        StorePlaceholders(sections, plan_);
    }

    void WaitForCompletion() override {
        std::atomic<bool> abort{false};
        CompleteThreadSections(*this, threads_, plan_, *report, abort);
    }

    void PrepareStack(const TThreadStackRecord&) override {}
    TThreadTrace TraceThread(const TThreadStackRecord& thread) override {
        TThreadTrace trace;
        trace.hasLineInfo = true;
        if (thread.threadId == kMain) {
            trace.text = "0040100a crashlab.exe crash.cpp 12 [WriteNull]\r\n"
                         "00401200 crashlab.exe main.cpp 30 [main]";
            trace.crashChecksum = 0x1001;
            trace.stackChecksum = 0x2001;
        } else {
            trace.text = "00402000 crashlab.exe worker.cpp 5 [Spin]\r\n"
                         "00401500 crashlab.exe main.cpp 20 [StartWorker]";
            trace.stackChecksum = 0x12345678;
        }
        return trace;
    }
    std::string DescribeAddress(TAddress a) override { return Hex8(a) + " crashlab.exe"; }
    std::string CpuRegistersText() override {
        return GetCpuRegisters({0, 1, 2, 3, 4, 5, 0x40100a, 0x12ff00, 0x12ff10});
    }
    std::string StackDumpText() override {
        std::vector<uint8_t> stack;
        for (int i = 0; i < 24; ++i)
            stack.push_back(static_cast<uint8_t>('A' + i));
        return GetStackDump(0x12ff00, stack);
    }
    std::string DisAsmText(TAddress, TAddress) override { return {}; }
    std::string PluginText(std::string_view) override { return {}; }
    void CloseProgress() override {}

    TQXReport* report = nullptr;

private:
    const TThreadRegistryEntry* Find(uint32_t id) const {
        auto it = registry_.find(id);
        return it == registry_.end() ? nullptr : &it->second;
    }
    std::map<uint32_t, TThreadRegistryEntry> registry_;
    std::vector<TThreadStackRecord> threads_;
    std::vector<std::pair<std::string, std::string>> plan_;
};

} // namespace

TEST(ReportFlow, AccessViolationInTheMainThreadWithAWorker) {
    TLabProcess lab;
    TQXReport report(lab);
    lab.report = &report;

    const std::string early = report.ReportText(false);
    EXPECT_NE(early.find("main thread ($9f4):\r\n"
                         "0040100a crashlab.exe\r\n"
                         ">> stack will be calculated soon\r\n"
                         "\r\n"
                         "thread $20 (TWorker): <suspended>\r\n"
                         "00402000 crashlab.exe\r\n"
                         ">> stack will be calculated soon\r\n"
                         "\r\n"
                         "cpu registers:\r\n"
                         ">> will be calculated soon"),
              std::string::npos)
        << early;

    // The worker's stack checksum is folded into the crashed thread's, bytes low first.
    const uint8_t worker[4] = {0x78, 0x56, 0x34, 0x12};
    const uint32_t all = static_cast<uint32_t>(~crc32(~0x2001UL & 0xffffffffUL, worker, 4));
    char allText[16];
    std::snprintf(allText, sizeof allText, "$%08x", all);

    const std::string expected =
        "computer name    : PC\r\n"
        "process id       : $10\r\n"
        "executable       : crashlab.exe\r\n"
        "qixExcept version: 3.0b\r\n"
        "callstack crc    : $00001001, $00002001, " +
        std::string(allText) +
        "\r\n"
        "exception number : 1\r\n"
        "exception class  : EAccessViolation\r\n"
        "exception message: Access violation at address 0040100A in module 'crashlab.exe'. "
        "Write of address 00000000.\r\n"
        "\r\n"
        "main thread ($9f4):\r\n"
        "0040100a crashlab.exe crash.cpp 12 [WriteNull]\r\n"
        "00401200 crashlab.exe main.cpp 30 [main]\r\n"
        "\r\n"
        "thread $20 (TWorker): <suspended>\r\n"
        "00402000 crashlab.exe worker.cpp 5 [Spin]\r\n"
        ">> created by main thread ($9f4) at:\r\n"
        "00401500 crashlab.exe main.cpp 20 [StartWorker]\r\n"
        "\r\n"
        "cpu registers:\r\n"
        "eax = 00000000\r\n"
        "ebx = 00000001\r\n"
        "ecx = 00000002\r\n"
        "edx = 00000003\r\n"
        "esi = 00000004\r\n"
        "edi = 00000005\r\n"
        "eip = 0040100a\r\n"
        "esp = 0012ff00\r\n"
        "ebp = 0012ff10\r\n"
        "\r\n"
        "stack dump:\r\n"
        "0012ff00  41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP\r\n"
        "0012ff10  51 52 53 54 55 56 57 58" +
        std::string(1 + 2 + 8 * 3 + 1, ' ') + "QRSTUVWX";
    EXPECT_EQ(report.CompleteReport(), expected);
    EXPECT_TRUE(report.IsComplete());
}
