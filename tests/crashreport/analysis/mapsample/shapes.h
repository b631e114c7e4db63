// A small program whose only purpose is to carry varied C++ debug information.
#pragma once
#include <string>
#include <vector>

namespace geo {

struct Shape {
    virtual ~Shape();
    virtual int Area() const = 0;
    virtual std::string Name() const;
};

class Rect : public Shape {
public:
    Rect(int w, int h);
    ~Rect() override;
    int Area() const override;
    std::string Name() const override;
    Rect& operator+=(const Rect& other);
    bool operator<(const Rect& other) const { return Area() < other.Area(); }

private:
    int w_, h_;
};

namespace detail {
template <class T> T Twice(T v) {
    T r = v;
    r += v;
    return r;
}
int Accumulate(const std::vector<int>& values);
} // namespace detail

} // namespace geo

int RunShapes(int seed);
