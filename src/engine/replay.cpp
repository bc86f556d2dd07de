// Loop replay: runs a recorded body as many times as its count says. A body
// without declarations runs translated (engine/translate.h); any other is
// run by walking its records. Either way each record's effect is carried out
// directly (the issue routines would record and gate-test it again for
// nothing), nested loops run in frames of the replay's own instead of by
// recursion, and a failed block is stepped over whole: every instruction in
// it would be suppressed, so skipping it is unseen.
#include "engine/replay.h"

#include <cstdlib>
#include <cstring>

#include "errors/errors.h"
#include "engine/effects.h"
#include "engine/threaded.h"
#include "engine/translate.h"
#ifdef RILL_NATIVE
#include "native/native.h"
#endif

LoopFrame loop_frames[ENGINE_CAPACITY];

namespace {

bool is_break(const Instruction* p) {
    return p->op == OP_BREAK && p->operand_kind == OPERAND_NONE;
}

bool is_loop_start(const Instruction* p) {
    return p->op == OP_LOOP || (p->op == OP_LOOP_VAR && p->operand_kind == OPERAND_VAR);
}

// The end record that pairs with p, a loop start or a comparison: the first
// OP_LOOP_END or OP_END_IF after it at the same depth. Blocks and loops nest
// properly in the records, as they do in the source.
Instruction* find_end(Instruction* p) {
    bool loop = is_loop_start(p);
    int depth = 0;
    for (p = p->next;; p = p->next) {
        if (loop ? is_loop_start(p) : is_comparison(p->op)) {
            ++depth;
        } else if (p->op == (loop ? OP_LOOP_END : OP_END_IF)) {
            if (depth == 0) return p;
            --depth;
        }
    }
}

// The general walk over the records, for bodies that change a variable's
// type (a declaration), where the numeric mode of each instruction can only
// be known when it runs.
void walk_records(Instruction* start, Instruction* end, int32_t count) {
    int32_t top = machine.stack_top;
    int32_t mode = machine.numeric_mode;
    int n = 0;
    loop_frames[0] = {start, end, 0, count};
    Instruction* p = start->next;
    for (;; p = p->next) {
        switch (p->op) {
        case OP_PUSH_INT: push_int(top, mode, p->operand.integer); break;
        case OP_PUSH_REAL: push_real(top, mode, p->operand.real); break;
        case OP_ADD:
        case OP_SUB:
        case OP_MUL:
        case OP_DIV:
            if (!apply_operator(p->op, top, mode, p)) goto done;
            break;
        case OP_STORE:
        case OP_ADD_TO:
        case OP_SUB_FROM:
        case OP_MUL_BY:
        case OP_DIV_BY:
            if (!update_var(p->op, top, mode, p->operand.symbol, p)) goto done;
            break;
        case OP_LOAD: load_var(top, mode, p->operand.symbol); break;
        case OP_INC: step_var(p->operand.symbol, 1); break;
        case OP_DEC: step_var(p->operand.symbol, -1); break;
        case OP_MODE_OF: mode = p->operand.symbol->type; break;
        case OP_MODE_REAL: mode = MODE_REAL; break;
        case OP_MODE_INT: mode = MODE_INT; break;
        case OP_MAKE_REAL: make_real(p->operand.symbol); break;
        case OP_MAKE_INT: make_int(p->operand.symbol); break;
        case OP_IF_EQ:
        case OP_IF_NE:
        case OP_IF_LE:
        case OP_IF_GE:
        case OP_IF_LT:
        case OP_IF_GT:
            // A block that holds opens and closes a level that holds 0, which
            // changes nothing; one that fails is stepped over to its OP_END_IF.
            if (compare_top(p->op, top)) p = find_end(p);
            break;
        case OP_END_IF: break;
        case OP_PRINT_VAR: print_value(stdout, p->operand.symbol); break;
        case OP_PRINT_STR: print_text(stdout, p->operand.text); break;
        case OP_PRINT_NL: print_newline(stdout); break;
        case OP_FPRINT_VAR: print_value(machine.output, p->operand.symbol); break;
        case OP_FPRINT_STR: print_text(machine.output, p->operand.text); break;
        case OP_FPRINT_NL: print_newline(machine.output); break;
        case OP_INPUT:
            read_input(p->operand.symbol);
            if (interrupt_signal) {
                halt_interrupted();
                goto done;
            }
            break;
        case OP_RAND: random_top(top, mode); break;
        case OP_LOOP:
        case OP_LOOP_VAR:  // and OP_BREAK
            if (is_break(p)) {
                // Ends the innermost loop; the levels of the blocks it leaves
                // were never opened by the walk, so none are left behind.
                if (n == 0) goto done;
                if (!loop_frames[n].end) loop_frames[n].end = find_end(loop_frames[n].start);
                p = loop_frames[n--].end;
                break;
            }
            count = p->op == OP_LOOP ? p->operand.integer : loop_count_of(p->operand.symbol);
            if (count <= 0) {
                p = find_end(p);  // no pass
                break;
            }
            loop_frames[++n] = {p, nullptr, 0, count};
            break;
        case OP_LOOP_END:
            // Always the innermost running loop's own end.
            count_loop_pass();
            if (interrupt_signal) {
                halt_interrupted();
                goto done;
            }
            if (--loop_frames[n].count > 0) {
                p = loop_frames[n].start;
                break;
            }
            if (n == 0) goto done;
            --n;
            break;
        case OP_OPEN_OUT:
        case OP_OUT_CONSOLE: break;  // the header never stands in a loop body
        }
    }
done:
    machine.stack_top = top;
    machine.numeric_mode = mode;
}

}  // namespace

ReplayPath replay_path() {
    static const ReplayPath path = [] {
#ifdef RILL_NATIVE
        ReplayPath fastest = ReplayPath::TIERED;
        ReplayPath native = ReplayPath::NATIVE;
#else
        ReplayPath fastest = ReplayPath::THREADED;
        ReplayPath native = ReplayPath::THREADED;
#endif
        const char* name = std::getenv("RILL_REPLAY");
        if (!name) return fastest;
        if (std::strcmp(name, "walk") == 0) return ReplayPath::WALK;
        if (std::strcmp(name, "threaded") == 0) return ReplayPath::THREADED;
        if (std::strcmp(name, "native") == 0) return native;
        return fastest;
    }();
    return path;
}

void replay_loop_body(Instruction* start) {
    // Inside a skipped block every pass would do nothing.
    if (machine.skip_flags[machine.cond_level]) return;
    int32_t count = machine.loop_count[machine.loop_depth];
    if (count <= 0) return;
    Instruction* end = machine.loop_body_end[machine.loop_depth];
    ReplayPath path = replay_path();
    if (path == ReplayPath::WALK || !translate_body(start, end)) {
        walk_records(start, end, count);
        return;
    }
#ifdef RILL_NATIVE
    if (path == ReplayPath::TIERED) {
        run_tiered(count);
        return;
    }
    if (path == ReplayPath::NATIVE && run_native(count)) return;
#endif
    (void)run_threaded(count);
}
