// The AArch64 emitter: writes a translated loop body's code in one pass with
// asmjit's assembler, as its NativePlan says (native/plan.h), the same
// plan the x86-64 emitter reads; this file only chooses instructions.
//
// A load-store machine: an operand in a frame slot or the constant pool is
// loaded into a scratch register first, and a result whose home is a frame
// slot is stored after. Variables are loaded on entry and written back to
// their Symbols wherever other code can see them, as on x86-64.
//
// Where the instructions differ from effects.h, the code makes up for it:
// sdiv does not trap, so a zero divisor is tested (INT32_MIN / -1 already
// wraps there); fcvtzs saturates, so a real at or above 2^63 is mapped to 0
// as real_to_int does; fcmp sets C and V for an unordered pair, so the
// relations read conditions that fail on a NaN ("=!" alone holds).
#include "native/aarch64.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

#include <asmjit/core.h>
#include <asmjit/arm.h>
#include <asmjit/arm/a64assembler.h>

#include "errors/errors.h"
#include "engine/effects.h"
#include "native/emitter.h"
#include "engine/machine.h"

namespace {

using namespace asmjit;
using arm::CondCode;
using arm::GpW;
using arm::GpX;
using arm::VecD;

// The registers that hold homes, callee-saved first, by number. x0 (calls'
// argument and result), x8 to x11, x15, x16 and x17 are scratch; x18 is the
// platform's.
constexpr uint32_t GP_POOL[] = {19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 1, 2, 3, 4, 5, 6, 7, 12, 13, 14};
constexpr uint32_t FP_POOL[] = {8, 9, 10, 11, 12, 13, 14, 15, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
static_assert(sizeof GP_POOL / sizeof GP_POOL[0] == AARCH64_TARGET.gp_count);
static_assert(sizeof FP_POOL / sizeof FP_POOL[0] == AARCH64_TARGET.fp_count);
constexpr int32_t ENTRY = AARCH64_TARGET.entry_bytes;

// Scratch: three operands, the tests of a branch-free block (the outer, and
// the outer and the nested one together), an address, a far frame slot.
const GpW S0 = a64::w9;
const GpW S1 = a64::w10;
const GpW S2 = a64::w15;
const GpW OUTER = a64::w11;
const GpW INNER = a64::w8;
const GpX ADDRESS = a64::x16;
const GpX FAR_SLOT = a64::x17;
const VecD F0 = a64::d16;
const VecD F1 = a64::d17;

// Frame slots up to this offset are reached straight from sp by every load
// and store the emitter uses (a 32-bit one scales its 12-bit offset by 4).
constexpr int32_t NEAR_SLOTS = 4095 * 4;

class Compiler : public NativeEmitter<Compiler, a64::Assembler> {
public:
    using NativeEmitter::NativeEmitter;

private:
    friend NativeEmitter;

    void loop_body_start() {}
    void emit_jump(const Label& to) { a_.b(to); }

    // The register that holds 1 when the guarding test holds.
    GpW condition() const { return guard_ == Guard::INNER ? INNER : OUTER; }

    // The condition under which a guarded write of a block takes effect,
    // while the flags still say it: a branch-free block's comparison sets
    // them, and so does the test of its condition register. Only
    // comparisons and int_of_real set flags among what a block holds.
    Guard flags_guard_ = Guard::NONE;
    CondCode flags_cc_ = CondCode::kNE;
    bool outer_set_ = true;  // whether OUTER was set by the open branch-free block

    void hold_flags(Guard g, CondCode cc) {
        flags_guard_ = g;
        flags_cc_ = cc;
    }
    void lose_flags() { flags_guard_ = Guard::NONE; }

    // Whether the branch-free block of the comparison at i needs its test
    // in OUTER: a nested block combines it, and a conversion to an integer
    // changes the flags before a later write.
    bool needs_outer(int32_t i) const {
        for (int32_t k = i + 1; k < t_.ops[i].jump; ++k) {
            if (p_.hoisted_home[k] >= 0 || p_.folded[k]) continue;
            OpKind kind = shape_of(t_.ops[k].code).kind;
            if (kind == OpKind::COMPARE || kind == OpKind::INT_OF_REAL) return true;
        }
        return false;
    }

    static GpW w_of(const Home& h) { return GpW(GP_POOL[h.reg]); }
    static GpX x_of(const Home& h) { return GpX(GP_POOL[h.reg]); }
    static VecD d_of(const Home& h) { return VecD(FP_POOL[h.reg]); }

    // A frame slot's address. A far slot is reached through FAR_SLOT, so the
    // operand must be used before the next call.
    a64::Mem frame(int32_t disp) {
        if (disp <= NEAR_SLOTS) return a64::ptr(a64::sp, disp);
        a_.add(FAR_SLOT, a64::sp, imm(disp & ~0xfff));
        return a64::ptr(FAR_SLOT, disp & 0xfff);
    }

    // An integer operand in a register: its home's, or scratch loaded with it.
    GpW int_src(Place place, const void* slot, const GpW& scratch) {
        if (place == Place::CONST) {
            a_.mov(scratch, imm(*static_cast<const int32_t*>(slot)));
            return scratch;
        }
        return int_in(source_home(place, slot), scratch);
    }

    GpW int_in(const Home& h, const GpW& scratch) {
        if (h.reg >= 0) return w_of(h);
        a_.ldr(scratch, frame(h.disp));
        return scratch;
    }

    VecD real_src(Place place, const void* slot, const VecD& scratch) {
        if (place == Place::CONST) {
            if (const Home* h = constant_register(slot)) return d_of(*h);
            load_constant(scratch, *static_cast<const double*>(slot));
            return scratch;
        }
        return real_in(source_home(place, slot), scratch);
    }

    VecD real_in(const Home& h, const VecD& scratch) {
        if (h.reg >= 0) return d_of(h);
        a_.ldr(scratch, frame(h.disp));
        return scratch;
    }

    // The register a result for h is computed in: h's own, or scratch.
    static GpW int_out(const Home& h, const GpW& scratch) { return h.reg >= 0 ? w_of(h) : scratch; }
    static VecD real_out(const Home& h, const VecD& scratch) { return h.reg >= 0 ? d_of(h) : scratch; }

    // h = r.
    void put_int(const Home& h, const GpW& r) {
        if (h.reg < 0)
            a_.str(r, frame(h.disp));
        else if (w_of(h).id() != r.id())
            a_.mov(w_of(h), r);
    }

    void put_real(const Home& h, const VecD& r) {
        if (h.reg < 0)
            a_.str(r, frame(h.disp));
        else if (d_of(h).id() != r.id())
            a_.fmov(d_of(h), r);
    }

    void load_constant(const VecD& r, double x) { a_.ldr(r, a64::ptr(pooled(bits_of(x)))); }

    template <typename T>
    void load_address(const GpX& r, T* p) {
        a_.mov(r, imm(reinterpret_cast<uint64_t>(p)));
    }

    // Whether op writes a variable inside a block run without a branch.
    bool guarded(const TranslatedOp& op) const { return guard_ != Guard::NONE && op.pd == Place::VAR; }

    // d = value, or, inside a block run without a branch, d = value only
    // when the block's test holds. Temporaries die with their statement, so
    // they are written either way.
    void set_int(const TranslatedOp& op, const Home& d, const GpW& value) {
        if (!guarded(op)) {
            put_int(d, value);
            return;
        }
        guarded_move(d, value);
    }

    // d = value when the block's test holds: on the flags where they still
    // say it, else on the test's register.
    void guarded_move(const Home& d, const GpW& value) {
        expect(d.reg >= 0);
        if (d.reg < 0) return;
        if (flags_guard_ != guard_) {
            expect(guard_ == Guard::INNER || outer_set_);
            a_.cmp(condition(), imm(0));
            hold_flags(guard_, CondCode::kNE);
        }
        a_.csel(w_of(d), value, w_of(d), imm(static_cast<uint32_t>(flags_cc_)));
    }

    // A variable between its Symbol and its home.
    void load(const Home& h) {
        load_address(ADDRESS, h.slot);
        if (h.real) {
            VecD r = real_out(h, F0);
            a_.ldr(r, a64::ptr(ADDRESS));
            put_real(h, r);
        } else {
            GpW r = int_out(h, S0);
            a_.ldr(r, a64::ptr(ADDRESS));
            put_int(h, r);
        }
    }

    void write_back(const Home& h) {
        load_address(ADDRESS, h.slot);
        if (h.real)
            a_.str(real_in(h, F0), a64::ptr(ADDRESS));
        else
            a_.str(int_in(h, S0), a64::ptr(ADDRESS));
    }

    void write_back_all() {
        for (const Home& h : p_.homes)
            if (h.slot) write_back(h);
    }

    // sp moves by the frame in two steps, each an immediate sub or add takes.
    void move_sp(bool down) {
        for (int32_t part : {p_.frame & ~0xfff, p_.frame & 0xfff}) {
            if (part == 0) continue;
            if (down)
                a_.sub(a64::sp, a64::sp, imm(part));
            else
                a_.add(a64::sp, a64::sp, imm(part));
        }
    }

    void prologue() {
        static_assert(ENTRY == 16 + 8 * 10 + 8 * 8);
        a_.stp(a64::x29, a64::x30, a64::ptr_pre(a64::sp, -ENTRY));
        a_.mov(a64::x29, a64::sp);
        for (uint32_t r = 19; r < 29; r += 2)
            a_.stp(GpX(r), GpX(r + 1), a64::ptr(a64::sp, static_cast<int32_t>(16 + 8 * (r - 19))));
        for (uint32_t r = 8; r < 16; r += 2)
            a_.stp(VecD(r), VecD(r + 1), a64::ptr(a64::sp, static_cast<int32_t>(96 + 8 * (r - 8))));
        move_sp(true);
        put_int(passes_home(t_.size), a64::w0);
        for (const Home& h : p_.homes)
            if (h.slot) load(h);
        for (const auto& [bits, h] : p_.constant_home) a_.ldr(d_of(p_.homes[h]), a64::ptr(pooled(bits)));
        const Home& flag = p_.homes[p_.interrupt];
        expect(flag.wide);
        load_address(ADDRESS, &interrupt_signal);
        if (flag.reg >= 0)
            a_.mov(x_of(flag), ADDRESS);
        else
            a_.str(ADDRESS, frame(flag.disp));
        if (chunked(t_.size)) start_chunk(t_.size);
    }

    void epilogue() {
        move_sp(false);
        for (uint32_t r = 8; r < 16; r += 2)
            a_.ldp(VecD(r), VecD(r + 1), a64::ptr(a64::sp, static_cast<int32_t>(96 + 8 * (r - 8))));
        for (uint32_t r = 19; r < 29; r += 2)
            a_.ldp(GpX(r), GpX(r + 1), a64::ptr(a64::sp, static_cast<int32_t>(16 + 8 * (r - 19))));
        a_.ldp(a64::x29, a64::x30, a64::ptr_post(a64::sp, ENTRY));
        a_.ret(a64::x30);
    }

    // Calls keep the homes in caller-saved registers in the save area.
    void save() {
        for (int32_t i = AARCH64_TARGET.gp_callee_saved; i < p_.gp_used; ++i)
            if (live_gp(i)) a_.str(GpX(GP_POOL[i]), frame(p_.save_gp(AARCH64_TARGET, i)));
        for (int32_t i = AARCH64_TARGET.fp_callee_saved; i < p_.fp_used; ++i)
            if (live_fp(i)) a_.str(VecD(FP_POOL[i]), frame(p_.save_fp(AARCH64_TARGET, i)));
    }

    void restore() {
        for (int32_t i = AARCH64_TARGET.gp_callee_saved; i < p_.gp_used; ++i)
            if (live_gp(i)) a_.ldr(GpX(GP_POOL[i]), frame(p_.save_gp(AARCH64_TARGET, i)));
        for (int32_t i = AARCH64_TARGET.fp_callee_saved; i < p_.fp_used; ++i)
            if (live_fp(i)) a_.ldr(VecD(FP_POOL[i]), frame(p_.save_fp(AARCH64_TARGET, i)));
    }

    template <typename F>
    void call(F* f) {
        load_address(ADDRESS, f);
        a_.blr(ADDRESS);
        lose_flags();
    }

    // A FILE* global's current value into x0: stdout, or the file-print stream.
    void stream(bool file) {
        if (file)
            load_address(ADDRESS, &machine.output);
        else
            load_address(ADDRESS, &stdout);
        a_.ldr(a64::x0, a64::ptr(ADDRESS));
    }

    void emit_int_arith(const TranslatedOp& op, Arith arith) {
        const Home& d = dest_home(op);
        if (arith == Arith::DIV) {
            emit_division(op, d);  // it reads its operands as it needs them
            return;
        }
        GpW x = int_src(op.pa, op.a, S0);
        GpW r = guarded(op) ? S0 : int_out(d, S0);
        int32_t k = op.pb == Place::CONST ? *static_cast<const int32_t*>(op.b) : 0;
        // A small constant is an immediate operand; subtracting k is adding -k.
        bool immediate = op.pb == Place::CONST && k >= -4095 && k <= 4095;
        switch (arith) {
        case Arith::ADD:
        case Arith::SUB:
            if (immediate) {
                if (arith == Arith::SUB) k = -k;
                if (k >= 0)
                    a_.add(r, x, imm(k));
                else
                    a_.sub(r, x, imm(-k));
            } else if (arith == Arith::ADD) {
                a_.add(r, x, int_src(op.pb, op.b, S1));
            } else {
                a_.sub(r, x, int_src(op.pb, op.b, S1));
            }
            break;
        case Arith::MUL:
            if (op.pb == Place::CONST && multiply_by_shift(r, x, k)) break;
            a_.mul(r, x, int_src(op.pb, op.b, S1));
            break;
        case Arith::DIV: break;  // above
        }
        set_int(op, d, r);
    }

    // r = x * k in one shift, or one add of x shifted, where k is 2^s or
    // 2^s + 1 (the low 32 bits of a product do not depend on how it is
    // formed); false, with nothing written, for any other k.
    bool multiply_by_shift(const GpW& r, const GpW& x, int32_t k) {
        uint32_t u = static_cast<uint32_t>(k);
        if (std::has_single_bit(u)) {
            a_.lsl(r, x, imm(std::countr_zero(u)));
            return true;
        }
        if (u > 2 && std::has_single_bit(u - 1)) {
            a_.add(r, x, x, arm::lsl(static_cast<uint32_t>(std::countr_zero(u - 1))));
            return true;
        }
        return false;
    }

    // wrap_div: a zero divisor stops the run. sdiv gives INT32_MIN for
    // INT32_MIN / -1, as wrap_div does, and never traps.
    void emit_division(const TranslatedOp& op, const Home& d) {
        GpW q = guarded(op) ? S0 : int_out(d, S0);
        if (op.pb != Place::CONST) {
            GpW y = int_src(op.pb, op.b, S1);
            a_.cbz(y, stub(op.at));
            a_.sdiv(q, int_src(op.pa, op.a, S0), y);
            set_int(op, d, q);
            return;
        }
        int32_t k = *static_cast<const int32_t*>(op.b);
        if (k == 0) {
            a_.b(stub(op.at));
            return;
        }
        if (op.pa == Place::CONST) {
            // Both constant: the quotient is known now.
            a_.mov(S0, imm(int_arith(Arith::DIV, *static_cast<const int32_t*>(op.a), k)));
            set_int(op, d, S0);
            return;
        }
        GpW n = int_src(op.pa, op.a, S2);
        if (k == 1) {
            set_int(op, d, n);
        } else if (k == -1) {
            a_.neg(q, n);
            set_int(op, d, q);
        } else if (k > 1 && std::has_single_bit(static_cast<uint32_t>(k))) {
            divide_by_power_of_two(n, std::countr_zero(static_cast<uint32_t>(k)), q);
            set_int(op, d, q);
        } else if (k > 1) {
            divide_by_constant(n, division_magic(k), q);
            set_int(op, d, q);
        } else {
            a_.mov(S1, imm(k));
            a_.sdiv(q, n, S1);
            set_int(op, d, q);
        }
    }

    // divide_by_magic, step for step; n is read before q is written.
    void divide_by_constant(const GpW& n, DivisionMagic m, const GpW& q) {
        a_.mov(S1, imm(m.magic));
        a_.smull(S0.x(), n, S1);
        if (m.magic < 0) {
            a_.asr(S0.x(), S0.x(), imm(32));
            a_.add(S0, S0, n);
            if (m.shift) a_.asr(S0, S0, imm(m.shift));
        } else {
            a_.asr(S0.x(), S0.x(), imm(32 + m.shift));
        }
        a_.lsr(S1, n, imm(31));
        a_.add(q, S0, S1);
    }

    // divide_by_power_of_two: a negative n raised by 2^shift - 1, then
    // shifted; n is read before q is written.
    void divide_by_power_of_two(const GpW& n, int shift, const GpW& q) {
        if (shift == 1) {
            a_.add(S1, n, n, arm::lsr(31));  // the sign bit is the 1 a negative n is raised by
        } else {
            a_.asr(S1, n, imm(31));
            a_.add(S1, n, S1, arm::lsr(static_cast<uint32_t>(32 - shift)));
        }
        a_.asr(q, S1, imm(shift));
    }

    // d = x op y, the first operand first, which decides the sign of a NaN
    // when both are NaNs.
    void emit_real_arith(const TranslatedOp& op, Arith arith) {
        const Home& d = dest_home(op);
        VecD x = real_src(op.pa, op.a, F0);
        VecD y = real_src(op.pb, op.b, F1);
        VecD r = real_out(d, F0);
        switch (arith) {
        case Arith::ADD: a_.fadd(r, x, y); break;
        case Arith::SUB: a_.fsub(r, x, y); break;
        case Arith::MUL: a_.fmul(r, x, y); break;
        case Arith::DIV: a_.fdiv(r, x, y); break;
        }
        put_real(d, r);
    }

    static Relation relation(TranslatedCode c) {
        return static_cast<Relation>(c >= T_EQ_RR ? c - T_EQ_RR : c - T_EQ_II);
    }

    // The flags of a comparison: the left operand against the right.
    void compare_flags(const TranslatedOp& op) {
        lose_flags();
        if (op.code >= T_EQ_RR) {
            VecD x = real_src(op.pa, op.a, F0);
            a_.fcmp(x, real_src(op.pb, op.b, F1));
            return;
        }
        GpW x = int_src(op.pa, op.a, S0);
        int32_t k = op.pb == Place::CONST ? *static_cast<const int32_t*>(op.b) : 0;
        if (op.pb == Place::CONST && k >= 0 && k <= 4095)
            a_.cmp(x, imm(k));
        else if (op.pb == Place::CONST && k < 0 && k >= -4095)
            a_.cmn(x, imm(-k));
        else
            a_.cmp(x, int_src(op.pb, op.b, S1));
    }

    // The condition under which the comparison holds, by Relation. fcmp
    // leaves an unordered pair with N and Z clear and C and V set: the
    // conditions of the reals all fail on it but NE, and so do those of
    // the integers for LE and GE; LT and LE of reals read MI and LS.
    static CondCode holds(TranslatedCode c) {
        static constexpr CondCode int_holds[] = {CondCode::kEQ, CondCode::kNE, CondCode::kLE,
                                                 CondCode::kGE, CondCode::kLT, CondCode::kGT};
        static constexpr CondCode real_holds[] = {CondCode::kEQ, CondCode::kNE, CondCode::kLS,
                                                  CondCode::kGE, CondCode::kMI, CondCode::kGT};
        size_t rel = static_cast<size_t>(relation(c));
        return c >= T_EQ_RR ? real_holds[rel] : int_holds[rel];
    }

    void set_when_holds(TranslatedCode c, const GpW& r) { a_.cset(r, imm(static_cast<uint32_t>(holds(c)))); }

    // A comparison and its block, in the form the plan chose.
    void emit_compare(const TranslatedOp& op, int32_t i) {
        // An integer tested for being 0 or not, to jump: cbz or cbnz alone.
        bool jumps = p_.form[i] == BlockForm::BRANCH || p_.form[i] == BlockForm::BREAK_ONLY;
        if (jumps && (op.code == T_EQ_II || op.code == T_NE_II) && op.pb == Place::CONST &&
            *static_cast<const int32_t*>(op.b) == 0) {
            GpW x = int_src(op.pa, op.a, S0);
            bool on_zero = (op.code == T_EQ_II) == (p_.form[i] == BlockForm::BREAK_ONLY);
            const Label& to = p_.form[i] == BlockForm::BREAK_ONLY ? break_target() : labels_[op.jump];
            if (p_.form[i] == BlockForm::BREAK_ONLY) expect(t_.ops[i + 1].code == T_BREAK && op.jump == i + 2);
            if (on_zero)
                a_.cbz(x, to);
            else
                a_.cbnz(x, to);
            return;
        }
        compare_flags(op);
        switch (p_.form[i]) {
        case BlockForm::BREAK_ONLY:
            expect(t_.ops[i + 1].code == T_BREAK && op.jump == i + 2);
            a_.b(holds(op.code), break_target());
            break;
        case BlockForm::NESTED:
            set_when_holds(op.code, INNER);
            a_.ands(INNER, INNER, OUTER);
            hold_flags(Guard::INNER, CondCode::kNE);
            break;
        case BlockForm::BRANCH_FREE:
            outer_set_ = needs_outer(i);
            if (outer_set_) set_when_holds(op.code, OUTER);
            hold_flags(Guard::OUTER, holds(op.code));
            break;
        case BlockForm::BRANCH: a_.b(arm::negateCond(holds(op.code)), labels_[p_.failed_to[i]]); break;
        case BlockForm::NONE: expect(false); break;
        }
    }

    // real_to_int into S0: fcvtzs truncates through 64 bits and gives 0 for
    // a NaN, but saturates out of range; the low 32 bits of INT64_MIN are
    // 0 already, and INT64_MAX (which no real below 2^63 gives) becomes 0.
    void int_of_real(const VecD& x) {
        a_.fcvtzs(S0.x(), x);
        a_.adds(S1.x(), S0.x(), imm(1));
        lose_flags();
        a_.csel(S0, a64::wzr, S0, imm(static_cast<uint32_t>(CondCode::kVS)));
    }

    // The random generator's state n steps on from its home, by one
    // multiply and add: into the home when keep, and the draw it gives (as
    // draw_random would) in S0 when drawing. Inline, so that no call saves
    // and restores the registers. One ubfx takes the draw out of any
    // place, so a draw is never left high.
    void step_random(int32_t n, bool keep, bool drawing, bool /*high*/) {
        auto [mul, inc] = random_steps(n);
        const Home& h = p_.homes[p_.random];
        GpW state = int_in(h, S0);
        GpW to = keep ? state : S0;
        a_.mov(S1, imm(mul));
        a_.mov(S2, imm(inc));
        a_.madd(to, state, S1, S2);
        if (keep) put_int(h, to);
        if (drawing) a_.ubfx(S0, to, imm(16), imm(15));
    }

    void call_print_text(bool file, const void* text) {
        save();
        stream(file);
        load_address(a64::x1, text);
        call(print_text);
        restore();
    }

    void call_print_value(bool file, const Symbol* sym) {
        if (const Home* h = variable_of(sym)) write_back(*h);
        save();
        stream(file);
        load_address(a64::x1, sym);
        call(print_value);
        restore();
    }

    void call_print_newline(bool file) {
        save();
        stream(file);
        call(print_newline);
        restore();
    }

    // A read that finds no number leaves the variable as it was, so it is
    // written back first, and loaded again after.
    void call_read_input(const Symbol* sym) {
        const Home* h = variable_of(sym);
        if (h) write_back(*h);
        save();
        load_address(a64::x0, sym);
        call(read_input);
        restore();
        if (h) load(*h);
        poll_interrupt();  // Ctrl-C at a session's prompt stops the loop
    }

    void emit_loop_start(const TranslatedOp& op, int32_t i) {
        lose_flags();
        const Home& passes = passes_home(i);
        GpW n = S0;
        if (op.code == T_LOOP_R)
            int_of_real(real_src(op.pa, op.a, F0));
        else
            n = int_src(op.pa, op.a, S0);
        put_int(passes, n);
        a_.cmp(n, imm(0));
        a_.b(CondCode::kLE, labels_[op.jump + 1]);  // no pass
        if (chunked(i)) start_chunk(i);
    }

    // The counter of loop counts down its next chunk: the passes left, up
    // to the chunk's size, taken from them. Some pass is left.
    void start_chunk(int32_t loop) {
        lose_flags();
        chunk_labels_[loop] = a_.newLabel();
        a_.bind(chunk_labels_[loop]);
        const Home& left = p_.homes[p_.rest_of[loop]];
        GpW rest = int_in(left, S1);
        a_.mov(S0, imm(p_.chunk[loop]));
        a_.cmp(rest, S0);
        a_.csel(S0, rest, S0, imm(static_cast<uint32_t>(CondCode::kLT)));
        a_.sub(rest, rest, S0);
        put_int(left, rest);
        put_int(p_.homes[p_.counter_of[loop]], S0);
    }

    // A safe point: an interrupt waiting leaves the loop through its stub.
    void poll_interrupt() {
        if (!interrupted_.isValid()) interrupted_ = a_.newLabel();
        const Home& flag = p_.homes[p_.interrupt];
        GpX address = ADDRESS;
        if (flag.reg >= 0)
            address = x_of(flag);
        else
            a_.ldr(ADDRESS, frame(flag.disp));
        a_.ldr(S0, a64::ptr(address));
        a_.cbnz(S0, interrupted_);
    }

    void emit_loop_end(const TranslatedOp& op) {
        lose_flags();
#ifdef RILL_FUZZING
        save();
        call(spend_loop_pass);
        restore();
#endif
        int32_t loop = loops_.back();
        if (!chunked(loop)) poll_interrupt();
        const Home& passes = p_.homes[p_.counter_of[loop]];
        GpW n = int_in(passes, S0);
        a_.subs(n, n, imm(1));
        put_int(passes, n);
        a_.b(CondCode::kNE, labels_[op.jump]);
        if (!chunked(loop)) return;
        // A chunk done: a safe point, then the next chunk, if any.
        poll_interrupt();
        a_.cbnz(int_in(p_.homes[p_.rest_of[loop]], S1), chunk_labels_[loop]);
    }

    void emit_move_int(const TranslatedOp& op) {
        const Home& d = dest_home(op);
        if (op.pa == Place::CONST && !guarded(op) && d.reg >= 0) {
            a_.mov(w_of(d), imm(*static_cast<const int32_t*>(op.a)));  // no copy through scratch
            return;
        }
        set_int(op, d, int_src(op.pa, op.a, S0));
    }

    void emit_move_real(const TranslatedOp& op) {
        put_real(dest_home(op), real_src(op.pa, op.a, F0));
    }

    void emit_int_of_real(const TranslatedOp& op) {
        int_of_real(real_src(op.pa, op.a, F0));
        set_int(op, dest_home(op), S0);
    }

    void emit_real_of_int(const TranslatedOp& op) {
        const Home& d = dest_home(op);
        VecD r = real_out(d, F0);
        a_.scvtf(r, int_src(op.pa, op.a, S0));
        put_real(d, r);
    }

    // scale_random: wrap_mul(r, top) / RANDOM_RANGE, rounding toward zero.
    void emit_rand_int(const TranslatedOp& op) {
        static_assert(RANDOM_RANGE == 1 << 15);
        draw();
        const Home& d = dest_home(op);
        a_.mul(S0, S0, int_src(op.pa, op.a, S1));
        int32_t k = op.pa == Place::CONST ? *static_cast<const int32_t*>(op.a) : -1;
        if (k >= 0 && k <= 2 * RANDOM_RANGE) {
            // The product is below 2^31: no negative quotient to round up.
            GpW r = int_out(d, S0);
            a_.lsr(r, S0, imm(15));
            put_int(d, r);
            return;
        }
        a_.asr(S1, S0, imm(31));
        a_.lsr(S1, S1, imm(32 - 15));
        a_.add(S0, S0, S1);
        GpW r = int_out(d, S0);
        a_.asr(r, S0, imm(15));
        put_int(d, r);
    }

    // scale_random: r * top / RANDOM_RANGE; a constant top's factor in one
    // multiply (random_factor).
    void emit_rand_real(const TranslatedOp& op) {
        draw();
        const Home& d = dest_home(op);
        VecD r = real_out(d, F0);
        double factor;
        if (op.pa == Place::CONST && random_factor(*static_cast<const double*>(op.a), factor)) {
            a_.scvtf(F0, S0);
            a_.fmul(r, F0, real_constant(factor, F1));
        } else {
            a_.scvtf(F0, S0);
            a_.fmul(F0, F0, real_src(op.pa, op.a, F1));
            // Dividing by 2^15 and multiplying by 2^-15 round the same exact
            // value, so they give the same bits.
            a_.fmul(r, F0, real_constant(1.0 / RANDOM_RANGE, F1));
        }
        put_real(d, r);
    }

    // A real constant from its register, else loaded from the pool into scratch.
    VecD real_constant(double x, const VecD& scratch) {
        if (const Home* h = constant_register(&x)) return d_of(*h);
        load_constant(scratch, x);
        return scratch;
    }

    void emit_step_int(const TranslatedOp& op, int32_t delta) {
        const Home& v = *variable_of(static_cast<Symbol*>(op.d));
        GpW x = int_in(v, S0);
        GpW r = guard_ == Guard::NONE ? x : S1;
        if (delta > 0)
            a_.add(r, x, imm(1));
        else
            a_.sub(r, x, imm(1));
        if (guard_ == Guard::NONE) {
            put_int(v, x);
            return;
        }
        guarded_move(v, S1);
    }

    // step_real: v + 1 or v + -1.
    void emit_step_real(const TranslatedOp& op, double delta) {
        const Home& v = *variable_of(static_cast<Symbol*>(op.d));
        VecD x = real_in(v, F0);
        load_constant(F1, delta);
        a_.fadd(x, x, F1);
        put_real(v, x);
    }

    void emit_break() {
        a_.b(break_target());
    }

    void emit_stubs() {
        for (const Stub& s : stubs_) {
            a_.bind(s.label);
            write_back_all();
            load_address(a64::x0, s.at);
            call(halt_division_by_zero);
            a_.b(exit_);
        }
        if (interrupted_.isValid()) {
            a_.bind(interrupted_);
            write_back_all();
            call(halt_interrupted);
            a_.b(exit_);
        }
    }
};

}  // namespace

CompiledLoop compile_aarch64(const Translation& t, const NativePlan& plan) {
    CodeHolder code;
    NativeFailure failure;
    a64::Assembler a;
    if (!prepare_holder(code, failure, a)) return nullptr;
    Compiler compiler(t, plan, a);
    if (!compiler.compile() || failure.failed) return nullptr;
    return place_code(code);
}
