// The mail message: hand-worked texts byte for byte, and the whole message read back by
// Python's email package, which shares nothing with the writer.
#include "crashreport/delivery/qixExceptSend_Mime.h"

#include "qixSendTestUtil.h"

#include <gtest/gtest.h>

namespace qix {
namespace {

using test::Hex;
using test::RunTool;
using test::TTempDir;

const std::string B = "qix.7Rv2Lk.q0x_multipart_boundary";

std::string Stuff(std::string_view text, size_t piece) {
    std::string out;
    TDotStuffer stuffer([&out](std::string_view s) {
        out += s;
        return true;
    });
    for (size_t at = 0; at < text.size(); at += piece)
        EXPECT_TRUE(stuffer.Write(text.substr(at, piece)));
    return out;
}

TEST(MailHeaderTexts, SubjectDateAndMessageId) {
    EXPECT_EQ(EncodeMailSubject("bug report"), "=?ISO-8859-1?Q?bug=20report?=");
    EXPECT_EQ(EncodeMailSubject("A_b=?\xe9"), "=?ISO-8859-1?Q?A=5Fb=3D=3F=E9?=");
    EXPECT_EQ(EncodeMailSubject(""), "=?ISO-8859-1?Q?"
                                     "?=");
    EXPECT_EQ(FormatMailDate({2026, 12, 8, 6, 5, 9}), "8 Dec 2026 06:05:09 UT");
    EXPECT_EQ(FormatMailDate({1999, 1, 31, 23, 59, 0}), "31 Jan 1999 23:59:00 UT");
    EXPECT_EQ(FormatMessageId(0x01db49a1b2c3d4e5ull), "<01db49a1b2c3d4e5@qixExcept>");
    EXPECT_EQ(FormatMessageId(0xabc), "<0000000000000abc@qixExcept>");
}

TEST(MailAddresses, SplittingAndAngleForms) {
    EXPECT_EQ(SplitRecipients(" a@x.org ; b@y.net,,  c <c@z.com> "),
              (std::vector<std::string>{"a@x.org", "b@y.net", "c <c@z.com>"}));
    EXPECT_TRUE(SplitRecipients(" ;, ").empty());
    EXPECT_EQ(AngleAddress("a@x.org"), "<a@x.org>");
    EXPECT_EQ(AngleAddress("qixExcept <crash@x.org>"), "<crash@x.org>");
    EXPECT_EQ(AngleAddress("broken <crash@x.org"), "<crash@x.org>");
    // Settings text must not smuggle a second command into the dialogue.
    EXPECT_EQ(AngleAddress("a@x.org\r\nQUIT"), "<a@x.org  QUIT>");
    EXPECT_EQ(HeaderAddress("Dev <dev@x.org>"), "Dev <dev@x.org>");
    EXPECT_EQ(HeaderAddress("dev@x.org"), "<dev@x.org>");
    EXPECT_EQ(AddressDomain("Dev <dev@Mail.X.org.>"), "Mail.X.org");
    EXPECT_EQ(AddressDomain("nodomain"), "");
}

TEST(MailBody, LineBreaksBecomeCrLf) {
    EXPECT_EQ(NormalizeLineBreaks("a\nb\r\nc\rd\n\n"), "a\r\nb\r\nc\r\nd\r\n\r\n");
    EXPECT_EQ(NormalizeLineBreaks("\r\r\n"), "\r\n\r\n");
}

TEST(DotStuffing, EveryLineStartingWithADotGetsASecondOne) {
    const std::string text = ".first\r\nplain\r\n.\r\n..two\r\nmid.dot\r\n.";
    const std::string want = "..first\r\nplain\r\n..\r\n...two\r\nmid.dot\r\n..";
    // The state carries across pieces of any size, including a break between CR and LF.
    for (size_t piece : {1u, 2u, 3u, 7u, 100u})
        EXPECT_EQ(Stuff(text, piece), want) << "piece " << piece;
    EXPECT_EQ(Stuff("no dots here", 4), "no dots here");
}

TEST(Base64Lines, FiftySevenBytesPerLine) {
    // Published: "Man" is "TWFu"; zero bytes encode as "A".
    EXPECT_EQ(Base64Lines("Man"), "TWFu\r\n");
    EXPECT_EQ(Base64Lines(std::string(57, '\0')), std::string(76, 'A') + "\r\n");
    EXPECT_EQ(Base64Lines(std::string(58, '\0')), std::string(76, 'A') + "\r\nAA==\r\n");
    EXPECT_EQ(Base64Lines(std::string(114, '\0')),
              std::string(76, 'A') + "\r\n" + std::string(76, 'A') + "\r\n");
    EXPECT_EQ(Base64Lines(""), "");
}

class MailMessage : public ::testing::Test {
protected:
    TTempDir Dir;
    TMailMessage Message() const {
        TMailMessage m;
        m.To = "dev@example.org";
        m.From = "qixExcept <crash@example.com>";
        m.Subject = "bug report";
        m.Body = "line1\n.\n.hidden\nend";
        m.Date = {2026, 12, 8, 6, 5, 9};
        m.FileTime = 0x01db49a1b2c3d4e5ull;
        return m;
    }
};

TEST_F(MailMessage, WithAttachmentsByteForByte) {
    TMailMessage m = Message();
    m.Attachments = {{Dir.File("a.txt", "Man"), "a.txt"},
                     {Dir.File("empty.bin", ""), "empty.bin"},
                     {(Dir.Path / "missing.bin").string(), "missing.bin"},
                     {Dir.File("shot.PNG", std::string(58, '\0')), "screen.png"}};
    const std::string want = "To: <dev@example.org>\r\n"
                             "From: qixExcept <crash@example.com>\r\n"
                             "Subject: =?ISO-8859-1?Q?bug=20report?=\r\n"
                             "Date: 8 Dec 2026 06:05:09 UT\r\n"
                             "Message-ID: <01db49a1b2c3d4e5@qixExcept>\r\n"
                             "MIME-Version: 1.0\r\n"
                             "Content-Type: multipart/mixed; boundary=\"" +
                             B +
                             "\"\r\n"
                             "\r\n"
                             "This is a multi-part message in MIME format.\r\n"
                             "\r\n"
                             "--" +
                             B +
                             "\r\n"
                             "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
                             "Content-Transfer-Encoding: 8bit\r\n"
                             "\r\n"
                             "line1\r\n.\r\n.hidden\r\nend\r\n"
                             "--" +
                             B +
                             "\r\n"
                             "Content-Type: application/octet-stream; name=\"a.txt\"\r\n"
                             "Content-Transfer-Encoding: base64\r\n"
                             "Content-Disposition: attachment; filename=\"a.txt\"\r\n"
                             "\r\n"
                             "TWFu\r\n"
                             "--" +
                             B +
                             "\r\n"
                             "Content-Type: image/png; name=\"screen.png\"\r\n"
                             "Content-Transfer-Encoding: base64\r\n"
                             "Content-Disposition: attachment; filename=\"screen.png\"\r\n"
                             "\r\n" +
                             std::string(76, 'A') +
                             "\r\n"
                             "AA==\r\n"
                             "--" +
                             B + "--\r\n";
    EXPECT_EQ(BuildMailMessage(m), want);

    test::TCountingProgress progress;
    std::string streamed;
    ASSERT_TRUE(WriteMailMessage(
        m,
        [&streamed](std::string_view s) {
            streamed += s;
            return true;
        },
        &progress));
    EXPECT_EQ(streamed, want);
    EXPECT_EQ(progress.Done, 3); // the header, then the two files that were sent
}

TEST_F(MailMessage, WithoutAttachmentsPlainBody) {
    const std::string want = "To: <dev@example.org>\r\n"
                             "From: qixExcept <crash@example.com>\r\n"
                             "Subject: =?ISO-8859-1?Q?bug=20report?=\r\n"
                             "Date: 8 Dec 2026 06:05:09 UT\r\n"
                             "Message-ID: <01db49a1b2c3d4e5@qixExcept>\r\n"
                             "\r\n"
                             "line1\r\n.\r\n.hidden\r\nend";
    EXPECT_EQ(BuildMailMessage(Message()), want);
}

TEST_F(MailMessage, SeveralRecipientsEachInAngles) {
    TMailMessage m = Message();
    m.To = "a@x.org; Bee <b@y.org>";
    EXPECT_NE(BuildMailHeader(m).find("To: <a@x.org>, Bee <b@y.org>\r\n"), std::string::npos);
}

TEST_F(MailMessage, QuotesInSendAsNamesCannotBreakTheHeader) {
    EXPECT_EQ(AttachmentPartHeader("x.bin", "a\"b\r\n.zip"),
              "--" + B +
                  "\r\nContent-Type: application/octet-stream; name=\"a_b__.zip\"\r\n"
                  "Content-Transfer-Encoding: base64\r\n"
                  "Content-Disposition: attachment; filename=\"a_b__.zip\"\r\n\r\n");
}

TEST_F(MailMessage, SinkRefusalStopsTheWriter) {
    TMailMessage m = Message();
    m.Attachments = {{Dir.File("big.bin", std::string(100000, 'x')), "big.bin"}};
    size_t calls = 0;
    EXPECT_FALSE(WriteMailMessage(m, [&calls](std::string_view) { return ++calls < 3; }));
    EXPECT_EQ(calls, 3u);
}

TEST_F(MailMessage, PythonEmailReadsItBack) {
    TMailMessage m = Message();
    m.To = "dev@example.org, Other <other@example.net>";
    m.Subject = "Zugriffsverletzung bei Adresse 0040A1B2 \xe4\xf6\xfc (100%)";
    std::string binary;
    for (int i = 0; i < 700; ++i)
        binary += char((i * 7 + i / 13) & 0xff);
    const std::string report = "Ravelink 2\r\n.\r\n..two dots\r\n" + std::string(200, 'r');
    m.Attachments = {{Dir.File("bugreport.txt", report), "bugreport.txt"},
                     {Dir.File("screenShot.png", binary), "screenShot.png"}};
    const std::string path = Dir.File("mail.eml", BuildMailMessage(m));
    const std::string facts = RunTool("/usr/bin/python3 " QIX_MAILPARSE " '" + path + "'");
    const std::string expected =
        "defects 0\n"
        // Python normalises address lists and dates; its calendar confirms the weekday.
        "header To: dev@example.org, Other <other@example.net>\n"
        "header From: qixExcept <crash@example.com>\n"
        "header Subject: Zugriffsverletzung bei Adresse 0040A1B2 \xc3\xa4\xc3\xb6\xc3\xbc "
        "(100%)\n"
        "header Date: Tue, 08 Dec 2026 06:05:09 +0000\n"
        "header Message-ID: <01db49a1b2c3d4e5@qixExcept>\n"
        "header MIME-Version: 1.0\n"
        "boundary " +
        B +
        "\n"
        "part text/plain charset=iso-8859-1 cte=8bit filename=None disposition=None defects=0 "
        "hex=" +
        // The CR LF before a delimiter belongs to the delimiter.
        Hex("line1\r\n.\r\n.hidden\r\nend") +
        "\n"
        "part application/octet-stream charset=None cte=base64 filename=bugreport.txt "
        "disposition=attachment defects=0 hex=" +
        Hex(report) +
        "\n"
        "part image/png charset=None cte=base64 filename=screenShot.png "
        "disposition=attachment defects=0 hex=" +
        Hex(binary) + "\n";
    test::ExpectSameLines(facts, expected);
}

} // namespace
} // namespace qix
