// Native code for loops: the last translation (engine/translate.h) compiled
// to machine code, with the variables it touches held in registers for the
// whole replay. Built only with asmjit on x86-64 (RILL_NATIVE).
#pragma once

#include <cstdint>
#include <cstdio>

// Compiles the last translation and runs count passes of it. Returns false,
// having run nothing, when the loop is to run on the threaded replay: it
// holds what the back end does not handle, or no memory could be had.
// REQUIRES: count >= 1.
bool run_native(int32_t count);

// Runs count passes of the last translation the fastest way: as native
// code when the work the loop is expected to do repays compiling; else on
// the threaded replay, which hands the rest of the loop to native code at
// the end of the outermost loop's pass where the work actually done repays
// it (inner counts read before the loop may have grown since).
// REQUIRES: count >= 1.
void run_tiered(int32_t count);

// Loops run as native code so far, and loops that tried and fell back to the
// threaded replay (tiering's choice not counted): lets tests see that what
// should compile does.
struct NativeCounts {
    int32_t compiled;
    int32_t declined;
};
NativeCounts native_counts();

// Where each compiled loop's instructions are listed as text, when not null:
// lets a tool count what a pass runs.
extern FILE* native_listing;
