// The native plan's choices for small bodies, stated directly: which values
// get registers, what is hoisted, which blocks run without a branch. A change
// that quietly loses one of them fails here, whatever the results show.
#include "native/plan.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/arith.h"
#include "lexer/symbols.h"
#include "native/target_aarch64.h"
#include "native/target_x86_64.h"
#if defined(RILL_NATIVE) && defined(__aarch64__)
#include "native/aarch64.h"
#elif defined(RILL_NATIVE)
#include "native/x86_64.h"
#endif
#if defined(RILL_NATIVE) && defined(__x86_64__) && (defined(__linux__) || defined(_WIN32))
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/machine.h"
#include "native/kept_registers.h"
#define RILL_KEPT_REGISTERS
#endif

namespace {

// A translated body written by hand: variables, constants and temporaries
// are slots that stay put while the body lives.
class Body {
public:
    Symbol* var(bool real = false) {
        Symbol& s = symbols_.emplace_back();
        s.type = real ? 1 : 0;
        s.value.bits = 0;
        return &s;
    }
    void* temp() { return &temps_.emplace_back(0); }
    void* k(int32_t value) { return &consts_.emplace_back(value); }
    void* real_k(double value) { return &real_consts_.emplace_back(value); }

    // d = a op b; each operand a Symbol (variable), temp() or k().
    int32_t op(TranslatedCode code, void* d, void* a, void* b = nullptr) {
        ops_.push_back({code, place(d), place(a), place(b), 0, nullptr, slot(d), slot(a), slot(b)});
        return last();
    }
    int32_t step(TranslatedCode code, Symbol* v) {
        ops_.push_back({code, Place::NONE, Place::NONE, Place::NONE, 0, nullptr, v, nullptr, nullptr});
        return last();
    }
    int32_t print(Symbol* v) { return step(T_PRINT_VAR, v); }
    int32_t brk() { return step(T_BREAK, nullptr); }
    // A comparison's block and a loop are closed by end().
    int32_t compare(TranslatedCode code, void* a, void* b) {
        open_.push_back(op(code, nullptr, a, b));
        return last();
    }
    int32_t loop(void* count) {
        open_.push_back(op(T_LOOP_I, nullptr, count));
        return last();
    }
    void end() {
        int32_t begin = open_.back();
        open_.pop_back();
        ops_[begin].jump = static_cast<int32_t>(ops_.size());
        if (ops_[begin].code == T_LOOP_I) {
            op(T_LOOP_END, nullptr, nullptr);
            ops_.back().jump = begin + 1;
        }
    }

    // The body, closed by the replayed loop's own end.
    const Translation& translation() {
        if (t_.ops) return t_;
        ops_.push_back({T_LOOP_END, Place::NONE, Place::NONE, Place::NONE, 0, nullptr, nullptr, nullptr, nullptr});
        int32_t depth = 0;
        int32_t deepest = 0;
        for (const TranslatedOp& o : ops_) {
            if (o.code == T_LOOP_I) deepest = std::max(deepest, ++depth);
            if (o.code == T_LOOP_END) --depth;
        }
        t_ = {ops_.data(), static_cast<int32_t>(ops_.size()), deepest};
        return t_;
    }

    NativePlan plan(const NativeTarget& m = X86_64_SYSV.target) {
        NativePlan p;
        EXPECT_TRUE(make_native_plan(translation(), m, p));
        return p;
    }

    const NativeHome& home(const NativePlan& p, Symbol* v) const { return p.homes[p.home_of.at(&v->value)]; }

private:
    std::deque<Symbol> symbols_;
    std::deque<int32_t> temps_;
    std::deque<int32_t> consts_;
    std::deque<double> real_consts_;
    std::vector<TranslatedOp> ops_;
    std::vector<int32_t> open_;
    Translation t_{};

    int32_t last() const { return static_cast<int32_t>(ops_.size()) - 1; }
    bool is_symbol(const void* p) const {
        for (const Symbol& s : symbols_)
            if (&s == p) return true;
        return false;
    }
    bool is_const(const void* p) const {
        for (const int32_t& c : consts_)
            if (&c == p) return true;
        for (const double& c : real_consts_)
            if (&c == p) return true;
        return false;
    }
    Place place(const void* p) const {
        if (!p) return Place::NONE;
        if (is_symbol(p)) return Place::VAR;
        return is_const(p) ? Place::CONST : Place::TEMP;
    }
    void* slot(void* p) const { return p && is_symbol(p) ? &static_cast<Symbol*>(p)->value : p; }
};

TEST(NativePlan, TheHeaviestValuesGetTheTwelveRegisters) {
    // Fourteen integer variables, v[i] used i + 1 times at the top: the
    // replayed loop's counter, its passes beyond the chunk and the interrupt
    // flag's address weigh 1 each.
    Body b;
    std::vector<Symbol*> v;
    for (int i = 0; i < 14; ++i) v.push_back(b.var());
    for (int i = 0; i < 14; ++i)
        for (int use = 0; use <= i; ++use) b.op(T_ADD_I, v[i], v[i], b.k(1));
    NativePlan p = b.plan();
    EXPECT_EQ(p.gp_used, 12);
    for (int i = 0; i < 14; ++i) EXPECT_EQ(b.home(p, v[i]).reg >= 0, i >= 2) << i;
    // Everything else in the frame, after the save area, aligned for calls.
    EXPECT_EQ(p.spills, 5);
    EXPECT_GE(b.home(p, v[0]).disp, p.spill_base);
    EXPECT_EQ((p.frame + X86_64_SYSV.target.entry_bytes) % 16, 0);
    EXPECT_EQ(p.save_fp_base, 8 * (12 - 6));

    // A machine with more registers keeps every one of them in a register.
    NativeTarget wide = {26, 10, 30, 8, 16, false, 0};
    Body c;
    std::vector<Symbol*> w;
    for (int i = 0; i < 14; ++i) w.push_back(c.var());
    for (int i = 0; i < 14; ++i) c.op(T_ADD_I, w[i], w[i], c.k(1));
    NativePlan q = c.plan(wide);
    EXPECT_EQ(q.spills, 0);
    EXPECT_EQ(q.gp_used, 17);
    EXPECT_EQ((q.frame + wide.entry_bytes) % 16, 0);
}

TEST(NativePlan, Win64LeavesCallsTheFrameBottom) {
    // Fourteen integers and fourteen reals: every real in a register, the
    // integers (with the counter, its passes beyond the chunk and the flag's
    // address) five short.
    const NativeTarget& m = X86_64_WIN64.target;
    Body b;
    std::vector<Symbol*> v;
    for (int i = 0; i < 28; ++i) v.push_back(b.var(i % 2 == 1));
    for (Symbol* x : v) b.op(x->type ? T_ADD_R : T_ADD_I, x, x, x);
    NativePlan p = b.plan(m);
    EXPECT_EQ(p.fp_used, 14);
    EXPECT_EQ(p.spills, 5);
    // Above the 32 bytes a call may use: the four caller-saved general
    // registers, the six caller-saved xmm registers, then the spills.
    EXPECT_EQ(p.save_gp_base, 32);
    EXPECT_EQ(p.save_fp_base, 32 + 8 * 4);
    EXPECT_EQ(p.spill_base, 32 + 8 * 4 + 8 * 6);
    for (const NativeHome& h : p.homes) EXPECT_TRUE(h.reg >= 0 || h.disp >= p.spill_base);
    EXPECT_EQ((p.frame + m.entry_bytes) % 16, 0);
}

TEST(NativePlan, AArch64HoldsTwentyIntegersAndTwentyTwoRealsInRegisters) {
    // With the counter, its passes beyond the chunk and the interrupt flag's
    // address, 27 integer homes.
    Body b;
    for (int i = 0; i < 24; ++i) {
        Symbol* n = b.var();
        Symbol* r = b.var(true);
        b.op(T_ADD_I, n, n, b.k(1));
        b.op(T_ADD_R, r, r, r);
    }
    NativePlan p = b.plan(AARCH64_TARGET);
    EXPECT_EQ(p.gp_used, 20);
    EXPECT_EQ(p.fp_used, 22);
    EXPECT_EQ(p.spills, 7 + 2);
    // Calls save x1-x7, x12-x14 and d18-d31; the stack pointer stays 16-aligned.
    EXPECT_EQ(p.save_fp_base, 8 * (20 - 10));
    EXPECT_EQ(p.spill_base, p.save_fp_base + 8 * (22 - 8));
    EXPECT_EQ((p.frame + AARCH64_TARGET.entry_bytes) % 16, 0);
}

TEST(NativePlan, InnerLoopUsesOutweighOuterOnes) {
    // With two registers, the inner loop's variable and counter get them,
    // although the outer variable is used three times.
    Body b;
    Symbol* outer = b.var();
    Symbol* inner = b.var();
    Symbol* n = b.var();
    for (int i = 0; i < 3; ++i) b.op(T_ADD_I, outer, outer, b.k(1));
    b.loop(n);
    b.op(T_ADD_I, inner, inner, b.k(1));
    b.end();
    NativePlan p = b.plan({2, 2, 1, 0, 8, false, 0});
    EXPECT_GE(b.home(p, inner).reg, 0);
    EXPECT_EQ(b.home(p, outer).reg, -1);
}

TEST(NativePlan, InvariantsAreHoistedIntoTheirLoopsPreheader) {
    // loop (n) { x = x + a * c; y = y + x / 7; z = z + a / d; }: a * c and
    // c / 7 change with no pass; x / 7 does, and a / d may divide by zero.
    Body b;
    Symbol* a = b.var();
    Symbol* c = b.var();
    Symbol* d = b.var();
    Symbol* n = b.var();
    Symbol* x = b.var();
    Symbol* y = b.var();
    Symbol* z = b.var();
    void* t0 = b.temp();
    void* t1 = b.temp();
    int32_t start = b.loop(n);
    int32_t product = b.op(T_MUL_I, t0, a, c);
    int32_t sum = b.op(T_ADD_I, x, x, t0);
    int32_t quotient = b.op(T_DIV_I, t1, x, b.k(7));
    b.op(T_ADD_I, y, y, t1);
    int32_t by_var = b.op(T_DIV_I, t0, a, d);
    int32_t invariant_quotient = b.op(T_DIV_I, t1, c, b.k(7));
    b.op(T_ADD_I, z, z, t1);
    b.end();
    NativePlan p = b.plan();
    EXPECT_GE(p.hoisted_home[product], 0);
    EXPECT_GE(p.hoisted_home[invariant_quotient], 0);
    EXPECT_EQ(p.hoisted_home[quotient], -1);
    EXPECT_EQ(p.hoisted_home[by_var], -1);
    EXPECT_EQ(p.preheader[start], (std::vector<int32_t>{product, invariant_quotient}));
    // The sum reads the product from its hoisted home.
    EXPECT_EQ(p.read_home[sum].second, p.hoisted_home[product]);
    EXPECT_EQ(p.read_home[sum].first, -1);
}

TEST(NativePlan, NothingAPassWritesIsHoisted) {
    // loop (n) { t = a * 2; a = t; }: a changes in the loop, so t does.
    Body b;
    Symbol* a = b.var();
    Symbol* n = b.var();
    void* t = b.temp();
    b.loop(n);
    int32_t product = b.op(T_MUL_I, t, a, b.k(2));
    b.op(T_MOVE_I, a, t);
    b.end();
    NativePlan p = b.plan();
    EXPECT_EQ(p.hoisted_home[product], -1);
    EXPECT_TRUE(p.preheader[0].empty());
}

TEST(NativePlan, ProductsOfIntegersComparedWithIntegersAreComparedWide) {
    // loop (n) { if (d * d > m) {}; if (t == q * 7) {}; if (d * 0.5 > m) {};
    // if (d * d > q * q) {} }: the first two compare 64-bit integers, and the
    // conversion of m, hoisted for the first, is not needed; a product with a
    // fraction, or of two products, stays in reals.
    Body b;
    Symbol* d = b.var();
    Symbol* m = b.var();
    Symbol* n = b.var();
    Symbol* q = b.var();
    Symbol* t = b.var();
    void* t0 = b.temp();
    void* t1 = b.temp();
    int32_t start = b.loop(n);
    std::vector<int32_t> square = {b.op(T_REAL_OF_I, t0, d), b.op(T_REAL_OF_I, t1, d), b.op(T_MUL_R, t0, t0, t1),
                                   b.op(T_REAL_OF_I, t1, m)};
    int32_t above = b.compare(T_GT_RR, t0, t1);
    b.step(T_INC_I, d);
    b.end();
    b.step(T_INC_I, q);  // else q * 7 would be hoisted, and compared in reals
    std::vector<int32_t> seven = {b.op(T_REAL_OF_I, t0, t), b.op(T_REAL_OF_I, t1, q),
                                  b.op(T_MUL_R, t1, t1, b.real_k(7.0))};
    int32_t equal = b.compare(T_EQ_RR, t0, t1);
    b.end();
    b.op(T_REAL_OF_I, t0, d);
    b.op(T_MUL_R, t0, t0, b.real_k(0.5));
    b.op(T_REAL_OF_I, t1, m);
    int32_t half = b.compare(T_GT_RR, t0, t1);
    b.end();
    void* t2 = b.temp();
    b.op(T_REAL_OF_I, t0, d);
    b.op(T_REAL_OF_I, t1, d);
    b.op(T_MUL_R, t0, t0, t1);
    b.op(T_REAL_OF_I, t1, q);
    b.op(T_REAL_OF_I, t2, q);
    b.op(T_MUL_R, t1, t1, t2);
    int32_t two_products = b.compare(T_GT_RR, t0, t1);
    b.end();
    b.end();
    NativePlan p = b.plan();
    ASSERT_GE(p.wide_of[above], 0);
    const WideCompare& w = p.wide[p.wide_of[above]];
    EXPECT_TRUE(w.product_first);
    EXPECT_EQ(w.factor[0].var, &d->value);
    EXPECT_EQ(w.factor[1].var, &d->value);
    EXPECT_EQ(w.other.var, &m->value);
    for (int32_t k : square) EXPECT_TRUE(p.folded[k]) << k;
    EXPECT_EQ(p.hoisted_home[square[3]], -1);
    EXPECT_EQ(std::count(p.preheader[start].begin(), p.preheader[start].end(), square[3]), 0);

    ASSERT_GE(p.wide_of[equal], 0);
    const WideCompare& v = p.wide[p.wide_of[equal]];
    EXPECT_FALSE(v.product_first);
    EXPECT_EQ(v.factor[0].var, &q->value);
    EXPECT_EQ(v.factor[1].var, nullptr);
    EXPECT_EQ(v.factor[1].constant, 7);
    EXPECT_EQ(v.other.var, &t->value);
    for (int32_t k : seven) EXPECT_TRUE(p.folded[k]) << k;

    EXPECT_EQ(p.wide_of[half], -1);
    EXPECT_EQ(p.wide_of[two_products], -1);
    // Folded for the wide comparisons, not as repeats of an earlier value.
    auto folded_for_wide = [](const NativePlan& q) {
        int32_t n = 0;
        for (size_t i = 0; i < q.folded.size(); ++i) n += q.folded[i] && q.same_as[i] < 0;
        return n;
    };
    EXPECT_EQ(folded_for_wide(p), 7);

    // The AArch64 emitter compares in reals.
    NativePlan a = b.plan(AARCH64_TARGET);
    EXPECT_TRUE(std::all_of(a.wide_of.begin(), a.wide_of.end(), [](int32_t x) { return x < 0; }));
    EXPECT_EQ(folded_for_wide(a), 0);
}

TEST(NativePlan, TemporariesShareRegistersByLiveRange) {
    // Forty statements r = r + (x * y) * x: each pass computes eighty values
    // that die within it, and two registers are enough for all of them.
    Body b;
    Symbol* x = b.var(true);
    Symbol* y = b.var(true);
    Symbol* r = b.var(true);
    void* t0 = b.temp();
    void* t1 = b.temp();
    std::vector<int32_t> products;
    for (int i = 0; i < 40; ++i) {
        products.push_back(b.op(T_MUL_R, t0, x, y));
        b.op(T_ADD_R, y, y, b.real_k(1.0));  // so that no product repeats
        b.op(T_MUL_R, t1, t0, x);
        b.op(T_ADD_R, r, r, t1);
    }
    NativePlan p = b.plan({4, 4, 5, 0, 8, false, 0});
    EXPECT_EQ(p.spills, 0);
    for (int32_t k : products) {
        const NativeHome& h = p.homes[p.result_home[k]];
        EXPECT_GE(h.reg, 0);
        // Read by the next operation but one, into a home that takes its register.
        EXPECT_EQ(h.last, k + 2);
        EXPECT_EQ(p.homes[p.result_home[k + 2]].reg, h.reg);
    }
    // With one register fewer, what does not fit goes to the frame, and
    // values never live at once share a frame slot.
    NativePlan q = b.plan({4, 4, 3, 0, 8, false, 0});
    EXPECT_GT(q.spills, 0);
    EXPECT_LE(q.spills, 2);
}

TEST(NativePlan, RepeatedPureOperationsReadTheFirstValue) {
    // x = p * 0.375 + q; y = p * 0.375 - q; z = 0.375 * p; p = p + 1.0;
    // w = p * 0.375; if (q > 0.0) { v = q * q + p; }; v = q * q + p;
    // loop (n) { u = q * q + u; }; s = q - p * 0.375; w = s; k = s - p * 0.375:
    // the second product repeats the first; the operand order differs in the
    // third; a write to p ends the first product's time; a product in a
    // block or an inner loop is not there in every pass that reaches the
    // next; a value a variable was given stands for it until it is written.
    Body b;
    Symbol* p = b.var(true);
    Symbol* q = b.var(true);
    Symbol* x = b.var(true);
    Symbol* y = b.var(true);
    Symbol* z = b.var(true);
    Symbol* w = b.var(true);
    Symbol* v = b.var(true);
    Symbol* u = b.var(true);
    Symbol* s = b.var(true);
    Symbol* k = b.var(true);
    Symbol* n = b.var();
    void* t0 = b.temp();
    void* t1 = b.temp();
    int32_t first = b.op(T_MUL_R, t0, p, b.real_k(0.375));
    b.op(T_ADD_R, x, t0, q);
    int32_t again = b.op(T_MUL_R, t0, p, b.real_k(0.375));
    int32_t minus = b.op(T_SUB_R, y, t0, q);
    int32_t swapped = b.op(T_MUL_R, z, b.real_k(0.375), p);
    b.op(T_ADD_R, p, p, b.real_k(1.0));
    int32_t after_write = b.op(T_MUL_R, w, p, b.real_k(0.375));
    b.compare(T_GT_RR, q, b.real_k(0.0));
    b.op(T_MUL_R, t0, q, q);
    b.op(T_ADD_R, v, t0, p);
    b.end();
    int32_t after_block = b.op(T_MUL_R, t0, q, q);
    b.op(T_ADD_R, v, t0, p);
    b.loop(n);
    int32_t in_loop = b.op(T_MUL_R, t0, q, q);
    b.op(T_ADD_R, u, t0, u);
    b.end();
    int32_t in_variable = b.op(T_MUL_R, t1, p, b.real_k(0.375));
    int32_t difference = b.op(T_SUB_R, s, q, t1);
    b.op(T_MOVE_R, w, s);
    int32_t stale = b.op(T_MUL_R, t1, p, b.real_k(0.375));
    b.op(T_SUB_R, k, s, t1);
    NativePlan plan = b.plan();
    EXPECT_EQ(plan.same_as[again], first);
    EXPECT_TRUE(plan.folded[again]);
    EXPECT_EQ(plan.read_home[minus].first, plan.result_home[first]);
    EXPECT_EQ(plan.homes[plan.result_home[first]].last, minus);
    EXPECT_EQ(plan.same_as[swapped], -1);
    EXPECT_EQ(plan.same_as[after_write], -1);
    EXPECT_EQ(plan.same_as[after_block], -1);
    EXPECT_EQ(plan.same_as[in_loop], -1);
    // p * 0.375 after the write to p is w's value, until w is written.
    EXPECT_EQ(plan.same_as[in_variable], after_write);
    EXPECT_EQ(plan.read_home[difference].second, plan.home_of.at(&w->value));
    EXPECT_EQ(plan.same_as[stale], -1);
}

TEST(NativePlan, RepeatsReachLessFarWhereTheirValuesWouldCrowdOutVariables) {
    // vars real variables, each written every pass; p * 0.375 at the top and
    // again after 14 other statements; q * 0.5 twice, close together. With
    // 13 variables, keeping the far repeat's value takes the last register,
    // and the near one's would push a variable to the frame: the far one
    // is computed again instead. With 12, there is room for both.
    for (int vars : {13, 12}) {
        Body b;
        std::vector<Symbol*> v;
        for (int i = 0; i < vars; ++i) v.push_back(b.var(true));
        void* t0 = b.temp();
        void* t1 = b.temp();
        int32_t far_first = b.op(T_MUL_R, t0, v[0], b.real_k(0.375));
        b.op(T_ADD_R, v[1], t0, v[1]);
        for (int i = 2; i < 16; ++i) b.op(T_ADD_R, v[1 + i % (vars - 1)], v[1 + i % (vars - 1)], b.real_k(1.0));
        int32_t near_first = b.op(T_MUL_R, t1, v[2], b.real_k(0.5));
        b.op(T_ADD_R, v[3], t1, v[3]);
        int32_t near_again = b.op(T_MUL_R, t1, v[2], b.real_k(0.5));
        b.op(T_SUB_R, v[4], t1, v[4]);
        int32_t far_again = b.op(T_MUL_R, t0, v[0], b.real_k(0.375));
        b.op(T_SUB_R, v[5], t0, v[5]);
        NativePlan plan = b.plan();
        for (const NativeHome& h : plan.homes)
            if (h.first >= 0) {
                EXPECT_GE(h.reg, 0) << vars << " variables";
            }
        EXPECT_EQ(plan.same_as[near_again], near_first) << vars << " variables";
        EXPECT_EQ(plan.same_as[far_again], vars == 13 ? -1 : far_first) << vars << " variables";
    }
}

TEST(NativePlan, ResultsAreFormedInTheirVariablesHome) {
    // x = (a * 0.5 + b) * 0.25 needs no register of its own; y = (a * 0.5) + y
    // reads y after its first value is formed, and if (c > 0) { c = c * 3 + 1 }
    // may run without a branch.
    Body b;
    Symbol* a = b.var(true);
    Symbol* bb = b.var(true);
    Symbol* x = b.var(true);
    Symbol* y = b.var(true);
    Symbol* c = b.var();
    void* t0 = b.temp();
    void* t1 = b.temp();
    int32_t half = b.op(T_MUL_R, t0, a, b.real_k(0.5));
    int32_t sum = b.op(T_ADD_R, t0, t0, bb);
    int32_t quarter = b.op(T_MUL_R, x, t0, b.real_k(0.25));
    b.op(T_ADD_R, a, a, b.real_k(1.0));
    int32_t product = b.op(T_MUL_R, t1, a, b.real_k(0.5));
    b.op(T_ADD_R, y, t1, y);
    b.compare(T_GT_II, c, b.k(0));
    int32_t triple = b.op(T_MUL_I, t0, c, b.k(3));
    b.op(T_ADD_I, c, t0, b.k(1));
    b.end();
    NativePlan p = b.plan();
    int32_t home = p.home_of.at(&x->value);
    EXPECT_EQ(p.result_home[half], home);
    EXPECT_EQ(p.result_home[sum], home);
    EXPECT_EQ(p.read_home[quarter].first, home);
    EXPECT_NE(p.result_home[product], p.home_of.at(&y->value));
    EXPECT_NE(p.result_home[triple], p.home_of.at(&c->value));
}

TEST(NativePlan, ConstantsTakeTheRegistersLeftAndCallsKeepOnlyLiveOnes) {
    // x = x * 0.5 + 0.5; y = y * 0.25; print(x); loop (n) { y = y * 0.5 }:
    // the two constants fit in the registers the values leave; 0.5, used in
    // the inner loop, comes first.
    Body b;
    Symbol* x = b.var(true);
    Symbol* y = b.var(true);
    Symbol* n = b.var();
    void* t = b.temp();
    b.op(T_MUL_R, t, x, b.real_k(0.5));
    int32_t sum = b.op(T_ADD_R, x, t, b.real_k(0.5));
    b.op(T_MUL_R, y, y, b.real_k(0.25));
    int32_t print = b.print(x);
    b.loop(n);
    b.op(T_MUL_R, y, y, b.real_k(0.5));
    b.end();
    NativePlan p = b.plan({6, 2, 3, 0, 8, false, 0});
    ASSERT_EQ(p.constant_home.size(), 1U);
    EXPECT_EQ(p.constant_home.count(0x3fe0000000000000), 1U);
    EXPECT_EQ(p.fp_used, 3);
    // The print keeps x, y and the constant; the temporary is dead by then.
    EXPECT_EQ(p.live_fp[print], 0b111U);
    EXPECT_EQ(p.live_fp[sum], 0b111U);
    NativePlan q = b.plan({6, 2, 8, 0, 8, false, 0});
    EXPECT_EQ(q.constant_home.size(), 2U);
}

TEST(NativePlan, ARealDrawScalesInOneMultiplyOnlyWhereTheBitsAgree) {
    // Every draw, scaled both ways, for tops at and near the edges of the
    // range where one multiply is exact; outside it the two-step form stays.
    const double one_step[] = {1.0,   -1.0,   0.0,    -0.0,        0.1,           2.5,
                               1e300, -1e300, 1e-300, 0x1.fffp999, 0x1.001p-1000, 123456.789};
    for (double top : one_step) {
        double factor = 0;
        ASSERT_TRUE(random_factor(top, factor)) << top;
        for (int32_t r = 0; r < RANDOM_RANGE; ++r)
            ASSERT_EQ(std::bit_cast<uint64_t>(r * factor), std::bit_cast<uint64_t>(scale_random(r, top)))
                << top << " drawn " << r;
    }
    const double two_steps[] = {0x1p1000, -0x1p1001, 1e308, 0x1p-1000, 1e-310, -4.9e-324, INFINITY, -INFINITY, NAN};
    for (double top : two_steps) {
        double factor = 7;
        EXPECT_FALSE(random_factor(top, factor)) << top;
        EXPECT_EQ(factor, 7);
    }
    // The factor, not the top, is what takes a constant's register.
    Body b;
    Symbol* x = b.var(true);
    b.op(T_RAND_R, x, b.real_k(1.0));
    NativePlan p = b.plan();
    EXPECT_EQ(p.constant_home.count(std::bit_cast<uint64_t>(1.0 / RANDOM_RANGE)), 1U);
    EXPECT_EQ(p.constant_home.count(std::bit_cast<uint64_t>(1.0)), 0U);
}

TEST(NativePlan, ShortIntegerBlocksRunWithoutABranch) {
    Body b;
    Symbol* x = b.var();
    Symbol* y = b.var();
    Symbol* r = b.var(true);
    // if (x < y) { x = x + 1; if (y > 0) { y--; } }
    int32_t outer = b.compare(T_LT_II, x, y);
    int32_t add = b.op(T_ADD_I, x, x, b.k(1));
    int32_t nested = b.compare(T_GT_II, y, b.k(0));
    int32_t dec = b.step(T_DEC_I, y);
    b.end();
    b.end();
    // if (x == y) { print(x); }: a print must not run when the test fails.
    int32_t printing = b.compare(T_EQ_II, x, y);
    b.print(x);
    b.end();
    // if (x > y) { r = r + 1.0 }: writes a real.
    int32_t real = b.compare(T_GT_II, x, y);
    b.op(T_ADD_R, r, r, r);
    b.end();
    int32_t after = b.op(T_ADD_I, y, y, x);
    NativePlan p = b.plan();
    EXPECT_EQ(p.form[outer], BlockForm::BRANCH_FREE);
    EXPECT_EQ(p.form[nested], BlockForm::NESTED);
    EXPECT_EQ(p.guard[add], Guard::OUTER);
    EXPECT_EQ(p.guard[nested], Guard::OUTER);
    EXPECT_EQ(p.guard[dec], Guard::INNER);
    EXPECT_EQ(p.form[printing], BlockForm::BRANCH);
    EXPECT_EQ(p.form[real], BlockForm::BRANCH);
    EXPECT_EQ(p.guard[after], Guard::NONE);
    EXPECT_EQ(p.form[add], BlockForm::NONE);

    // Without registers to hold x, the same block branches.
    NativePlan q = b.plan({0, 0, 4, 0, 8, false, 0});
    EXPECT_EQ(q.form[outer], BlockForm::BRANCH);
}

// n outcomes, the latest last in the string, as the threaded replay records them.
uint64_t history(const std::string& outcomes) {
    uint64_t h = 1;
    for (char c : outcomes) h = h << 1 | (c == '1');
    return h;
}

TEST(NativePlan, OutcomesJudgedByWhetherARecentPassRepeats) {
    std::string random64 = "1101000110111001011000100111101001110010101101000111011000101101";
    struct Case {
        uint64_t history;
        Outcomes judged;
    } cases[] = {
        {1, Outcomes::UNKNOWN},                                               // never ran
        {history("101010101010101"), Outcomes::UNKNOWN},                      // too few to tell
        {history(std::string(40, '1')), Outcomes::REGULAR},                   // always held
        {history("10101010101010101010"), Outcomes::REGULAR},                 // changes every pass, regularly
        {history("11100111001110011100111001110011100"), Outcomes::REGULAR},  // a period of five
        {history(random64.substr(0, 63)), Outcomes::IRREGULAR},
        {0, Outcomes::REGULAR},                                           // 64 failures, the marker shifted out
        {history(random64.substr(0, 63)) << 1 | 1, Outcomes::IRREGULAR},  // all 64 bits outcomes
    };
    for (const Case& c : cases) EXPECT_EQ(judge_outcomes(c.history), c.judged) << std::hex << c.history;
    // One outcome in twenty off the pattern is still predicted; one in five is not.
    std::string mostly(60, '1');
    for (size_t i = 0; i < mostly.size(); i += 20) mostly[i] = '0';
    EXPECT_EQ(judge_outcomes(history(mostly)), Outcomes::REGULAR);
    for (size_t i = 0; i < mostly.size(); i += 5) mostly[i] = '0';
    EXPECT_EQ(judge_outcomes(history(mostly)), Outcomes::REGULAR);  // every fifth: a period
    for (size_t i = 3; i < mostly.size(); i += 7) mostly[i] = '0';
    EXPECT_EQ(judge_outcomes(history(mostly)), Outcomes::IRREGULAR);
}

TEST(NativePlan, RecordedOutcomesDecideWhetherABlockBranches) {
    // if (x < y) { x = x + 1; }: branch-free by its shape; kept as a branch
    // where the threaded replay saw its test follow a pattern.
    Body b;
    Symbol* x = b.var();
    Symbol* y = b.var();
    int32_t test = b.compare(T_LT_II, x, y);
    b.op(T_ADD_I, x, x, b.k(1));
    b.end();
    const Translation& t = b.translation();
    std::vector<uint64_t> outcomes(t.size, 1);
    Translation profiled = t;
    profiled.outcomes = outcomes.data();
    struct Case {
        uint64_t history;
        BlockForm form;
    } cases[] = {
        {1, BlockForm::BRANCH_FREE},  // no outcomes: by shape
        {history("1100110011001100110011"), BlockForm::BRANCH},
        {history("110100011011100101100010011110100111001"), BlockForm::BRANCH_FREE},
    };
    for (const Case& c : cases) {
        outcomes[test] = c.history;
        NativePlan p;
        ASSERT_TRUE(make_native_plan(profiled, X86_64_TARGET, p));
        EXPECT_EQ(p.form[test], c.form) << std::hex << c.history;
    }
}

TEST(NativePlan, InnermostLoopsPollOnceAChunkOfPasses) {
    // loop (n) { x = x + 1; loop (n) { x = x * 3; y = rand(x) }; loop (n) { print(x) } }
    Body b;
    Symbol* x = b.var();
    Symbol* y = b.var();
    Symbol* n = b.var();
    int32_t outer = b.loop(n);
    b.op(T_ADD_I, x, x, b.k(1));
    int32_t inner = b.loop(n);
    b.op(T_MUL_I, x, x, b.k(3));
    b.op(T_RAND_I, y, x);
    b.end();
    int32_t printing = b.loop(n);
    b.print(x);
    b.end();
    b.end();
    NativePlan p = b.plan();
    // A chunk runs about NATIVE_POLL_WORK operations, in a power of two passes.
    EXPECT_EQ(p.chunk[inner], 8192);
    EXPECT_GE(p.rest_of[inner], 0);
    // Loops around others, and loops that print, poll every pass.
    for (int32_t loop : {outer, printing, b.translation().size}) {
        EXPECT_EQ(p.chunk[loop], 1) << loop;
        EXPECT_EQ(p.rest_of[loop], -1) << loop;
    }
    // The generator's state has a home of its own, used at the inner depth.
    ASSERT_GE(p.random, 0);
    EXPECT_GE(p.homes[p.random].reg, 0);

    // A body without loops is the replayed loop's own innermost one.
    Body c;
    Symbol* z = c.var();
    c.op(T_ADD_I, z, z, c.k(1));
    NativePlan q = c.plan();
    EXPECT_EQ(q.chunk[c.translation().size], 8192);
    EXPECT_EQ(q.random, -1);
}

TEST(NativePlan, BlocksOnAPassToPassChainKeepTheirBranch) {
    // loop (n) { q = x / 2; e = x - q * 2; if (e == 0) { x = q; }; if (x > m) { m = x; }; }:
    // without a branch, x's next value would wait for the division and the
    // test; the maximum's test reads m itself, which costs no more.
    Body b;
    Symbol* x = b.var();
    Symbol* q = b.var();
    Symbol* e = b.var();
    Symbol* m = b.var();
    Symbol* n = b.var();
    void* t = b.temp();
    b.loop(n);
    b.op(T_DIV_I, q, x, b.k(2));
    b.op(T_MUL_I, t, q, b.k(2));
    b.op(T_SUB_I, e, x, t);
    int32_t halve = b.compare(T_EQ_II, e, b.k(0));
    b.op(T_MOVE_I, x, q);
    b.end();
    int32_t maximum = b.compare(T_GT_II, x, m);
    b.op(T_MOVE_I, m, x);
    b.end();
    b.end();
    NativePlan p = b.plan();
    EXPECT_EQ(p.form[halve], BlockForm::BRANCH);
    EXPECT_EQ(p.form[maximum], BlockForm::BRANCH_FREE);
}

TEST(NativePlan, ADivisionCountsForItsInstructionsInABranchFreeBlock) {
    // if (r == 11) { d = d + q / 1000; } runs without a branch; with two
    // more steps before it, it is too long to.
    Body b;
    Symbol* r = b.var();
    Symbol* q = b.var();
    Symbol* d = b.var();
    Symbol* c = b.var();
    void* t = b.temp();
    int32_t alone = b.compare(T_EQ_II, r, b.k(11));
    b.op(T_DIV_I, t, q, b.k(1000));
    b.op(T_ADD_I, d, d, t);
    b.end();
    int32_t longer = b.compare(T_EQ_II, r, b.k(10));
    b.step(T_INC_I, c);
    b.op(T_ADD_I, c, c, r);
    b.op(T_DIV_I, t, q, b.k(1000));
    b.op(T_ADD_I, d, d, t);
    b.end();
    NativePlan p = b.plan();
    EXPECT_EQ(p.form[alone], BlockForm::BRANCH_FREE);
    EXPECT_EQ(p.form[longer], BlockForm::BRANCH);
}

TEST(NativePlan, ABlockOfOnlyABreakJumpsToItsTarget) {
    Body b;
    Symbol* x = b.var();
    Symbol* n = b.var();
    b.loop(n);
    int32_t test = b.compare(T_GT_II, x, b.k(10));
    b.brk();
    b.end();
    // A longer block with a break still branches.
    int32_t longer = b.compare(T_EQ_II, x, b.k(3));
    b.step(T_INC_I, x);
    b.brk();
    b.end();
    b.step(T_INC_I, x);
    b.end();
    NativePlan p = b.plan();
    EXPECT_EQ(p.form[test], BlockForm::BREAK_ONLY);
    EXPECT_EQ(p.form[longer], BlockForm::BRANCH);
}

TEST(NativePlan, TestsOfADrawAgainstAConstantAreDecidedByItsRange) {
    // v = rand(top); if (v rel k) { w ++; } -- or k rel v: 1 always holds,
    // 0 never, -1 depends on the draw.
    const struct {
        bool real;
        double top;
        TranslatedCode code;
        double k;
        bool k_first;
        int outcome;
    } cases[] = {
        {false, 100, T_GT_II, 99, false, 0},
        {false, 100, T_GT_II, 98, false, -1},
        {false, 100, T_LT_II, 100, false, 1},
        {false, 100, T_GE_II, 0, false, 1},
        {false, 100, T_GT_II, 0, true, 0},
        {false, 100, T_GT_II, 0, false, -1},
        {false, 100, T_LT_II, 0, true, -1},
        {false, 100, T_GT_II, 100, true, 1},
        {false, 100, T_EQ_II, 50, false, -1},
        {false, 100, T_EQ_II, 100, false, 0},
        {false, 100, T_NE_II, -1, false, 1},
        {false, 1, T_EQ_II, 0, false, 1},
        {false, 0, T_NE_II, 0, false, 0},
        {false, -10, T_LE_II, 0, false, 1},
        {false, -10, T_LT_II, -9, false, 0},
        {false, -10, T_LT_II, -8, false, -1},
        {false, 65536, T_LT_II, 65536, false, 1},
        {false, 65537, T_LT_II, 65537, false, -1},  // the product may wrap
        {true, 1.0, T_GE_RR, 1.0, false, 0},
        {true, 1.0, T_LT_RR, 32767.0 / 32768, false, -1},
        {true, 1.0, T_LE_RR, 32767.0 / 32768, false, 1},
        {true, 2.5, T_GT_RR, 0.0, false, -1},
        {true, 2.5, T_LT_RR, 0.0, false, 0},
        {true, 2.5, T_EQ_RR, NAN, false, 0},
        {true, 2.5, T_NE_RR, NAN, false, 1},
        {true, -0.5, T_GT_RR, 0.0, false, 0},
        {true, INFINITY, T_GE_RR, 0.0, false, -1},  // 0 * inf is NaN
    };
    for (const auto& c : cases) {
        Body b;
        Symbol* v = b.var(c.real);
        Symbol* w = b.var();
        void* top = c.real ? b.real_k(c.top) : b.k(static_cast<int32_t>(c.top));
        void* k = c.real ? b.real_k(c.k) : b.k(static_cast<int32_t>(c.k));
        b.op(c.real ? T_RAND_R : T_RAND_I, v, top);
        int32_t test = c.k_first ? b.compare(c.code, k, v) : b.compare(c.code, v, k);
        b.step(T_INC_I, w);
        b.end();
        NativePlan p = b.plan();
        EXPECT_EQ(p.outcome[test], c.outcome) << c.top << " " << c.code << " " << c.k << " " << c.k_first;
        if (c.outcome >= 0) {
            // No test is made, so no jump comes from it: no label splits a run of draws.
            EXPECT_EQ(p.form[test], BlockForm::BRANCH);
            EXPECT_EQ(p.failed_to[test], -1);
        }
    }
}

TEST(NativePlan, ADrawDecidesOnlyTestsThatSeeItsValue) {
    // v = rand(100); then tests of v > 99 after a write to v, in a later
    // block after one closed, in an inner loop, inside a block that runs
    // without a branch, and of a draw made in a block: none is decided; one
    // straight after the draw, and a lone break, are.
    Body b;
    Symbol* v = b.var();
    Symbol* u = b.var();
    Symbol* n = b.var();
    void* hundred = b.k(100);
    void* top = b.k(99);
    b.op(T_RAND_I, v, hundred);
    int32_t straight = b.compare(T_GT_II, v, top);
    b.step(T_INC_I, u);
    b.end();
    b.loop(n);
    int32_t in_loop = b.compare(T_GT_II, v, top);
    b.step(T_INC_I, u);
    b.end();
    int32_t lone_break = b.compare(T_GT_II, v, top);
    b.brk();
    b.end();
    b.end();
    b.compare(T_GT_II, u, b.k(3));
    b.op(T_RAND_I, v, hundred);
    b.end();
    int32_t drawn_in_block = b.compare(T_GT_II, v, top);
    b.step(T_INC_I, u);
    b.end();
    b.op(T_RAND_I, v, hundred);
    b.step(T_INC_I, v);
    int32_t written = b.compare(T_GT_II, v, top);
    b.step(T_INC_I, u);
    b.end();
    NativePlan p = b.plan();
    EXPECT_EQ(p.outcome[straight], 0);
    EXPECT_EQ(p.outcome[in_loop], -1);
    EXPECT_EQ(p.outcome[lone_break], -1);
    EXPECT_EQ(p.outcome[drawn_in_block], -1);
    EXPECT_EQ(p.outcome[written], -1);
}

// Where each outcome of "v rel1 k1" sends the code before "v rel2 k2",
// when every value v may take is in values: the second block's test, its
// body, or past it (after).
struct Pair {
    TranslatedCode c1, c2;
    double k1, k2;
    bool swap1, swap2;  // "k rel v"
};
int32_t expected_target(const Pair& t, bool held, const std::vector<double>& values, int32_t two, int32_t after) {
    bool real = t.c1 >= T_EQ_RR;
    auto holds = [real](TranslatedCode c, bool swap, double x, double k) {
        auto rel = static_cast<Relation>(c - (real ? T_EQ_RR : T_EQ_II));
        return swap ? relation_holds(rel, k, x) : relation_holds(rel, x, k);
    };
    bool can_hold = false;
    bool can_fail = false;
    for (double x : values) {
        if (holds(t.c1, t.swap1, x, t.k1) != held) continue;
        (holds(t.c2, t.swap2, x, t.k2) ? can_hold : can_fail) = true;
    }
    return !can_hold ? after : !can_fail ? two + 1 : two;
}

TEST(NativePlan, ATestDecidesLaterTestsOfTheSameValue) {
    // if (v rel1 k1) { print }; if (v rel2 k2) { print }; y++: for every pair
    // of relations, either way round, and constants at the edges, integers
    // and reals, where each outcome of the first test sends the code,
    // against every value near the constants, the ends of the range and NaN.
    const double ints[] = {INT32_MIN, -1, 0, 1, 2, INT32_MAX};
    const double inf = std::numeric_limits<double>::infinity();
    const double reals[] = {-inf, -1.5, -0.0, 0.0, 1.0, 0x1p-1074, inf};
    for (bool real : {false, true}) {
        std::vector<double> constants(real ? std::begin(reals) : std::begin(ints),
                                      real ? std::end(reals) : std::end(ints));
        std::vector<double> values;
        if (real) {
            values = {-inf, inf, std::nan(""), -0x1p1000, 0x1p1000};
            for (double k : constants)
                for (double x : {std::nextafter(k, -inf), k, std::nextafter(k, inf), k - 0.25, k + 0.25})
                    values.push_back(x);
        } else {
            for (double k : constants)
                for (double x = std::max(k - 3, double{INT32_MIN}); x <= std::min(k + 3, double{INT32_MAX}); ++x)
                    values.push_back(x);
        }
        TranslatedCode first = real ? T_EQ_RR : T_EQ_II;
        int checked = 0;
        int decided[2] = {0, 0};
        for (int code1 = first; code1 <= first + 5; ++code1)
            for (int code2 = first; code2 <= first + 5; ++code2)
                for (double k1 : constants)
                    for (double k2 : constants)
                        for (int order = 0; order < 4; ++order) {
                            Pair pair{static_cast<TranslatedCode>(code1),
                                      static_cast<TranslatedCode>(code2),
                                      k1,
                                      k2,
                                      (order & 1) != 0,
                                      (order & 2) != 0};
                            Body b;
                            Symbol* v = b.var(real);
                            Symbol* y = b.var();
                            auto block = [&](TranslatedCode c, double k, bool swap) {
                                void* constant = real ? b.real_k(k) : b.k(static_cast<int32_t>(k));
                                int32_t i = swap ? b.compare(c, constant, v) : b.compare(c, v, constant);
                                b.print(y);
                                b.end();
                                return i;
                            };
                            int32_t one = block(pair.c1, k1, pair.swap1);
                            int32_t two = block(pair.c2, k2, pair.swap2);
                            int32_t after = b.step(T_INC_I, y);
                            NativePlan p = b.plan();
                            ASSERT_EQ(p.form[one], BlockForm::BRANCH);
                            for (bool held : {true, false}) {
                                int32_t expected = expected_target(pair, held, values, two, after);
                                int32_t to = held ? p.held_to[two] : p.failed_to[one];
                                if (held && to < 0) to = two;
                                EXPECT_EQ(to, expected) << code1 << " " << k1 << " then " << code2 << " " << k2
                                                        << " order " << order << (held ? " held" : " failed");
                                decided[held] += expected != two;
                                ++checked;
                            }
                        }
        // Both ways decide a good share: e == 0 held rules out e == 1, c < 3
        // failed rules out c < 2.
        EXPECT_GT(decided[true], checked / 8) << real;
        EXPECT_GT(decided[false], checked / 8) << real;
    }
}

TEST(NativePlan, OnlyAnUnchangedValueDecidesAndOnlyAcrossBlocksWithoutCode) {
    Body b;
    Symbol* e = b.var();
    Symbol* x = b.var();
    Symbol* q = b.var();
    void* t = b.temp();
    void* u = b.temp();
    // if (a code b) { ...; print(x) }, which branches.
    auto block = [&](TranslatedCode code, void* a, int32_t k) {
        int32_t i = b.compare(code, a, b.k(k));
        b.print(x);
        b.end();
        return i;
    };
    // if (e == 0) { x = q; }; if (e == 1) { }: the first's end jumps past
    // the second, and into the next block, whose test e < 3 holds.
    int32_t even = b.compare(T_EQ_II, e, b.k(0));
    b.op(T_MOVE_I, x, q);
    b.print(x);
    b.end();
    int32_t odd = block(T_EQ_II, e, 1);
    // if (e < 3) { e = e + 1; }; if (e < 2) { }: e written in the block, so
    // only its failure decides (e >= 3: e < 2 fails).
    int32_t written = b.compare(T_LT_II, e, b.k(3));
    b.op(T_ADD_I, e, e, b.k(1));
    b.print(x);
    b.end();
    int32_t open = block(T_LT_II, e, 2);
    // if (e > 9) { }; x = x + 1; if (e > 5) { }: code between.
    int32_t apart = block(T_GT_II, e, 9);
    int32_t between = b.op(T_ADD_I, x, x, b.k(1));
    block(T_GT_II, e, 5);
    // t = x / 3, compared twice, and once more as its repeat u = x / 3:
    // if (t == 4) { }; if (t > 2) { }; if (u < 0) { }: held, the first goes
    // into the second's block, and the second past the third, over the
    // repeat, which leaves no code.
    b.op(T_DIV_I, t, x, b.k(3));
    int32_t quotient = block(T_EQ_II, t, 4);
    int32_t larger = block(T_GT_II, t, 2);
    b.op(T_DIV_I, u, x, b.k(3));
    int32_t repeat = block(T_LT_II, u, 0);
    // if (q == 1) { if (q > 0) { } }; if (q == 2) { }: the outer test holds
    // wherever the inner block, ending with it, ends, and decides the test
    // after both; the inner one's failure does too.
    int32_t outer = b.compare(T_EQ_II, q, b.k(1));
    int32_t inner = block(T_GT_II, q, 0);
    b.end();
    int32_t last = block(T_EQ_II, q, 2);
    int32_t tail = b.step(T_INC_I, x);
    NativePlan p = b.plan();

    EXPECT_EQ(p.held_to[odd], written + 1);
    EXPECT_EQ(p.failed_to[even], odd);  // e != 0 says nothing of e == 1
    EXPECT_EQ(p.held_to[open], -1);
    EXPECT_EQ(p.failed_to[written], apart);
    EXPECT_EQ(p.failed_to[open], apart);
    EXPECT_EQ(p.held_to[between], -1);
    EXPECT_EQ(p.failed_to[apart], between);
    EXPECT_TRUE(p.folded[repeat - 1]);
    EXPECT_EQ(p.held_to[larger], larger + 1);
    EXPECT_EQ(p.failed_to[quotient], larger);
    EXPECT_EQ(p.failed_to[larger], repeat - 1);  // t <= 2 leaves u < 0 open
    EXPECT_EQ(p.held_to[repeat - 1], outer);
    EXPECT_EQ(p.held_to[last], tail);
    EXPECT_EQ(p.failed_to[inner], tail);  // q <= 0
    EXPECT_EQ(p.failed_to[outer], last);
}

TEST(NativePlan, DeclinesWhatNativeCodeDoesNotHandle) {
    // One temporary written as an integer and read as a real.
    Body b;
    Symbol* x = b.var();
    Symbol* r = b.var(true);
    void* t = b.temp();
    b.op(T_ADD_I, t, x, x);
    b.op(T_ADD_R, r, t, r);
    NativePlan p;
    EXPECT_FALSE(make_native_plan(b.translation(), X86_64_SYSV.target, p));
}

// The machine's own emitter.
#if defined(RILL_NATIVE) && defined(__aarch64__)
constexpr const NativeTarget& MACHINE = AARCH64_TARGET;
CompiledLoop compile_for_machine(const Translation& t, const NativePlan& p) {
    return compile_aarch64(t, p);
}
#elif defined(RILL_NATIVE)
constexpr const NativeTarget& MACHINE = X86_64_TARGET;
CompiledLoop compile_for_machine(const Translation& t, const NativePlan& p) {
    return compile_x86_64(t, p);
}
#endif

#ifdef RILL_NATIVE
TEST(NativeEmitter, DeclinesAPlanWhosePromiseDoesNotHold) {
    // A branch-free block whose variable has no register: the plan would
    // never say so, and the emitter refuses rather than emit it.
    Body b;
    Symbol* x = b.var();
    int32_t test = b.compare(T_LT_II, x, b.k(5));
    int32_t add = b.op(T_ADD_I, x, x, b.k(1));
    b.end();
    NativePlan p = b.plan(MACHINE);
    ASSERT_EQ(p.form[test], BlockForm::BRANCH_FREE);
    EXPECT_NE(compile_for_machine(b.translation(), p), nullptr);
    NativePlan broken = b.plan(MACHINE);
    NativeHome& h = broken.homes[broken.home_of.at(&x->value)];
    h.reg = -1;
    h.disp = broken.spill_base;
    EXPECT_EQ(compile_for_machine(b.translation(), broken), nullptr);
    EXPECT_EQ(broken.guard[add], Guard::OUTER);
}
#endif

#ifdef RILL_KEPT_REGISTERS
// What a call of loop changed of the registers a callee keeps under the
// convention native code follows, by name.
std::vector<std::string> changed_by(CompiledLoop loop, int32_t count) {
    KeptRegisters before{};
    KeptRegisters after{};
    for (uint64_t i = 0; i < 8; ++i) before.gp[i] = 0x0123456789abcdefU ^ (i * 0x1111111111111111U);
    for (uint64_t i = 0; i < 10; ++i) before.xmm[i][0] = before.xmm[i][1] = ~before.gp[i % 8] + i;
    rill_call_with_kept(loop, count, &before, &after);
    static const char* const GP[] = {"rbx", "rbp", "r12", "r13", "r14", "r15", "rsi", "rdi"};
    bool win64 = X86_64_CONVENTION.xmm_kept < 16;
    std::vector<std::string> changed;
    for (int i = 0; i < (win64 ? 8 : 6); ++i)
        if (before.gp[i] != after.gp[i]) changed.emplace_back(GP[i]);
    for (int i = 0; win64 && i < 10; ++i)
        if (std::memcmp(before.xmm[i], after.xmm[i], sizeof before.xmm[i]) != 0)
            changed.push_back("xmm" + std::to_string(6 + i));
    if (after.rsp_after != after.rsp_at_call) changed.emplace_back("rsp");
    return changed;
}

TEST(NativeEmitter, KeepsTheRegistersItsConventionSaysACalleeKeeps) {
    // The check, checked: a stand-in that clears rbx, rsi and xmm9.
    std::vector<std::string> clobbered = {"rbx"};
    if (X86_64_CONVENTION.xmm_kept < 16) clobbered = {"rbx", "rsi", "xmm9"};
    EXPECT_EQ(changed_by(rill_clobbering_loop, 1), clobbered);

    // Every home register in use, spills, a call out each pass; then a
    // frame of several pages.
    for (int vars : {40, 1200}) {
        Body b;
        std::vector<Symbol*> v;
        for (int i = 0; i < vars; ++i) v.push_back(b.var(i % 2 == 1));
        for (Symbol* x : v) x->type ? b.op(T_ADD_R, x, x, b.real_k(0.5)) : b.op(T_ADD_I, x, x, b.k(1));
        b.step(T_FPRINT_VAR, v[0]);
        NativePlan p = b.plan(MACHINE);
        EXPECT_EQ(p.frame > 4096, vars > 1000);
        CompiledLoop loop = compile_for_machine(b.translation(), p);
        ASSERT_NE(loop, nullptr);
        FILE* out = std::fopen("kept_registers.out", "w+b");
        ASSERT_NE(out, nullptr);
        FILE* saved = machine.output;
        machine.output = out;
        EXPECT_TRUE(changed_by(loop, 3).empty()) << vars;
        machine.output = saved;
        char printed[8] = {};
        std::rewind(out);
        EXPECT_EQ(std::fread(printed, 1, sizeof printed - 1, out), 3U);
        EXPECT_STREQ(printed, "123");
        std::fclose(out);
        std::remove("kept_registers.out");
        for (Symbol* x : v) {
            if (x->type)
                EXPECT_EQ(x->value.real, 1.5);
            else
                EXPECT_EQ(x->value.integer, 3);
        }
    }
}
#endif

}  // namespace
