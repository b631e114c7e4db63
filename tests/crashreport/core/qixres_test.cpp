// The settings writer: text -> resource -> parser must give the values back, and
// bad input must be rejected with a message that names the line.
#include "crashreport/core/qixExcept_Settings.h"
#include "crashreport/support/qixCrypt.h"
#include "qixSettingsTestUtil.h"
#include "tools/qixres/qixresText.h"

#include <gtest/gtest.h>

using namespace qix;

namespace {

std::shared_ptr<TIQXSettings> Compile(const std::string& text) {
    std::vector<uint8_t> resource;
    std::vector<qixres::TError> errors;
    EXPECT_TRUE(qixres::CompileSettings(text, resource, errors));
    for (const auto& e : errors)
        ADD_FAILURE() << e.line << ": " << e.message;
    return std::make_shared<TIQXSettings>(std::make_shared<test::TFakeEnvironment>(), 0x400000,
                                          MakeOwnedRecord(0x400000, resource));
}

std::vector<qixres::TError> Errors(const std::string& text) {
    std::vector<uint8_t> resource;
    std::vector<qixres::TError> errors;
    EXPECT_FALSE(qixres::CompileSettings(text, resource, errors));
    EXPECT_TRUE(resource.empty());
    return errors;
}

} // namespace

TEST(QixresCompile, RoundTripGivesTheValuesBack) {
    auto s = Compile(R"(# comment
; another comment

Enabled = true
NoSettings=off
AutoDelay = -5
BugRepFileSize = 0x7fffffff
SmtpPort = 40000
FreezeTimeout = -100000
DupFreezeDef = 3
MailAddr = bugs@example.org
TitleBar = "  %appname% \"crashed\"\t"
ExceptMsg = line one%LF%line two
SmtpPassword = s3cret pass
SmtpAccount = reporter
SmtpServer = mail.example.org
HttpPassword = web
MinDebugInfo = 0123456789012345678901234567890
)");
    EXPECT_TRUE(s->Enabled());
    EXPECT_FALSE(s->NoSettings());
    EXPECT_EQ(s->AutoDelay(), -5);
    EXPECT_EQ(s->BugRepFileSize(), 0x7fffffff);
    EXPECT_EQ(s->SmtpPort(), 40000);
    EXPECT_EQ(s->FreezeTimeout(), -100000);
    EXPECT_EQ(s->DupFreezeDef(), 3);
    EXPECT_EQ(s->MailAddr(), "bugs@example.org");
    EXPECT_EQ(s->TitleBar(), "  Ravelink.exe \"crashed\"\t");
    EXPECT_EQ(s->ExceptMsg(), "line one\r\nline two");
    EXPECT_EQ(s->SmtpPassword(), "s3cret pass");
    EXPECT_EQ(s->HttpPassword(), "web"); // no account or server: stays decodable
    EXPECT_TRUE(s->MinDebugInfoOnly());
    EXPECT_EQ(s->CheckFileCrc(), true); // untouched default
}

TEST(QixresCompile, StoredPasswordIsNotPlainText) {
    std::vector<uint8_t> resource;
    std::vector<qixres::TError> errors;
    ASSERT_TRUE(
        qixres::CompileSettings("SmtpServer = s\nSmtpPassword = topsecret\n", resource, errors));
    const std::string bytes(resource.begin(), resource.end());
    EXPECT_EQ(bytes.find("topsecret"), std::string::npos);
    TParseResult parsed = ParseSettingsResource(resource);
    ASSERT_EQ(parsed.props.size(), 2u);
    EXPECT_EQ(DecryptPassword(parsed.props[1].strValue, "", "s"), "topsecret");
}

TEST(QixresCompile, LongStringsUseTheLongForm) {
    const std::string longText(300, 'x');
    auto s = Compile("MailBody = " + longText + "\n");
    EXPECT_EQ(s->MailBody(), longText);
}

TEST(QixresCompile, RejectsBadInputWithLineNumbers) {
    auto errors =
        Errors("Enabled = true\nEnabeld = true\nSmtpPort = 25x\nAutoSave = maybe\n"
               "no equals sign\nEnabled = false\nTitleBar = \"open\nSmtpPort = 4294967296\n"
               "MailBody = \"bad \\q escape\"\n");
    ASSERT_EQ(errors.size(), 8u);
    EXPECT_EQ(errors[0].line, 2);
    EXPECT_EQ(errors[0].message, "unknown property 'Enabeld'");
    EXPECT_EQ(errors[1].line, 3);
    EXPECT_EQ(errors[2].line, 4);
    EXPECT_EQ(errors[3].line, 5);
    EXPECT_EQ(errors[4].line, 6);
    EXPECT_NE(errors[4].message.find("already set on line 1"), std::string::npos);
    EXPECT_EQ(errors[5].line, 7);
    EXPECT_EQ(errors[6].line, 8);
    EXPECT_EQ(errors[7].line, 9);
    // Names are matched exactly, as the library does.
    EXPECT_EQ(Errors("enabled = true\n").size(), 1u);
}
