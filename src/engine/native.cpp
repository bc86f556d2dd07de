// Native code for loops, in four units: tiering (engine/tiering.h) decides
// whether a loop repays compiling, the plan (engine/native_plan.h) makes
// every choice no instruction set decides, the emitter of the machine
// (engine/native_x86.h) writes its instructions, and code memory
// (engine/code_memory.h) runs them.
#include "engine/native.h"

#include "engine/native_plan.h"
#include "engine/native_x86.h"
#include "engine/tiering.h"

namespace {

int32_t loops_compiled;
int32_t loops_declined;

}  // namespace

bool run_native(int32_t count, bool tiered) {
    const Translation& t = last_translation();
    if (tiered && !worth_compiling(t, count)) return false;

    NativePlan plan;
    CompiledLoop loop = nullptr;
    if (make_native_plan(t, X86_64_TARGET, plan)) loop = compile_x86_64(t, plan);
    if (!loop) {
        ++loops_declined;
        return false;
    }
    ++loops_compiled;
    loop(count);
    return true;
}

NativeCounts native_counts() {
    return {loops_compiled, loops_declined};
}
