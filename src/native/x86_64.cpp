// The x86-64 emitter: writes a translated loop body's code in one pass with
// asmjit's assembler, as its NativePlan says (native/plan.h): homes,
// hoisting and block forms are all the plan's; this file only chooses
// instructions. No register allocator runs, so compiling costs a few
// instructions' worth of work an operation.
//
// Variables are loaded on entry and written back to their Symbols wherever
// other code can see them: around a print or read of that variable, and at
// every way out (the end, a break out of the replayed loop, a division by
// zero, an interrupt). The operations mirror the helpers of effects.h
// exactly (division by a constant is divide_by_magic's multiply and shifts,
// or divide_by_power_of_two's); the tests run every loop program through
// both.
#include "native/x86_64.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include <asmjit/x86.h>

#include "errors/errors.h"
#include "engine/effects.h"
#include "native/emitter.h"
#include "engine/machine.h"

namespace {

using namespace asmjit;

template <typename T>
Imm address_of(T* p) {
    return imm(reinterpret_cast<uint64_t>(p));
}

// The calling convention the code follows (native/target_x86_64.h).
constexpr const X86Convention& ABI = X86_64_CONVENTION;
constexpr int CALLEE_SAVED = X86_64_TARGET.gp_callee_saved;
constexpr int FP_CALLEE_SAVED = X86_64_TARGET.fp_callee_saved;

// rax, rcx, rdx, xmm14 and xmm15 are scratch: no value lives in them across
// operations. The pools' registers hold homes.
constexpr bool pools_spare_scratch() {
    for (X86Gp r : ABI.gp_pool)
        if (r == X86Gp::RAX || r == X86Gp::RCX || r == X86Gp::RDX || r == X86Gp::RSP) return false;
    for (uint8_t x : ABI.fp_pool)
        if (x >= 14) return false;
    return true;
}
static_assert(pools_spare_scratch());
static_assert(std::size(ABI.gp_pool) == X86_64_TARGET.gp_count && std::size(ABI.fp_pool) == X86_64_TARGET.fp_count);
const x86::Xmm SCRATCH_XMM = x86::xmm15;

x86::Gp gp(X86Gp r) {
    return x86::gpq(static_cast<uint32_t>(r));
}
x86::Gp pool_gp(int32_t reg) {
    return gp(ABI.gp_pool[reg]);
}
x86::Xmm pool_xmm(int32_t reg) {
    return x86::xmm(ABI.fp_pool[reg]);
}

// The xmm registers the entry keeps, and the bytes they take; the stack
// grows a page at a time where the convention probes it.
constexpr uint32_t XMM_KEPT = 16 - ABI.xmm_kept;
constexpr int32_t XMM_KEPT_BYTES = 16 * static_cast<int32_t>(XMM_KEPT);
constexpr int32_t STACK_PAGE = 4096;
static_assert(8 * (CALLEE_SAVED + 1) + XMM_KEPT_BYTES == X86_64_TARGET.entry_bytes);

// stdout's address where it is a variable (glibc): the code reads its value
// as it runs.
Imm stdout_address() {
#ifdef _WIN32
    return imm(0);  // not a variable here: X86_64_WIN64 takes its value instead
#else
    return address_of(&stdout);
#endif
}

class Compiler : public NativeEmitter<Compiler, x86::Assembler> {
public:
    using NativeEmitter::NativeEmitter;

private:
    friend NativeEmitter;

    // A loop's first instruction on a 16-byte line: where a short body
    // happens to straddle one, every pass fetches a line more (a third
    // slower, measured, on a tight inner loop).
    void loop_body_start() { a_.align(AlignMode::kCode, 16); }
    void emit_jump(const Label& to) { a_.jmp(to); }

    // The byte register that holds 1 when the guarding test holds.
    x86::Gp condition() const {
        if (guard_ == Guard::INNER) return x86::ch;
        return x86::cl;
    }

    // The condition under which a guarded write of a block takes effect,
    // while the flags still say it: a branch-free block's comparison sets
    // them, and so does the test of its condition byte. Good only as long as
    // no instruction has been written since (flags_at): the value of a write
    // that keeps it is formed by instructions that leave the flags alone.
    Guard flags_guard_ = Guard::NONE;
    x86::CondCode flags_cc_ = x86::CondCode::kNE;
    size_t flags_at_ = SIZE_MAX;
    bool outer_byte_ = true;  // whether cl was set by the open branch-free block

    void hold_flags(Guard g, x86::CondCode cc) {
        flags_guard_ = g;
        flags_cc_ = cc;
        flags_at_ = a_.offset();
    }

    bool flags_hold() const { return guard_ != Guard::NONE && flags_guard_ == guard_ && flags_at_ == a_.offset(); }

    Operand int_home(const Home& h) {
        if (h.reg >= 0) return h.wide ? pool_gp(h.reg) : pool_gp(h.reg).r32();
        return x86::ptr(x86::rsp, h.disp, h.wide ? 8 : 4);
    }

    Operand real_home(const Home& h) {
        if (h.reg >= 0) return pool_xmm(h.reg);
        return x86::qword_ptr(x86::rsp, h.disp);
    }

    Operand int_src(Place place, const void* slot) {
        if (place == Place::CONST) return imm(*static_cast<const int32_t*>(slot));
        return int_home(source_home(place, slot));
    }

    Operand real_src(Place place, const void* slot) {
        if (place == Place::CONST) {
            if (const Home* h = constant_register(slot)) return real_home(*h);
            return constant(*static_cast<const double*>(slot));
        }
        return real_home(source_home(place, slot));
    }

    x86::Mem constant(double x) { return x86::qword_ptr(pooled(bits_of(x))); }

    x86::Mem int_constant(int32_t k) { return x86::dword_ptr(pooled(static_cast<uint32_t>(k))); }

    static bool same(const Operand& x, const Operand& y) {
        return x.isReg() && y.isReg() && x.as<BaseReg>().id() == y.as<BaseReg>().id();
    }

    void move_int(const Operand& to, const Operand& from) {
        if (same(to, from)) return;
        if (to.isMem() && from.isMem()) {
            a_.mov(x86::eax, from.as<x86::Mem>());
            a_.mov(to.as<x86::Mem>(), x86::eax);
            return;
        }
        a_.emit(x86::Inst::kIdMov, to, from);
    }

    void move_real(const Operand& to, const Operand& from) {
        if (same(to, from)) return;
        if (to.isReg() && from.isReg()) {
            a_.movapd(to.as<x86::Xmm>(), from.as<x86::Xmm>());
        } else if (to.isMem() && from.isMem()) {
            a_.movsd(SCRATCH_XMM, from.as<x86::Mem>());
            a_.movsd(to.as<x86::Mem>(), SCRATCH_XMM);
        } else {
            a_.emit(x86::Inst::kIdMovsd, to, from);
        }
    }

    // A variable between its Symbol and its home; rax and rcx are spent.
    void load(const Home& h) {
        a_.mov(x86::rcx, address_of(h.slot));
        if (h.real)
            move_real(real_home(h), x86::qword_ptr(x86::rcx));
        else
            move_int(int_home(h), x86::dword_ptr(x86::rcx));
    }

    void write_back(const Home& h) {
        a_.mov(x86::rcx, address_of(h.slot));
        if (h.real)
            move_real(x86::qword_ptr(x86::rcx), real_home(h));
        else
            move_int(x86::dword_ptr(x86::rcx), int_home(h));
    }

    void write_back_all() {
        for (const Home& h : p_.homes)
            if (h.slot) write_back(h);
    }

    void prologue() {
        for (int i = 0; i < CALLEE_SAVED; ++i) a_.push(pool_gp(i));
        if (XMM_KEPT > 0) {
            a_.sub(x86::rsp, XMM_KEPT_BYTES);
            for (uint32_t i = 0; i < XMM_KEPT; ++i)
                a_.movdqu(x86::ptr(x86::rsp, static_cast<int32_t>(16 * i)), x86::xmm(ABI.xmm_kept + i));
        }
        // Each page of the frame touched in turn, down to its bottom, which
        // calls may not touch: a page skipped would lie past the guard page
        // that grows the stack, a fault rather than growth.
        if (ABI.probe_stack)
            for (int32_t below = STACK_PAGE; below < p_.frame + STACK_PAGE; below += STACK_PAGE)
                a_.test(x86::dword_ptr(x86::rsp, -std::min(below, p_.frame)), x86::eax);
        a_.sub(x86::rsp, p_.frame);
        // The pass count first, before its register may be loaded with a variable.
        move_int(int_home(passes_home(t_.size)), gp(ABI.count).r32());
        for (const Home& h : p_.homes)
            if (h.slot) load(h);
        for (const auto& [bits, h] : p_.constant_home)
            a_.movsd(pool_xmm(p_.homes[h].reg), x86::qword_ptr(pooled(bits)));
        a_.mov(x86::rax, address_of(&interrupt_signal));
        a_.emit(x86::Inst::kIdMov, int_home(p_.homes[p_.interrupt]), x86::rax);
        if (chunked(t_.size)) start_chunk(t_.size);
    }

    void epilogue() {
        a_.add(x86::rsp, p_.frame);
        if (XMM_KEPT > 0) {
            for (uint32_t i = 0; i < XMM_KEPT; ++i)
                a_.movdqu(x86::xmm(ABI.xmm_kept + i), x86::ptr(x86::rsp, static_cast<int32_t>(16 * i)));
            a_.add(x86::rsp, XMM_KEPT_BYTES);
        }
        for (int i = CALLEE_SAVED - 1; i >= 0; --i) a_.pop(pool_gp(i));
        a_.ret();
    }

    // Calls keep the live homes in caller-saved registers in the save area.
    void save() {
        for (int32_t i = CALLEE_SAVED; i < p_.gp_used; ++i)
            if (live_gp(i)) a_.mov(x86::qword_ptr(x86::rsp, p_.save_gp(X86_64_TARGET, i)), pool_gp(i));
        for (int32_t i = FP_CALLEE_SAVED; i < p_.fp_used; ++i)
            if (live_fp(i)) a_.movsd(x86::qword_ptr(x86::rsp, p_.save_fp(X86_64_TARGET, i)), pool_xmm(i));
    }

    void restore() {
        for (int32_t i = CALLEE_SAVED; i < p_.gp_used; ++i)
            if (live_gp(i)) a_.mov(pool_gp(i), x86::qword_ptr(x86::rsp, p_.save_gp(X86_64_TARGET, i)));
        for (int32_t i = FP_CALLEE_SAVED; i < p_.fp_used; ++i)
            if (live_fp(i)) a_.movsd(pool_xmm(i), x86::qword_ptr(x86::rsp, p_.save_fp(X86_64_TARGET, i)));
    }

    template <typename F>
    void call(F* f) {
        a_.mov(x86::rax, address_of(f));
        a_.call(x86::rax);
    }

    // A call's argument: its first or second.
    static x86::Gp arg(int n) { return gp(ABI.args[n]); }

    // The stream of a print into the first argument: the file-print
    // stream's current value, or stdout's.
    void stream(bool file) {
        if (!file && !ABI.stdout_variable) {
            a_.mov(arg(0), address_of(stdout));
            return;
        }
        a_.mov(x86::rax, file ? address_of(&machine.output) : stdout_address());
        a_.mov(arg(0), x86::qword_ptr(x86::rax));
    }

    void emit_int_arith(const TranslatedOp& op, Arith arith) {
        if (write_keeping_flags(op)) return;
        Operand d = int_home(dest_home(op));
        Operand x = int_src(op.pa, op.a);
        Operand y = int_src(op.pb, op.b);
        InstId id = x86::Inst::kIdImul;
        switch (arith) {
        case Arith::ADD: id = x86::Inst::kIdAdd; break;
        case Arith::SUB: id = x86::Inst::kIdSub; break;
        case Arith::MUL: id = x86::Inst::kIdImul; break;
        case Arith::DIV: emit_division(op, d, x, y); return;
        }
        if (arith != Arith::SUB && x.isImm() && !y.isImm()) std::swap(x, y);
        Operand r = d;
        if (!d.isReg() || same(d, y) || guarded(op)) r = x86::eax;
        // x + y, x + k and x - k in one lea, into any register: x is read
        // where it is, rather than copied first.
        if (x.isReg() && (arith == Arith::ADD || arith == Arith::SUB) &&
            (y.isImm() || (y.isReg() && arith == Arith::ADD))) {
            x86::Gp t = d.isReg() && !guarded(op) ? d.as<x86::Gp>() : x86::Gp(x86::eax);
            if (!same(t, x)) {
                x86::Gp base = x.as<x86::Gp>().r64();
                if (y.isReg())
                    a_.lea(t, x86::ptr(base, y.as<x86::Gp>().r64()));
                else if (arith == Arith::ADD)
                    a_.lea(t, x86::ptr(base, y.as<Imm>().valueAs<int32_t>()));
                else
                    a_.lea(t, x86::ptr(base, static_cast<int32_t>(0u - y.as<Imm>().valueAs<uint32_t>())));
                set_int(op, d, t);
                return;
            }
        }
        if (arith == Arith::MUL && y.isImm()) {
            if (!x.isReg()) {
                move_int(r, x);
                x = r;
            }
            if (multiply_by_shifts(r.as<x86::Gp>(), x.as<x86::Gp>(), y.as<Imm>().valueAs<int32_t>())) {
                set_int(op, d, r);
                return;
            }
        }
        move_int(r, x);
        if (id == x86::Inst::kIdImul && y.isImm())
            a_.emit(id, r, r, y);
        else
            a_.emit(id, r, y);
        set_int(op, d, r);
    }

    // r = x * k by shifts and adds of one cycle each, where k is 2^s, or 3,
    // 5 or 9 times 2^s (the low 32 bits of a product do not depend on how
    // it is formed), the first step reading x where it is; false, with
    // nothing written, for any other k.
    bool multiply_by_shifts(const x86::Gp& r, const x86::Gp& x, int32_t k) {
        uint32_t u = static_cast<uint32_t>(k);
        if (u == 0) return false;
        int shift = std::countr_zero(u);
        uint32_t odd = u >> shift;
        if (odd != 1 && odd != 3 && odd != 5 && odd != 9) return false;
        if (odd != 1) {
            a_.lea(r, x86::ptr(x.r64(), x.r64(), static_cast<uint32_t>(std::countr_zero(odd - 1))));
        } else if (shift > 0 && !same(r, x)) {
            a_.lea(r, x86::ptr(x.r64(), x.r64()));  // the first doubling
            --shift;
        } else {
            move_int(r, x);
        }
        if (shift == 1)
            a_.add(r, r);
        else if (shift > 1)
            a_.shl(r, shift);
        return true;
    }

    // Whether op writes a variable inside a block run without a branch.
    bool guarded(const TranslatedOp& op) const { return guard_ != Guard::NONE && op.pd == Place::VAR; }

    // d = value, or, inside a block run without a branch, d = value only
    // when the block's test holds. Temporaries die with their statement, so
    // they are written either way.
    void set_int(const TranslatedOp& op, const Operand& d, const Operand& value) {
        if (!guarded(op)) {
            move_int(d, value);
            return;
        }
        guarded_move(d, value);
    }

    // d = value when the block's test holds: on the flags where they still
    // say it, else on the test's byte.
    void guarded_move(const Operand& d, const Operand& value) {
        expect(d.isReg());
        if (flags_hold()) {
            a_.emit(x86::Inst::cmovccFromCond(flags_cc_), d, value);
            flags_at_ = a_.offset();
            return;
        }
        expect(guard_ == Guard::INNER || outer_byte_);
        a_.test(condition(), condition());
        a_.emit(x86::Inst::kIdCmovnz, d, value);
        hold_flags(guard_, x86::CondCode::kNZ);
    }

    // Whether op writes a variable under its block's test: a guarded write
    // or step.
    bool guarded_write(const TranslatedOp& op) const {
        return guard_ != Guard::NONE && (op.pd == Place::VAR || shape_of(op.code).kind == OpKind::STEP);
    }

    // The value a guarded write stores, formed only by instructions that
    // leave the flags alone (mov, lea, cvttsd2si), in eax or read where it
    // is; none (and nothing written) where the operation has no such form.
    // With emit false, only whether it has one.
    std::optional<Operand> flag_free_value(const TranslatedOp& op, bool emit) {
        auto in_eax = [&](auto&& write) -> std::optional<Operand> {
            if (emit) write();
            return Operand(x86::eax);
        };
        auto known = [&](int32_t v) { return in_eax([&] { a_.mov(x86::eax, v); }); };
        OpShape shape = shape_of(op.code);
        if (shape.kind == OpKind::STEP) {
            Operand v = int_home(*variable_of(static_cast<Symbol*>(op.d)));
            if (!v.isReg()) return std::nullopt;
            int32_t delta = op.code == T_INC_I ? 1 : -1;
            return in_eax([&] { a_.lea(x86::eax, x86::ptr(v.as<x86::Gp>().r64(), delta)); });
        }
        if (shape.real && shape.kind != OpKind::INT_OF_REAL) return std::nullopt;
        if (shape.kind == OpKind::INT_OF_REAL) {
            Operand x = real_src(op.pa, op.a);
            return in_eax([&] { int_of_real(x); });
        }
        if (shape.kind == OpKind::MOVE) {
            Operand x = int_src(op.pa, op.a);
            if (!x.isImm()) return x;
            return known(x.as<Imm>().valueAs<int32_t>());
        }
        if (shape.kind != OpKind::ARITH) return std::nullopt;
        Arith arith = arith_of(op.code);
        Operand x = int_src(op.pa, op.a);
        Operand y = int_src(op.pb, op.b);
        if (x.isImm() && y.isImm()) {
            int32_t k = y.as<Imm>().valueAs<int32_t>();
            if (arith == Arith::DIV && k == 0) return std::nullopt;
            return known(int_arith(arith, x.as<Imm>().valueAs<int32_t>(), k));
        }
        if (x.isImm() && arith != Arith::SUB && arith != Arith::DIV) std::swap(x, y);
        if (!x.isReg() || y.isMem()) {
            if (arith == Arith::DIV && y.isImm() && y.as<Imm>().valueAs<int32_t>() == 1) return x;
            return std::nullopt;
        }
        x86::Gp base = x.as<x86::Gp>().r64();
        if (y.isReg()) {
            if (arith != Arith::ADD) return std::nullopt;
            return in_eax([&] { a_.lea(x86::eax, x86::ptr(base, y.as<x86::Gp>().r64())); });
        }
        int32_t k = y.as<Imm>().valueAs<int32_t>();
        switch (arith) {
        case Arith::ADD: return in_eax([&] { a_.lea(x86::eax, x86::ptr(base, k)); });
        case Arith::SUB:
            return in_eax(
                [&] { a_.lea(x86::eax, x86::ptr(base, static_cast<int32_t>(0u - static_cast<uint32_t>(k)))); });
        case Arith::MUL:
            if (k == 0) return known(0);
            if (k == 1) return x;
            if (k == 2 || k == 3 || k == 5 || k == 9) {
                uint32_t shift = static_cast<uint32_t>(std::countr_zero(static_cast<uint32_t>(k == 2 ? 2 : k - 1)));
                return in_eax([&] { a_.lea(x86::eax, x86::ptr(base, base, k == 2 ? 0 : shift)); });
            }
            return std::nullopt;
        case Arith::DIV:
            if (k == 1) return x;
            return std::nullopt;
        }
        return std::nullopt;
    }

    // A guarded write made straight on the flags its block's test left, by
    // one cmov; false, with nothing written, where they no longer hold or
    // the value cannot be formed without changing them.
    bool write_keeping_flags(const TranslatedOp& op) {
        if (!guarded_write(op) || !flags_hold()) return false;
        const Home& h =
            shape_of(op.code).kind == OpKind::STEP ? *variable_of(static_cast<Symbol*>(op.d)) : dest_home(op);
        Operand d = int_home(h);
        if (!d.isReg() || !flag_free_value(op, false)) return false;
        Operand value = *flag_free_value(op, true);
        a_.emit(x86::Inst::cmovccFromCond(flags_cc_), d, value);
        flags_at_ = a_.offset();
        return true;
    }

    // Whether the branch-free block of the comparison at i needs its test
    // as a byte in cl: a nested block combines it, and a write that cannot
    // keep the flags (or follows code that changes them) tests it.
    bool needs_condition_byte(int32_t i) {
        int32_t saved_current = current_;
        Guard saved_guard = guard_;
        bool needed = false;
        for (int32_t k = i + 1; k < t_.ops[i].jump && !needed; ++k) {
            if (p_.hoisted_home[k] >= 0 || p_.folded[k]) continue;
            const TranslatedOp& o = t_.ops[k];
            current_ = k;
            guard_ = p_.guard[k];
            needed = shape_of(o.code).kind == OpKind::COMPARE || !guarded_write(o) || !flag_free_value(o, false);
        }
        current_ = saved_current;
        guard_ = saved_guard;
        return needed;
    }

    // wrap_div: a zero divisor stops the run, and -1 negates (the hardware
    // divide would trap on INT32_MIN).
    void emit_division(const TranslatedOp& op, const Operand& d, const Operand& x, const Operand& y) {
        if (y.isImm()) {
            int32_t k = y.as<Imm>().valueAs<int32_t>();
            if (k == 0) {
                a_.jmp(stub(op.at));
                return;
            }
            if (k == 1) {
                move_int(x86::eax, x);
                set_int(op, d, x86::eax);
                return;
            }
            if (k == -1) {
                move_int(x86::eax, x);
                a_.neg(x86::eax);
                set_int(op, d, x86::eax);
                return;
            }
            if (x.isImm()) {
                // Both constant: the quotient is known now.
                a_.mov(x86::eax, int_arith(Arith::DIV, x.as<Imm>().valueAs<int32_t>(), k));
                set_int(op, d, x86::eax);
                return;
            }
            if (k > 1) {
                // The quotient goes straight to a destination register.
                x86::Gp q = d.isReg() && !guarded(op) ? d.as<x86::Gp>() : x86::eax;
                uint32_t u = static_cast<uint32_t>(k);
                if ((u & (u - 1)) == 0)
                    divide_by_power_of_two(x, std::countr_zero(u), q);
                else
                    divide_by_constant(x, division_magic(k), q);
                set_int(op, d, q);
                return;
            }
            // Below -1: read from the pool, since ecx may hold a block's
            // condition.
            move_int(x86::eax, x);
            a_.cdq(x86::edx, x86::eax);
            a_.idiv(x86::edx, x86::eax, int_constant(k));
            set_int(op, d, x86::eax);
            return;
        }
        // In reals: the quotient of two 32-bit integers is never rounded
        // across an integer, so truncating it gives the integer quotient,
        // and INT32_MIN / -1 gives 2^31, whose low 32 bits wrap to
        // INT32_MIN. The divider of reals is the faster one here (trial
        // division ran a quarter faster), and -1 needs no branch of its own.
        move_int(x86::ecx, y);
        a_.test(x86::ecx, x86::ecx);
        a_.jz(stub(op.at));
        real_of_int(SCRATCH_XMM, x);
        a_.xorpd(x86::xmm14, x86::xmm14);
        a_.cvtsi2sd(x86::xmm14, x86::ecx);
        a_.divsd(SCRATCH_XMM, x86::xmm14);
        int_of_real(SCRATCH_XMM);
        set_int(op, d, x86::eax);
    }

    // divide_by_magic, step for step; the quotient in q. n is a register
    // or memory, read before q (which may be n) is written.
    void divide_by_constant(const Operand& n, DivisionMagic m, const x86::Gp& q) {
        a_.emit(x86::Inst::kIdMovsxd, x86::rax, n);
        a_.emit(x86::Inst::kIdMov, x86::edx, n);
        a_.imul(x86::rax, x86::rax, m.magic);
        if (m.magic < 0) {
            a_.sar(x86::rax, 32);
            a_.emit(x86::Inst::kIdAdd, x86::eax, n);
            if (m.shift) a_.sar(x86::eax, m.shift);
        } else {
            a_.sar(x86::rax, 32 + m.shift);
        }
        a_.shr(x86::edx, 31);
        a_.lea(q, x86::ptr(x86::rax, x86::rdx));
    }

    // divide_by_power_of_two: a negative n raised by 2^shift - 1, then
    // shifted; the quotient in q (x is read first, so q may be x itself).
    void divide_by_power_of_two(const Operand& x, int shift, const x86::Gp& q) {
        if (shift == 1 && x.isReg() && !same(q, x)) {
            // Halving: the sign bit is the 1 that a negative n is raised by.
            a_.mov(q, x.as<x86::Gp>());
            a_.shr(q, 31);
            a_.add(q, x.as<x86::Gp>());
            a_.sar(q, 1);
            return;
        }
        x86::Gp n = x.isReg() ? x.as<x86::Gp>() : x86::eax;
        move_int(n, x);
        a_.lea(x86::edx, x86::ptr(n.r64(), (1 << shift) - 1));
        move_int(q, n);
        a_.test(n, n);
        a_.cmovs(q, x86::edx);
        a_.sar(q, shift);
    }

    // r = x, then r op= y: the first operand stays first, which decides the
    // sign of a NaN.
    void emit_real_arith(const TranslatedOp& op, Arith arith) {
        Operand d = real_home(dest_home(op));
        Operand x = real_src(op.pa, op.a);
        Operand y = real_src(op.pb, op.b);
        InstId id = x86::Inst::kIdAddsd;
        switch (arith) {
        case Arith::ADD: id = x86::Inst::kIdAddsd; break;
        case Arith::SUB: id = x86::Inst::kIdSubsd; break;
        case Arith::MUL: id = x86::Inst::kIdMulsd; break;
        case Arith::DIV: id = x86::Inst::kIdDivsd; break;
        }
        // 2 * v is v + v, exactly, with v's NaN when v is one: an add
        // takes a cycle less than a multiply in the chain of a recurrence.
        if (arith == Arith::MUL && (is_two(op.pa, op.a) || is_two(op.pb, op.b))) {
            if (is_two(op.pa, op.a)) x = y;
            id = x86::Inst::kIdAddsd;
            y = x;
        }
        Operand r = d;
        if (!d.isReg() || same(d, y)) r = SCRATCH_XMM;
        move_real(r, x);
        a_.emit(id, r, y);
        move_real(d, r);
    }

    static bool is_two(Place place, const void* slot) {
        return place == Place::CONST && *static_cast<const double*>(slot) == 2.0;
    }

    static Relation relation(TranslatedCode c) {
        return static_cast<Relation>(c >= T_EQ_RR ? c - T_EQ_RR : c - T_EQ_II);
    }

    // The flags of a comparison. Reals compare with ucomisd, which an
    // unordered pair (a NaN) leaves with ZF, PF and CF set: it fails every
    // relation but "=!". "=<" and "<" compare the other way round, so that
    // every relation but "==" and "=!" reads CF and ZF alone.
    void compare_flags(const TranslatedOp& op, int32_t i) {
        if (p_.wide_of[i] >= 0) {
            wide_compare_flags(p_.wide[p_.wide_of[i]]);
            return;
        }
        if (op.code < T_EQ_RR) {
            Operand x = int_src(op.pa, op.a);
            Operand y = int_src(op.pb, op.b);
            if (x.isImm() || (x.isMem() && y.isMem())) {
                move_int(x86::eax, x);
                x = x86::eax;
            }
            // Against 0, test leaves every flag a relation reads as cmp does.
            if (x.isReg() && y.isImm() && y.as<Imm>().value() == 0)
                a_.emit(x86::Inst::kIdTest, x, x);
            else
                a_.emit(x86::Inst::kIdCmp, x, y);
            return;
        }
        Relation rel = relation(op.code);
        bool swapped = rel == Relation::LE || rel == Relation::LT;
        Operand x = real_src(swapped ? op.pb : op.pa, swapped ? op.b : op.a);
        Operand y = real_src(swapped ? op.pa : op.pb, swapped ? op.a : op.b);
        if (!x.isReg()) {
            a_.movsd(SCRATCH_XMM, x.as<x86::Mem>());
            x = SCRATCH_XMM;
        }
        a_.emit(x86::Inst::kIdUcomisd, x, y);
    }

    // The flags of the product against the other operand, as 64-bit
    // integers, in rax and rdx (rcx may hold a block's condition).
    void wide_compare_flags(const WideCompare& w) {
        load_wide(x86::rax, w.factor[0]);
        if (w.factor[1].var) {
            load_wide(x86::rdx, w.factor[1]);
            a_.imul(x86::rax, x86::rdx);
        } else {
            a_.imul(x86::rax, x86::rax, w.factor[1].constant);
        }
        if (!w.other.var && w.product_first) {
            a_.cmp(x86::rax, w.other.constant);
            return;
        }
        load_wide(x86::rdx, w.other);
        if (w.product_first)
            a_.cmp(x86::rax, x86::rdx);
        else
            a_.cmp(x86::rdx, x86::rax);
    }

    void load_wide(const x86::Gp& r, const WideOperand& o) {
        if (o.var)
            a_.emit(x86::Inst::kIdMovsxd, r, int_home(p_.homes[p_.home_of.at(o.var)]));
        else
            a_.mov(r, static_cast<int64_t>(o.constant));
    }

    // The code that decides how comparison i holds: a wide comparison's
    // relation is that of integers.
    TranslatedCode compared_as(const TranslatedOp& op, int32_t i) const {
        if (p_.wide_of[i] < 0) return op.code;
        return static_cast<TranslatedCode>(T_EQ_II + static_cast<int>(relation(op.code)));
    }

    // The condition code under which the comparison holds, for all but the
    // real "==" and "=!". By Relation: the integers, then the reals as
    // compare_flags compares them.
    static x86::CondCode holds(TranslatedCode c) {
        using x86::CondCode;
        static constexpr CondCode int_holds[] = {CondCode::kE,  CondCode::kNE, CondCode::kLE,
                                                 CondCode::kGE, CondCode::kL,  CondCode::kG};
        static constexpr CondCode real_holds[] = {CondCode::kE,  CondCode::kNE, CondCode::kAE,
                                                  CondCode::kAE, CondCode::kA,  CondCode::kA};
        size_t rel = static_cast<size_t>(relation(c));
        return c >= T_EQ_RR ? real_holds[rel] : int_holds[rel];
    }

    // Jumps to to when the relation holds (when holding is true) or fails.
    void jump_when(TranslatedCode c, bool holding, const Label& to) {
        if (c == T_EQ_RR || c == T_NE_RR) {
            // Equal and ordered: ZF set and PF clear.
            bool equal = (c == T_EQ_RR) == holding;
            if (equal) {
                Label unordered = a_.newLabel();
                a_.jp(unordered);
                a_.je(to);
                a_.bind(unordered);
            } else {
                a_.jp(to);
                a_.jne(to);
            }
            return;
        }
        x86::CondCode cc = holds(c);
        a_.j(holding ? cc : x86::negateCond(cc), to);
    }

    // r = 1 when the relation holds, else 0; dl is spent.
    void set_when_holds(TranslatedCode c, const x86::Gp& r) {
        if (c == T_EQ_RR) {
            a_.sete(r);
            a_.setnp(x86::dl);
            a_.and_(r, x86::dl);
        } else if (c == T_NE_RR) {
            a_.setne(r);
            a_.setp(x86::dl);
            a_.or_(r, x86::dl);
        } else {
            a_.set(holds(c), r);
        }
    }

    // A comparison and its block, in the form the plan chose.
    void emit_compare(const TranslatedOp& op, int32_t i) {
        compare_flags(op, i);
        TranslatedCode code = compared_as(op, i);
        switch (p_.form[i]) {
        case BlockForm::BREAK_ONLY:
            expect(t_.ops[i + 1].code == T_BREAK && op.jump == i + 2);
            jump_when(code, true, break_target());
            break;
        case BlockForm::NESTED:
            // ch = this test and the outer one, which cl holds.
            set_when_holds(code, x86::ch);
            a_.and_(x86::ch, x86::cl);
            hold_flags(Guard::INNER, x86::CondCode::kNZ);
            break;
        case BlockForm::BRANCH_FREE:
            // The real "==" and "=!" take two flags: their byte's own test
            // sets the one that says it.
            outer_byte_ = code == T_EQ_RR || code == T_NE_RR || needs_condition_byte(i);
            if (outer_byte_) set_when_holds(code, x86::cl);
            hold_flags(Guard::OUTER, code == T_EQ_RR || code == T_NE_RR ? x86::CondCode::kNZ : holds(code));
            break;
        case BlockForm::BRANCH: jump_when(code, false, labels_[p_.failed_to[i]]); break;
        case BlockForm::NONE: expect(false); break;
        }
    }

    // Truncates through 64 bits and keeps the low 32, in eax: the hardware
    // gives 2^63 for NaN, the infinities and anything out of range, whose low
    // 32 bits are 0, just as real_to_int gives.
    void int_of_real(const Operand& x) { a_.emit(x86::Inst::kIdCvttsd2si, x86::rax, x); }

    // x, exactly, as a real in r.
    void real_of_int(const x86::Xmm& r, Operand x) {
        if (x.isImm()) {
            a_.mov(x86::eax, x.as<Imm>());
            x = x86::eax;
        }
        a_.xorpd(r, r);
        a_.emit(x86::Inst::kIdCvtsi2sd, r, x);
    }

    // The random generator's state n steps on from its home, by one
    // multiply and add: into the home when keep, and the draw it gives (as
    // draw_random would) in eax when drawing, or, high, the state with all
    // but the draw's bits cleared, 16 bits up. Inline, so that no call
    // saves and restores the registers.
    void step_random(int32_t n, bool keep, bool drawing, bool high) {
        auto [mul, inc] = random_steps(n);
        Operand state = int_home(p_.homes[p_.random]);
        if (keep && state.isReg()) {
            a_.emit(x86::Inst::kIdImul, state, state, imm(static_cast<int32_t>(mul)));
            a_.emit(x86::Inst::kIdAdd, state, imm(static_cast<int32_t>(inc)));
            if (drawing) a_.emit(x86::Inst::kIdMov, x86::eax, state);
        } else {
            a_.emit(x86::Inst::kIdImul, x86::eax, state, imm(static_cast<int32_t>(mul)));
            a_.add(x86::eax, static_cast<int32_t>(inc));
            if (keep) a_.emit(x86::Inst::kIdMov, state, x86::eax);
        }
        if (!drawing) return;
        if (high) {
            a_.and_(x86::eax, (RANDOM_RANGE - 1) << 16);
            return;
        }
        a_.shr(x86::eax, 16);
        a_.and_(x86::eax, RANDOM_RANGE - 1);
    }

    void call_print_text(bool file, const void* text) {
        save();
        stream(file);
        a_.mov(arg(1), address_of(text));
        call(print_text);
        restore();
    }

    void call_print_value(bool file, const Symbol* sym) {
        if (const Home* h = variable_of(sym)) write_back(*h);
        save();
        stream(file);
        a_.mov(arg(1), address_of(sym));
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
        a_.mov(arg(0), address_of(sym));
        call(read_input);
        restore();
        if (h) load(*h);
        poll_interrupt();  // Ctrl-C at a session's prompt stops the loop
    }

    void emit_loop_start(const TranslatedOp& op, int32_t i) {
        Operand passes = int_home(passes_home(i));
        if (op.code == T_LOOP_R) {
            int_of_real(real_src(op.pa, op.a));
            move_int(passes, x86::eax);
        } else {
            move_int(passes, int_src(op.pa, op.a));
        }
        if (passes.isReg())
            a_.test(passes.as<x86::Gp>(), passes.as<x86::Gp>());
        else
            a_.cmp(passes.as<x86::Mem>(), 0);
        a_.jle(labels_[op.jump + 1]);  // no pass
        if (chunked(i)) start_chunk(i);
    }

    // The counter of loop counts down its next chunk: the passes left, up
    // to the chunk's size, taken from them. Some pass is left.
    void start_chunk(int32_t loop) {
        chunk_labels_[loop] = a_.newLabel();
        a_.bind(chunk_labels_[loop]);
        Operand rest = int_home(p_.homes[p_.rest_of[loop]]);
        a_.mov(x86::eax, p_.chunk[loop]);
        a_.emit(x86::Inst::kIdCmp, rest, x86::eax);
        a_.emit(x86::Inst::kIdCmovl, x86::eax, rest);
        a_.emit(x86::Inst::kIdSub, rest, x86::eax);
        move_int(int_home(p_.homes[p_.counter_of[loop]]), x86::eax);
    }

    // A safe point: an interrupt waiting leaves the loop through its stub.
    void poll_interrupt() {
        if (!interrupted_.isValid()) interrupted_ = a_.newLabel();
        Operand flag = int_home(p_.homes[p_.interrupt]);
        if (flag.isMem()) {
            a_.mov(x86::rax, flag.as<x86::Mem>());
            flag = x86::rax;
        }
        a_.cmp(x86::dword_ptr(flag.as<x86::Gp>()), 0);
        a_.jne(interrupted_);
    }

    void emit_loop_end(const TranslatedOp& op) {
#ifdef RILL_FUZZING
        save();
        call(spend_loop_pass);
        restore();
#endif
        int32_t loop = loops_.back();
        if (!chunked(loop)) poll_interrupt();
        a_.emit(x86::Inst::kIdDec, int_home(p_.homes[p_.counter_of[loop]]));
        a_.jnz(labels_[op.jump]);
        if (!chunked(loop)) return;
        // A chunk done: a safe point, then the next chunk, if any.
        poll_interrupt();
        Operand rest = int_home(p_.homes[p_.rest_of[loop]]);
        if (rest.isReg())
            a_.test(rest.as<x86::Gp>(), rest.as<x86::Gp>());
        else
            a_.cmp(rest.as<x86::Mem>(), 0);
        a_.jnz(chunk_labels_[loop]);
    }

    // Leaves the innermost loop; out of the replayed loop itself, the run of
    // the body ends.
    void emit_break() {
        a_.jmp(break_target());
    }

    void emit_move_int(const TranslatedOp& op) {
        if (write_keeping_flags(op)) return;
        Operand d = int_home(dest_home(op));
        Operand x = int_src(op.pa, op.a);
        if (guarded(op)) {
            move_int(x86::eax, x);
            x = x86::eax;
        }
        set_int(op, d, x);
    }

    void emit_move_real(const TranslatedOp& op) {
        move_real(real_home(dest_home(op)), real_src(op.pa, op.a));
    }

    void emit_int_of_real(const TranslatedOp& op) {
        if (write_keeping_flags(op)) return;
        int_of_real(real_src(op.pa, op.a));
        set_int(op, int_home(dest_home(op)), x86::eax);
    }

    void emit_real_of_int(const TranslatedOp& op) {
        Operand d = real_home(dest_home(op));
        x86::Xmm r = d.isReg() ? d.as<x86::Xmm>() : SCRATCH_XMM;
        real_of_int(r, int_src(op.pa, op.a));
        move_real(d, r);
    }

    // scale_random: wrap_mul(r, top) / RANDOM_RANGE, rounding toward zero.
    void emit_rand_int(const TranslatedOp& op) {
        static_assert(RANDOM_RANGE == 1 << 15);
        Operand top = int_src(op.pa, op.a);
        Operand d = int_home(dest_home(op));
        if (top.isImm() && top.as<Imm>().valueAs<int32_t>() >= 0 &&
            top.as<Imm>().valueAs<int32_t>() <= 2 * RANDOM_RANGE) {
            // The product is below 2^31: no negative quotient to round up.
            // The draw is left where the state holds it, 16 bits up, and
            // the product taken in 64 bits: r * top * 2^16 >> 31.
            x86::Gp r = d.isReg() ? d.as<x86::Gp>().r64() : x86::rax;
            draw(true);
            a_.imul(r, x86::rax, top.as<Imm>());
            a_.shr(r, 31);
            move_int(d, r.r32());
            return;
        }
        draw();
        if (top.isImm())
            a_.imul(x86::eax, x86::eax, top.as<Imm>());
        else
            a_.emit(x86::Inst::kIdImul, x86::eax, top);
        a_.mov(x86::ecx, x86::eax);
        a_.sar(x86::ecx, 31);
        a_.shr(x86::ecx, 32 - 15);
        a_.add(x86::eax, x86::ecx);
        a_.sar(x86::eax, 15);
        move_int(d, x86::eax);
    }

    // scale_random: r * top / RANDOM_RANGE; a constant top's factor in one
    // multiply (random_factor). The draw is converted straight into the
    // result's register, unless that holds top.
    void emit_rand_real(const TranslatedOp& op) {
        draw();
        Operand d = real_home(dest_home(op));
        Operand top = real_src(op.pa, op.a);
        x86::Xmm r = d.isReg() && !same(d, top) ? d.as<x86::Xmm>() : SCRATCH_XMM;
        real_of_int(r, x86::eax);
        double factor;
        if (op.pa == Place::CONST && random_factor(*static_cast<const double*>(op.a), factor)) {
            a_.emit(x86::Inst::kIdMulsd, r, pooled_real(factor));
        } else {
            a_.emit(x86::Inst::kIdMulsd, r, top);
            // Dividing by 2^15 and multiplying by 2^-15 round the same exact
            // value, so they give the same bits.
            a_.emit(x86::Inst::kIdMulsd, r, pooled_real(1.0 / RANDOM_RANGE));
        }
        move_real(d, r);
    }

    // A real constant from its register, else the pool.
    Operand pooled_real(double x) {
        if (const Home* h = constant_register(&x)) return real_home(*h);
        return constant(x);
    }

    void emit_step_int(const TranslatedOp& op, int32_t delta) {
        if (write_keeping_flags(op)) return;
        Operand v = int_home(*variable_of(static_cast<Symbol*>(op.d)));
        if (guard_ == Guard::NONE) {
            a_.emit(x86::Inst::kIdAdd, v, imm(delta));
            return;
        }
        if (!v.isReg()) {
            expect(false);
            return;
        }
        a_.lea(x86::eax, x86::ptr(v.as<x86::Gp>().r64(), delta));
        guarded_move(v, x86::eax);
    }

    // step_real: v + 1 or v + -1.
    void emit_step_real(const TranslatedOp& op, double delta) {
        Operand v = real_home(*variable_of(static_cast<Symbol*>(op.d)));
        x86::Xmm r = v.isReg() ? v.as<x86::Xmm>() : SCRATCH_XMM;
        move_real(r, v);
        a_.addsd(r, constant(delta));
        move_real(v, r);
    }

    void emit_stubs() {
        for (const Stub& s : stubs_) {
            a_.bind(s.label);
            write_back_all();
            a_.mov(arg(0), address_of(s.at));
            call(halt_division_by_zero);
            a_.jmp(exit_);
        }
        if (interrupted_.isValid()) {
            a_.bind(interrupted_);
            write_back_all();
            call(halt_interrupted);
            a_.jmp(exit_);
        }
    }
};

}  // namespace

CompiledLoop compile_x86_64(const Translation& t, const NativePlan& plan) {
    CodeHolder code;
    NativeFailure failure;
    x86::Assembler a;
    if (!prepare_holder(code, failure, a)) return nullptr;
    // Aligning a loop pads with a few long no-ops, not one-byte ones: the
    // padding runs each time the loop starts.
    a.addEncodingOptions(EncodingOptions::kOptimizedAlign);
    Compiler compiler(t, plan, a);
    if (!compiler.compile() || failure.failed) return nullptr;
    return place_code(code);
}
