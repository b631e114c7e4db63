// The mailto fall-back: hand-worked escapes and command lines, and the URL taken apart
// again by Python's urllib.
#include "crashreport/delivery/qixExceptSend_Mailto.h"

#include "qixSendTestUtil.h"

#include <gtest/gtest.h>

namespace qix {
namespace {

using test::Hex;

TEST(MailtoUrl, EscapesAndLayout) {
    EXPECT_EQ(PercentEncodeMailto("a b\r\n\"#%+<>?&=x\xe9"),
              "a%20b%0D%0A%22%23%25%2B%3C%3E%3F%26=x\xe9");
    // Other control bytes would be dropped by URL readers on the way.
    EXPECT_EQ(PercentEncodeMailto(std::string("\t\x01\x7f", 3)), "%09%01%7F");
    EXPECT_EQ(BuildMailtoUrl("a@x.org; b@y.org", "bug report", "line1\nline2"),
              "mailto:a@x.org,b@y.org?subject=bug%20report&body=line1%0Aline2");
    EXPECT_EQ(BuildMailtoUrl("", "", ""), "mailto:?subject=&body=");
}

TEST(MailtoUrl, UrllibGetsTheTextsBack) {
    test::TTempDir dir;
    const std::string subject = "Access violation at 0040A1B2 & more? #1 100% <x>";
    const std::string body = "Report\r\n.\r\n\"quoted\" a+b=c&subject=forged\tend \xe4";
    const std::string path = dir.File("url.txt", BuildMailtoUrl("dev@example.org", subject, body));
    test::ExpectSameLines(test::RunTool("/usr/bin/python3 " QIX_MAILTOPARSE " '" + path + "'"),
                          "scheme mailto\n"
                          "to dev@example.org\n"
                          "subject " +
                              Hex(subject) +
                              "\n"
                              "body " +
                              Hex(body) + "\n");
}

TEST(MailtoCommand, SlotAppendAndCut) {
    const std::string url = "mailto:a@x.org?subject=s&body=b";
    EXPECT_EQ(BuildMailtoCommand("\"C:\\Mail\\mail.exe\" /m \"%1\"", url),
              "\"C:\\Mail\\mail.exe\" /m \"" + url + "\"");
    EXPECT_EQ(BuildMailtoCommand("mail.exe", url), "mail.exe " + url);
    EXPECT_EQ(BuildMailtoCommand("mail.exe ", url), "mail.exe " + url);
    EXPECT_EQ(BuildMailtoCommand("", url), url);
    // Never a cut inside an escape: "x %20%0A" has 8 characters.
    EXPECT_EQ(BuildMailtoCommand("x", "%20%0A", 8), "x %20%0A");
    EXPECT_EQ(BuildMailtoCommand("x", "%20%0A", 7), "x %20");
    EXPECT_EQ(BuildMailtoCommand("x", "%20%0A", 6), "x %20");
    EXPECT_EQ(BuildMailtoCommand("x", "%20%0A", 5), "x %20");
    EXPECT_EQ(BuildMailtoCommand("x", "%20%0A", 4), "x ");
    const std::string longBody(40000, 'r');
    EXPECT_EQ(BuildMailtoCommand("m.exe %1", "mailto:?body=" + longBody).size(), kMaxNtCommandLine);
}

} // namespace
} // namespace qix
