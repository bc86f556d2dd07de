#include "native/plan.h"

#include <algorithm>
#include <bit>

#include "engine/random.h"
#include "lexer/symbols.h"

bool is_pure(const TranslatedOp& op) {
    switch (shape_of(op.code).kind) {
    case OpKind::ARITH: return !may_stop(op.code) || (op.pb == Place::CONST && *static_cast<const int32_t*>(op.b) != 0);
    case OpKind::INT_OF_REAL:
    case OpKind::REAL_OF_INT: return true;
    case OpKind::MOVE:
    case OpKind::RAND:
    case OpKind::STEP:
    case OpKind::COMPARE:
    case OpKind::PRINT:
    case OpKind::INPUT:
    case OpKind::LOOP:
    case OpKind::LOOP_END:
    case OpKind::BREAK: break;
    }
    return false;
}

Outcomes judge_outcomes(uint64_t history) {
    // At least this many outcomes, and a period that all but a tenth of
    // them repeat: a branch mispredicted that rarely costs less a pass than
    // running the block every pass.
    constexpr int MIN_OUTCOMES = 16;
    constexpr int MAX_PERIOD = 16;
    int n = history == 0 ? 64 : 63 - std::countl_zero(history);  // below the marker
    if (n < MIN_OUTCOMES) return Outcomes::UNKNOWN;
    for (int period = 1; period <= MAX_PERIOD; ++period) {
        int compared = n - period;
        uint64_t mask = (uint64_t{1} << compared) - 1;
        int misses = std::popcount((history ^ (history >> period)) & mask);
        if (10 * misses <= compared) return Outcomes::REGULAR;
    }
    return Outcomes::IRREGULAR;
}

namespace {

// What a division by a constant counts for against NATIVE_MAX_UNBRANCHED:
// its instructions, where other operations take one or two.
constexpr int32_t DIVISION_COST = 7;

// A use at depth weighs eight times one a loop further out.
double weight_at(int32_t depth) {
    double w = 1;
    for (int32_t i = 0; i < depth && i < 10; ++i) w *= 8;
    return w;
}

// The variable an operation writes, or null.
const void* written_variable(const TranslatedOp& op) {
    switch (shape_of(op.code).kind) {
    case OpKind::STEP:
    case OpKind::INPUT: return &static_cast<const Symbol*>(op.d)->value;
    case OpKind::ARITH:
    case OpKind::MOVE:
    case OpKind::INT_OF_REAL:
    case OpKind::REAL_OF_INT:
    case OpKind::RAND: return op.pd == Place::VAR ? op.d : nullptr;
    case OpKind::COMPARE:
    case OpKind::PRINT:
    case OpKind::LOOP:
    case OpKind::LOOP_END:
    case OpKind::BREAK: break;
    }
    return nullptr;
}

struct Planner {
    const Translation& t;
    const NativeTarget& m;
    NativePlan& p;
    std::vector<int32_t> loop_of;  // by operation: the innermost loop around it in the body, or -1

    int32_t new_home(const void* slot, bool real, double weight) {
        p.homes.push_back({slot, real, false, -1, 0, weight});
        return static_cast<int32_t>(p.homes.size() - 1);
    }

    // A variable or temporary used at depth; false when one slot is used as
    // both types, which native code does not handle.
    bool note(Place place, const void* slot, bool real, int32_t depth) {
        if (place == Place::CONST) return true;
        if (place != Place::VAR && place != Place::TEMP) return false;
        auto [it, added] = p.home_of.try_emplace(slot, 0);
        if (added) it->second = new_home(place == Place::VAR ? slot : nullptr, real, 0);
        NativeHome& h = p.homes[it->second];
        h.weight += weight_at(depth);
        return h.real == real;
    }

    // Every value the operations compute with, and the loop counters. Prints
    // and reads leave their variables in memory unless something else
    // computes with them.
    bool collect() {
        p.counter_of.assign(t.size + 1, -1);
        p.counter_of[t.size] = new_home(nullptr, false, weight_at(0));
        p.interrupt = new_home(nullptr, false, 0);
        p.homes[p.interrupt].wide = true;
        int32_t depth = 0;
        p.depth_of.assign(t.size, 0);
        loop_of.assign(t.size, -1);
        std::vector<int32_t> open = {-1};
        for (int32_t i = 0; i < t.size; ++i) {
            const TranslatedOp& op = t.ops[i];
            OpShape shape = shape_of(op.code);
            bool real = shape.real;
            bool ok = true;
            p.depth_of[i] = depth;
            loop_of[i] = open.back();
            if (shape.kind == OpKind::LOOP) open.push_back(i);
            if (shape.kind == OpKind::LOOP_END && open.size() > 1) open.pop_back();
            switch (shape.kind) {
            case OpKind::INT_OF_REAL: ok = note(op.pd, op.d, false, depth) && note(op.pa, op.a, true, depth); break;
            case OpKind::REAL_OF_INT: ok = note(op.pd, op.d, true, depth) && note(op.pa, op.a, false, depth); break;
            case OpKind::STEP: ok = note(Place::VAR, &static_cast<Symbol*>(op.d)->value, real, depth); break;
            case OpKind::PRINT:
            case OpKind::INPUT:
            case OpKind::BREAK: break;
            case OpKind::LOOP_END:
                p.homes[p.interrupt].weight += weight_at(depth);
                if (i < t.size - 1) --depth;
                break;
            case OpKind::RAND:
                ok = note(Place::VAR, random_state_address(), false, depth);
                p.random = p.home_of.at(random_state_address());
                [[fallthrough]];
            case OpKind::MOVE: ok = ok && note(op.pd, op.d, real, depth) && note(op.pa, op.a, real, depth); break;
            case OpKind::ARITH:
                ok = note(op.pd, op.d, real, depth) && note(op.pa, op.a, real, depth) && note(op.pb, op.b, real, depth);
                break;
            case OpKind::COMPARE: ok = note(op.pa, op.a, real, depth) && note(op.pb, op.b, real, depth); break;
            case OpKind::LOOP:
                ok = note(op.pa, op.a, real, depth);
                ++depth;
                p.counter_of[i] = new_home(nullptr, false, 2 * weight_at(depth));
                break;
            }
            if (!ok) return false;
        }
        plan_chunks();
        return true;
    }

    // Innermost loops that print and read nothing, the replayed loop among
    // them when it holds no other, poll for an interrupt once a chunk of
    // passes rather than every pass.
    // Their passes left beyond the chunk are read once a chunk, and weigh
    // little for a register.
    void plan_chunks() {
        p.chunk.assign(t.size + 1, 1);
        p.rest_of.assign(t.size + 1, -1);
        auto chunk_loop = [&](int32_t loop, int32_t first, int32_t end, int32_t depth) {
            // A print or read can take any time, and costs far more than a poll.
            for (int32_t k = first; k < end; ++k)
                if (OpKind kind = shape_of(t.ops[k].code).kind;
                    kind == OpKind::LOOP || kind == OpKind::PRINT || kind == OpKind::INPUT)
                    return;
            int32_t passes = NATIVE_POLL_WORK / std::max(end - first, 1);
            if (passes < 2) return;
            p.chunk[loop] = static_cast<int32_t>(std::bit_floor(static_cast<uint32_t>(passes)));
            p.rest_of[loop] = new_home(nullptr, false, weight_at(depth));
        };
        chunk_loop(t.size, 0, t.size, 0);
        for (int32_t i = 0; i < t.size; ++i)
            if (shape_of(t.ops[i].code).kind == OpKind::LOOP) chunk_loop(i, i + 1, t.ops[i].jump, p.depth_of[i]);
    }

    // Operations of an inner loop's own body (not of loops nested in it)
    // whose operands no pass of the loop changes are computed once, before
    // the loop starts, into homes of their own: a pure operation run when
    // the loop runs no pass, or only where a block would have skipped it,
    // changes nothing anyone sees.
    void plan_hoisting() {
        p.hoisted_home.assign(t.size, -1);
        p.read_home.assign(t.size, {-1, -1});
        p.preheader.assign(t.size, {});
        for (int32_t s = 0; s < t.size; ++s)
            if (shape_of(t.ops[s].code).kind == OpKind::LOOP) hoist_from(s);
    }

    void hoist_from(int32_t s) {
        int32_t end = t.ops[s].jump;
        std::unordered_map<const void*, bool> written;
        for (int32_t k = s + 1; k < end; ++k)
            if (const void* v = written_variable(t.ops[k])) written[v] = true;
        std::unordered_map<const void*, int32_t> defined_by;  // a temporary's last writer here
        auto hoisted = [&](const void* slot) {
            auto it = defined_by.find(slot);
            return it == defined_by.end() ? -1 : p.hoisted_home[it->second];
        };
        auto invariant = [&](Place place, const void* slot) {
            return place == Place::CONST || (place == Place::VAR && !written.count(slot)) ||
                   (place == Place::TEMP && hoisted(slot) >= 0);
        };
        int32_t nested = 0;
        for (int32_t k = s + 1; k < end; ++k) {
            const TranslatedOp& op = t.ops[k];
            if (op.code == T_LOOP_I || op.code == T_LOOP_R) ++nested;
            if (op.code == T_LOOP_END) --nested;
            if (nested > 0 || op.code == T_LOOP_END) {
                if (op.pd == Place::TEMP) defined_by.erase(op.d);
                continue;
            }
            if (op.pa == Place::TEMP) p.read_home[k].first = hoisted(op.a);
            if (op.pb == Place::TEMP) p.read_home[k].second = hoisted(op.b);
            if (op.pd != Place::TEMP) continue;
            defined_by[op.d] = k;
            bool b_invariant = op.pb == Place::NONE || invariant(op.pb, op.b);
            if (is_pure(op) && invariant(op.pa, op.a) && b_invariant) {
                p.hoisted_home[k] = new_home(nullptr, shape_of(op.code).real, weight_at(p.depth_of[k]));
                p.preheader[s].push_back(k);
            }
        }
    }

    // The heaviest homes get registers; the rest, frame slots after the
    // save area of the caller-saved registers.
    void assign_homes() {
        p.save_gp_base = 0;
        p.save_fp_base = p.save_gp_base + 8 * (m.gp_count - m.gp_callee_saved);
        p.spill_base = p.save_fp_base + 8 * (m.fp_count - m.fp_callee_saved);
        std::vector<int32_t> order(p.homes.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
        std::stable_sort(order.begin(), order.end(),
                         [this](int32_t x, int32_t y) { return p.homes[x].weight > p.homes[y].weight; });
        for (int32_t i : order) {
            NativeHome& h = p.homes[i];
            int32_t& used = h.real ? p.fp_used : p.gp_used;
            if (used < (h.real ? m.fp_count : m.gp_count))
                h.reg = used++;
            else
                h.disp = p.spill_base + 8 * p.spills++;
        }
        // Calls find the stack aligned to 16.
        p.frame = p.spill_base + 8 * p.spills;
        while ((p.frame + m.entry_bytes) % 16 != 0) p.frame += 8;
    }

    // The operation before i that last wrote temporary slot: within one
    // statement, the one whose value i reads.
    int32_t writer_of(int32_t i, const void* slot) const {
        for (int32_t k = i - 1; k >= 0; --k)
            if (t.ops[k].pd == Place::TEMP && t.ops[k].d == slot) return k;
        return -1;
    }

    // Whether the real operand (place, slot) of operation i is an integer
    // exactly: a constant that is one, or an integer variable converted by
    // an operation, which is then added to folds.
    bool integer_operand(int32_t i, Place place, const void* slot, WideOperand& o, std::vector<int32_t>& folds) const {
        if (place == Place::CONST) {
            double v = *static_cast<const double*>(slot);
            if (!(v >= -2147483648.0 && v <= 2147483647.0) || v != static_cast<double>(static_cast<int32_t>(v)))
                return false;
            o = {nullptr, static_cast<int32_t>(v)};
            return true;
        }
        if (place != Place::TEMP) return false;
        int32_t k = writer_of(i, slot);
        if (k < 0 || t.ops[k].code != T_REAL_OF_I || t.ops[k].pa != Place::VAR) return false;
        o = {t.ops[k].a, 0};
        folds.push_back(k);
        return true;
    }

    // Whether the real operand (place, slot) of operation i is a product
    // of two integers computed for it alone (not hoisted).
    bool product_operand(int32_t i, Place place, const void* slot, WideCompare& w, std::vector<int32_t>& folds) const {
        if (place != Place::TEMP) return false;
        int32_t k = writer_of(i, slot);
        if (k < 0 || t.ops[k].code != T_MUL_R || p.hoisted_home[k] >= 0) return false;
        const TranslatedOp& mul = t.ops[k];
        folds.push_back(k);
        return integer_operand(k, mul.pa, mul.a, w.factor[0], folds) &&
               integer_operand(k, mul.pb, mul.b, w.factor[1], folds);
    }

    // The comparisons in reals of a product of two integers with an
    // integer, which the target compares as 64-bit integers.
    void plan_wide_compares() {
        p.wide_of.assign(t.size, -1);
        p.folded.assign(t.size, false);
        if (!m.wide_compare) return;
        for (int32_t i = 0; i < t.size; ++i) {
            const TranslatedOp& op = t.ops[i];
            if (shape_of(op.code).kind != OpKind::COMPARE || !shape_of(op.code).real) continue;
            WideCompare w{};
            std::vector<int32_t> folds;
            bool found = false;
            for (bool first : {true, false}) {
                folds.clear();
                w.product_first = first;
                found = product_operand(i, first ? op.pa : op.pb, first ? op.a : op.b, w, folds) &&
                        integer_operand(i, first ? op.pb : op.pa, first ? op.b : op.a, w.other, folds);
                if (found) break;
            }
            if (!found) continue;
            p.wide_of[i] = static_cast<int32_t>(p.wide.size());
            p.wide.push_back(w);
            for (int32_t k : folds) {
                p.folded[k] = true;
                // Its value, written once and read once, no longer weighs
                // for a register; nor does a conversion hoisted before its
                // loop, no longer needed there.
                p.homes[p.home_of.at(t.ops[k].d)].weight -= 2 * weight_at(p.depth_of[k]);
                if (p.hoisted_home[k] >= 0) {
                    p.homes[p.hoisted_home[k]].weight = 0;
                    p.hoisted_home[k] = -1;
                    std::erase(p.preheader[loop_of[k]], k);  // hoisted before its own loop
                }
            }
        }
    }

    bool int_var_in_register(const void* slot) const {
        auto it = p.home_of.find(slot);
        return it != p.home_of.end() && p.homes[it->second].reg >= 0;
    }

    // Whether the block of the comparison at i can run without a branch: no
    // operation in it has an effect beyond writing integer variables that
    // live in registers (and temporaries), can stop the run, or jumps. A
    // branch the processor guesses wrong costs more than such a block; one
    // level of block may nest in it.
    bool runs_without_branch(int32_t i) const {
        int32_t end = t.ops[i].jump;
        if (end == i + 1) return false;
        int32_t cost = 0;
        int32_t nested_end = -1;
        for (int32_t k = i + 1; k < end; ++k) {
            const TranslatedOp& op = t.ops[k];
            if (k == nested_end) nested_end = -1;
            // A division by a constant takes seven instructions.
            cost += op.code == T_DIV_I ? DIVISION_COST : 1;
            if (cost > NATIVE_MAX_UNBRANCHED) return false;
            if (const void* v = written_variable(op); v && read_before(i, v)) return false;
            OpShape shape = shape_of(op.code);
            bool var = op.pd == Place::VAR;
            switch (shape.kind) {
            case OpKind::ARITH:
            case OpKind::MOVE:
            case OpKind::INT_OF_REAL:
            case OpKind::REAL_OF_INT:
                if (var && (shape.real || !int_var_in_register(op.d))) return false;
                if (may_stop(op.code) && !is_pure(op)) return false;
                break;
            case OpKind::STEP:
                if (shape.real || !int_var_in_register(&static_cast<Symbol*>(op.d)->value)) return false;
                break;
            case OpKind::COMPARE:
                if (nested_end >= 0) return false;
                nested_end = op.jump;
                break;
            case OpKind::RAND:
            case OpKind::PRINT:
            case OpKind::INPUT:
            case OpKind::LOOP:
            case OpKind::LOOP_END:
            case OpKind::BREAK: return false;
            }
        }
        return true;
    }

    // Whether the pass of the loop around the comparison at i reads slot
    // before it. A block that writes such a variable keeps its branch: run
    // without one, the test's whole computation would join the chain of
    // that variable's values from pass to pass, which a predicted branch
    // leaves out.
    bool read_before(int32_t i, const void* slot) const {
        for (int32_t k = loop_of[i] + 1; k < i; ++k) {
            const TranslatedOp& op = t.ops[k];
            if ((op.pa == Place::VAR && op.a == slot) || (op.pb == Place::VAR && op.b == slot)) return true;
            OpKind kind = shape_of(op.code).kind;
            if ((kind == OpKind::STEP || op.code == T_PRINT_VAR || op.code == T_FPRINT_VAR) &&
                &static_cast<const Symbol*>(op.d)->value == slot)
                return true;
        }
        return false;
    }

    // Whether the threaded replay saw the test at i follow a pattern the
    // processor predicts: its branch then costs less than running the block
    // every pass. With no outcomes recorded, blocks are judged by shape alone.
    bool predicted(int32_t i) const { return t.outcomes && judge_outcomes(t.outcomes[i]) == Outcomes::REGULAR; }

    // Each comparison's form, and the guard of every operation inside a
    // branch-free block.
    void plan_blocks() {
        p.form.assign(t.size, BlockForm::NONE);
        p.guard.assign(t.size, Guard::NONE);
        int32_t outer_end = -1;  // the branch-free block open, and the block nested in it
        int32_t inner_end = -1;
        for (int32_t i = 0; i < t.size; ++i) {
            if (i == inner_end) inner_end = -1;
            if (i == outer_end) outer_end = inner_end = -1;
            if (outer_end >= 0) p.guard[i] = inner_end >= 0 ? Guard::INNER : Guard::OUTER;
            const TranslatedOp& op = t.ops[i];
            if (shape_of(op.code).kind != OpKind::COMPARE) continue;
            if (outer_end >= 0) {
                p.form[i] = BlockForm::NESTED;
                inner_end = op.jump;
            } else if (op.jump == i + 2 && t.ops[i + 1].code == T_BREAK) {
                p.form[i] = BlockForm::BREAK_ONLY;
            } else if (runs_without_branch(i) && !predicted(i)) {
                p.form[i] = BlockForm::BRANCH_FREE;
                outer_end = op.jump;
            } else {
                p.form[i] = BlockForm::BRANCH;
            }
        }
    }
};

}  // namespace

bool make_native_plan(const Translation& t, const NativeTarget& m, NativePlan& plan) {
    plan = NativePlan{};
    if (t.size > NATIVE_MAX_OPS || t.loop_depth > NATIVE_MAX_LOOP_DEPTH) return false;
    Planner planner{t, m, plan, {}};
    if (!planner.collect()) return false;
    planner.plan_hoisting();
    planner.plan_wide_compares();
    planner.assign_homes();
    if (plan.frame > NATIVE_MAX_FRAME) return false;
    planner.plan_blocks();
    return true;
}
