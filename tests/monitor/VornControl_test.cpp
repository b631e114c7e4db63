// The spin edit on a real form: typed text, keys and up-down clicks.
#include "monitor/VornControl.h"

#include "framework/Exceptions.h"
#include "tests/support/WinTestApp.h"

#include <commctrl.h>
#include <gtest/gtest.h>

namespace {

class SpinTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        fw::Application->OnBeep = [this] { ++beeps; };
        form = new fw::TForm(fw::Application);
        form->Handle();
        upDown = new fw::TUpDown(form);
        upDown->SetBounds(153, 32, 16, 21);
        upDown->SetParent(form);
        upDown->SetMax(30000);
        upDown->SetPosition(500);
        edit = new TVornSpinEdit(form);
        edit->SetBounds(88, 32, 65, 21);
        edit->SetParent(form);
        edit->SetIntValue(500); // before linking, as a form description does
        upDown->SetAssociate(edit);
        edit->SetUpDown(upDown);
        edit->OnChange = [this](fw::TComponent*) { changes.push_back(edit->IntValue()); };
    }
    void TearDown() override {
        fw::Application->OnBeep = nullptr;
        delete form;
    }
    void Type(const std::string& text) { SetWindowTextA(edit->Handle(), text.c_str()); }
    void Key(WORD vk) { SendMessageA(edit->Handle(), WM_KEYDOWN, vk, 0); }

    fw::TForm* form = nullptr;
    fw::TUpDown* upDown = nullptr;
    TVornSpinEdit* edit = nullptr;
    int beeps = 0;
    std::vector<int32_t> changes;
};

} // namespace

TEST_F(SpinTest, BadTextBeepsAndRestoresTheDigitsWithTheCaretKept) {
    SendMessageA(edit->Handle(), EM_SETSEL, 2, 2);
    Type("12a");
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(edit->Text(), "500");
    EXPECT_EQ(upDown->Position(), 500);
    Type("30001"); // above the maximum
    EXPECT_EQ(beeps, 2);
    EXPECT_EQ(edit->Text(), "500");
}

TEST_F(SpinTest, OneSignAtMost) {
    upDown->SetMin(-100); // so that a wrongly read minus would be in range
    Type("+-0");
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(edit->Text(), "500");
    Type("+-5");
    EXPECT_EQ(beeps, 2);
    EXPECT_EQ(upDown->Position(), 500);
    Type("-5");
    EXPECT_EQ(upDown->Position(), -5);
    Type("+7");
    EXPECT_EQ(upDown->Position(), 7);
    EXPECT_EQ(edit->Text(), "+7"); // the typed text stands; only refused text is rewritten
    EXPECT_EQ(beeps, 2);
}

TEST(TryParseInt, PlainDecimalWithAnOptionalSignOnly) {
    int32_t v = 0;
    for (const char* bad : {"", "+", "-", "+-0", "+-5", "-+5", "--5", "++5", " 5", "5 ", "0x10",
                            "1e3", "2147483648", "-2147483649"})
        EXPECT_FALSE(TryParseInt(bad, v)) << bad;
    const std::pair<const char*, int32_t> good[] = {{"0", 0},
                                                    {"+0", 0},
                                                    {"-0", 0},
                                                    {"+12", 12},
                                                    {"-12", -12},
                                                    {"007", 7},
                                                    {"2147483647", 2147483647},
                                                    {"-2147483648", INT32_MIN}};
    for (const auto& [text, value] : good) {
        ASSERT_TRUE(TryParseInt(text, v)) << text;
        EXPECT_EQ(v, value) << text;
    }
}

TEST_F(SpinTest, CaretStaysWhereItWasAfterARefusal) {
    edit->SetFocus();
    SendMessageA(edit->Handle(), EM_SETSEL, 2, 2);
    // A typed character goes through the edit itself, so the caret moves as a user's would.
    SendMessageA(edit->Handle(), WM_CHAR, 'x', 0);
    EXPECT_EQ(edit->Text(), "500");
    EXPECT_EQ(edit->SelStart(), 3);
    EXPECT_EQ(beeps, 1);
}

TEST_F(SpinTest, EmptyFieldMeansZeroAndLeavingItWritesZero) {
    Type("");
    EXPECT_EQ(upDown->Position(), 0);
    EXPECT_EQ(edit->Text(), "");
    edit->SetFocus();
    SetFocus(form->Handle()); // leave the field
    EXPECT_EQ(edit->Text(), "0");
    EXPECT_EQ(beeps, 0);
}

TEST_F(SpinTest, EmptyFieldIsVetoedWhenZeroIsBelowTheMinimum) {
    upDown->SetMin(5);
    Type("");
    EXPECT_EQ(upDown->Position(), 500);
}

TEST_F(SpinTest, NoBreakSpaceGroupsAreAccepted) {
    Type("10\xA0"
         "000");
    EXPECT_EQ(upDown->Position(), 10000);
    EXPECT_EQ(edit->IntValue(), 10000);
    EXPECT_EQ(edit->Text(), "10000");
}

TEST_F(SpinTest, PageUpNearTheMaximumStaysAndStillFiresOnChange) {
    upDown->SetPosition(29995);
    // Setting the position writes locale-grouped digits, which a comma locale refuses.
    beeps = 0;
    changes.clear();
    Key(VK_PRIOR);
    EXPECT_EQ(upDown->Position(), 29995);
    EXPECT_EQ(edit->Text(), "29995");
    EXPECT_EQ(changes, std::vector<int32_t>{29995});
    EXPECT_EQ(beeps, 0);
}

TEST_F(SpinTest, KeysStepByOneAndTen) {
    Key(VK_UP);
    Key(VK_PRIOR);
    Key(VK_DOWN);
    Key(VK_NEXT);
    Key(VK_NEXT);
    EXPECT_EQ(upDown->Position(), 500 + 1 + 10 - 1 - 10 - 10);
    EXPECT_EQ(edit->Text(), "490");
    EXPECT_EQ(changes.size(), 5u);
}

TEST_F(SpinTest, UpArrowAtTheTopOfTheSixteenBitRangeBeeps) {
    upDown->SetMax(32767);
    upDown->SetPosition(32767);
    beeps = 0;
    Key(VK_UP);
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(upDown->Position(), 32767);
}

TEST_F(SpinTest, OnChangeFromAnUpDownClickReadsTheNewValue) {
    NMUPDOWN nm{};
    nm.hdr.hwndFrom = upDown->Handle();
    nm.hdr.idFrom = 0;
    nm.hdr.code = UDN_DELTAPOS;
    nm.iPos = 500;
    nm.iDelta = 1;
    changes.clear();
    SendMessageA(form->Handle(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&nm));
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.front(), 501);
    EXPECT_EQ(upDown->Position(), 501);
    EXPECT_EQ(edit->Text(), "501");
}

TEST_F(SpinTest, ValuesBeyondTheBoundsAreVetoedSilently) {
    edit->SetIntValue(30001);
    EXPECT_EQ(upDown->Position(), 500);
    EXPECT_EQ(beeps, 0);
    EXPECT_THROW(edit->SetIntValue(40000), fw::ERangeError);
}

TEST_F(SpinTest, UpDownFollowsTheEditOnePixelToItsRight) {
    edit->SetBounds(20, 40, 50, 25);
    EXPECT_EQ(upDown->Left(), 71);
    EXPECT_EQ(upDown->Top(), 40);
    EXPECT_EQ(upDown->Height(), 25);
    RECT r;
    GetWindowRect(upDown->Handle(), &r);
    EXPECT_EQ(r.bottom - r.top, 25);
    edit->SetVisible(false);
    EXPECT_FALSE(upDown->Visible());
    EXPECT_FALSE(IsWindowVisible(upDown->Handle()) && IsWindowVisible(form->Handle()));
    edit->SetVisible(true);
    EXPECT_TRUE(upDown->Visible());
    EXPECT_TRUE(GetWindowLongPtrA(edit->Handle(), GWL_EXSTYLE) & WS_EX_RIGHT);
}

TEST_F(SpinTest, WithoutUpDownTheTextIsTheValue) {
    auto* plain = new TVornSpinEdit(form);
    plain->SetParent(form);
    plain->SetIntValue(-42);
    EXPECT_EQ(plain->Text(), "-42");
    EXPECT_EQ(plain->IntValue(), -42);
    plain->SetText("x");
    EXPECT_EQ(plain->IntValue(), 0);
}
