#pragma once
// The outcome of one ping attempt and how echo status codes map onto it.
#include <cstdint>
#include <string>

enum TPingStatus : uint8_t {
    psNone = 0,
    psTimedOut = 1,
    psConnectionError = 2,
    psUnreachable = 3,
    psTtlExceeded = 4,
    psAbandoned = 5,
    psInternalError = 6
};

struct TPingResult {
    TPingStatus Status = psNone;
    std::string Detail;
    int32_t Milliseconds = 0;
};

// Classifies an echo code (0 = reply received). Milliseconds are left 0.
TPingResult ClassifyEchoCode(int32_t code);
