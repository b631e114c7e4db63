// Icon painting and hint texts, checked against values worked out by hand.
#include "monitor/Main_Paint.h"

#include <gtest/gtest.h>

#include <utility>

namespace {
constexpr TColor kBlack{0, 0, 0}, kRed{255, 0, 0}, kYellow{255, 255, 0}, kGreen{0, 255, 0};

std::array<TPingResult, IconSize> Entries() {
    return {};
}

TColor At(const TIconPixels& p, int x, int y) {
    return p[static_cast<size_t>(y * 16 + x)];
}

void ExpectColumn(const TIconPixels& p, int x, TColor c) {
    for (int y = 0; y < 16; ++y)
        EXPECT_EQ(At(p, x, y), c) << "x=" << x << " y=" << y;
}
} // namespace

TEST(BlendChannel, RoundsHalfToEvenAndClamps) {
    EXPECT_EQ(BlendChannel(0, 5, 0.5), 2);  // 2.5 -> 2
    EXPECT_EQ(BlendChannel(0, 7, 0.5), 4);  // 3.5 -> 4
    EXPECT_EQ(BlendChannel(10, 5, 0.5), 8); // 10 - 2.5 -> 10 - 2
    EXPECT_EQ(BlendChannel(0, 255, 1.0), 255);
    EXPECT_EQ(BlendChannel(0, 255, 1.5), 255); // beyond the target
    EXPECT_EQ(BlendChannel(200, 100, -1.0), 200);
    EXPECT_EQ(BlendChannel(0, 255, 2.0 / 31), 16); // 16.45
}

TEST(BarColor, RunsFromGreenThroughYellowTowardsRed) {
    EXPECT_EQ(BarColor(0.0), kGreen);
    EXPECT_EQ(BarColor(0.25), (TColor{128, 255, 0})); // 127.5 rounds to even 128
    EXPECT_EQ(BarColor(0.5), kYellow);
    // At the full timeout only nine tenths of the way to red: 255 - 229.5 -> 255 - 230.
    EXPECT_EQ(BarColor(1.0), (TColor{255, 25, 0}));
}

TEST(PaintPingIcon, EmptyHistoryIsBlack) {
    auto p = PaintPingIcon(Entries(), 500);
    for (int x = 0; x < 16; ++x)
        ExpectColumn(p, x, kBlack);
}

TEST(PaintPingIcon, QuarterSecondOfHalfSecondIsEightYellowRowsAndABlendedNinth) {
    auto e = Entries();
    e[0].Milliseconds = 250; // newest attempt: right-most column
    auto p = PaintPingIcon(e, 500);
    for (int y = 8; y < 16; ++y)
        EXPECT_EQ(At(p, 15, y), kYellow) << y;
    // Ninth row from the bottom: 2/31 of yellow over black.
    EXPECT_EQ(At(p, 15, 7), (TColor{16, 16, 0}));
    for (int y = 0; y < 7; ++y)
        EXPECT_EQ(At(p, 15, y), kBlack) << y;
    for (int x = 0; x < 15; ++x)
        ExpectColumn(p, x, kBlack);
}

TEST(PaintPingIcon, ShortTimeLightsOnlyTheBottomPixel) {
    // Timeout 500, scale 31. t = 1: bar (1, 255, 0), bottom pixel 1/31 of it -> (0, 8, 0).
    // t = 15: bar (15, 255, 0) -> 15/31 of it (7, 123, 0). t = 31: bar (32, 255, 0), whole.
    const std::pair<int, TColor> cases[] = {{1, {0, 8, 0}}, {15, {7, 123, 0}}, {31, {32, 255, 0}}};
    for (const auto& [t, bottom] : cases) {
        auto e = Entries();
        e[3].Milliseconds = t; // column 12
        auto p = PaintPingIcon(e, 500);
        EXPECT_EQ(At(p, 12, 15), bottom) << t;
        for (int y = 0; y < 15; ++y)
            EXPECT_EQ(At(p, 12, y), kBlack) << t;
    }
}

TEST(PaintPingIcon, FourFifthsOfTheTimeoutIsTwelveRowsAndABlendedThirteenth) {
    // 400 of 500: ratio 0.8, 0.54 of the way from yellow to red -> (255, 117, 0).
    // 12 x 31 = 372 < 400 < 403: rows 0..11 full, row 12 at 28/31 -> (230, 106, 0).
    auto e = Entries();
    e[0].Milliseconds = 400;
    auto p = PaintPingIcon(e, 500);
    for (int y = 4; y < 16; ++y)
        EXPECT_EQ(At(p, 15, y), (TColor{255, 117, 0})) << y;
    EXPECT_EQ(At(p, 15, 3), (TColor{230, 106, 0}));
    for (int y = 0; y < 3; ++y)
        EXPECT_EQ(At(p, 15, y), kBlack) << y;
}

TEST(PaintPingIcon, TheFullTimeoutIsAFullColumnShortOfRed) {
    // 16 x 31 = 496 < 500: every row in the bar colour of ratio 1, (255, 25, 0).
    auto e = Entries();
    e[2].Milliseconds = 500;
    ExpectColumn(PaintPingIcon(e, 500), 13, (TColor{255, 25, 0}));
}

TEST(PaintPingIcon, LateAttemptIsRedAndFailuresFillTheirColour) {
    auto e = Entries();
    e[0].Milliseconds = 501;
    e[1] = {psTimedOut, "", 0};
    e[2] = {psConnectionError, "", 0};
    e[3] = {psUnreachable, "", 0};
    e[4] = {psTtlExceeded, "", 0};
    e[5] = {psAbandoned, "thread time-out", 0};
    e[6] = {psInternalError, "error code 1", 0};
    auto p = PaintPingIcon(e, 500);
    ExpectColumn(p, 15, kRed);
    ExpectColumn(p, 14, kRed);
    ExpectColumn(p, 13, (TColor{255, 0, 255}));
    ExpectColumn(p, 12, (TColor{0, 0, 255}));
    ExpectColumn(p, 11, (TColor{0, 255, 255}));
    ExpectColumn(p, 10, (TColor{128, 128, 128}));
    ExpectColumn(p, 9, kYellow);
}

TEST(PaintPingIcon, TimeoutBelowSixteenPaintsAnyTimeAsFullColumn) {
    auto e = Entries();
    e[0].Milliseconds = 3;
    auto p = PaintPingIcon(e, 10);              // scale 0
    ExpectColumn(p, 15, (TColor{153, 255, 0})); // ratio 0.3: 0.6 of the way to yellow
}

TEST(PaintPingIcon, ZeroTimeoutNeitherFailsNorDividesByZero) {
    auto e = Entries();
    e[0].Milliseconds = 4;
    e[1].Milliseconds = 0;
    e[2] = {psTimedOut, "", 0};
    auto p = PaintPingIcon(e, 0);
    ExpectColumn(p, 15, kRed);   // any positive time is late
    ExpectColumn(p, 14, kBlack); // no time, no bar
    ExpectColumn(p, 13, kRed);   // failures keep their colours
}

TEST(PingHint, DescribesTheCurrentAttempt) {
    EXPECT_EQ(PingHint({}), "VORN Ravelink 2");
    EXPECT_EQ(PingHint({psNone, "", 42}), "VORN Ravelink 2\r\nPing time: 42 ms");
    EXPECT_EQ(PingHint({psTimedOut, "", 0}), "Request timed out");
    EXPECT_EQ(PingHint({psInternalError, "Range check error", 0}),
              "Internal error (Range check error)");
    const std::string hint = PingHint({psInternalError, std::string(400, 'x'), 0});
    EXPECT_EQ(hint.size(), 255u);
    EXPECT_EQ(hint.substr(0, 16), "Internal error (");
}
