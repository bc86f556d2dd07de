// Native code for loops, in four units: tiering (native/tiering.h) decides
// whether a loop repays compiling, the plan (native/plan.h) makes
// every choice no instruction set decides, the emitter of the machine
// (native/x86_64.h, native/aarch64.h) writes its instructions, and
// code memory (native/code_memory.h) runs them.
//
// Compiling never ends the run: when memory for compiling, for the code or
// for the loop's stack frame cannot be had, the loop runs on the threaded
// replay, which gives the same results.
#include "native/native.h"

#include <cstdint>
#include <new>

#include "engine/machine.h"
#include "engine/threaded.h"
#include "native/code_memory.h"
#include "native/plan.h"
#include "native/tiering.h"
#include "platform/platform.h"
#if defined(__aarch64__)
#include "native/aarch64.h"
#else
#include "native/x86_64.h"
#endif

namespace {

// The machine's emitter: the build compiles only the one for its machine.
#if defined(__aarch64__)
constexpr const NativeTarget& TARGET = AARCH64_TARGET;
CompiledLoop emit_code(const Translation& t, const NativePlan& plan) {
    return compile_aarch64(t, plan);
}
#else
constexpr const NativeTarget& TARGET = X86_64_TARGET;
CompiledLoop emit_code(const Translation& t, const NativePlan& plan) {
    return compile_x86_64(t, plan);
}
#endif

// What compiling, and the functions native code calls (printing, reading,
// stopping), may take of the stack below the frame, with room to spare. An
// address-sanitized build's calls take several times as much.
#if defined(__SANITIZE_ADDRESS__)
constexpr uintptr_t CALL_HEADROOM = uintptr_t{96} * 1024;
#else
constexpr uintptr_t CALL_HEADROOM = uintptr_t{16} * 1024;
#endif

int32_t loops_compiled;
int32_t loops_declined;

// Whether a frame of frame bytes, and the calls made from it, fit on the
// stack below the caller's.
bool stack_has_room(int32_t frame) {
    uintptr_t floor = stack_floor();
    // The frame's address, not a local's: a sanitizer may keep locals apart
    // from the stack.
    uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    uintptr_t needed = static_cast<uintptr_t>(frame) + CALL_HEADROOM;
    return floor != 0 && sp > floor && sp - floor >= needed;
}

// While compiling, operator new throws when memory runs out, rather than
// call the run's handler, which ends the run.
struct ThrowingNew {
    std::new_handler saved = std::set_new_handler(nullptr);
    ThrowingNew() = default;
    ThrowingNew(const ThrowingNew&) = delete;
    ThrowingNew& operator=(const ThrowingNew&) = delete;
    ~ThrowingNew() { std::set_new_handler(saved); }
};

// The compiled loop, or null when it is to run on the threaded replay.
CompiledLoop compile(const Translation& t) {
    ThrowingNew throwing;
    try {
        // Planning and emitting need stack of their own, before the frame does.
        if (!stack_has_room(0)) return nullptr;
        NativePlan plan;
        if (!make_native_plan(t, TARGET, plan) || !stack_has_room(plan.frame)) return nullptr;
        return emit_code(t, plan);
    } catch (const std::bad_alloc&) {
        return nullptr;  // what was taken is given back on the way out
    }
}

}  // namespace

bool run_native(int32_t count) {
    CompiledLoop loop = compile(last_translation());
    if (!loop) {
        ++loops_declined;
        return false;
    }
    ++loops_compiled;
    loop(count);
    if (memory_limited()) release_code_memory();
    return true;
}

void run_tiered(int32_t count) {
    const Translation& t = last_translation();
    bool worth = worth_compiling(t, count);
    // A body with blocks first runs some passes on the threaded replay
    // recording how its tests go, for the plan to choose each block's form
    // by; the rest runs on the plain one until compiling repays.
    if (int64_t budget = profile_budget(t, count, worth); budget > 0) {
        count = run_threaded(count, budget, true);
        if (count == 0 || machine.halted) return;
    }
    if (!worth) {
        count = run_threaded(count, compile_threshold(t));
        if (count == 0 || machine.halted) return;
    }
    if (!run_native(count)) (void)run_threaded(count);
}

FILE* native_listing = nullptr;

NativeCounts native_counts() {
    return {loops_compiled, loops_declined};
}
