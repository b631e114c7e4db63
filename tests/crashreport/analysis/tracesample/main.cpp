#include "levels.h"

namespace sample {
volatile int Sink = 0;
volatile TStep NextStep = Level4;
} // namespace sample

int main(int argc, char**) {
    int r = sample::Level1(argc);
    r += sample::Recurse(argc + 4);
    r += sample::CallThrough(sample::Level5, argc);
    r += sample::JumpThrough(sample::Level6, argc);
    return r & 1;
}
