#include "levels.h"

namespace sample {

int Level3(int n) {
    // Through a variable, so that the call goes through a register.
    TStep step = NextStep;
    int r = step(n + 2);
    Sink = r;
    return r * 2;
}

int Level4(int n) {
    int r = Level5(n - 1);
    Sink = r;
    return r + 4;
}

int Level5(int n) {
    int r = Level6(n ^ 5);
    Sink = r;
    return r + 5;
}

int Level6(int n) {
    Sink = n;
    return Sink + 6;
}

} // namespace sample
