// Stand-in until the debug-information reader provides the real command.
#include "tools/qixinspect/Lookup.h"

#include <cstdio>

int RunLookup(int, char**) {
    std::fprintf(stderr, "lookup: not available\n");
    return 2;
}
