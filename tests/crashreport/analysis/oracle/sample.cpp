// Varied code for the decoder's oracle test: jump tables, x87 and SSE2 arithmetic,
// integer SIMD, 64-bit shifts, string operations, virtual calls and C++ exceptions.
#include <emmintrin.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

struct Shape {
    virtual ~Shape() = default;
    virtual double Area() const = 0;
};
struct Circle : Shape {
    double R;
    explicit Circle(double r) : R(r) {}
    double Area() const override { return 3.14159265358979 * R * R; }
};
struct Box : Shape {
    double W, H;
    Box(double w, double h) : W(w), H(h) {}
    double Area() const override { return W * H; }
};

__attribute__((noinline)) int Classify(int v) {
    switch (v) {
    case 0:
        return 11;
    case 1:
        return 23;
    case 2:
        return 37;
    case 3:
        return 41;
    case 4:
        return 59;
    case 5:
        return 67;
    case 6:
        return 71;
    case 7:
        return 83;
    default:
        return -1;
    }
}

__attribute__((noinline)) long double Series(int n) {
    long double sum = 0;
    for (int i = 1; i <= n; ++i)
        sum += std::sqrt(static_cast<long double>(i)) / (i + 1.0L);
    return sum + std::sin(static_cast<double>(n)) * std::atan2(1.0, n);
}

__attribute__((noinline)) unsigned long long Mix(unsigned long long a, unsigned b) {
    a ^= a << (b & 31);
    a += a >> 7;
    return a * 0x9E3779B97F4A7C15ull / (b | 1);
}

__attribute__((noinline)) int SumSimd(const int* p, int n) {
    __m128i acc = _mm_setzero_si128();
    int i = 0;
    for (; i + 4 <= n; i += 4)
        acc = _mm_add_epi32(acc, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0x4E));
    acc = _mm_add_epi32(acc, _mm_srli_si128(acc, 4));
    int s = _mm_cvtsi128_si32(acc);
    for (; i < n; ++i)
        s += p[i];
    return s;
}

__attribute__((noinline)) double Dot(const double* a, const double* b, int n) {
    __m128d acc = _mm_setzero_pd();
    for (int i = 0; i + 2 <= n; i += 2)
        acc = _mm_add_pd(acc, _mm_mul_pd(_mm_loadu_pd(a + i), _mm_loadu_pd(b + i)));
    double out[2];
    _mm_storeu_pd(out, acc);
    return out[0] + out[1] + static_cast<double>(_mm_cvtsd_si32(acc));
}

__attribute__((noinline)) void Check(int v) {
    if (v > 100) throw std::runtime_error("too large: " + std::to_string(v));
}

int main(int argc, char** argv) {
    std::vector<Shape*> shapes{new Circle(argc), new Box(argc, 2.5)};
    double total = 0;
    for (Shape* s : shapes)
        total += s->Area();
    int data[37];
    for (int i = 0; i < 37; ++i)
        data[i] = i * argc;
    double x[6] = {1, 2, 3, 4, 5, 6};
    char buffer[64];
    std::memset(buffer, 0, sizeof buffer);
    std::strncpy(buffer, argv[0], sizeof buffer - 1);
    try {
        Check(Classify(argc) + static_cast<int>(std::strlen(buffer)));
    } catch (const std::exception& e) {
        std::puts(e.what());
    }
    std::printf("%f %d %d %f %llu\n", total, SumSimd(data, 37), Classify(argc),
                static_cast<double>(Series(argc)),
                Mix(static_cast<unsigned long long>(argc) << 40, static_cast<unsigned>(argc)));
    std::printf("%f\n", Dot(x, x, 6));
    for (Shape* s : shapes)
        delete s;
    return 0;
}
