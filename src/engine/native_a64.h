// The AArch64 emitter of native loops: a translation's code as its plan says.
#pragma once

#include "engine/code_memory.h"
#include "engine/native_plan.h"

// x19-x28 (callee-saved), x1-x7 and x12-x14; d8-d15 (callee-saved) and
// d18-d31; the entry saves x29, x30, x19-x28 and d8-d15 in 160 bytes.
constexpr NativeTarget AARCH64_TARGET = {20, 10, 22, 8, 160, false};

// Emits t's code as plan (made for AARCH64_TARGET) says and places it in
// code memory. Returns null, having run nothing, when the plan promised what
// the emitter cannot keep, or no executable memory could be had.
CompiledLoop compile_aarch64(const Translation& t, const NativePlan& plan);
