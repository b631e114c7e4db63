#include "chain.h"

namespace chain {

int Mid1(TMode mode, int n) {
    int r = Mid2(mode, n + 3);
    return r ^ n;
}

int Mid2(TMode mode, int n) {
    if (mode == FaultInMiddle) *Target = n;
    int r = Bottom1(mode, n - 1);
    return r + 2;
}

} // namespace chain
