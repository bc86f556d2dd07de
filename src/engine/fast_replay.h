// The fast replay: a loop body translated, once, into three-address
// operations over variables, constants and temporaries, which run in a
// tight loop without a value stack.
//
// Types can change only through declarations, so in a body without any,
// every variable keeps its type for the whole replay, and every instruction
// its numeric mode: the translation fixes what the general walk decides at
// each step. Bodies with declarations take the general walk.
#pragma once

#include <cstdint>

#include "engine/instructions.h"

// Translates the records after start up to its end record. Returns false,
// translating nothing, when the body holds a declaration.
bool compile_body(const Instruction* start, const Instruction* end);

// Runs count passes of the body compile_body translated last.
// REQUIRES: count >= 1.
void run_compiled(int32_t count);
