// The threaded replay: runs a translated body by threaded dispatch.
#include "engine/threaded.h"

#include "engine/translate.h"

#include "errors/errors.h"
#include "engine/effects.h"
#include "engine/machine.h"
#include "engine/replay.h"

// Each operation ends by jumping straight to the next one's code, so that
// every operation has an indirect branch of its own, which the processor
// predicts far better than one shared by all: this runs the loop benchmarks
// about twice as fast as a switch. Computed goto is a GNU extension, which
// GCC and Clang both have.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
namespace {

template <bool RECORD>
int32_t run(int32_t count, int64_t budget) {
    static void* const labels[] = {
#define THREADED_LABEL(name, kind, real) &&L_##name,
        TRANSLATED_CODES(THREADED_LABEL)
#undef THREADED_LABEL
    };
    static_assert(sizeof labels / sizeof labels[0] == TRANSLATED_CODE_COUNT);

    const Translation& t = last_translation();
    const TranslatedOp* ops = t.ops;
    uint64_t* outcomes = t.outcomes;
    const TranslatedOp* op;
    int32_t pc = 0;
    int n = 0;
    loop_frames[0] = {nullptr, nullptr, t.size - 1, 0};
    int32_t remaining = count - 1;  // the innermost loop's passes after this one, kept in a register
    int64_t work = 0;

#define I(p) (*static_cast<int32_t*>(p))
#define R(p) (*static_cast<double*>(p))
#define SYM(p) (static_cast<Symbol*>(p))
// A comparison: its outcome joins its history (which native code reads to
// choose the block's form), and a failed test steps over the block.
#define COMPARE(holds)                                                         \
    do {                                                                       \
        bool held = (holds);                                                   \
        if constexpr (RECORD) outcomes[pc - 1] = outcomes[pc - 1] << 1 | held; \
        if (!held) pc = op->jump;                                              \
    } while (0)
#define NEXT()                  \
    do {                        \
        op = &ops[pc++];        \
        goto* labels[op->code]; \
    } while (0)

    NEXT();
    // The arithmetic, one label per row of ARITH_OPS and type; an integer
    // zero stops the run where the operator says so.
#define INT_ARITH_LABEL(name, binary, compound, commutative, stops, ...) \
    L_##name##_I : if (stops && I(op->b) == 0) goto divide_by_zero;      \
    I(op->d) = int_arith(Arith::name, I(op->a), I(op->b));               \
    NEXT();
#define REAL_ARITH_LABEL(name, ...)                                        \
    L_##name##_R : R(op->d) = real_arith(Arith::name, R(op->a), R(op->b)); \
    NEXT();
    ARITH_OPS(INT_ARITH_LABEL, )
    ARITH_OPS(REAL_ARITH_LABEL, )
#undef REAL_ARITH_LABEL
#undef INT_ARITH_LABEL
// clang-format off
L_MOVE_I: I(op->d) = I(op->a); NEXT();
L_MOVE_R: R(op->d) = R(op->a); NEXT();
L_INT_OF_R: I(op->d) = real_to_int(R(op->a)); NEXT();
L_REAL_OF_I: R(op->d) = I(op->a); NEXT();
L_RAND_I: I(op->d) = scale_random(draw_random(), I(op->a)); NEXT();
L_RAND_R: R(op->d) = scale_random(draw_random(), R(op->a)); NEXT();
L_INC_I: SYM(op->d)->value.integer = step_int(SYM(op->d)->value.integer, 1); NEXT();
L_INC_R: SYM(op->d)->value.real = step_real(SYM(op->d)->value.real, 1); NEXT();
L_DEC_I: SYM(op->d)->value.integer = step_int(SYM(op->d)->value.integer, -1); NEXT();
L_DEC_R: SYM(op->d)->value.real = step_real(SYM(op->d)->value.real, -1); NEXT();
// A block that holds opens and closes a level that holds 0, which changes
// nothing; one that fails is stepped over whole.
#define COMPARE_LABEL(rel, type, read) \
    L_##rel##_##type : COMPARE(relation_holds(Relation::rel, read(op->a), read(op->b))); NEXT();
#define COMPARE_LABELS(type, read) \
    COMPARE_LABEL(EQ, type, read) COMPARE_LABEL(NE, type, read) COMPARE_LABEL(LE, type, read) \
    COMPARE_LABEL(GE, type, read) COMPARE_LABEL(LT, type, read) COMPARE_LABEL(GT, type, read)
COMPARE_LABELS(II, I)
COMPARE_LABELS(RR, R)
#undef COMPARE_LABELS
#undef COMPARE_LABEL
L_PRINT_STR: print_text(stdout, static_cast<const char*>(op->d)); NEXT();
L_PRINT_VAR: print_value(stdout, SYM(op->d)); NEXT();
L_PRINT_NL: print_newline(stdout); NEXT();
L_FPRINT_STR: print_text(machine.output, static_cast<const char*>(op->d)); NEXT();
L_FPRINT_VAR: print_value(machine.output, SYM(op->d)); NEXT();
L_FPRINT_NL: print_newline(machine.output); NEXT();
// clang-format on
L_INPUT:
    read_input(SYM(op->d));
    if (interrupt_signal) goto interrupted;
    NEXT();
L_LOOP_I:
L_LOOP_R : {
    int32_t passes = op->code == T_LOOP_I ? I(op->a) : real_to_int(R(op->a));
    if (passes <= 0) {
        pc = op->jump + 1;  // no pass
        NEXT();
    }
    loop_frames[n].count = remaining;
    loop_frames[++n] = {nullptr, nullptr, op->jump, 0};
    remaining = passes - 1;
    work += static_cast<int64_t>(passes) * (op->jump - pc);
    NEXT();
}
L_LOOP_END:
    count_loop_pass();
    if (interrupt_signal) goto interrupted;
    if (n == 0) {
        // A pass boundary of the outermost loop: where the rest may move
        // to native code once the work done shows that compiling repays.
        work += t.size;
        if (work >= budget && remaining > 0) return remaining;
    }
    if (remaining > 0) {
        --remaining;
        pc = op->jump;
        NEXT();
    }
    if (n == 0) return 0;
    remaining = loop_frames[--n].count;
    NEXT();
L_BREAK:
    // Leaves the innermost loop. The blocks it leaves opened no levels.
    if (n == 0) return 0;
    pc = loop_frames[n].end_op + 1;
    remaining = loop_frames[--n].count;
    NEXT();

divide_by_zero:
    halt_division_by_zero(op->at);
    return 0;
interrupted:
    halt_interrupted();
    return 0;
#undef NEXT
#undef COMPARE
#undef SYM
#undef R
#undef I
}
#pragma GCC diagnostic pop

}  // namespace

int32_t run_threaded(int32_t count, int64_t budget, bool record) {
    // Recording costs the comparisons a load and a store each: the plain
    // replay leaves it out.
    return record ? run<true>(count, budget) : run<false>(count, budget);
}
