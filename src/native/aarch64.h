// The AArch64 emitter of native loops: a translation's code as its plan says.
#pragma once

#include "native/code_memory.h"
#include "native/plan.h"
#include "native/target_aarch64.h"

// Emits t's code as plan (made for AARCH64_TARGET) says and places it in
// code memory. Returns null, having run nothing, when the plan promised what
// the emitter cannot keep, or no executable memory could be had.
CompiledLoop compile_aarch64(const Translation& t, const NativePlan& plan);
