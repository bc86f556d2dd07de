// Code memory: one region, reused by every compiled loop, that is never
// writable and executable at once. An emitter opens it to copy its code in,
// then seals it to run the code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/native_call.h"

using CompiledLoop = void(RILL_NATIVE_CALL*)(int32_t count);

// Makes the region at least size bytes and writable (not executable), and
// returns its address, or null when the memory cannot be had.
void* open_code_memory(size_t size);

// The region's size as open_code_memory left it.
size_t code_memory_size();

// Makes the region executable (no longer writable), its caches made
// coherent, and returns its start as the loop's entry; null when it cannot.
// REQUIRES: open_code_memory succeeded last.
CompiledLoop seal_code_memory();

// Gives the region back (the next loop maps it afresh).
void release_code_memory();
