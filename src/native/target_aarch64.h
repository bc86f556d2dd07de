// What the plan knows of AArch64: the registers that can hold homes, those
// that survive calls, and what the entry leaves on the stack.
#pragma once

#include "native/plan.h"

// x19-x28 (callee-saved), x1-x7 and x12-x14; d8-d15 (callee-saved) and
// d18-d31; the entry saves x29, x30, x19-x28 and d8-d15 in 160 bytes.
constexpr NativeTarget AARCH64_TARGET = {20, 10, 22, 8, 160, false, 0};
