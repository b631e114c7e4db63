#include "monitor/PingerU_Status.h"

TPingResult ClassifyEchoCode(int32_t code) {
    TPingResult r;
    switch (code) {
    case 0:
        r.Status = psNone;
        break;
    case 11002: // destination network, host, protocol or port unreachable
    case 11003:
    case 11004:
    case 11005:
        r.Status = psUnreachable;
        break;
    case 11008: // hardware error, bad request, bad route
    case 11011:
    case 11012:
        r.Status = psConnectionError;
        break;
    case 11010:
        r.Status = psTimedOut;
        break;
    case 11013: // time to live expired in transit or during reassembly
    case 11014:
        r.Status = psTtlExceeded;
        break;
    default:
        r.Status = psInternalError;
        r.Detail = "error code " + std::to_string(code);
        break;
    }
    return r;
}
