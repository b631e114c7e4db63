// Every echo status lands in the right one of the seven outcomes.
#include "monitor/PingerU_Status.h"

#include <gtest/gtest.h>

TEST(ClassifyEchoCode, MapsEveryStatus) {
    struct Case {
        int32_t code;
        TPingStatus status;
    };
    const Case cases[] = {
        {0, psNone},
        {11002, psUnreachable},
        {11003, psUnreachable},
        {11004, psUnreachable},
        {11005, psUnreachable},
        {11008, psConnectionError},
        {11011, psConnectionError},
        {11012, psConnectionError},
        {11010, psTimedOut},
        {11013, psTtlExceeded},
        {11014, psTtlExceeded},
    };
    for (const Case& c : cases) {
        TPingResult r = ClassifyEchoCode(c.code);
        EXPECT_EQ(r.Status, c.status) << c.code;
        EXPECT_EQ(r.Detail, "") << c.code;
        EXPECT_EQ(r.Milliseconds, 0);
    }
}

TEST(ClassifyEchoCode, AnythingElseIsAnInternalErrorWithItsCode) {
    for (int32_t code : {1, 11001, 11006, 11007, 11009, 11015, 11050, 1214, -5}) {
        TPingResult r = ClassifyEchoCode(code);
        EXPECT_EQ(r.Status, psInternalError) << code;
        EXPECT_EQ(r.Detail, "error code " + std::to_string(code));
    }
}
