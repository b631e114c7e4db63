// The bug report file's folding and size limit on hand-written reports.
#include "crashreport/ui/qixExceptBox_File.h"

#include <gtest/gtest.h>

using namespace qix;

namespace {

std::string Report(const std::string& time, const std::string& crc,
                   const std::string& exe = "lab.exe",
                   const std::string& body = "main thread ($1a4):\r\n00401234 lab.exe Crash") {
    return "date/time       : " + time + "\r\n" + "executable      : " + exe + "\r\n" +
           "current module  : lab.exe\r\n" + "version         : 1.0\r\n" +
           "exception class : EAccessViolation\r\n" + "callstack crc   : " + crc + "\r\n\r\n" +
           body;
}

const std::string kCrcA = "$0a1b2c3d, $11111111, $22222222";
const std::string kCrcB = "$0a1b2c3d, $99999999, $22222222"; // same first 20? no: differs at 13
const std::string kCrcC = "$ffffffff, $11111111, $22222222";

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(BugReportFile, HeaderValues) {
    const std::string r = Report("2026-12-08 07:00", kCrcA);
    EXPECT_EQ(ReportHeaderValue(r, "callstack crc"), kCrcA);
    EXPECT_EQ(ReportHeaderValue(r, "executable"), "lab.exe");
    EXPECT_FALSE(ReportHeaderValue(r, "count").has_value());
    // Only the header counts, not the sections below it.
    EXPECT_FALSE(ReportHeaderValue(r, "main thread ($1a4)").has_value());
}

TEST(BugReportFile, SameCrashFoldsWithACount) {
    TBugFileRules rules;
    std::string file = ComposeBugReportFile("", Report("07:00", kCrcA), rules);
    file = ComposeBugReportFile(file, Report("07:01", kCrcA), rules);
    EXPECT_EQ(Count(file, "date/time"), 1u);
    EXPECT_NE(file.find("07:01"), std::string::npos);
    // The count line sits under the crc line with its colon lined up.
    EXPECT_NE(file.find("callstack crc   : " + kCrcA + "\r\ncount           : 2\r\n"),
              std::string::npos);
    file = ComposeBugReportFile(file, Report("07:02", kCrcA), rules);
    EXPECT_EQ(Count(file, "date/time"), 1u);
    EXPECT_EQ(ReportHeaderValue(file, "count"), "3");
    EXPECT_EQ(file.substr(file.size() - 4), "\r\n\r\n");
}

TEST(BugReportFile, DifferentCrashesStay) {
    TBugFileRules rules;
    std::string file = ComposeBugReportFile("", Report("07:00", kCrcA), rules);
    file = ComposeBugReportFile(file, Report("07:01", kCrcC), rules);
    file = ComposeBugReportFile(file, Report("07:02", kCrcA, "other.exe"), rules);
    EXPECT_EQ(Count(file, "date/time"), 3u);
    EXPECT_EQ(Count(file, "count"), 0u);
}

TEST(BugReportFile, DefinitionChoosesHowMuchOfTheCrcCounts) {
    TBugFileRules rules;
    rules.dupExceptDef = 0; // first 9 characters: "$0a1b2c3d"
    std::string file = ComposeBugReportFile("", Report("07:00", kCrcA), rules);
    EXPECT_EQ(Count(ComposeBugReportFile(file, Report("07:01", kCrcB), rules), "date/time"), 1u);
    rules.dupExceptDef = 2; // all 31
    EXPECT_EQ(Count(ComposeBugReportFile(file, Report("07:01", kCrcB), rules), "date/time"), 2u);
    rules.noDupExcepts = false;
    EXPECT_EQ(Count(ComposeBugReportFile(file, Report("07:01", kCrcA), rules), "date/time"), 2u);
}

TEST(BugReportFile, WithoutAppendOnlyTheNewReport) {
    TBugFileRules rules;
    rules.append = false;
    EXPECT_EQ(ComposeBugReportFile("old stuff", "new", rules), "new\r\n\r\n");
}

TEST(BugReportFile, SizeLimitDropsOldestWholeReports) {
    TBugFileRules rules;
    rules.noDupExcepts = false;
    std::string file;
    for (int i = 0; i < 10; ++i)
        file = ComposeBugReportFile(file, Report("07:0" + std::to_string(i), kCrcA), rules);
    const size_t one = file.size() / 10;
    rules.sizeLimit = static_cast<int32_t>(one * 4); // file is 10 reports: cut to < 3 reports
    const std::string cut = ComposeBugReportFile(file, Report("07:10", kCrcA), rules);
    EXPECT_EQ(cut.substr(0, 9), "date/time");
    EXPECT_EQ(Count(cut, "date/time"), 3u); // two old ones below 3/4 of the limit, plus the new
    EXPECT_NE(cut.find("07:08"), std::string::npos);
    EXPECT_EQ(cut.find("07:07"), std::string::npos);
}

} // namespace
