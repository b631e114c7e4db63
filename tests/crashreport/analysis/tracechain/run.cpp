#include "chain.h"

namespace chain {

int RunChain(TMode mode) {
    int r = Top1(mode, 1);
    return r & 0x7F;
}

unsigned long __stdcall Worker(void*) {
    return static_cast<unsigned long>(RunChain(WaitAtBottom));
}

} // namespace chain
