// The form description reader against bytes laid out by hand, and against damage: every
// cut of a good stream, unknown value types, deep nesting and lengths past the end.
#include "crashreport/ui/qixNVAssistant_Stream.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

using namespace qix;

namespace {

struct TBytes {
    std::vector<uint8_t> data;
    TBytes& Raw(std::initializer_list<int> bytes) {
        for (int b : bytes)
            data.push_back(static_cast<uint8_t>(b));
        return *this;
    }
    TBytes& Text(const std::string& s) {
        data.insert(data.end(), s.begin(), s.end());
        return *this;
    }
    TBytes& Short(const std::string& s) {
        Raw({static_cast<int>(s.size())});
        return Text(s);
    }
};

// A form with one property of every type and one child with a property.
std::vector<uint8_t> AllTypes() {
    TBytes b;
    b.Text("TPF0").Short("TNVForm").Short("Contact");
    b.Short("I8").Raw({2, 0xFE});                    // -2
    b.Short("I16").Raw({3, 0x30, 0xF8});             // -2000
    b.Short("I32").Raw({4, 0x40, 0x42, 0x0F, 0x00}); // 1000000
    b.Short("S").Raw({6}).Short("Who?");
    b.Short("Id").Raw({7}).Short("ownSection");
    b.Short("F").Raw({8});
    b.Short("T").Raw({9});
    b.Short("L").Raw({12, 3, 0, 0, 0}).Text("abc");
    b.Raw({0});
    b.Short("TNVEdit").Short("NameEdit").Short("Lines").Raw({2, 3}).Raw({0}).Raw({0});
    b.Raw({0});
    return b.data;
}

} // namespace

TEST(FormStream, ReadsEveryValueTypeAsText) {
    const auto r = ParseFormStream(AllTypes());
    ASSERT_EQ(r.status, TNVStreamStatus::Ok);
    EXPECT_TRUE(r.message.empty());
    EXPECT_EQ(r.root.className, "TNVForm");
    EXPECT_EQ(r.root.name, "Contact");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"I8", "-2"},         {"I16", "-2000"}, {"I32", "1000000"}, {"S", "Who?"},
        {"Id", "ownSection"}, {"F", "0"},       {"T", "1"},         {"L", "abc"}};
    EXPECT_EQ(r.root.props, expected);
    ASSERT_EQ(r.root.children.size(), 1u);
    EXPECT_EQ(r.root.children[0].className, "TNVEdit");
    EXPECT_EQ(r.root.children[0].name, "NameEdit");
    ASSERT_EQ(r.root.children[0].props.size(), 1u);
    EXPECT_EQ(r.root.children[0].props[0].second, "3");
}

TEST(FormStream, WithoutSignatureNothingIsRead) {
    auto bytes = AllTypes();
    bytes[3] = '1';
    const auto r = ParseFormStream(bytes);
    EXPECT_EQ(r.status, TNVStreamStatus::NoSignature);
    EXPECT_TRUE(r.root.props.empty());
    EXPECT_EQ(ParseFormStream({}).status, TNVStreamStatus::NoSignature);
}

TEST(FormStream, EveryCutIsTruncatedAndKeepsWhatCameBefore) {
    const auto full = AllTypes();
    size_t lastProps = 0;
    for (size_t n = 4; n < full.size(); ++n) {
        const auto r = ParseFormStream(std::span(full.data(), n));
        ASSERT_EQ(r.status, TNVStreamStatus::Truncated) << "cut at " << n;
        EXPECT_EQ(r.message, "Internal error: Invalid assistant resource (truncated).");
        EXPECT_GE(r.root.props.size(), lastProps) << "cut at " << n;
        lastProps = r.root.props.size();
    }
    EXPECT_EQ(lastProps, 8u);
}

TEST(FormStream, UnknownTypeNamesItInHexAndStops) {
    TBytes b;
    b.Text("TPF0").Short("TNVForm").Short("F");
    b.Short("Message").Raw({6}).Short("kept");
    b.Short("Odd").Raw({0x1A, 1, 2, 3});
    b.Short("After").Raw({9}).Raw({0, 0});
    const auto r = ParseFormStream(b.data);
    EXPECT_EQ(r.status, TNVStreamStatus::InvalidType);
    EXPECT_EQ(r.message, "Internal error: Invalid assistant resource (1a).");
    ASSERT_EQ(r.root.props.size(), 1u);
    EXPECT_EQ(r.root.props[0].second, "kept");

    // 5 (an extended float) and 10 (a set) are real stream types, but not ours.
    for (int type : {0, 1, 5, 10, 11, 255}) {
        TBytes c;
        c.Text("TPF0").Short("TNVForm").Short("F").Short("X").Raw({type, 0, 0});
        char hex[8];
        std::snprintf(hex, sizeof hex, "%x", type);
        EXPECT_EQ(ParseFormStream(c.data).message,
                  std::string("Internal error: Invalid assistant resource (") + hex + ").");
    }
}

TEST(FormStream, DeepNestingIsRefusedNotFollowed) {
    TBytes b;
    b.Text("TPF0");
    const int depth = 100000; // far past any stack-friendly depth
    for (int i = 0; i < depth; ++i)
        b.Short("TNVLabel").Short("L").Raw({0});
    const auto r = ParseFormStream(b.data);
    EXPECT_EQ(r.status, TNVStreamStatus::TooDeep);
    EXPECT_EQ(r.message, "Internal error: Invalid assistant resource (nested too deeply).");

    TBytes ok;
    ok.Text("TPF0");
    for (int i = 0; i <= kMaxStreamDepth; ++i)
        ok.Short("TNVLabel").Short("L").Raw({0});
    for (int i = 0; i <= kMaxStreamDepth; ++i)
        ok.Raw({0});
    EXPECT_EQ(ParseFormStream(ok.data).status, TNVStreamStatus::Ok);
}

TEST(FormStream, LengthsPastTheEndAreTruncation) {
    TBytes b;
    b.Text("TPF0").Short("TNVForm").Short("F").Short("Text").Raw({12, 0xFF, 0xFF, 0xFF, 0xFF});
    b.Text("short");
    EXPECT_EQ(ParseFormStream(b.data).status, TNVStreamStatus::Truncated);
    TBytes c;
    c.Text("TPF0").Raw({200}).Text("TNV");
    EXPECT_EQ(ParseFormStream(c.data).status, TNVStreamStatus::Truncated);
}
