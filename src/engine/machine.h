// The execution engine's one static record, all zero at process start. The
// issue routines (engine/issue.cpp) keep the levels and the value stack on a
// first parse, the replays (engine/replay.cpp) carry the stack top and mode
// across a loop, io.cpp holds the output stream, and a fault sets halted.
//
// Capacity: every open conditional block, open loop and pending value of an
// expression holds at least one entry of the parser's stacks; the parser,
// which bounds those stacks, checks that ENGINE_CAPACITY covers them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/instructions.h"

constexpr int ENGINE_CAPACITY = 10000 + 2;  // levels count from 1; entry 0 stays unused

enum NumericMode : int32_t {
    MODE_INT = 0,
    MODE_REAL = 1,
};

struct MachineState {
    int32_t skip_flags[ENGINE_CAPACITY];            // by cond_level; entry 0 stays 0
    Instruction* loop_body_start[ENGINE_CAPACITY];  // by loop_depth
    Instruction* loop_body_end[ENGINE_CAPACITY];
    int32_t loop_recording[ENGINE_CAPACITY];  // 1 while that depth's body is first parsed
    int32_t loop_count[ENGINE_CAPACITY];
    int32_t int_stack[ENGINE_CAPACITY];  // the value stack, integer view
    double real_stack[ENGINE_CAPACITY];  // the value stack, real view
    int32_t stack_top;                   // shared by both views
    int32_t cond_level;
    int32_t loop_depth;
    FILE* output;          // file-print destination, or null
    int32_t numeric_mode;  // a NumericMode

    int32_t skipped_blocks;  // blocks opened inside a skipped block and not yet closed
    int32_t halted;          // a fault stopped the run; the parser stops at once
};

extern MachineState machine;  // defined in engine/issue.cpp

// After an error in a terminal session: no block or loop open, an empty
// value stack, integer mode, no fault. Variables and the output stay; the
// records of a loop body that was still being recorded are released.
void return_to_top_level();
