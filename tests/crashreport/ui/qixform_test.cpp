// The form writer: one description laid out byte by byte by hand, then round trips of
// every value kind through the assistants' own reader, and the writer's refusals.
#include "crashreport/ui/qixNVAssistant_Stream.h"
#include "crashreport/core/qixSettingsResource.h"
#include "tools/qixform/qixformText.h"
#include "tools/qixres/qixresText.h"

#include <map>

#include <gtest/gtest.h>

using namespace qixform;

namespace {

std::vector<uint8_t> Compile(const std::string& text) {
    TObject form;
    std::vector<TError> errors;
    EXPECT_TRUE(ParseFormText(text, form, errors)) << (errors.empty() ? "" : errors[0].message);
    return WriteFormStream(form);
}

std::vector<TError> Errors(const std::string& text) {
    TObject form;
    std::vector<TError> errors;
    EXPECT_FALSE(ParseFormText(text, form, errors));
    return errors;
}

} // namespace

TEST(QixForm, HandWorkedBytes) {
    const auto bytes = Compile("# a comment\n"
                               "form Tiny\n"
                               "Message = \"Hi\"\n"
                               "item Edit NameEdit\n"
                               "  Lines = 300\n"
                               "  Optional = true\n");
    const std::vector<uint8_t> expected = {
        'T', 'P', 'F', '0',                                               // signature
        7,   'T', 'N', 'V', 'F', 'o', 'r', 'm', 4,   'T', 'i', 'n',  'y', // class, name
        7,   'M', 'e', 's', 's', 'a', 'g', 'e', 6,   2,   'H', 'i',       // short string
        0, // end of the form's properties
        7,   'T', 'N', 'V', 'E', 'd', 'i', 't', 8,   'N', 'a', 'm',  'e',
        'E', 'd', 'i', 't', 5,   'L', 'i', 'n', 'e', 's', 3,   0x2C, 0x01, // 300 as 16 bits
        8,   'O', 'p', 't', 'i', 'o', 'n', 'a', 'l', 9,                    // true
        0,   0, // the edit: no props, no children
        0};     // the form's children
    EXPECT_EQ(bytes, expected);
}

TEST(QixForm, RoundTripThroughTheReader) {
    const std::string longText(300, 'x');
    const auto bytes =
        Compile("form Round\n"
                "A = -128\nB = 127\nC = -129\nD = 32767\nE = 32768\nF = -2147483648\n"
                "G = \"" +
                longText +
                "\"\n"
                "H = \"tab\\tquote\\\"back\\\\nl\\n\"\n"
                "I = qixExcept.HandleContactForm\n"
                "J = false\n"
                "item TNVCheckBox MemCheck\nChecked = true\n"
                "item Label L\nCaption = \"\"\n");
    const auto r = qix::ParseFormStream(bytes);
    ASSERT_EQ(r.status, qix::TNVStreamStatus::Ok) << r.message;
    const std::vector<std::pair<std::string, std::string>> props = {
        {"A", "-128"},
        {"B", "127"},
        {"C", "-129"},
        {"D", "32767"},
        {"E", "32768"},
        {"F", "-2147483648"},
        {"G", longText},
        {"H", "tab\tquote\"back\\nl\n"},
        {"I", "qixExcept.HandleContactForm"},
        {"J", "0"}};
    EXPECT_EQ(r.root.props, props);
    ASSERT_EQ(r.root.children.size(), 2u);
    EXPECT_EQ(r.root.children[0].className, "TNVCheckBox");
    EXPECT_EQ(r.root.children[0].props[0].second, "1");
    EXPECT_EQ(r.root.children[1].className, "TNVLabel");
    EXPECT_EQ(r.root.children[1].props[0].second, "");
    // Value types as laid out: -128 in one byte, -129 in two, 32768 in four, 300 chars long.
    EXPECT_EQ(bytes[4 + 8 + 6 + 2], 2);
}

TEST(QixForm, RefusesWhatItCannotWrite) {
    EXPECT_EQ(Errors("Message = \"x\"\n")[0].message, "property before 'form'");
    EXPECT_EQ(Errors("form A\nform B\n")[0].line, 2);
    EXPECT_EQ(Errors("form A\nitem Slider S\n")[0].message, "unknown item class 'Slider'");
    EXPECT_EQ(Errors("form A\nitem Edit E\nitem Label E\n")[0].message, "item 'E' given twice");
    EXPECT_EQ(Errors("form A\nLines = 4294967296\n")[0].line, 2);
    EXPECT_EQ(Errors("form A\nText = \"open\n")[0].message, "Text: unterminated string");
    EXPECT_EQ(Errors("form A\nText = \"bad \\q\"\n")[0].message, "Text: unknown escape \\q");
    EXPECT_EQ(Errors("form A\njunk\n")[0].message, "expected 'form', 'item' or 'Name = value'");
    EXPECT_EQ(Errors("")[0].message, "no 'form NAME' line");
}

TEST(QixForm, ResourceScriptNamesEachForm) {
    EXPECT_EQ(ResourceScript({{"ContactForm", "/b/TQXCONTACTFORM.bin"}, {"descForm", "/b/d.bin"}}),
              "TQXCONTACTFORM RCDATA \"/b/TQXCONTACTFORM.bin\"\n"
              "TQXDESCFORM RCDATA \"/b/d.bin\"\n");
}

TEST(QixForm, SettingsWriterTakesNumberedAssistantDefinitions) {
    std::vector<uint8_t> resource;
    std::vector<qixres::TError> errors;
    ASSERT_TRUE(qixres::CompileSettings("Enabled = true\n"
                                        "Assistant1 = Report|Report it|ContactForm|DescForm\n"
                                        "Assistant12 = \" Spaced|Title|F \"\n",
                                        resource, errors));
    const auto parsed = qix::ParseSettingsResource(resource);
    ASSERT_EQ(parsed.status, qix::TParseStatus::Ok);
    std::map<std::string, std::string> strings;
    for (const auto& p : parsed.props)
        strings[p.name] = p.strValue;
    EXPECT_EQ(strings["Assistant1"], "Report|Report it|ContactForm|DescForm");
    EXPECT_EQ(strings["Assistant12"], " Spaced|Title|F ");
    for (const char* bad : {"Assistant = x\n", "Assistant0 = x\n", "Assistant1x = x\n",
                            "Assistant01 = x\n", "assistant1 = x\n"}) {
        errors.clear();
        EXPECT_FALSE(qixres::CompileSettings(bad, resource, errors)) << bad;
    }
}
