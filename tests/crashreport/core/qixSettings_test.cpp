#include "crashreport/core/qixExcept_Settings.h"
#include "qixSettingsTestUtil.h"

#include <gtest/gtest.h>

using namespace qix;
using qix::test::TBytes;
using qix::test::TFakeEnvironment;

namespace {

constexpr TModuleHandle kExe = 0x400000;
constexpr TModuleHandle kDll = 0x10000000;

std::shared_ptr<TIQXSettings> Load(const std::vector<uint8_t>& resource,
                                   TModuleHandle module = kExe,
                                   std::shared_ptr<const IQXSettings> processWide = nullptr) {
    return std::make_shared<TIQXSettings>(std::make_shared<TFakeEnvironment>(), module,
                                          MakeOwnedRecord(module, resource), processWide);
}

std::shared_ptr<TIQXSettings> NoResource(TModuleHandle module = kExe) {
    return std::make_shared<TIQXSettings>(std::make_shared<TFakeEnvironment>(), module,
                                          TRecordRef());
}

std::vector<uint8_t> OnlyEnabled() {
    return TBytes().Header().Name("Enabled").Raw({9, 0}).data;
}

} // namespace

TEST(QixSettingsTable, HasEveryPropertyOnceWithItsDefault) {
    const auto table = DefaultProperties();
    ASSERT_EQ(table.size(), 121u);
    for (size_t i = 0; i < table.size(); ++i)
        for (size_t j = i + 1; j < table.size(); ++j)
            EXPECT_NE(table[i].name, table[j].name);
    auto settings = NoResource();
    EXPECT_FALSE(settings->Valid());
    EXPECT_EQ(settings->GetPropStr("Plugins"), "modules|processes|hardware");
    EXPECT_EQ(settings->BugRepFileSize(), 100000);
    EXPECT_EQ(settings->SendFailMsg(), "Sorry, sending the bug report didn't work.");
    EXPECT_EQ(settings->BitFaultMsg(), "The file \"Ravelink.exe\" seems to be corrupt!");
    EXPECT_TRUE(settings->NoSettings());
    EXPECT_FALSE(settings->Enabled());
    EXPECT_EQ(settings->SmtpPort(), 25);
    EXPECT_EQ(settings->GetPropStr("MinDebugInfo"), "");
    EXPECT_FALSE(settings->MinDebugInfoOnly());
}

TEST(QixSettingsTable, BooleanTypedRecordsReadAsIntegers) {
    auto settings = NoResource();
    EXPECT_EQ(settings->DupFreezeDef(), 2);
    EXPECT_EQ(settings->DupExceptDef(), 1);
    EXPECT_EQ(settings->GetPropInt("DupFreezeDef"), 2);
    // The boolean field of that record was never set.
    EXPECT_FALSE(settings->GetPropBool("DupFreezeDef"));
    EXPECT_EQ(FindDefaultProperty("DupFreezeDef")->type, TPropType::Boolean);
}

TEST(QixSettingsLoad, OnlyEnabledKeepsEveryOtherDefault) {
    auto loaded = Load(OnlyEnabled());
    auto defaults = NoResource();
    ASSERT_TRUE(loaded->Valid());
    EXPECT_TRUE(loaded->Enabled());
    EXPECT_TRUE(loaded->NoSettings());
    for (const auto& def : DefaultProperties()) {
        if (def.name == "Enabled") continue;
        EXPECT_EQ(loaded->GetPropBool(def.name), defaults->GetPropBool(def.name)) << def.name;
        EXPECT_EQ(loaded->GetPropInt(def.name), defaults->GetPropInt(def.name)) << def.name;
        EXPECT_EQ(loaded->GetPropStr(def.name), defaults->GetPropStr(def.name)) << def.name;
    }
}

TEST(QixSettingsLoad, EveryValueType) {
    TBytes b;
    b.Header();
    b.Name("AutoDelay").Raw({2, 0xF6});                        // int8 -10
    b.Name("SmtpPort").Raw({3, 0x4B, 0x02});                   // int16 587
    b.Name("BugRepFileSize").Raw({4, 0x00, 0x00, 0x00, 0x80}); // int32 minimum
    b.Name("MailAddr").Raw({6, 5}).Text("a@b.c");
    b.Name("AutoSave").Raw({8});
    b.Name("AutoSend").Raw({9});
    b.Name("MailSubj").Raw({12, 3, 0, 0, 0}).Text("sub");
    b.Name("MailBody")
        .Raw({18, 3, 0, 0, 0})
        .Raw({'h', 0, 0xE9, 0, 0x3A, 0x04}); // h, e-acute, Cyrillic
    b.Raw({0});
    TParseResult parsed = ParseSettingsResource(b.data);
    EXPECT_EQ(parsed.status, TParseStatus::Ok);
    EXPECT_EQ(parsed.message, "");
    auto s = Load(b.data);
    EXPECT_EQ(s->AutoDelay(), -10);
    EXPECT_EQ(s->SmtpPort(), 587);
    EXPECT_EQ(s->BugRepFileSize(), INT32_MIN);
    EXPECT_EQ(s->MailAddr(), "a@b.c");
    EXPECT_FALSE(s->AutoSave());
    EXPECT_TRUE(s->AutoSend());
    EXPECT_EQ(s->MailSubj(), "sub");
    EXPECT_EQ(s->MailBody(), "h\xE9?");
}

TEST(QixSettingsLoad, UnknownTypeStopsAndKeepsWhatWasRead) {
    const auto data = TBytes()
                          .Header()
                          .Name("AutoDelay")
                          .Raw({2, 7})
                          .Name("SmtpPort")
                          .Raw({0x0b, 1, 2, 3, 4})
                          .Name("HttpPort")
                          .Raw({2, 9, 0})
                          .data;
    TParseResult parsed = ParseSettingsResource(data);
    EXPECT_EQ(parsed.status, TParseStatus::InvalidType);
    EXPECT_EQ(parsed.message, "Internal error: Invalid settings resource ($b).");
    ASSERT_EQ(parsed.props.size(), 1u);
    auto s = Load(data);
    EXPECT_EQ(s->AutoDelay(), 7);
    EXPECT_EQ(s->SmtpPort(), 25);
    EXPECT_EQ(s->HttpPort(), 80);
}

TEST(QixSettingsLoad, TruncatedOrForeignDataNeverYieldsGarbage) {
    const auto full = TBytes()
                          .Header()
                          .Name("MailAddr")
                          .Raw({12, 4, 0, 0, 0})
                          .Text("x@yz")
                          .Name("MailBody")
                          .Raw({18, 2, 0, 0, 0, 'o', 0, 'k', 0})
                          .Raw({0})
                          .data;
    for (size_t len = 0; len < full.size(); ++len) {
        TParseResult parsed = ParseSettingsResource(std::span<const uint8_t>(full.data(), len));
        EXPECT_NE(parsed.status, TParseStatus::Ok) << len;
        for (const auto& p : parsed.props)
            EXPECT_TRUE((p.name == "MailAddr" && p.strValue == "x@yz") ||
                        (p.name == "MailBody" && p.strValue == "ok"));
    }
    EXPECT_EQ(ParseSettingsResource(full).props.size(), 2u);
    // Lengths far beyond the data must not be trusted.
    const auto huge = TBytes().Header().Name("MailAddr").Raw({12, 0xff, 0xff, 0xff, 0x7f}).data;
    EXPECT_EQ(ParseSettingsResource(huge).status, TParseStatus::Truncated);
    const auto wide = TBytes().Header().Name("MailAddr").Raw({18, 0xff, 0xff, 0xff, 0xff}).data;
    EXPECT_EQ(ParseSettingsResource(wide).status, TParseStatus::Truncated);
    // Without the exact header nothing is read.
    auto other = full;
    other[5] = 'X';
    EXPECT_EQ(ParseSettingsResource(other).status, TParseStatus::NoHeader);
    EXPECT_TRUE(ParseSettingsResource(other).props.empty());
}

TEST(QixSettingsLoad, StoredPasswordsAreDecodedWithAccountAndServer) {
    // Stored form computed by an independent model of the encoding (pycryptodome).
    const auto data = TBytes()
                          .Header()
                          .Name("SmtpServer")
                          .Raw({6, 16})
                          .Text("smtp.example.org")
                          .Name("SmtpAccount")
                          .Raw({6, 14})
                          .Text("me@example.org")
                          .Name("SmtpPassword")
                          .Raw({6, 24})
                          .Text("Rd2lZVT3XotehhLk4AhMCg==")
                          .Raw({0})
                          .data;
    auto s = Load(data);
    EXPECT_EQ(s->SmtpPassword(), "hunter2");
    EXPECT_EQ(s->HttpPassword(), "");
}

TEST(QixSettingsWrite, RefusedWithoutResource) {
    auto s = NoResource();
    EXPECT_FALSE(s->SetSmtpPort(587));
    EXPECT_FALSE(s->SetPropStr("MailAddr", "x"));
    EXPECT_EQ(s->SmtpPort(), 25);
    EXPECT_FALSE(s->SetPluginEnabled("Modules", false));
    EXPECT_EQ(s->Plugins(), "modules|processes|hardware");
}

TEST(QixSettingsWrite, TypeMustMatchTheRecord) {
    auto s = Load(OnlyEnabled());
    EXPECT_FALSE(s->SetPropInt("Enabled", 1)); // the record is boolean
    EXPECT_TRUE(s->Enabled());
    EXPECT_TRUE(s->SetSmtpPort(587));
    EXPECT_EQ(s->SmtpPort(), 587);
    EXPECT_FALSE(s->SetPropStr("SmtpPort", "x"));
    EXPECT_TRUE(s->SetMailAddr("bugs@example.org"));
    EXPECT_TRUE(s->SetMailAddr(""));
    EXPECT_EQ(s->MailAddr(), "");
}

TEST(QixSettingsWrite, ObjectsOfOneModuleShareTheRecord) {
    TSettingsModuleRecord record;
    record.props.push_back({"Enabled", TPropType::Boolean, true, 0, ""});
    auto env = std::make_shared<TFakeEnvironment>();
    TIQXSettings a(env, kExe, TRecordRef(&record, nullptr));
    TIQXSettings b(env, kExe, TRecordRef(&record, nullptr));
    EXPECT_TRUE(a.SetAutoDelay(5));
    EXPECT_EQ(b.AutoDelay(), 5);
}

TEST(QixSettingsPlugins, SwitchesIgnoreCase) {
    auto s = Load(OnlyEnabled());
    EXPECT_TRUE(s->PluginEnabled("HARDWARE"));
    EXPECT_FALSE(s->PluginEnabled("hard"));
    EXPECT_TRUE(s->SetPluginEnabled("Modules", false));
    EXPECT_EQ(s->Plugins(), "processes|hardware");
    EXPECT_TRUE(s->SetPluginEnabled("Threads", true));
    EXPECT_EQ(s->Plugins(), "processes|hardware|Threads");
    EXPECT_TRUE(s->SetPluginEnabled("threads", true)); // already there: unchanged
    EXPECT_EQ(s->Plugins(), "processes|hardware|Threads");
    EXPECT_TRUE(s->SetPlugins(""));
    EXPECT_TRUE(s->SetPluginEnabled("modules", true));
    EXPECT_EQ(s->Plugins(), "modules");
}

TEST(QixSettingsExpand, VariablesAnyCase) {
    TFakeEnvironment env;
    EXPECT_EQ(NoResource()->TitleBar(), "Ravelink.exe");
    EXPECT_EQ(ExpandVariables("%APPNAME%/%ModName%", env, kDll), "Ravelink.exe/plugin.dll");
    EXPECT_EQ(ExpandVariables("a%lf%b", env, kExe), "a\r\nb");
    EXPECT_EQ(ExpandVariables("%date%", env, kExe), "2026-03-07");
    EXPECT_EQ(ExpandVariables("%time%", env, kExe), "09:05:04, 42ms");
    EXPECT_EQ(ExpandVariables("%DateTime%", env, kExe), "2026-03-07, 09:05:04, 42ms");
    EXPECT_EQ(ExpandVariables("%exceptMsg% %bugReport%", env, kExe), "%exceptMsg% %bugReport%");
    EXPECT_EQ(ExpandVariables("%exceptMsg%|%bugreport%", env, kExe, "", "R"), "Unknown|R");
    EXPECT_EQ(ExpandVariables("100% of %appname% %unknown% %", env, kExe),
              "100% of Ravelink.exe %unknown% %");
}

TEST(QixSettingsProcessWide, AbsentNamesComeFromTheProcessWideObject) {
    auto processWide = Load(TBytes().Header().Name("AutoDelay").Raw({2, 33, 0}).data);
    auto module = Load(TBytes().Header().Name("SmtpPort").Raw({2, 99, 0}).data, kDll, processWide);
    EXPECT_EQ(module->SmtpPort(), 99);
    EXPECT_EQ(module->AutoDelay(), 33);
    EXPECT_EQ(module->HttpPort(), 80); // the process-wide object falls back to the table
    // The process-wide object itself (same module) reads the table.
    auto self = Load(OnlyEnabled(), kExe, processWide);
    EXPECT_EQ(self->AutoDelay(), 60);
}

TEST(QixSettingsLists, AdditionalFieldsAndAttachmentsWriteBack) {
    auto s = Load(TBytes()
                      .Header()
                      .Name("AddFields")
                      .Raw({6, 9})
                      .Text("user=Anna")
                      .Name("AddAttachs")
                      .Raw({6, 14})
                      .Text("c:\\log\\app.log")
                      .Raw({0})
                      .data);
    auto fields = s->AdditionalFields();
    EXPECT_EQ(fields->Contents("USER"), "Anna");
    fields->Add("build", "  1234\t");
    EXPECT_EQ(s->AddFields(), "user=Anna|build=1234");
    fields->Add("user", "");
    EXPECT_EQ(s->AddFields(), "build=1234");

    auto attachments = s->AdditionalAttachments();
    std::string file, sendAs, zip, field;
    ASSERT_TRUE(attachments->GetItem(0, file, sendAs, zip, field));
    EXPECT_EQ(sendAs, "app.log");
    EXPECT_EQ(field, "app");
    attachments->Add("d:\\x.txt", "y.txt", "all.zip", "");
    EXPECT_EQ(s->AddAttachs(), "c:\\log\\app.log>app.log>>app|d:\\x.txt>y.txt>all.zip>y");
    EXPECT_TRUE(attachments->Delete("C:\\LOG\\APP.LOG"));
    EXPECT_FALSE(attachments->Delete("nothing"));
    EXPECT_EQ(s->AddAttachs(), "d:\\x.txt>y.txt>all.zip>y");
    s.reset(); // the lists outlive the settings without touching them
    attachments->Clear();
    fields->Add("late", "x");
}
