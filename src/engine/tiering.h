// Tiering: whether a loop is worth compiling to native code, from what it
// is expected to run against what compiling costs.
#pragma once

#include <cstdint>

#include "engine/translate.h"

// The operations t is expected to run in count passes: each operation
// weighted by the passes of the loops around it, as their counts read now.
double expected_work(const Translation& t, int32_t count);

// Whether count passes of t repay compiling it.
bool worth_compiling(const Translation& t, int32_t count);
