// The threaded replay of a loop body's translation (engine/translate.h).
#pragma once

#include <cstdint>

// Runs count passes of the last translation by threaded dispatch. With a
// budget, counts the operations run (each inner loop's body by its passes
// as it starts, and each pass of the outermost loop) and stops at the end
// of the outermost loop's pass where they reach it. Returns the outermost
// loop's passes left: 0 when all ran, or the run halted or broke out. With
// record, every comparison's outcome joins its history in the
// translation's outcomes.
// REQUIRES: count >= 1.
int32_t run_threaded(int32_t count, int64_t budget = INT64_MAX, bool record = false);
