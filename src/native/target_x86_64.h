// What the plan and the emitter know of x86-64 under each calling
// convention: the registers that can hold homes, those that survive calls,
// what the entry leaves on the stack, where arguments go. System V on
// Linux; Win64 on Windows, and in the Linux build that runs Win64's
// convention to test it (RILL_NATIVE_WIN64_ABI, with native/native_call.h).
#pragma once

#include <cstdint>

#include "native/plan.h"

// The general registers by their numbers in instructions.
enum class X86Gp : uint8_t { RAX, RCX, RDX, RBX, RSP, RBP, RSI, RDI, R8, R9, R10, R11, R12, R13, R14, R15 };

struct X86Convention {
    NativeTarget target;
    X86Gp gp_pool[12];     // the general registers that hold homes, callee-saved first
    uint8_t fp_pool[14];   // the xmm registers that hold homes, callee-saved first
    uint8_t xmm_kept;      // xmm registers from this one up survive calls (16: none)
    X86Gp count;           // where the entry's pass count arrives
    X86Gp args[2];         // a call's first two arguments
    bool probe_stack;      // each new page of a frame is touched in order, top down
    bool stdout_variable;  // stdout is a variable, read as the code runs
};

// rbx rbp r12-r15 (callee-saved), rsi rdi r8-r11; xmm0-xmm13, all
// caller-saved; six pushes and the return address.
constexpr X86Convention X86_64_SYSV = {
    .target = {12, 6, 14, 0, 56, true, 0},
    .gp_pool = {X86Gp::RBX, X86Gp::RBP, X86Gp::R12, X86Gp::R13, X86Gp::R14, X86Gp::R15, X86Gp::RSI, X86Gp::RDI,
                X86Gp::R8, X86Gp::R9, X86Gp::R10, X86Gp::R11},
    .fp_pool = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13},
    .xmm_kept = 16,
    .count = X86Gp::RDI,
    .args = {X86Gp::RDI, X86Gp::RSI},
    .probe_stack = false,
    .stdout_variable = true,
};

// rbx rbp rsi rdi r12-r15 (callee-saved), r8-r11; xmm6-xmm13
// (callee-saved), xmm0-xmm5. The entry keeps xmm6-xmm15 whole (16 bytes
// each) above eight pushes and the return address. Every call may use the
// 32 bytes at the frame's bottom, and the stack grows a page at a time
// (a guard page below it), so a large frame is touched page by page.
// stdout is no variable there: its value is taken as the code is made.
constexpr X86Convention X86_64_WIN64 = {
    .target = {12, 8, 14, 8, 8 * 8 + 8 + 10 * 16, true, 32},
    .gp_pool = {X86Gp::RBX, X86Gp::RBP, X86Gp::RSI, X86Gp::RDI, X86Gp::R12, X86Gp::R13, X86Gp::R14, X86Gp::R15,
                X86Gp::R8, X86Gp::R9, X86Gp::R10, X86Gp::R11},
    .fp_pool = {6, 7, 8, 9, 10, 11, 12, 13, 0, 1, 2, 3, 4, 5},
    .xmm_kept = 6,
    .count = X86Gp::RCX,
    .args = {X86Gp::RCX, X86Gp::RDX},
    .probe_stack = true,
    .stdout_variable = false,
};

#if defined(_WIN32) || defined(RILL_NATIVE_WIN64_ABI)
inline constexpr const X86Convention& X86_64_CONVENTION = X86_64_WIN64;
#else
inline constexpr const X86Convention& X86_64_CONVENTION = X86_64_SYSV;
#endif
inline constexpr const NativeTarget& X86_64_TARGET = X86_64_CONVENTION.target;
