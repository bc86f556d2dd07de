// The instructions' arithmetic, conversions, comparisons and scaling, as
// pure functions of their operands: the one reference that the issue
// routines, every replay and the native code compute by.
#pragma once

#include <cmath>
#include <cstdint>

#include "engine/instructions.h"
#include "engine/random.h"

// Truncates toward zero through 64 bits and keeps the low 32; NaN, the
// infinities and magnitudes of 2^63 or more give 0.
inline int32_t real_to_int(double x) {
    if (!(std::fabs(x) < 0x1p63)) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(x))));
}

// 32-bit arithmetic that wraps, done in unsigned so that it is defined.
inline int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrap_sub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t wrap_mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
// REQUIRES: b != 0. The quotient of INT32_MIN by -1 wraps to INT32_MIN.
inline int32_t wrap_div(int32_t a, int32_t b) {
    if (b == -1) return static_cast<int32_t>(0u - static_cast<uint32_t>(a));
    return a / b;
}

// Division by a constant d >= 2 as a multiply and shifts, exactly as
// wrap_div(n, d): the native code's form of it. magic is the rounded-up
// 2^(32 + shift) / d, kept as a 32-bit word; when it does not fit as a
// signed word (reads as negative), n is added back after the multiply.
struct DivisionMagic {
    int32_t magic;
    int32_t shift;
};

// REQUIRES: d >= 2.
constexpr DivisionMagic division_magic(int32_t d) {
    const uint32_t two31 = 0x80000000u;
    uint32_t ad = static_cast<uint32_t>(d);
    uint32_t anc = two31 - 1 - two31 % ad;  // the largest n whose remainder is d - 1
    int32_t p = 31;
    uint32_t q1 = two31 / anc, r1 = two31 - q1 * anc;
    uint32_t q2 = two31 / ad, r2 = two31 - q2 * ad;
    uint32_t delta = 0;
    do {
        ++p;
        q1 *= 2;
        r1 *= 2;
        if (r1 >= anc) {
            ++q1;
            r1 -= anc;
        }
        q2 *= 2;
        r2 *= 2;
        if (r2 >= ad) {
            ++q2;
            r2 -= ad;
        }
        delta = ad - r2;
    } while (q1 < delta || (q1 == delta && r1 == 0));
    return {static_cast<int32_t>(q2 + 1), p - 32};
}

// The steps the native code takes, one for one: the floor of n / d, raised
// by one when n is negative. The sign is n's, not the quotient's (they are
// the same), so that finding it is off the chain of a loop whose next n is
// this quotient.
constexpr int32_t divide_by_magic(int32_t n, DivisionMagic m) {
    int64_t product = static_cast<int64_t>(n) * m.magic;
    int32_t q = 0;
    if (m.magic < 0) {
        q = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(product >> 32)) + static_cast<uint32_t>(n));
        q >>= m.shift;
    } else {
        q = static_cast<int32_t>(product >> (32 + m.shift));
    }
    return static_cast<int32_t>(static_cast<uint32_t>(q) + (static_cast<uint32_t>(n) >> 31));
}

// Division by 2^shift, 1 <= shift <= 30, as the native code does it, one
// step for one: a negative n is first raised by 2^shift - 1, so that the
// arithmetic shift rounds toward zero as wrap_div does.
constexpr int32_t divide_by_power_of_two(int32_t n, int32_t shift) {
    uint32_t bias = (n < 0 ? 0xffffffffu : 0u) >> (32 - shift);
    return static_cast<int32_t>(static_cast<uint32_t>(n) + bias) >> shift;
}

// The arithmetic operators, one row each: the name, the binary operator's
// instruction, the compound assignment's, whether it commutes (a compound
// assignment then puts the assigned value first), and whether an integer
// zero as its right operand stops the run. The enum, the look-ups below and
// the translated codes of both types (engine/translate.h) are built from it;
// int_arith and real_arith, and every back end's switch over the translated
// codes, fail to compile until a new row is handled. Extra arguments are
// passed on to F after the row.
#define ARITH_OPS(F, ...)                                  \
    F(ADD, OP_ADD, OP_ADD_TO, true, false, __VA_ARGS__)    \
    F(SUB, OP_SUB, OP_SUB_FROM, false, false, __VA_ARGS__) \
    F(MUL, OP_MUL, OP_MUL_BY, true, false, __VA_ARGS__)    \
    F(DIV, OP_DIV, OP_DIV_BY, false, true, __VA_ARGS__)

enum class Arith : uint8_t {
#define ARITH_ENUM(name, ...) name,
    ARITH_OPS(ARITH_ENUM, )
#undef ARITH_ENUM
};

// Whether op is a binary operator's or a compound assignment's instruction.
constexpr bool is_arith_op(OpCode op) {
#define ARITH_IS(name, binary, compound, ...) \
    if (op == (binary) || op == (compound)) return true;
    ARITH_OPS(ARITH_IS, )
#undef ARITH_IS
    return false;
}

// REQUIRES: is_arith_op(op).
constexpr Arith arith_of(OpCode op) {
#define ARITH_OF(name, binary, compound, ...) \
    if (op == (binary) || op == (compound)) return Arith::name;
    ARITH_OPS(ARITH_OF, )
#undef ARITH_OF
    return Arith::ADD;
}

// The table's two properties, by operator.
constexpr bool ARITH_COMMUTES[] = {
#define ARITH_COMMUTES_ROW(name, binary, compound, commutative, ...) commutative,
    ARITH_OPS(ARITH_COMMUTES_ROW, )
#undef ARITH_COMMUTES_ROW
};
constexpr bool ARITH_STOPS_ON_ZERO[] = {
#define ARITH_STOPS_ROW(name, binary, compound, commutative, stops, ...) stops,
    ARITH_OPS(ARITH_STOPS_ROW, )
#undef ARITH_STOPS_ROW
};

constexpr bool commutes(Arith a) {
    return ARITH_COMMUTES[static_cast<uint8_t>(a)];
}

// Whether an integer zero as the right operand stops the run.
constexpr bool stops_on_zero(Arith a) {
    return ARITH_STOPS_ON_ZERO[static_cast<uint8_t>(a)];
}

// REQUIRES: r != 0 when stops_on_zero(a).
inline int32_t int_arith(Arith a, int32_t l, int32_t r) {
    switch (a) {
    case Arith::ADD: return wrap_add(l, r);
    case Arith::SUB: return wrap_sub(l, r);
    case Arith::MUL: return wrap_mul(l, r);
    case Arith::DIV: return wrap_div(l, r);
    }
    return l;
}

// With two NaN operands the result is the first one's NaN, on every path.
// The hardware gives that for l - r and l / r, but a compiler may swap the
// operands of + and *, so for those a NaN l is returned (quieted by adding
// 0) before r is looked at.
inline double real_arith(Arith a, double l, double r) {
    switch (a) {
    case Arith::ADD: return std::isnan(l) ? l + 0.0 : l + r;
    case Arith::SUB: return l - r;
    case Arith::MUL: return std::isnan(l) ? l + 0.0 : l * r;
    case Arith::DIV: return l / r;
    }
    return l;
}

// A compound assignment to a real, v op= x. An operator that commutes puts
// the assigned value first: with two NaNs, the first operand's sign survives.
inline double real_update(Arith a, double v, double x) {
    return commutes(a) ? real_arith(a, x, v) : real_arith(a, v, x);
}

// The six relations ("==", "=!", "=<", "=>", "<", ">"), in code order.
enum class Relation : uint8_t { EQ, NE, LE, GE, LT, GT };
static_assert(OP_IF_NE == OP_IF_EQ + 1 && OP_IF_LE == OP_IF_EQ + 2 && OP_IF_GE == OP_IF_EQ + 3 &&
              OP_IF_LT == OP_IF_EQ + 4 && OP_IF_GT == OP_IF_EQ + 5);

// REQUIRES: is_comparison(op).
constexpr Relation relation_of(OpCode op) {
    return static_cast<Relation>(op - OP_IF_EQ);
}

// Integers compare exactly as their reals would; a NaN satisfies only "=!".
template <typename T>
constexpr bool relation_holds(Relation rel, T left, T right) {
    switch (rel) {
    case Relation::EQ: return left == right;
    case Relation::NE: return left != right;
    case Relation::LE: return left <= right;
    case Relation::GE: return left >= right;
    case Relation::LT: return left < right;
    case Relation::GT: return left > right;
    }
    return false;
}

// The skip flag of comparison op over two reals: 1 when it does not hold.
// REQUIRES: is_comparison(op).
inline int32_t compare_reals(double left, double right, OpCode op) {
    return !relation_holds(relation_of(op), left, right);
}

// rand's scaling of a draw r (0 to RANDOM_RANGE - 1) into [0, top).
inline int32_t scale_random(int32_t r, int32_t top) {
    return wrap_mul(r, top) / RANDOM_RANGE;
}
inline double scale_random(int32_t r, double top) {
    return r * top / RANDOM_RANGE;
}

// OP_INC and OP_DEC on a value of each type.
inline int32_t step_int(int32_t v, int32_t delta) {
    return wrap_add(v, delta);
}
inline double step_real(double v, int32_t delta) {
    return v + delta;
}
