// Native code for loops: the last translation (engine/translate.h) compiled
// to machine code, with the variables it touches held in registers for the
// whole replay. Built only with asmjit on x86-64 (RILL_NATIVE).
#pragma once

#include <cstdint>

// Compiles the last translation and runs count passes of it. With tiered,
// compiles only a loop whose expected work repays compiling. Returns false,
// having run nothing, when the loop is to run on the threaded replay: it is
// too short, holds what the back end does not handle, or no executable
// memory could be had.
// REQUIRES: count >= 1.
bool run_native(int32_t count, bool tiered);

// Loops run as native code so far, and loops that tried and fell back to the
// threaded replay (tiering's choice not counted): lets tests see that what
// should compile does.
struct NativeCounts {
    int32_t compiled;
    int32_t declined;
};
NativeCounts native_counts();
