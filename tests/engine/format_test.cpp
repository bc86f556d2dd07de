// print_value formats numbers itself rather than through printf; every value
// must still come out exactly as glibc's printf "%d" and "%f" write it, on
// every system: finite values as this C library's printf, the others as
// glibc spells them.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/io.h"

namespace {

std::string formatted(const Symbol& sym) {
    char text[VALUE_TEXT_SIZE];
    return std::string(text, format_value(&sym, text));
}

std::string printf_real(double x) {
    if (std::isnan(x)) return std::signbit(x) ? "-nan" : "nan";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    char text[VALUE_TEXT_SIZE];
    int n = std::snprintf(text, sizeof text, "%f", x);
    return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

TEST(FormatValue, IntegersAsPrintf) {
    Symbol sym{};
    uint32_t state = 7;
    std::vector<int32_t> values = {0, 1, -1, 9, 10, -10, 99999, INT32_MAX, INT32_MIN, INT32_MIN + 1};
    for (int i = 0; i < 20000; ++i) {
        state = state * 1664525u + 1013904223u;
        values.push_back(static_cast<int32_t>(state) >> (state & 31));
    }
    for (int32_t v : values) {
        sym.value.integer = v;
        EXPECT_EQ(formatted(sym), std::to_string(v));
    }
}

// Random bit patterns cover every exponent; ties on the sixth decimal (k/128
// and its kin are exact in binary) must round to even as printf does.
TEST(FormatValue, RealsAsPrintf) {
    Symbol sym{};
    sym.type = 1;
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.5,
                                  1.0 / 128,
                                  3.0 / 128,
                                  0.0000005,
                                  0.0000015,
                                  -0.0000025,
                                  2.5e-7,
                                  123456789.0000005,
                                  1e15 + 0.5,
                                  9007199254740993.0,
                                  std::numeric_limits<double>::max(),
                                  -std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN(),
                                  -std::numeric_limits<double>::quiet_NaN()};
    for (int k = 1; k < 2000; k += 2) values.push_back(k / 1048576.0);  // ties at many scales
    uint64_t state = 99;
    for (int i = 0; i < 100000; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        double x;
        std::memcpy(&x, &state, sizeof x);
        values.push_back(x);
        // Magnitudes that print with few digits, where rounding shows.
        values.push_back(std::ldexp(static_cast<double>(state >> 11), -static_cast<int>(state % 80)));
    }
    for (double x : values) {
        sym.value.real = x;
        ASSERT_EQ(formatted(sym), printf_real(x)) << std::hexfloat << x;
    }
}

// The spelling every system must print is glibc's; where glibc is the C
// library, it is checked against printf itself.
TEST(FormatValue, NonFiniteSpelledAsGlibcDoes) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const struct {
        double x;
        const char* text;
    } cases[] = {{nan, "nan"}, {-nan, "-nan"}, {inf, "inf"}, {-inf, "-inf"}, {std::copysign(nan, -1.0), "-nan"}};
    Symbol sym{};
    sym.type = 1;
    for (const auto& c : cases) {
        sym.value.real = c.x;
        EXPECT_EQ(formatted(sym), c.text);
#ifdef __GLIBC__
        char text[VALUE_TEXT_SIZE];
        (void)std::snprintf(text, sizeof text, "%f", c.x);
        EXPECT_STREQ(text, c.text);
#endif
    }
}

}  // namespace
