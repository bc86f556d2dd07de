// The rounding mode as the interpreter reads and sets it without libm: what
// is set is read back, and arithmetic on reals really rounds that way.
#include <cfenv>

#include <gtest/gtest.h>

namespace {

// One third, computed at run time so that the compiler cannot fold it.
double third() {
    volatile double one = 1.0, three = 3.0;
    return one / three;
}

TEST(Rounding, SetModeIsReadBackAndRulesArithmetic) {
    ASSERT_EQ(fegetround(), FE_TONEAREST);
    const double nearest = third();
    double by_mode[4] = {};
    const int modes[4] = {FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO, FE_TONEAREST};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(fesetround(modes[i]), 0);
        EXPECT_EQ(fegetround(), modes[i]);
        by_mode[i] = third();
    }
    EXPECT_LT(by_mode[0], by_mode[1]);  // down, then up: one unit apart
    EXPECT_EQ(by_mode[2], by_mode[0]);  // toward zero, for a positive value
    EXPECT_EQ(by_mode[3], nearest);
    EXPECT_NE(fesetround(-1), 0);
    EXPECT_EQ(fegetround(), FE_TONEAREST);
}

}  // namespace
