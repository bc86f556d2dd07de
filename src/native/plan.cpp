#include "native/plan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "engine/arith.h"
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

bool random_factor(double top, double& factor) {
    // r * top is below 2^1015 in size, and the quotient at least 2^-1015
    // where r is not 0: both normal, where scaling by 2^-15 is exact.
    double size = std::fabs(top);
    if (size != 0 && !(size > 0x1p-1000 && size < 0x1p1000)) return false;
    factor = top / RANDOM_RANGE;
    return true;
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

// Whether op's result, if it has one, is a real: a conversion's is the
// other type from its operand's.
bool result_real(const TranslatedOp& op) {
    OpKind kind = shape_of(op.code).kind;
    return kind == OpKind::REAL_OF_INT || (kind != OpKind::INT_OF_REAL && shape_of(op.code).real);
}

// An operand as repeats are matched: its place, and a variable's slot and
// how often it was written before, a constant's bits, or the operation
// whose value a temporary holds.
using OperandKey = std::array<uint64_t, 3>;
using OpKey = std::pair<uint8_t, std::array<OperandKey, 2>>;

struct OpKeyHash {
    size_t operator()(const OpKey& k) const {
        uint64_t h = k.first;
        for (const OperandKey& o : k.second)
            for (uint64_t x : o) h = (h ^ x) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h ^ (h >> 29));
    }
};

struct Planner {
    const Translation& t;
    const NativeTarget& m;
    NativePlan& p;
    std::vector<int32_t> loop_of;                     // by operation: the innermost loop around it in the body, or -1
    std::vector<int32_t> context_of;                  // by operation: the innermost block or loop around it, or -1
    std::vector<int32_t> blocks_of;                   // by operation: the blocks around it inside its innermost loop
    std::vector<std::pair<int32_t, int32_t>> source;  // by operation: the writers of temporaries a and b, or -1
    std::vector<bool> hoisted;
    std::vector<bool> result;  // by home: a temporary result, live from the operation that writes it
    int32_t repeat_reach;      // how many operations back a repeat may find its value

    int32_t new_home(const void* slot, bool real, double weight, int32_t first, int32_t last) {
        p.homes.push_back({slot, real, false, -1, 0, weight, first, last});
        return static_cast<int32_t>(p.homes.size() - 1);
    }

    // A variable used at depth; false when one slot is used as both types,
    // which native code does not handle. A temporary read by operation i
    // must have been written before in the body, as the type it is read as.
    bool note(int32_t i, Place place, const void* slot, bool real, int32_t depth, int32_t& from,
              const std::unordered_map<const void*, int32_t>& writer) {
        if (place == Place::CONST) return true;
        if (place == Place::TEMP) {
            auto it = writer.find(slot);
            if (it == writer.end() || it->second >= i || result_real(t.ops[it->second]) != real) return false;
            from = it->second;
            return true;
        }
        if (place != Place::VAR) return false;
        auto [it, added] = p.home_of.try_emplace(slot, 0);
        if (added) it->second = new_home(slot, real, 0, 0, t.size - 1);
        NativeHome& h = p.homes[it->second];
        h.weight += weight_at(depth);
        return h.real == real;
    }

    // Every variable the operations compute with, the loop counters, and
    // where each temporary operand was written. Prints and reads leave their
    // variables in memory unless something else computes with them.
    bool collect() {
        p.counter_of.assign(t.size + 1, -1);
        p.counter_of[t.size] = new_home(nullptr, false, weight_at(0), 0, t.size - 1);
        p.interrupt = new_home(nullptr, false, 0, 0, t.size - 1);
        p.homes[p.interrupt].wide = true;
        int32_t depth = 0;
        p.depth_of.assign(t.size, 0);
        loop_of.assign(t.size, -1);
        context_of.assign(t.size, -1);
        blocks_of.assign(t.size, 0);
        source.assign(t.size, {-1, -1});
        std::unordered_map<const void*, int32_t> writer;  // a temporary's last writer
        std::vector<int32_t> open = {-1};
        std::vector<int32_t> contexts;
        std::vector<int32_t> blocks = {0};
        for (int32_t i = 0; i < t.size; ++i) {
            const TranslatedOp& op = t.ops[i];
            OpShape shape = shape_of(op.code);
            bool real = shape.real;
            bool ok = true;
            while (!contexts.empty() && t.ops[contexts.back()].jump <= i &&
                   shape_of(t.ops[contexts.back()].code).kind == OpKind::COMPARE) {
                contexts.pop_back();
                --blocks.back();
            }
            p.depth_of[i] = depth;
            loop_of[i] = open.back();
            context_of[i] = contexts.empty() ? -1 : contexts.back();
            blocks_of[i] = blocks.back();
            if (shape.kind == OpKind::LOOP) open.push_back(i);
            if (shape.kind == OpKind::LOOP_END && open.size() > 1) open.pop_back();
            auto& [a, b] = source[i];
            switch (shape.kind) {
            case OpKind::INT_OF_REAL: ok = note(i, op.pa, op.a, true, depth, a, writer); break;
            case OpKind::REAL_OF_INT: ok = note(i, op.pa, op.a, false, depth, a, writer); break;
            case OpKind::STEP:
                ok = note(i, Place::VAR, &static_cast<Symbol*>(op.d)->value, real, depth, a, writer);
                break;
            case OpKind::PRINT:
            case OpKind::INPUT:
            case OpKind::BREAK: break;
            case OpKind::LOOP_END:
                p.homes[p.interrupt].weight += weight_at(depth);
                if (i < t.size - 1) {
                    --depth;
                    contexts.pop_back();
                    blocks.pop_back();
                }
                break;
            case OpKind::RAND:
                ok = note(i, Place::VAR, random_state_address(), false, depth, b, writer);
                p.random = p.home_of.at(random_state_address());
                [[fallthrough]];
            case OpKind::MOVE: ok = ok && note(i, op.pa, op.a, real, depth, a, writer); break;
            case OpKind::ARITH:
                ok = note(i, op.pa, op.a, real, depth, a, writer) && note(i, op.pb, op.b, real, depth, b, writer);
                break;
            case OpKind::COMPARE:
                ok = note(i, op.pa, op.a, real, depth, a, writer) && note(i, op.pb, op.b, real, depth, b, writer);
                contexts.push_back(i);
                ++blocks.back();
                break;
            case OpKind::LOOP:
                ok = note(i, op.pa, op.a, real, depth, a, writer);
                ++depth;
                p.counter_of[i] = new_home(nullptr, false, 2 * weight_at(depth), i, op.jump);
                contexts.push_back(i);
                blocks.push_back(0);
                break;
            }
            if (!ok) return false;
            if (op.pd == Place::TEMP)
                writer[op.d] = i;
            else if (op.pd == Place::VAR)
                ok = note(i, op.pd, op.d, result_real(op), depth, a, writer);
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
            p.rest_of[loop] =
                new_home(nullptr, false, weight_at(depth), std::min(first, loop), std::min(end, t.size - 1));
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
        hoisted.assign(t.size, false);
        p.preheader.assign(t.size, {});
        for (int32_t s = 0; s < t.size; ++s)
            if (shape_of(t.ops[s].code).kind == OpKind::LOOP) hoist_from(s);
    }

    void hoist_from(int32_t s) {
        int32_t end = t.ops[s].jump;
        std::unordered_map<const void*, bool> written;
        for (int32_t k = s + 1; k < end; ++k)
            if (const void* v = written_variable(t.ops[k])) written[v] = true;
        auto invariant = [&](Place place, const void* slot, int32_t from) {
            return place == Place::CONST || (place == Place::VAR && !written.count(slot)) ||
                   (place == Place::TEMP && hoisted[from]);
        };
        for (int32_t k = s + 1; k < end; ++k) {
            const TranslatedOp& op = t.ops[k];
            if (loop_of[k] != s || op.pd != Place::TEMP) continue;
            bool b_invariant = op.pb == Place::NONE || invariant(op.pb, op.b, source[k].second);
            if (is_pure(op) && invariant(op.pa, op.a, source[k].first) && b_invariant) {
                hoisted[k] = true;
                p.preheader[s].push_back(k);
            }
        }
    }

    // Whether the real operand (place, slot) of operation i, written by
    // from if a temporary, is an integer exactly: a constant that is one,
    // or an integer variable converted by an operation, which is then added
    // to folds.
    bool integer_operand(Place place, const void* slot, int32_t from, WideOperand& o,
                         std::vector<int32_t>& folds) const {
        if (place == Place::CONST) {
            double v = *static_cast<const double*>(slot);
            if (!(v >= -2147483648.0 && v <= 2147483647.0) || v != static_cast<double>(static_cast<int32_t>(v)))
                return false;
            o = {nullptr, static_cast<int32_t>(v)};
            return true;
        }
        if (place != Place::TEMP) return false;
        if (t.ops[from].code != T_REAL_OF_I || t.ops[from].pa != Place::VAR) return false;
        o = {t.ops[from].a, 0};
        folds.push_back(from);
        return true;
    }

    // Whether the real operand (place, slot) of a comparison, written by
    // from, is a product of two integers computed for it alone (not hoisted).
    bool product_operand(Place place, int32_t from, WideCompare& w, std::vector<int32_t>& folds) const {
        if (place != Place::TEMP) return false;
        if (t.ops[from].code != T_MUL_R || hoisted[from]) return false;
        const TranslatedOp& mul = t.ops[from];
        folds.push_back(from);
        return integer_operand(mul.pa, mul.a, source[from].first, w.factor[0], folds) &&
               integer_operand(mul.pb, mul.b, source[from].second, w.factor[1], folds);
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
                auto [a, b] = source[i];
                found = product_operand(first ? op.pa : op.pb, first ? a : b, w, folds) &&
                        integer_operand(first ? op.pb : op.pa, first ? op.b : op.a, first ? b : a, w.other, folds);
                if (found) break;
            }
            if (!found) continue;
            p.wide_of[i] = static_cast<int32_t>(p.wide.size());
            p.wide.push_back(w);
            for (int32_t k : folds) {
                p.folded[k] = true;
                // A conversion hoisted before its loop is no longer needed there.
                if (hoisted[k]) {
                    hoisted[k] = false;
                    std::erase(p.preheader[loop_of[k]], k);  // hoisted before its own loop
                }
            }
        }
    }

    // The operation whose value a temporary operand written by from holds.
    int32_t value_of(int32_t from) const { return from >= 0 && p.same_as[from] >= 0 ? p.same_as[from] : from; }

    OperandKey key_of(Place place, const void* slot, bool real, int32_t from,
                      const std::unordered_map<const void*, uint32_t>& version) const {
        switch (place) {
        case Place::VAR: {
            auto it = version.find(slot);
            return {1, reinterpret_cast<uintptr_t>(slot), it == version.end() ? 0 : it->second};
        }
        case Place::CONST: {
            uint64_t bits = 0;
            if (real)
                std::memcpy(&bits, slot, sizeof(double));
            else
                bits = static_cast<uint32_t>(*static_cast<const int32_t*>(slot));
            return {2, bits, 0};
        }
        case Place::TEMP: return {3, static_cast<uint64_t>(value_of(from)), 0};
        case Place::NONE: break;
        }
        return {0, 0, 0};
    }

    // Repeats within a pass: a pure operation with the same code and
    // operands as an earlier one reads that one's value, when no variable
    // among them was written in between and the earlier one ran in every
    // pass that reaches this one (the same loop, and no block closed since).
    // Operand order is kept, which decides the sign of a NaN. A value a
    // variable was given stands for it until the variable is written.
    void plan_repeats() {
        p.same_as.assign(t.size, -1);
        struct Available {
            int32_t op;
            const void* var;  // the variable holding the value, or null for a temporary
            uint32_t version;
        };
        std::unordered_map<OpKey, Available, OpKeyHash> available;
        std::unordered_map<const void*, uint32_t> version;
        for (int32_t i = 0; i < t.size; ++i) {
            const TranslatedOp& op = t.ops[i];
            const void* written = written_variable(op);
            if (!p.folded[i] && !hoisted[i] && op.pd != Place::NONE && is_pure(op)) {
                OpKind kind = shape_of(op.code).kind;
                bool operand_real =
                    kind == OpKind::INT_OF_REAL || (kind != OpKind::REAL_OF_INT && shape_of(op.code).real);
                OpKey key{op.code,
                          {key_of(op.pa, op.a, operand_real, source[i].first, version),
                           key_of(op.pb, op.b, operand_real, source[i].second, version)}};
                auto it = available.find(key);
                bool found = it != available.end() && visible(it->second.op, i) && i - it->second.op <= repeat_reach &&
                             (!it->second.var || version[it->second.var] == it->second.version);
                if (found && op.pd == Place::TEMP) {
                    p.same_as[i] = it->second.op;
                    p.folded[i] = true;
                } else if (!found) {
                    // A variable among its own operands changes with the write.
                    bool self = written &&
                                ((op.pa == Place::VAR && op.a == written) || (op.pb == Place::VAR && op.b == written));
                    if (!self) available[key] = {i, written, written ? version[written] + 1 : 0};
                }
            }
            if (written) ++version[written];
        }
    }

    // Whether operation j runs in every pass that reaches the later i.
    bool visible(int32_t j, int32_t i) const {
        int32_t c = context_of[j];
        return loop_of[j] == loop_of[i] && (c < 0 || t.ops[c].jump > i);
    }

    // A home for every value computed into a temporary, live from its
    // operation to its last read, and where each operand is read from.
    void plan_values() {
        p.hoisted_home.assign(t.size, -1);
        p.result_home.assign(t.size, -1);
        p.read_home.assign(t.size, {-1, -1});
        for (int32_t s = 0; s < t.size; ++s)
            for (int32_t k : p.preheader[s]) {
                // Live over the whole loop once a pass reads it.
                int32_t h = new_home(nullptr, result_real(t.ops[k]), weight_at(p.depth_of[s]), s, s);
                p.hoisted_home[k] = p.result_home[k] = h;
            }
        for (int32_t i = 0; i < t.size; ++i) {
            const TranslatedOp& op = t.ops[i];
            if (p.folded[i]) continue;
            if (op.pd == Place::VAR) p.result_home[i] = p.home_of.at(op.d);  // where a repeat finds it
            if (op.pd == Place::TEMP && !hoisted[i]) {
                p.result_home[i] = new_home(nullptr, result_real(op), weight_at(p.depth_of[i]), i, i);
                result.resize(p.homes.size());
                result.back() = true;
            }
            if (p.wide_of[i] >= 0) continue;  // it reads the variables themselves
            auto read = [&](Place place, int32_t from, int32_t& home) {
                if (place != Place::TEMP) return;
                home = p.result_home[value_of(from)];
                NativeHome& h = p.homes[home];
                h.weight += weight_at(p.depth_of[i]);
                int32_t from_loop = hoisted[value_of(from)] ? loop_of[value_of(from)] : -1;
                if (from_loop < 0)
                    h.last = std::max(h.last, i);
                else if (!hoisted[i])
                    h.last = t.ops[from_loop].jump;
            };
            read(op.pa, source[i].first, p.read_home[i].first);
            read(op.pb, source[i].second, p.read_home[i].second);
        }
        result.resize(p.homes.size());
    }

    // A temporary read once, as the first operand of the operation that
    // ends its statement in a variable, is formed in that variable's home
    // (and so on up the chain of first operands): no copy, and no register
    // of its own. Only where nothing from its writer on reads the variable,
    // nothing can stop the run before the variable is written, and the
    // write is not one a block may make without a branch.
    void plan_formed_in_place() {
        std::vector<int32_t> reads(t.size, 0);
        for (int32_t i = 0; i < t.size; ++i) {
            if (p.folded[i]) continue;
            if (t.ops[i].pa == Place::TEMP) ++reads[value_of(source[i].first)];
            if (t.ops[i].pb == Place::TEMP) ++reads[value_of(source[i].second)];
        }
        for (int32_t k = t.size - 1; k >= 0; --k) {
            const TranslatedOp& op = t.ops[k];
            if (p.folded[k] || hoisted[k] || !is_pure(op) || op.pa != Place::TEMP) continue;
            int32_t target = -1;
            if (op.pd == Place::VAR)
                target = p.home_of.at(op.d);
            else if (op.pd == Place::TEMP && p.result_home[k] >= 0 && p.homes[p.result_home[k]].slot)
                target = p.result_home[k];
            if (target < 0 || (!result_real(op) && blocks_of[k] > 0)) continue;
            int32_t j = source[k].first;
            if (p.same_as[j] >= 0 || hoisted[j] || reads[j] != 1 || !is_pure(t.ops[j]) ||
                result_real(t.ops[j]) != p.homes[target].real)
                continue;
            const void* v = p.homes[target].slot;
            bool clear = !(op.pb == Place::VAR && op.b == v) && p.read_home[k].second != target;
            for (int32_t i = j + 1; clear && i < k; ++i) {
                const TranslatedOp& o = t.ops[i];
                clear = is_pure(o) && written_variable(o) != v && !(o.pa == Place::VAR && o.a == v) &&
                        !(o.pb == Place::VAR && o.b == v) && p.read_home[i].first != target &&
                        p.read_home[i].second != target;
            }
            if (!clear) continue;
            NativeHome& own = p.homes[p.result_home[j]];
            p.homes[target].weight += own.weight;
            own = {nullptr, own.real, false, -1, 0, 0, -1, -1};
            p.result_home[j] = target;
            p.read_home[k].first = target;
        }
    }

    // Whether a's register is free for h: a is dead before h begins, or
    // dies at the operation that writes h (which reads it first).
    bool frees(const NativeHome& a, int32_t h) const {
        const NativeHome& n = p.homes[h];
        return a.last < n.first || (a.last == n.first && a.first < n.first && result[h]);
    }

    // Registers by a linear scan over the operations, in the order homes
    // become live: a home takes a free register (its first operand's, when
    // that one dies here, so that x = x op y needs no copy), or the one of
    // the live home with the fewest uses for its length, if that is fewer
    // than its own, which then goes to the frame.
    void allocate_registers() {
        std::vector<int32_t> order;
        for (size_t i = 0; i < p.homes.size(); ++i)
            if (p.homes[i].first >= 0) order.push_back(static_cast<int32_t>(i));
        std::stable_sort(order.begin(), order.end(), [this](int32_t x, int32_t y) {
            const NativeHome& a = p.homes[x];
            const NativeHome& b = p.homes[y];
            return a.first != b.first ? a.first < b.first : a.weight > b.weight;
        });
        std::vector<int32_t> first_operand(p.homes.size(), -1);
        for (int32_t i = 0; i < t.size; ++i)
            if (p.result_home[i] >= 0 && result[p.result_home[i]])
                first_operand[p.result_home[i]] = p.read_home[i].first;
        std::vector<int32_t> active[2];
        std::vector<int32_t> holder[2] = {std::vector<int32_t>(m.gp_count, -1), std::vector<int32_t>(m.fp_count, -1)};
        for (int32_t h : order) {
            NativeHome& n = p.homes[h];
            for (auto& list : active)
                std::erase_if(list, [&](int32_t a) {
                    if (!frees(p.homes[a], h)) return false;
                    holder[p.homes[a].real][p.homes[a].reg] = -1;
                    return true;
                });
            std::vector<int32_t>& live = active[n.real];
            std::vector<int32_t>& regs = holder[n.real];
            int32_t reg = -1;
            int32_t hint = first_operand[h];
            if (hint >= 0 && p.homes[hint].real == n.real && p.homes[hint].reg >= 0 && regs[p.homes[hint].reg] < 0)
                reg = p.homes[hint].reg;
            for (int32_t r = 0; reg < 0 && r < static_cast<int32_t>(regs.size()); ++r)
                if (regs[r] < 0) reg = r;
            if (reg < 0 && !live.empty()) {
                // Uses per operation still to come: a long-lived value read
                // now and then gives way to several short ones.
                auto density = [&](int32_t x) { return p.homes[x].weight / (p.homes[x].last - n.first + 1); };
                auto lightest = std::min_element(live.begin(), live.end(),
                                                 [&](int32_t x, int32_t y) { return density(x) < density(y); });
                if (density(*lightest) < density(h)) {
                    reg = p.homes[*lightest].reg;
                    p.homes[*lightest].reg = -1;
                    live.erase(lightest);
                }
            }
            if (reg < 0) continue;
            n.reg = reg;
            regs[reg] = h;
            live.push_back(h);
            int32_t& used = n.real ? p.fp_used : p.gp_used;
            used = std::max(used, reg + 1);
        }
    }

    // Real constants into the registers no value needed, the most used
    // first; the prologue loads them.
    void allocate_constants() {
        std::unordered_map<uint64_t, double> uses;
        for (int32_t i = 0; i < t.size; ++i) {
            const TranslatedOp& op = t.ops[i];
            OpKind kind = shape_of(op.code).kind;
            if (p.folded[i] || p.wide_of[i] >= 0 || !shape_of(op.code).real) continue;
            double w = weight_at(p.depth_of[i]);
            if (kind == OpKind::RAND) {
                // A draw multiplies by its factor, or by its top and then 2^-15.
                double factor = 1.0 / RANDOM_RANGE;
                if (op.pa == Place::CONST) random_factor(*static_cast<const double*>(op.a), factor);
                uint64_t bits;
                std::memcpy(&bits, &factor, sizeof bits);
                uses[bits] += w;
                continue;
            }
            if (kind != OpKind::ARITH && kind != OpKind::COMPARE && kind != OpKind::MOVE) continue;
            for (auto [place, slot] : {std::pair{op.pa, op.a}, std::pair{op.pb, op.b}}) {
                if (place != Place::CONST) continue;
                uint64_t bits;
                std::memcpy(&bits, slot, sizeof bits);
                uses[bits] += w;
            }
        }
        std::vector<std::pair<double, uint64_t>> order;
        order.reserve(uses.size());
        for (auto [bits, weight] : uses) order.emplace_back(weight, bits);
        std::sort(order.begin(), order.end(), [](const auto& x, const auto& y) {
            return x.first != y.first ? x.first > y.first : x.second < y.second;
        });
        for (auto [weight, bits] : order) {
            if (p.fp_used >= m.fp_count) break;
            int32_t h = new_home(nullptr, true, weight, 0, t.size - 1);
            p.homes[h].reg = p.fp_used++;
            p.constant_home[bits] = h;
        }
    }

    // Frame slots for the homes without a register, after the bytes calls
    // may use and the save area of the caller-saved registers: homes never
    // live at once share a slot.
    void assign_slots() {
        p.save_gp_base = m.call_area;
        p.save_fp_base = p.save_gp_base + 8 * (m.gp_count - m.gp_callee_saved);
        p.spill_base = p.save_fp_base + 8 * (m.fp_count - m.fp_callee_saved);
        std::vector<int32_t> order;
        for (size_t i = 0; i < p.homes.size(); ++i)
            if (p.homes[i].first >= 0 && p.homes[i].reg < 0) order.push_back(static_cast<int32_t>(i));
        std::stable_sort(order.begin(), order.end(),
                         [this](int32_t x, int32_t y) { return p.homes[x].first < p.homes[y].first; });
        std::vector<int32_t> free_slots;
        std::vector<int32_t> holding;
        for (int32_t h : order) {
            NativeHome& n = p.homes[h];
            std::erase_if(holding, [&](int32_t a) {
                if (p.homes[a].last >= n.first) return false;
                free_slots.push_back(p.homes[a].disp);
                return true;
            });
            if (free_slots.empty()) {
                n.disp = p.spill_base + 8 * p.spills++;
            } else {
                n.disp = free_slots.back();
                free_slots.pop_back();
            }
            holding.push_back(h);
        }
        // Calls find the stack aligned to 16.
        p.frame = p.spill_base + 8 * p.spills;
        while ((p.frame + m.entry_bytes) % 16 != 0) p.frame += 8;
    }

    // The registers live at each operation.
    void plan_live_registers() {
        p.live_gp.assign(t.size, 0);
        p.live_fp.assign(t.size, 0);
        std::vector<std::pair<int32_t, int32_t>> starts;
        std::vector<std::pair<int32_t, int32_t>> ends;
        for (size_t i = 0; i < p.homes.size(); ++i) {
            const NativeHome& h = p.homes[i];
            if (h.first < 0 || h.reg < 0) continue;
            starts.emplace_back(h.first, static_cast<int32_t>(i));
            ends.emplace_back(h.last, static_cast<int32_t>(i));
        }
        std::sort(starts.begin(), starts.end());
        std::sort(ends.begin(), ends.end());
        std::vector<int32_t> count[2] = {std::vector<int32_t>(m.gp_count, 0), std::vector<int32_t>(m.fp_count, 0)};
        uint32_t mask[2] = {0, 0};
        size_t s = 0;
        size_t e = 0;
        auto change = [&](int32_t h, int32_t by) {
            const NativeHome& n = p.homes[h];
            int32_t& c = count[n.real][n.reg];
            c += by;
            if (c > 0)
                mask[n.real] |= uint32_t{1} << n.reg;
            else
                mask[n.real] &= ~(uint32_t{1} << n.reg);
        };
        for (int32_t i = 0; i < t.size; ++i) {
            for (; s < starts.size() && starts[s].first <= i; ++s) change(starts[s].second, 1);
            p.live_gp[i] = mask[0];
            p.live_fp[i] = mask[1];
            for (; e < ends.size() && ends[e].first <= i; ++e) change(ends[e].second, -1);
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

    // The values a draw of rand can give: with a constant top, every one
    // lies between the draws of 0 and of RANDOM_RANGE - 1, as scaling is
    // monotonic where the product cannot wrap (an integer top of at most
    // 65536 in size) or the top is a finite real.
    static bool draw_range(const TranslatedOp& op, double& lo, double& hi) {
        if (op.pa != Place::CONST) return false;
        double a, b;
        if (op.code == T_RAND_I) {
            int32_t top = *static_cast<const int32_t*>(op.a);
            if (top < -65536 || top > 65536) return false;
            a = scale_random(0, top);
            b = scale_random(RANDOM_RANGE - 1, top);
        } else {
            double top = *static_cast<const double*>(op.a);
            if (!std::isfinite(top)) return false;
            a = scale_random(0, top);
            b = scale_random(RANDOM_RANGE - 1, top);
        }
        lo = std::min(a, b);
        hi = std::max(a, b);
        return true;
    }

    // Comparisons decided by what their operand is known to hold: a value
    // drawn by rand with a constant top, in the same pass, into a variable
    // written by nothing since or into the temporary compared, against a
    // constant. Its values form an interval, and every relation holds on a
    // half-line or at a point, so the outcomes at both ends (and, for ==
    // and =!, whether the constant lies between them) are the outcome for
    // every value.
    void plan_known_outcomes() {
        p.outcome.assign(t.size, -1);
        struct Known {
            int32_t at;  // the draw
            uint32_t version;
            double lo, hi;
        };
        std::unordered_map<const void*, Known> known;  // by variable
        std::unordered_map<const void*, uint32_t> version;
        auto range_of = [&](int32_t i, Place place, const void* slot, int32_t from, double& lo, double& hi) {
            if (place == Place::TEMP) {
                if (from < 0 || !visible(from, i) || shape_of(t.ops[from].code).kind != OpKind::RAND) return false;
                return draw_range(t.ops[from], lo, hi);
            }
            if (place != Place::VAR) return false;
            auto it = known.find(slot);
            if (it == known.end() || it->second.version != version[slot] || !visible(it->second.at, i)) return false;
            lo = it->second.lo;
            hi = it->second.hi;
            return true;
        };
        for (int32_t i = 0; i < t.size; ++i) {
            const TranslatedOp& op = t.ops[i];
            if (shape_of(op.code).kind == OpKind::COMPARE) {
                bool real = shape_of(op.code).real;
                auto rel = static_cast<Relation>(op.code - (real ? T_EQ_RR : T_EQ_II));
                double lo, hi, k;
                bool first = op.pb == Place::CONST && range_of(i, op.pa, op.a, source[i].first, lo, hi);
                if (first || (op.pa == Place::CONST && range_of(i, op.pb, op.b, source[i].second, lo, hi))) {
                    const void* c = first ? op.b : op.a;
                    k = real ? *static_cast<const double*>(c) : *static_cast<const int32_t*>(c);
                    auto holds = [&](double x) {
                        return first ? relation_holds(rel, x, k) : relation_holds(rel, k, x);
                    };
                    bool point = rel == Relation::EQ || rel == Relation::NE;
                    bool between = k > lo && k < hi;
                    if (holds(lo) == holds(hi) && !(point && between)) p.outcome[i] = holds(lo) ? 1 : 0;
                }
            }
            const void* written = written_variable(op);
            if (written) ++version[written];
            double lo, hi;
            if (shape_of(op.code).kind == OpKind::RAND && op.pd == Place::VAR && draw_range(op, lo, hi))
                known[op.d] = {i, version[op.d], lo, hi};
        }
    }

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
                p.outcome[i] = -1;  // made with the block around it, without a branch
                inner_end = op.jump;
            } else if (op.jump == i + 2 && t.ops[i + 1].code == T_BREAK) {
                p.form[i] = BlockForm::BREAK_ONLY;
            } else if (p.outcome[i] < 0 && runs_without_branch(i) && !predicted(i)) {
                p.form[i] = BlockForm::BRANCH_FREE;
                outer_end = op.jump;
            } else {
                p.form[i] = BlockForm::BRANCH;
            }
        }
    }

    // A comparison of a value with a constant, as value rel k: the value a
    // variable's (var) or a temporary's, by the operation it comes from
    // (temp); k exactly, an integer's too.
    struct ConstantTest {
        const void* var;
        int32_t temp;
        Relation rel;
        double k;
        bool real;
        bool same_value(const ConstantTest& o) const { return var == o.var && temp == o.temp; }
    };

    // Whether comparison i is a ConstantTest. A temporary counts only where
    // its value has a home of its own, which nothing else writes; a
    // comparison made wide compares no one value.
    bool constant_test(int32_t i, ConstantTest& test) const {
        const TranslatedOp& op = t.ops[i];
        if (op.code < T_EQ_II || op.code > T_GT_RR || p.wide_of[i] >= 0) return false;
        bool value_first = op.pb == Place::CONST;
        if (value_first == (op.pa == Place::CONST)) return false;
        Place place = value_first ? op.pa : op.pb;
        test.var = nullptr;
        test.temp = -1;
        if (place == Place::VAR) {
            test.var = value_first ? op.a : op.b;
        } else if (place == Place::TEMP) {
            test.temp = value_of(value_first ? source[i].first : source[i].second);
            int32_t h = p.result_home[test.temp];
            if (h < 0 || p.homes[h].slot) return false;
        } else {
            return false;
        }
        static constexpr Relation swapped[] = {Relation::EQ, Relation::NE, Relation::GE,
                                               Relation::LE, Relation::GT, Relation::LT};
        test.real = shape_of(op.code).real;
        auto rel = static_cast<Relation>(op.code - (test.real ? T_EQ_RR : T_EQ_II));
        test.rel = value_first ? rel : swapped[static_cast<size_t>(rel)];
        const void* k = value_first ? op.b : op.a;
        test.k = test.real ? *static_cast<const double*>(k) : *static_cast<const int32_t*>(k);
        return true;
    }

    enum class Decided : uint8_t { NOTHING, FAILS, HOLDS };

    // What known's outcome (held or not) says of later, on the same value.
    // Each test's outcome changes only across its constant (a NaN fails
    // all but "=!"), so the values beside and at both constants, the ends
    // of the range and NaN stand for every value.
    static Decided decide(const ConstantTest& known, bool held, const ConstantTest& later) {
        constexpr double INF = std::numeric_limits<double>::infinity();
        bool real = known.real;
        double a = known.k;
        double b = later.k;
        double low = real ? -INF : INT32_MIN;
        double high = real ? INF : INT32_MAX;
        auto below = [real](double x) { return real ? std::nextafter(x, -INF) : x - 1; };
        auto above = [real](double x) { return real ? std::nextafter(x, INF) : x + 1; };
        double nan = real ? std::numeric_limits<double>::quiet_NaN() : low;
        const double points[] = {low, high, nan, below(a), a, above(a), below(b), b, above(b)};
        bool can_hold = false;
        bool can_fail = false;
        for (double x : points) {
            if (x < low || x > high || relation_holds(known.rel, x, a) != held) continue;
            (relation_holds(later.rel, x, b) ? can_hold : can_fail) = true;
        }
        if (!can_hold) return Decided::FAILS;
        return can_fail ? Decided::NOTHING : Decided::HOLDS;
    }

    // Where the code goes on from operation from, once known held (or
    // failed) and its value has not changed since: past each block whose
    // test that decides fails, and into the first BRANCH block whose test
    // it decides holds. Operations that leave no code are passed over.
    int32_t decided_target(int32_t from, const ConstantTest& known, bool held) const {
        for (int32_t i = from; i < t.size;) {
            if (p.folded[i] || p.hoisted_home[i] >= 0) {
                ++i;
                continue;
            }
            ConstantTest later;
            // A test decided already is made by no code to jump past or into.
            if (!constant_test(i, later) || !later.same_value(known) || p.outcome[i] >= 0) break;
            Decided d = decide(known, held, later);
            if (d == Decided::HOLDS && p.form[i] == BlockForm::BRANCH) return i + 1;
            if (d != Decided::FAILS || p.form[i] == BlockForm::NESTED) break;
            from = i = t.ops[i].jump;
        }
        return from;
    }

    // Whether an operation in [first, end) may write test's value.
    bool writes_value(int32_t first, int32_t end, const ConstantTest& test) const {
        if (!test.var) return false;  // a temporary's home is written once, before its test
        for (int32_t k = first; k < end; ++k)
            if (written_variable(t.ops[k]) == test.var) return true;
        return false;
    }

    // Where a BRANCH test that decides later ones sends the code: its
    // failure straight to the first test it leaves open, and the end of its
    // block, where the value was not written in it, likewise. Only the code
    // that falls through a block's last operation has held its test, and
    // only one jump fits there: the innermost block that decides one takes it.
    void plan_decided_tests() {
        p.failed_to.assign(t.size, -1);
        p.held_to.assign(t.size, -1);
        for (int32_t i = 0; i < t.size; ++i) {
            if (p.form[i] != BlockForm::BRANCH) continue;
            if (p.outcome[i] >= 0) continue;  // makes no test: nothing is learnt from it
            int32_t end = t.ops[i].jump;
            p.failed_to[i] = end;
            ConstantTest test;
            if (!constant_test(i, test)) continue;
            p.failed_to[i] = decided_target(end, test, false);
            if (writes_value(i + 1, end, test)) continue;
            if (int32_t to = decided_target(end, test, true); to != end) p.held_to[end] = to;
        }
    }
};

// Plans t with repeats that reach back at most reach operations; false as
// make_native_plan.
bool plan_with_reach(const Translation& t, const NativeTarget& m, NativePlan& plan, int32_t reach) {
    plan = NativePlan{};
    Planner planner{t, m, plan, {}, {}, {}, {}, {}, {}, reach};
    if (!planner.collect()) return false;
    planner.plan_hoisting();
    planner.plan_wide_compares();
    planner.plan_repeats();
    planner.plan_values();
    planner.plan_formed_in_place();
    planner.allocate_registers();
    planner.allocate_constants();
    planner.assign_slots();
    if (plan.frame > NATIVE_MAX_FRAME) return false;
    planner.plan_live_registers();
    planner.plan_known_outcomes();
    planner.plan_blocks();
    planner.plan_decided_tests();
    return true;
}

// The uses, weighted by depth, of the values left in the frame.
double spilled_weight(const NativePlan& plan) {
    double w = 0;
    for (const NativeHome& h : plan.homes)
        if (h.first >= 0 && h.reg < 0) w += h.weight;
    return w;
}

// Whether a repeat in plan reads a value from further back than reach.
bool repeats_beyond(const NativePlan& plan, int32_t reach) {
    for (size_t i = 0; i < plan.same_as.size(); ++i)
        if (plan.same_as[i] >= 0 && static_cast<int32_t>(i) - plan.same_as[i] > reach) return true;
    return false;
}

}  // namespace

bool make_native_plan(const Translation& t, const NativeTarget& m, NativePlan& plan) {
    if (t.size > NATIVE_MAX_OPS || t.loop_depth > NATIVE_MAX_LOOP_DEPTH) return false;
    if (!plan_with_reach(t, m, plan, INT32_MAX)) return false;
    // A repeat keeps its value in a register until its last reader. Where
    // that leaves too few registers, values go to the frame, and a variable
    // carried from pass to pass there costs more than computing again: then
    // repeats reach less far, or not at all, when that spills less. A plan
    // with no repeat that a shorter reach would drop is not made again.
    double spilled = spilled_weight(plan);
    if (t.size > NATIVE_REPLAN_MAX_OPS) return true;
    for (int32_t reach : {NATIVE_SHORT_REPEAT, 0}) {
        if (spilled == 0 || !repeats_beyond(plan, reach)) continue;
        NativePlan other;
        if (plan_with_reach(t, m, other, reach) && spilled_weight(other) < spilled) {
            spilled = spilled_weight(other);
            plan = std::move(other);
        }
    }
    return true;
}
