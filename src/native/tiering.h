// Tiering: whether a loop is worth compiling to native code, from what it
// is expected to run against what compiling costs.
#pragma once

#include <cstdint>

#include "engine/translate.h"

// The operations t is expected to run in count passes: each operation
// weighted by the passes of the loops around it, as their counts read now.
double expected_work(const Translation& t, int32_t count);

// The operations that repay compiling t: what the threaded replay must
// have run of it before the rest of the loop moves to native code.
int64_t compile_threshold(const Translation& t);

// Whether count passes of t repay compiling it, by its counts as they read now.
bool worth_compiling(const Translation& t, int32_t count);

// The operations the threaded replay runs of count passes of t recording
// its comparisons' outcomes, before the rest runs as native code (or, not
// worth compiling yet, on the plain threaded replay): enough for dozens of
// each. 0 when t has no block, or when compiling now and that would not be
// a small share of the loop's work.
int64_t profile_budget(const Translation& t, int32_t count, bool compiling_now);
