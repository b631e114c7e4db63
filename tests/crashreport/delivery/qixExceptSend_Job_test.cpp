// Phase weights worked out by hand from the layout of the dialogues, and the texts a
// send takes from its settings and the report.
#include "crashreport/delivery/qixExceptSend_Job.h"

#include "crashreport/delivery/qixExceptSend_Http.h"

#include <gtest/gtest.h>

namespace qix {
namespace {

using P = std::vector<TSendPhase>;

TEST(SendPhases, OverviewPerChannel) {
    EXPECT_EQ(OverviewPhases(TSendChannel::None, true), (P{{"PrepAttMsg", 100}}));
    EXPECT_EQ(OverviewPhases(TSendChannel::SmtpDirect, true), (P{{"PrepAttMsg", 100},
                                                                 {"MxLookMsg", 100},
                                                                 {"ConnMsg", 100},
                                                                 {"AuthMsg", 200},
                                                                 {"SendMailMsg", 100},
                                                                 {"SendAttMsg", 100},
                                                                 {"SendFinalMsg", 100}}));
    EXPECT_EQ(OverviewPhases(TSendChannel::HttpUpload, false),
              (P{{"PrepAttMsg", 100}, {"ConnMsg", 100}, {"FieldMsg", 100}, {"SendFinalMsg", 100}}));
}

TEST(SendPhases, SmtpAttachmentWeights) {
    // 1 byte: one line, 3; 57 bytes: one line, 3; 58 bytes: two lines, 6; empty: none.
    const P phases = SmtpSessionPhases(true, {1, 0, 57, 58});
    ASSERT_EQ(phases.size(), 1u + 10u + 3u + 2u);
    EXPECT_EQ(phases.front(), (TSendPhase{"MxLookMsg", 500}));
    EXPECT_EQ(phases[11], (TSendPhase{"SendAttMsg", 3}));
    EXPECT_EQ(phases[12], (TSendPhase{"SendAttMsg", 3}));
    EXPECT_EQ(phases[13], (TSendPhase{"SendAttMsg", 6}));
    EXPECT_EQ(phases[14], (TSendPhase{"SendFinalMsg", 500}));
    EXPECT_EQ(phases[15], (TSendPhase{"", 100}));
    EXPECT_EQ(SmtpSessionPhases(false, {}).size(), 12u);
}

TEST(SendPhases, UploadWeightsFollowTheRequest) {
    TUploadFile file{"x", "BugReport", "bugreport.txt", 1000};
    // 135 + 9 + 13 + 1000 = 1157 bytes, weight 1157 / 16 = 72.
    EXPECT_EQ(UploadPhases(95, {UploadPartLength(file)}), (P{{"ConnMsg", 100},
                                                             {"", 100},
                                                             {"FieldMsg", 195},
                                                             {"SendAttMsg", 72},
                                                             {"", 100},
                                                             {"SendFinalMsg", 500}}));
}

TEST(SendTexts, SenderMessageAndScreenshotMode) {
    EXPECT_EQ(SenderFor("me@x.org", "dev@y.org"), "me@x.org");
    EXPECT_EQ(SenderFor("", " dev@y.org ; ops@z.org"), "qixExcept <dev@y.org>");
    EXPECT_EQ(SenderFor("", "Dev <dev@y.org>"), "qixExcept <dev@y.org>");
    EXPECT_EQ(SenderFor("", ""), "");
    EXPECT_EQ(ExceptionMessageOf("date/time         : 2026\r\n"
                                 "exception message : Access violation: read of 0 \r\n"
                                 "exception address : 0040a1b2\r\n"),
              "Access violation: read of 0");
    EXPECT_EQ(ExceptionMessageOf("exception message : first line has no break before it"), "");
    EXPECT_EQ(ExceptionMessageOf("x\nexception message without colon\n"), "");
    for (auto [depth, mode] : {std::pair{4, 1},
                               {51200, 2},
                               {102400, 3},
                               {204800, 4},
                               {307200, 5},
                               {0, 0},
                               {8, 0},
                               {-1, 0}})
        EXPECT_EQ(ScreenshotPngMode(depth), mode) << depth;
}

} // namespace
} // namespace qix
