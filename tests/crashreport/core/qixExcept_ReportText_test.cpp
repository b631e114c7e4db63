// The joined report text and the report state: change notification, stored text,
// listeners and completion.
#include "crashreport/core/qixExcept_Report.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

using namespace qix;

TEST(ReportText, SectionsFollowTheHeaderWithCleanedLines) {
    TIQXFields header, sections;
    header.AcceptData();
    sections.AcceptData();
    header.Add("exception number", "1");
    header.Add("executable", "a.exe");
    sections.Add("main thread ($9f4):", "0040100a a.exe\r\n   \r\n  indented  \t\r\rlast");
    sections.Add("cpu registers", "eax = 00000000\nebx = 00000001");
    EXPECT_EQ(JoinReportText(header, sections), "exception number: 1\r\n"
                                                "executable      : a.exe\r\n"
                                                "\r\n"
                                                "main thread ($9f4):\r\n"
                                                "0040100a a.exe\r\n"
                                                ".\r\n"
                                                "  indented\r\n"
                                                ".\r\n"
                                                "last\r\n"
                                                "\r\n"
                                                "cpu registers:\r\n"
                                                "eax = 00000000\r\n"
                                                "ebx = 00000001");
}

TEST(ReportText, EmptyHeaderStartsWithTheSectionBreak) {
    TIQXFields header, sections;
    sections.AcceptData();
    sections.Add("stack dump", "x");
    EXPECT_EQ(JoinReportText(header, sections), "\r\n\r\nstack dump:\r\nx");
}

namespace {

// Header and placeholders as the pipeline would make them; the completion runs when
// the text must be complete.
class TFakeBuilder : public IReportBuilder {
public:
    void FillHeader(TIQXFields& header) override {
        ++headerFills;
        THeaderLines lines;
        lines.lines = {{"executable", "a.exe"}, {"callstack crc", "will be calculated soon"}};
        lines.addPosition = 0;
        StoreHeaderLines(header, lines);
    }
    void PrepareSections(TIQXFields& sections) override {
        ++sectionPreparations;
        sections.Lock();
        sections.Add("main thread ($1):", "0040100a\r\n>> stack will be calculated soon");
        sections.Add("cpu registers", ">> will be calculated soon");
        sections.Unlock();
    }
    void WaitForCompletion() override {
        ++waits;
        report->StoreSection("main thread ($1):", "0040100a main");
        report->StoreSection("cpu registers", "eax = 00000001");
        report->FinishSections({0xa1b2c3d, 0, 0xffffffff}, {"crashlab.exe|missing", "bad"});
    }
    TQXReport* report = nullptr;
    int headerFills = 0, sectionPreparations = 0, waits = 0;
};

struct TCalls {
    int count = 0;
    bool lastComplete = false;
    std::string lastText;
};
TCalls gProcedureCalls;

void ProcedureListener(bool complete, const std::string& text, TQXReport&) {
    ++gProcedureCalls.count;
    gProcedureCalls.lastComplete = complete;
    gProcedureCalls.lastText = text;
}

} // namespace

TEST(ReportState, TextIsBuiltOnceAndCompletedOnRequest) {
    TFakeBuilder builder;
    TQXReport report(builder);
    builder.report = &report;
    const std::string first = report.ReportText(false);
    EXPECT_EQ(first, "executable   : a.exe\r\n"
                     "callstack crc: will be calculated soon\r\n"
                     "\r\n"
                     "main thread ($1):\r\n"
                     "0040100a\r\n"
                     ">> stack will be calculated soon\r\n"
                     "\r\n"
                     "cpu registers:\r\n"
                     ">> will be calculated soon");
    EXPECT_FALSE(report.IsComplete());
    const uint64_t counter = report.ChangeCounter();
    EXPECT_EQ(report.ReportText(false), first);
    EXPECT_EQ(report.ChangeCounter(), counter); // reading changes nothing
    EXPECT_EQ(builder.waits, 0);

    const std::string complete = report.CompleteReport();
    EXPECT_TRUE(report.IsComplete());
    EXPECT_EQ(builder.waits, 1);
    // The ".qix" line is the longest name now.
    EXPECT_EQ(complete, "executable      : a.exe\r\n"
                        "callstack crc   : $0a1b2c3d, $00000000, $ffffffff\r\n"
                        "crashlab.exe.qix: missing\r\n"
                        "\r\n"
                        "main thread ($1):\r\n"
                        "0040100a main\r\n"
                        "\r\n"
                        "cpu registers:\r\n"
                        "eax = 00000001");
    EXPECT_EQ(report.ReportText(true), complete);
    EXPECT_EQ(builder.waits, 1);
    EXPECT_EQ(builder.headerFills, 1);
    EXPECT_EQ(builder.sectionPreparations, 1);
}

TEST(ReportState, OneNotificationPerLockedSequenceAndListenerRules) {
    TFakeBuilder builder;
    TQXReport report(builder);
    builder.report = &report;
    const std::string current = report.ReportText(false);
    gProcedureCalls = {};
    report.AddReportListener(ProcedureListener, false);
    EXPECT_EQ(gProcedureCalls.count, 1); // called at once with the current state
    EXPECT_EQ(gProcedureCalls.lastText, current);
    EXPECT_FALSE(gProcedureCalls.lastComplete);
    EXPECT_NE(gProcedureCalls.lastText.find("will be calculated soon"), std::string::npos);
    EXPECT_FALSE(report.HasCriticalListener());
    report.AddReportListener(ProcedureListener, true); // only the flag changes
    EXPECT_EQ(gProcedureCalls.count, 1);
    EXPECT_TRUE(report.HasCriticalListener());

    std::vector<std::string> order;
    int key = 0;
    report.AddReportListener(
        &key, [&](bool, const std::string&, TQXReport&) { order.push_back("method"); }, false);
    ASSERT_EQ(order.size(), 1u);

    auto header = report.HeaderFields();
    const int before = gProcedureCalls.count;
    header->Lock();
    header->Add("user name", "bob");
    header->Add("computer name", "pc");
    header->Delete("executable");
    header->Unlock();
    EXPECT_EQ(gProcedureCalls.count, before + 1);
    EXPECT_EQ(order.size(), 2u);
    EXPECT_NE(gProcedureCalls.lastText.find("computer name"), std::string::npos);
    EXPECT_EQ(gProcedureCalls.lastText.find("executable"), std::string::npos);

    header->Add("user name", "bob"); // unchanged: no notification
    EXPECT_EQ(gProcedureCalls.count, before + 1);

    report.RemoveReportListener(ProcedureListener);
    report.RemoveReportListener(&key);
    EXPECT_FALSE(report.HasCriticalListener());
    header->Add("user name", "carol");
    EXPECT_EQ(gProcedureCalls.count, before + 1);
    EXPECT_EQ(order.size(), 2u);

    gProcedureCalls = {};
    report.AddReportListener(ProcedureListener, false);
    report.SetReportText("replaced");
    EXPECT_EQ(gProcedureCalls.lastText, "replaced");
    report.RemoveReportListener(ProcedureListener);
}

TEST(ReportState, CompletionNotifiesCompleteAndIsIgnoredOnceAbandoned) {
    TFakeBuilder builder;
    TQXReport report(builder);
    builder.report = &report;
    gProcedureCalls = {};
    report.AddReportListener(ProcedureListener, false);
    report.FinishSections({1, 2, 3}, {});
    EXPECT_TRUE(gProcedureCalls.lastComplete);
    EXPECT_NE(gProcedureCalls.lastText.find("callstack crc: $00000001, $00000002, $00000003"),
              std::string::npos);
    report.RemoveReportListener(ProcedureListener);

    TQXReport dropped(builder);
    builder.report = &dropped;
    auto sections = dropped.SectionFields();
    dropped.Abandon();
    dropped.StoreSection("cpu registers", "eax = 00000009");
    EXPECT_EQ(sections->Contents("cpu registers"), ">> will be calculated soon");
}

TEST(ReportState, FailingListenersAndBuildersStayInside) {
    class TFailing : public IReportBuilder {
    public:
        void FillHeader(TIQXFields&) override { throw std::runtime_error("no header"); }
        void PrepareSections(TIQXFields& sections) override {
            sections.Add("stack dump", "half");
            throw std::runtime_error("no sections");
        }
        void WaitForCompletion() override { throw std::runtime_error("no wait"); }
    } builder;
    TQXReport report(builder);
    EXPECT_EQ(report.CompleteReport(), "\r\n\r\nstack dump:\r\nhalf");

    int calls = 0;
    int first = 0, second = 0;
    report.AddReportListener(
        &first,
        [&](bool, const std::string&, TQXReport&) {
            ++calls;
            throw std::runtime_error("listener failed");
        },
        false);
    report.AddReportListener(
        &second, [&](bool, const std::string&, TQXReport&) { ++calls; }, false);
    calls = 0;
    report.HeaderFields()->Add("user name", "x");
    EXPECT_EQ(calls, 2);
    report.RemoveReportListener(&first);
    report.RemoveReportListener(&second);
}

TEST(ReportState, NoReportWantedGivesNoText) {
    TFakeBuilder builder;
    TQXReport report(builder, false);
    EXPECT_EQ(report.ReportText(false), "");
    EXPECT_EQ(builder.headerFills, 0);
    EXPECT_EQ(report.HeaderFields()->ItemCount(), 0);
}

TEST(ReportState, ConcurrentWritersAndReadersEndWithEveryField) {
    TFakeBuilder builder;
    TQXReport report(builder);
    builder.report = &report;
    std::atomic<int> notifications{0};
    int key = 0;
    report.AddReportListener(
        &key, [&](bool, const std::string&, TQXReport&) { ++notifications; }, false);
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i)
            report.HeaderFields()->Add("field " + std::to_string(i), "v");
    });
    std::thread sections([&] {
        for (int i = 0; i < 200; ++i)
            report.StoreSection("section " + std::to_string(i), "body");
    });
    for (int i = 0; i < 50; ++i)
        (void)report.ReportText(false);
    writer.join();
    sections.join();
    const std::string text = report.ReportText(false);
    EXPECT_EQ(report.HeaderFields()->ItemCount(), 2 + 200);
    EXPECT_NE(text.find("section 199:\r\nbody"), std::string::npos);
    EXPECT_GE(notifications.load(), 2);
    report.RemoveReportListener(&key);
}
