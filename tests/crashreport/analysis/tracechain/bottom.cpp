#include "chain.h"

#include <windows.h>

namespace chain {

void* Arrived = nullptr;
void* Release = nullptr;
volatile int* volatile Target = nullptr;

int Bottom1(TMode mode, int n) {
    int r = Bottom2(mode, n * 5);
    return r + 1;
}

int Bottom2(TMode mode, int n) {
    if (mode == WaitAtBottom) {
        SetEvent(Arrived);
        WaitForSingleObject(Release, INFINITE);
    } else if (mode == ThrowAtBottom) {
        throw n; // nobody catches it: std::terminate
    } else {
        *Target = n;
    }
    return n + 7;
}

} // namespace chain
