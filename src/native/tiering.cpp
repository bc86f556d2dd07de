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
