#include "chain.h"

namespace chain {

int Top1(TMode mode, int n) {
    int r = Top2(mode, n + 1);
    return r + n;
}

int Top2(TMode mode, int n) {
    int r = Mid1(mode, n * 2);
    return r - n;
}

} // namespace chain
