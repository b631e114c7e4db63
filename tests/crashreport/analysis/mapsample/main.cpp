#include "shapes.h"

#include <cstdio>
#include <map>

namespace {
struct Counter {
    std::map<int, int> seen;
    int Add(int key) { return ++seen[key]; }
};
} // namespace

extern "C" int PlainCFunction(int x) {
    return x * 3 + 1;
}

int main(int argc, char**) {
    Counter counter;
    for (int i = 0; i < argc + 3; ++i)
        counter.Add(i % 2);
    geo::Rect a(2, 3), b(4, 5);
    a += b;
    const int result = RunShapes(argc) + PlainCFunction(a.Area()) + (a < b ? 1 : 0);
    std::printf("%d %s\n", result, a.Name().c_str());
    return 0;
}
