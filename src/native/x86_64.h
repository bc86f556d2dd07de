// The x86-64 emitter of native loops: a translation's code as its plan says.
#pragma once

#include "native/code_memory.h"
#include "native/plan.h"
#include "native/target_x86_64.h"

// Emits t's code as plan (made for X86_64_TARGET) says and places it in code
// memory. Returns null, having run nothing, when the plan promised what the
// emitter cannot keep, or no executable memory could be had.
CompiledLoop compile_x86_64(const Translation& t, const NativePlan& plan);
