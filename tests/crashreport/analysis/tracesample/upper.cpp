#include "levels.h"

namespace sample {

int Level1(int n) {
    int r = Level2(n + 1);
    Sink = r;
    return r + 1;
}

int Level2(int n) {
    int r = Level3(n * 3);
    Sink = r;
    return r - 2;
}

int Recurse(int depth) {
    if (depth <= 0) return Level6(depth);
    int r = Recurse(depth - 1);
    Sink = r;
    return r + depth;
}

} // namespace sample
