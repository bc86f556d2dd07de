#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "engine/arith.h"
#include "engine/random.h"

namespace {

TEST(RealToInt, TruncatesAndWrapsThroughSixtyFourBits) {
    EXPECT_EQ(real_to_int(2.9), 2);
    EXPECT_EQ(real_to_int(-2.9), -2);
    EXPECT_EQ(real_to_int(3000000000.0), -1294967296);
    EXPECT_EQ(real_to_int(2147483648.0), INT32_MIN);
    EXPECT_EQ(real_to_int(4294967297.5), 1);
    EXPECT_EQ(real_to_int(-4294967297.0), -1);
    // Just below 2^63 still converts; 2^63 and beyond give 0.
    EXPECT_EQ(real_to_int(std::nextafter(0x1p63, 0.0)), -1024);  // 2^63 - 1024
    EXPECT_EQ(real_to_int(0x1p52 + 0x1p33 + 5.0), 5);
    EXPECT_EQ(real_to_int(0x1p63), 0);
    EXPECT_EQ(real_to_int(-0x1p63), 0);
    EXPECT_EQ(real_to_int(std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(real_to_int(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(real_to_int(std::nan("")), 0);
}

TEST(WrappingArithmetic, EdgesOfThirtyTwoBits) {
    EXPECT_EQ(wrap_add(INT32_MAX, 1), INT32_MIN);
    EXPECT_EQ(wrap_sub(INT32_MIN, 1), INT32_MAX);
    EXPECT_EQ(wrap_mul(65536, 65536), 0);
    EXPECT_EQ(wrap_mul(INT32_MIN, -1), INT32_MIN);
    EXPECT_EQ(wrap_div(INT32_MIN, -1), INT32_MIN);
    EXPECT_EQ(wrap_div(7, 2), 3);
    EXPECT_EQ(wrap_div(-7, 2), -3);
    EXPECT_EQ(wrap_div(7, -1), -7);
}

TEST(CompareReals, RelationsAndNaN) {
    // The result is the skip flag: 1 when the relation does not hold.
    const double nan = std::nan("");
    struct Case {
        double l, r;
        int expected[6];
    } cases[] = {
        {1, 1, {0, 1, 0, 0, 1, 1}},   {1, 2, {1, 0, 0, 1, 0, 1}},     {2, 1, {1, 0, 1, 0, 1, 0}},
        {nan, 1, {1, 0, 1, 1, 1, 1}}, {nan, nan, {1, 0, 1, 1, 1, 1}},
    };
    for (const Case& c : cases)
        for (int rel = 1; rel <= 6; ++rel)
            EXPECT_EQ(compare_reals(c.l, c.r, static_cast<OpCode>(OP_IF_EQ + rel - 1)), c.expected[rel - 1])
                << c.l << " " << c.r << " rel " << rel;
}

TEST(Random, FifteenBitGenerator) {
    seed_random(1);
    const int32_t expected[] = {41, 18467, 6334, 26500, 19169};
    for (int32_t e : expected) EXPECT_EQ(draw_random(), e);
    // The state wraps modulo 2^32 and draws stay in range.
    seed_random(0xffffffffu);
    for (int i = 0; i < 100000; ++i) {
        int32_t r = draw_random();
        ASSERT_GE(r, 0);
        ASSERT_LT(r, RANDOM_RANGE);
    }
}

}  // namespace

namespace {

// The native code divides by a constant with a multiply and shifts, or by a
// power of two with shifts alone; either must agree with wrap_div for every
// dividend, at the edges above all.
TEST(DivisionByConstant, AgreesWithWrapDiv) {
    const int32_t divisors[] = {2,   3,    4,    5,     6,     7,     8,       10,         16,         25,       125,
                                641, 1000, 1024, 65535, 65536, 65537, 1000003, 0x40000000, 0x7ffffffe, INT32_MAX};
    std::vector<int32_t> dividends = {0, 1, -1, 2, -2, INT32_MIN, INT32_MIN + 1, INT32_MAX, INT32_MAX - 1};
    uint32_t state = 12345;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1664525u + 1013904223u;
        dividends.push_back(static_cast<int32_t>(state));
        dividends.push_back(static_cast<int32_t>(state >> (state & 31)));
    }
    for (int32_t d : divisors) {
        DivisionMagic m = division_magic(d);
        int32_t shift = std::has_single_bit(static_cast<uint32_t>(d)) ? std::countr_zero(static_cast<uint32_t>(d)) : 0;
        for (int32_t n : dividends) {
            for (int32_t k = -3; k <= 3; ++k) {  // n, and around multiples of d
                int64_t near = k == 0 ? n : static_cast<int64_t>(n / d) * d + k;
                if (near < INT32_MIN || near > INT32_MAX) continue;
                int32_t x = static_cast<int32_t>(near);
                ASSERT_EQ(divide_by_magic(x, m), wrap_div(x, d)) << x << " / " << d;
                if (shift) {
                    ASSERT_EQ(divide_by_power_of_two(x, shift), wrap_div(x, d)) << x << " / " << d;
                }
            }
        }
    }
}

}  // namespace
