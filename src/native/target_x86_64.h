// What the plan knows of x86-64 (System V): the registers that can hold
// homes, those that survive calls, and what the entry leaves on the stack.
#pragma once

#include "native/plan.h"

// rbx rbp r12-r15 (callee-saved), rsi rdi r8-r11; xmm0-xmm13, all caller-saved;
// six pushes and the return address.
constexpr NativeTarget X86_64_TARGET = {12, 6, 14, 0, 56, true};
