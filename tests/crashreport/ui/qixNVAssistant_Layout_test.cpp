// Placement worked out by hand for a measurer with fixed character cells: items 6 x 13
// ("Tahoma" 11), owner-drawn button captions 8 x 17 ("Arial" 15), the heading 9 x 18.
#include "crashreport/ui/qixNVAssistant_Layout.h"

#include <gtest/gtest.h>

using namespace qix;

namespace {

class TCellMeasure final : public INVMeasure {
public:
    TNVSize TextSize(TNVFont font, std::string_view text) const override {
        const int n = static_cast<int>(text.size());
        switch (font) {
        case TNVFont::Button:
            return {8 * n, 17};
        case TNVFont::Heading:
            return {9 * n, 18};
        default:
            return {6 * n, 13};
        }
    }
    int32_t WrappedHeight(TNVFont, std::string_view text, int32_t width) const override {
        const int w = 6 * static_cast<int>(text.size());
        return 13 * std::max(1, (w + width - 1) / width);
    }
    TNVSize CheckMarkSize() const override { return {13, 13}; }
    int32_t ScreenHeight() const override { return 768; }
};

struct TFormBuilder {
    TNVAssistant assistant{"Lab"};
    std::shared_ptr<TNVForm> form = assistant.AppendForm("F", {});
    TFormBuilder& Prop(std::string_view name, std::string_view value) {
        TNVStreamObject o;
        o.props.emplace_back(name, value);
        form->Apply(o);
        return *this;
    }
    TFormBuilder& Item(const char* cls, const char* name,
                       std::vector<std::pair<std::string, std::string>> props = {}) {
        TNVStreamObject root, child;
        child.className = cls;
        child.name = name;
        child.props = std::move(props);
        root.children.push_back(child);
        form->Apply(root);
        return *this;
    }
    TNVForm& Laid() {
        form->Created();
        LayoutForm(*form, TCellMeasure());
        return *form;
    }
};

void ExpectRect(const TNVItem& item, int x, int y, int w, int h) {
    EXPECT_EQ(item.rect.x, x) << item.Name();
    EXPECT_EQ(item.rect.y, y) << item.Name();
    EXPECT_EQ(item.rect.width, w) << item.Name();
    EXPECT_EQ(item.rect.height, h) << item.Name();
}

} // namespace

TEST(FormLayout, EmptyFormHasMinimumWidthAndButtonsAlongTheBottom) {
    TFormBuilder b;
    TNVForm& f = b.Laid();
    EXPECT_EQ(f.width, 315);
    EXPECT_EQ(f.height, 40 + 32 + 33);
    ExpectRect(*f.items[kContinueIndex], 8, 64, 85, 32);
    ExpectRect(*f.items[kSkipIndex], 101, 64, 85, 32);
    ExpectRect(*f.items[kCancelIndex], 222, 64, 85, 32);
}

TEST(FormLayout, ContactFormHeadingsKeepTheirFieldsClose) {
    TFormBuilder b;
    b.Prop("Message", "Contact details")
        .Item("TNVLabel", "NameLabel", {{"Caption", "Your name:"}})
        .Item("TNVEdit", "NameEdit")
        .Item("TNVLabel", "EmailLabel", {{"Caption", "Your e-mail address:"}})
        .Item("TNVEdit", "EmailEdit")
        .Item("TNVCheckBox", "MemCheck", {{"Caption", "Remember me"}});
    TNVForm& f = b.Laid();
    EXPECT_EQ(f.width, 315);
    ExpectRect(*f.items[3], 21, 38, 269, 13); // labels start 2 higher
    ExpectRect(*f.items[4], 21, 57, 269, 15); // 4 below a heading
    ExpectRect(*f.items[5], 21, 78, 269, 13); // 8: heading pair around edits
    ExpectRect(*f.items[6], 21, 97, 269, 15);
    ExpectRect(*f.items[7], 21, 124, 87, 13); // 12 between kinds
    EXPECT_EQ(f.height, 137 + 32 + 33);
    EXPECT_EQ(f.items[kCancelIndex]->rect.y, 202 - 32 - 9);
}

TEST(FormLayout, SpacingMultiLineEditAndPlainButtonPair) {
    TFormBuilder b;
    b.Prop("MinWidth", "400")
        .Item("TNVButton", "ContinueBtn", {{"Caption", "OK"}, {"NoOwnerDraw", "1"}})
        .Item("TNVButton", "SkipBtn", {{"Visible", "0"}})
        .Item("TNVButton", "AbortBtn", {{"NoOwnerDraw", "true"}})
        .Item("TNVEdit", "Memo", {{"Lines", "5"}, {"Spacing", "20"}})
        .Item("TNVButton", "Details", {{"Caption", "Details"}});
    TNVForm& f = b.Laid();
    ASSERT_EQ(f.ItemCount(), 5); // AbortBtn configured the cancel button
    EXPECT_EQ(f.width, 400);
    ExpectRect(*f.items[3], 21, 40, 354, 67);
    ExpectRect(*f.items[4], 21, 127, 74, 23);
    EXPECT_EQ(f.height, 150 + 23 + 33);
    ExpectRect(*f.items[kCancelIndex], 317, 174, 75, 23);
    ExpectRect(*f.items[kContinueIndex], 234, 174, 75, 23);
    EXPECT_EQ(f.items[kSkipIndex]->rect.x, 8);
    EXPECT_EQ(f.items[kSkipIndex]->rect.width, 0);
}

TEST(FormLayout, SameKindGapsWrappedLabelsAndImages) {
    TFormBuilder b;
    b.Item("TNVLabel", "Long", {{"Caption", std::string(100, 'x')}})
        .Item("TNVCheckBox", "One", {{"Caption", "One"}})
        .Item("TNVCheckBox", "Two", {{"Text", "Two"}})
        .Item("TNVButton", "Go", {{"Caption", "Go"}})
        .Item("TNVButton", "Stop", {{"Caption", "Stop"}, {"MinWidth", "90"}})
        .Item("TNVImage", "Pic", {{"Clickable", "yes"}, {"Border", "1"}});
    TNVForm& f = b.Laid();
    ExpectRect(*f.items[3], 21, 38, 269, 39); // 600 pixels wrap to three lines
    ExpectRect(*f.items[4], 21, 91, 39, 13);
    ExpectRect(*f.items[5], 21, 112, 39, 13); // 8 between check boxes
    ExpectRect(*f.items[6], 21, 137, 70, 23);
    ExpectRect(*f.items[7], 21, 164, 90, 23); // 4 between buttons
    ExpectRect(*f.items[8], 21, 199, 40, 40); // 32 x 32, frame 3 + border 1 each side
    EXPECT_EQ(f.height, 239 + 32 + 33);
}

TEST(FormLayout, LongHeadingWidensTheForm) {
    TNVAssistant a("Lab");
    a.AppendForm("A", {});
    a.AppendForm("B", {});
    auto f = a.AppendForm("C", {});
    f->message = std::string(40, 'H');
    f->Created();
    LayoutForm(*f, TCellMeasure());
    EXPECT_EQ(f->width, 360 + 19 * 3 + 36);
    EXPECT_EQ(f->items[kCancelIndex]->rect.x, 453 - 8 - 85);
}

TEST(FormLayout, ALabelEndingInAColonButWrappingIsNoHeading) {
    TFormBuilder b;
    b.Item("TNVLabel", "L", {{"Caption", std::string(60, 'x') + ":"}}).Item("TNVEdit", "E");
    TNVForm& f = b.Laid();
    EXPECT_EQ(f.items[4]->rect.y, 40 + 26 + 12);
}

TEST(FormLayout, PictureIsFittedIntoTheFormWidth) {
    TFormBuilder b;
    b.Item("TNVImage", "Shot", {{"Clickable", "1"}, {"Border", "1"}});
    auto canvas = CreateDibCanvas(530, 200);
    ASSERT_TRUE(canvas);
    b.form->Image("Shot")->SetBitmap(std::make_shared<TINVBitmap>(std::move(canvas)));
    TNVForm& f = b.Laid();
    // 315 - 42 - 6 - 2 = 265 wide: half size, plus the click frame and the border.
    ExpectRect(*f.items[3], 21, 40, 265 + 8, 100 + 8);
    auto& image = static_cast<TNVImage&>(*f.items[3]);
    ASSERT_TRUE(image.shown);
    EXPECT_EQ(image.shown->Width(), 265);
    EXPECT_EQ(image.shown->Height(), 100);
}
