// The execution engine's one static record, all zero at process start, and
// the conversions and comparisons every part of the engine shares.
//
// Capacity: every open conditional block, open loop and pending value of an
// expression holds at least one entry of the parser's stacks, which never
// hold more than 10000 entries; so ENGINE_CAPACITY levels can never overflow.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "engine/instructions.h"

constexpr int ENGINE_CAPACITY = 10000 + 2;

enum NumericMode : int32_t {
    MODE_INT  = 0,
    MODE_REAL = 1,
};

struct MachineState {
    int32_t      skip_flags[ENGINE_CAPACITY];       // by cond_level; entry 0 stays 0
    Instruction* loop_body_start[ENGINE_CAPACITY];  // by loop_depth
    Instruction* loop_body_end[ENGINE_CAPACITY];
    int32_t      loop_recording[ENGINE_CAPACITY];   // 1 while that depth's body is first parsed
    int32_t      loop_count[ENGINE_CAPACITY];
    int32_t      int_stack[ENGINE_CAPACITY];        // the value stack, integer view
    double       real_stack[ENGINE_CAPACITY];       // the value stack, real view
    int32_t      stack_top;                         // shared by both views
    int32_t      cond_level;
    int32_t      loop_depth;
    FILE*        output;                            // file-print destination, or null
    int32_t      numeric_mode;                      // a NumericMode

    int32_t      skipped_blocks;    // blocks opened inside a skipped block and not yet closed
    int32_t      halted;            // a fault stopped the run; the parser stops at once
};

extern MachineState machine;   // owned by engine/issue.cpp

// Truncates toward zero through 64 bits and keeps the low 32; NaN, the
// infinities and magnitudes of 2^63 or more give 0.
inline int32_t real_to_int(double x) {
    if (!(std::fabs(x) < 0x1p63)) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(x))));
}

// Returns the skip flag for relation 1 to 6 ("==", "=!", "=<", "=>", "<",
// ">"): 1 when the relation does not hold. A NaN operand satisfies only "=!".
inline int32_t compare_reals(double left, double right, int32_t relation) {
    switch (relation) {
    case 1: return !(left == right);
    case 2: return !(left != right);
    case 3: return !(left <= right);
    case 4: return !(left >= right);
    case 5: return !(left < right);
    case 6: return !(left > right);
    }
    return 0;
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
