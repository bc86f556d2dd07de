#include "native/tiering.h"

#include <vector>

#include "engine/effects.h"

namespace {

// A loop is compiled when the operations it is expected to run reach
// COMPILE_BASE plus COMPILE_PER_OP for each operation of its body. Measured
// here (bench/run compile), compiling costs about 16 us, most of it mapping
// and protecting the code, and under a tenth of a microsecond an operation;
// native code saves one to two nanoseconds an operation over the threaded
// replay.
constexpr double COMPILE_BASE = 2e4;
constexpr double COMPILE_PER_OP = 100;

}  // namespace

double expected_work(const Translation& t, int32_t count) {
    double weight = count;
    double work = 0;
    std::vector<double> weights;
    for (int32_t i = 0; i < t.size; ++i) {
        const TranslatedOp& op = t.ops[i];
        work += weight;
        if (op.code == T_LOOP_I || op.code == T_LOOP_R) {
            int32_t passes = op.code == T_LOOP_I ? *static_cast<const int32_t*>(op.a)
                                                 : real_to_int(*static_cast<const double*>(op.a));
            weights.push_back(weight);
            weight *= passes > 1 ? passes : 1;
        } else if (op.code == T_LOOP_END && !weights.empty()) {
            weight = weights.back();
            weights.pop_back();
        }
    }
    return work;
}

int64_t compile_threshold(const Translation& t) {
    return static_cast<int64_t>(COMPILE_BASE + COMPILE_PER_OP * t.size);
}

bool worth_compiling(const Translation& t, int32_t count) {
    return expected_work(t, count) >= static_cast<double>(compile_threshold(t));
}

int64_t profile_budget(const Translation& t, int32_t count, bool compiling_now) {
    // Eighty passes' worth of the body, which a test at its top level runs
    // once a pass, and at most one part in PROFILE_SHARE of the loop's
    // passes and expected work: the threaded replay runs a few times slower.
    constexpr int64_t PROFILE_PASSES = 80;
    constexpr int32_t PROFILE_SHARE = 256;
    bool blocks = false;
    for (int32_t i = 0; i < t.size && !blocks; ++i)
        blocks = shape_of(t.ops[i].code).kind == OpKind::COMPARE &&
                 !(t.ops[i].jump == i + 2 && t.ops[i + 1].code == T_BREAK);
    int64_t budget = PROFILE_PASSES * t.size;
    if (!blocks) return 0;
    if (compiling_now &&
        (count < PROFILE_SHARE || expected_work(t, count) < static_cast<double>(PROFILE_SHARE * budget)))
        return 0;
    return budget;
}
