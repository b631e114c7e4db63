// Phase arithmetic, layout and icon blending of the progress window, without a window.
// Expected values are worked out by hand (the big-weight case with Python's integers).
#include "crashreport/ui/qixNVPrgrAlert_Model.h"

#include <gtest/gtest.h>

#include <limits>

using namespace qix;

TEST(ProgressPhases, WeightsAndPositionsMoveTheBar) {
    TProgressPhases p;
    p.Add("connect", 100);
    p.Add("send", 300);
    p.Add("close", 600);
    EXPECT_EQ(p.TotalWeight(), 1000u);
    EXPECT_EQ(p.Items()[2].Start, 400u);
    EXPECT_EQ(p.Overall(), 0);
    p.SetProgress(500);
    EXPECT_EQ(p.Overall(), 50);
    ASSERT_TRUE(p.SetPhase(1));
    EXPECT_EQ(p.Progress(), 0);
    EXPECT_EQ(p.Overall(), 100);
    EXPECT_EQ(p.CurrentText(), "send");
    p.SetProgress(250);
    EXPECT_EQ(p.Overall(), 175);
    // The count means all done: last phase, full bar, its text.
    ASSERT_TRUE(p.SetPhase(3));
    EXPECT_EQ(p.Current(), 2);
    EXPECT_EQ(p.Progress(), 1000);
    EXPECT_EQ(p.Overall(), 1000);
    EXPECT_EQ(p.CurrentText(), "close");
}

TEST(ProgressPhases, IntegerStepsFollowTheFormula) {
    TProgressPhases p;
    p.Add("x", 1);
    p.Add("y", 2);
    ASSERT_TRUE(p.SetPhase(1));
    p.SetProgress(500);
    EXPECT_EQ(p.Overall(), 666); // (1 + 2 * 500 / 1000) * 1000 / 3
    p.SetProgress(499);
    EXPECT_EQ(p.Overall(), 333); // 2 * 499 / 1000 = 0
}

TEST(ProgressPhases, IgnoredPhaseChanges) {
    TProgressPhases p;
    EXPECT_FALSE(p.SetPhase(0)) << "no phases: 0 is the current one";
    p.Add("a", 1);
    p.Add("b", 1);
    p.SetProgress(700);
    EXPECT_FALSE(p.SetPhase(0));
    EXPECT_FALSE(p.SetPhase(-1));
    EXPECT_FALSE(p.SetPhase(3));
    EXPECT_EQ(p.Current(), 0);
    EXPECT_EQ(p.Progress(), 700);
}

TEST(ProgressPhases, EmptyTextRepeatsThePreviousOne) {
    TProgressPhases p;
    p.Add("", 1);
    p.Add("first", 1);
    p.Add("", 1);
    p.Add("", 1);
    EXPECT_EQ(p.Items()[0].Text, "");
    EXPECT_EQ(p.Items()[2].Text, "first");
    EXPECT_EQ(p.Items()[3].Text, "first");
}

TEST(ProgressPhases, ClearAndClamp) {
    TProgressPhases p;
    p.Add("a", 10);
    p.Add("b", 10);
    p.SetPhase(1);
    p.SetProgress(5000);
    EXPECT_EQ(p.Progress(), 1000);
    p.SetProgress(-3);
    EXPECT_EQ(p.Progress(), 0);
    p.Clear();
    EXPECT_EQ(p.Count(), 0);
    EXPECT_EQ(p.Current(), 0);
    EXPECT_EQ(p.TotalWeight(), 0u);
    EXPECT_EQ(p.Overall(), 0);
    EXPECT_EQ(p.CurrentText(), "");
}

TEST(ProgressPhases, HugeWeightsNeitherWrapNorOverflow) {
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    TProgressPhases p;
    p.Add("a", uint64_t(1) << 63);
    p.Add("b", (uint64_t(1) << 63) - 1);
    ASSERT_EQ(p.TotalWeight(), max);
    p.SetPhase(1);
    p.SetProgress(500);
    EXPECT_EQ(p.Overall(), 749);
    p.SetPhase(2);
    EXPECT_EQ(p.Overall(), 1000);

    TProgressPhases q; // the total saturates instead of wrapping
    q.Add("a", max);
    q.Add("b", 5);
    EXPECT_EQ(q.TotalWeight(), max);
    q.SetProgress(1000);
    EXPECT_EQ(q.Overall(), 1000);
    q.SetPhase(1);
    EXPECT_EQ(q.Overall(), 1000);
    TProgressPhases zero; // weight 0 everywhere
    zero.Add("z", 0);
    zero.SetProgress(500);
    EXPECT_EQ(zero.Overall(), 0);
}

TEST(AlertLayout, BoxesAndWindowSize) {
    const TAlertMetrics m{3, 3, 15, 17};
    TAlertLayout l = LayoutAlert(150, 13, false, m);
    EXPECT_EQ(l.Text.Left, 11);
    EXPECT_EQ(l.Text.Top, 12);
    EXPECT_EQ(l.Text.Width, 220) << "at least 220 wide";
    EXPECT_EQ(l.Bar.Left, 11);
    EXPECT_EQ(l.Bar.Top, 37);
    EXPECT_EQ(l.Bar.Width, 220);
    EXPECT_EQ(l.Bar.Height, 17);
    EXPECT_EQ(l.Icon.Width, 0);
    EXPECT_EQ(l.WindowWidth, 248);
    EXPECT_EQ(l.WindowHeight, 87);

    l = LayoutAlert(300, 13, true, m); // one line beside the icon: centred on it
    EXPECT_EQ(l.Icon.Left, 9);
    EXPECT_EQ(l.Icon.Top, 9);
    EXPECT_EQ(l.Icon.Width, 32);
    EXPECT_EQ(l.Text.Left, 51);
    EXPECT_EQ(l.Text.Top, 18);
    EXPECT_EQ(l.Text.Width, 300);
    EXPECT_EQ(l.Text.Height, 13);
    EXPECT_EQ(l.Bar.Top, 50);
    EXPECT_EQ(l.Bar.Width, 340);
    EXPECT_EQ(l.WindowWidth, 368);
    EXPECT_EQ(l.WindowHeight, 100);

    l = LayoutAlert(400, 52, true, m); // taller than the icon: starts at the top line
    EXPECT_EQ(l.Text.Top, 12);
    EXPECT_EQ(l.Text.Height, 52);
    EXPECT_EQ(l.Bar.Top, 76);
    EXPECT_EQ(l.WindowHeight, 126);
}

TEST(AlertLayout, AbortButtonSitsUnderTheBarAndGrowsTheWindow) {
    const TAlertMetrics m{3, 3, 15, 17};
    TAlertLayout l = LayoutAlert(150, 13, false, m); // box 220 wide, bar 11..231 at y 37
    const int32_t before = l.WindowHeight;
    AddAbortButton(l, 30); // short caption: the minimum width
    EXPECT_EQ(l.Abort.Width, 75);
    EXPECT_EQ(l.Abort.Left, 11 + 220 - 75);
    EXPECT_EQ(l.Abort.Top, 37 + 17 + 8);
    EXPECT_EQ(l.Abort.Height, 23);
    EXPECT_EQ(l.WindowHeight, before + 31);

    l = LayoutAlert(150, 13, false, m);
    AddAbortButton(l, 1000); // a caption wider than the bar is cut to the bar
    EXPECT_EQ(l.Abort.Left, 11);
    EXPECT_EQ(l.Abort.Width, 220);
}

TEST(AlertIcon, BlendsOverTheFaceColourWithAlphaPlusOne) {
    std::vector<uint8_t> px(kAlertIconPixelBytes, 0);
    const uint8_t red[4] = {0, 0, 255, 255}, blue[4] = {255, 0, 0, 0}, green[4] = {0, 255, 0, 128};
    std::copy(red, red + 4, px.begin());
    std::copy(blue, blue + 4, px.begin() + 4);
    std::copy(green, green + 4, px.begin() + 8);
    const auto out = BlendAlertIcon(px.data(), 240, 240, 240);
    // Opaque: (255 * 256) >> 8; transparent: (255 + 240 * 255) >> 8 = 240, (240 * 255) >> 8 = 239;
    // half: (255 * 129 + 240 * 127) >> 8 = 247, (240 * 127) >> 8 = 119.
    const uint8_t want[12] = {0, 0, 255, 0, 240, 239, 239, 0, 119, 247, 119, 0};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(out[size_t(i)], want[i]) << "byte " << i;
    EXPECT_EQ(out[kAlertIconPixelBytes - 4], 239) << "alpha 0 black is the face, one step darker";
}

TEST(AlertIcon, OnlyA32By32TrueColourBitmapQualifies) {
    std::vector<uint8_t> res(40 + kAlertIconPixelBytes, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            res[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    put32(0, 40);
    put32(4, 32);
    put32(8, 32);
    res[12] = 1;
    res[14] = 32;
    EXPECT_EQ(AlertIconPixels(res.data(), res.size()), res.data() + 40);
    EXPECT_EQ(AlertIconPixels(res.data(), res.size() - 1), nullptr) << "short";
    EXPECT_EQ(AlertIconPixels(nullptr, 0), nullptr);
    res[14] = 24;
    EXPECT_EQ(AlertIconPixels(res.data(), res.size()), nullptr) << "24 bits";
    res[14] = 32;
    put32(4, 16);
    EXPECT_EQ(AlertIconPixels(res.data(), res.size()), nullptr) << "16 wide";
    put32(4, 32);
    put32(16, 3);
    EXPECT_EQ(AlertIconPixels(res.data(), res.size()), nullptr) << "bit fields";
}
