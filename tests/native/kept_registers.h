// Calls a compiled loop with every register its calling convention says a
// callee keeps set to a known value, and records them as the loop left
// them: what the loop's code, or a function it called, failed to keep shows.
// x86-64 Linux and Windows, in either convention native code may follow.
#pragma once

#include <cstdint>

#include "native/code_memory.h"

struct KeptRegisters {
    uint64_t gp[8];       // rbx rbp r12 r13 r14 r15 rsi rdi
    uint64_t xmm[10][2];  // xmm6-xmm15, whole
    uint64_t rsp_at_call;
    uint64_t rsp_after;
};

// Loads before's registers (those of the convention that a callee keeps:
// System V's rbx, rbp and r12-r15; Win64's also rsi, rdi and xmm6-xmm15),
// runs count passes of loop, and stores the same registers into after.
// Called in the System V convention wherever the test runs.
extern "C" __attribute__((sysv_abi)) void rill_call_with_kept(CompiledLoop loop, int32_t count,
                                                              const KeptRegisters* before, KeptRegisters* after);

// A stand-in for a faulty loop, for checking the check: clears rbx, rsi and
// xmm9.
extern "C" void RILL_NATIVE_CALL rill_clobbering_loop(int32_t count);
