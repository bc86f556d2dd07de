// Console input's conversions. A number is read from an InputReader exactly
// as the C library's "%d" and "%lf" read it from a stream: the same blanks
// skipped, the same characters taken (on a failed match too), the same
// value. Whatever follows stays in the reader, for the next read or for the
// scanner.
#pragma once

#include <cstdint>

#include "lexer/reader.h"

// Each returns true and stores the value when a number was read; false,
// storing nothing, at the end of input or when no number starts there.
bool input_integer(InputReader& reader, int32_t* value);
bool input_real(InputReader& reader, double* value);
