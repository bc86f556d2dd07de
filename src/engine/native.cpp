// The native back end: compiles a translated loop body with asmjit's
// register-allocating compiler. Every variable the body computes with gets a
// register for the whole replay; it is loaded on entry and written back to
// its Symbol wherever other code can see it: around a print or read of that
// variable, and at every way out (the end, a break out of the replayed loop,
// a division by zero, an interrupt). The operations mirror the helpers of
// effects.h exactly (division by a constant is divide_by_magic's multiply
// and shifts); the tests run every loop program through both.
#include "engine/native.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <unordered_map>
#include <vector>

#include <asmjit/x86.h>

#include "errors/errors.h"
#include "engine/effects.h"
#include "engine/machine.h"
#include "engine/translate.h"

namespace {

using namespace asmjit;

using CompiledLoop = void (*)(int32_t count);

// Larger bodies or deeper nests than these run on the threaded replay:
// compile time grows faster than the gain.
constexpr int32_t MAX_OPS = 20000;
constexpr int32_t MAX_LOOP_DEPTH = 64;

// Tiering: a loop is compiled when the operations it is expected to run
// reach COMPILE_BASE plus COMPILE_PER_OP for each operation of its body.
// Measured in CPU time here, compiling costs about 0.8 ms for a body of ten
// operations and 20 us more for each further one, and native code saves
// about a nanosecond an operation over the threaded replay.
constexpr double COMPILE_BASE = 1e6;
constexpr double COMPILE_PER_OP = 2e4;

// One region of code memory, reused by every loop: mapped read-write to copy
// code in, then read-execute to run it, never both at once.
void* code_memory;
size_t code_memory_size;

struct Failure : ErrorHandler {
    bool failed = false;
    void handleError(Error, const char*, BaseEmitter*) override { failed = true; }
};

// Copies the finished code into the region and makes it executable.
// Returns null when memory cannot be had or made executable.
CompiledLoop place_code(CodeHolder& code) {
    if (code.flatten() || code.resolveUnresolvedLinks()) return nullptr;
    size_t size = code.codeSize();
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t needed = (size + page - 1) / page * page;
    if (needed > code_memory_size) {
        if (code_memory) munmap(code_memory, code_memory_size);
        code_memory = nullptr;
        code_memory_size = 0;
        void* p = mmap(nullptr, needed, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        code_memory = p;
        code_memory_size = needed;
    } else if (mprotect(code_memory, code_memory_size, PROT_READ | PROT_WRITE) != 0) {
        return nullptr;
    }
    if (code.relocateToBase(reinterpret_cast<uint64_t>(code_memory)) ||
        code.copyFlattenedData(code_memory, code_memory_size, CopySectionFlags::kPadTargetBuffer))
        return nullptr;
    if (mprotect(code_memory, code_memory_size, PROT_READ | PROT_EXEC) != 0) return nullptr;
    return reinterpret_cast<CompiledLoop>(code_memory);
}

template <typename F>
uint64_t address_of(F* f) {
    return reinterpret_cast<uint64_t>(f);
}

class Compiler {
public:
    Compiler(const Translation& t, x86::Compiler& cc) : t_(t), cc_(cc) {}

    // Returns false when the body holds something the back end does not handle.
    bool compile() {
        if (!collect_variables()) return false;
        FuncNode* func = cc_.addFunc(FuncSignatureT<void, int32_t>(CallConvId::kHost));
        x86::Gp outer = cc_.newInt32("passes");
        func->setArg(0, outer);
        loops_.push_back(outer);

        interrupt_ = cc_.newIntPtr("interrupt");
        cc_.mov(interrupt_, imm(reinterpret_cast<uint64_t>(&interrupt_signal)));
        for (Variable& v : vars_) load(v);

        static_assert(T_EQ_RR == T_GT_II + 1);
        // Labels only where a jump lands: every label starts a block of the
        // register allocator's, and blocks cost compile time.
        labels_.resize(t_.size + 1);
        for (int32_t i = 0; i < t_.size; ++i) {
            const TranslatedOp& op = t_.ops[i];
            if (op.code == T_LOOP_I || op.code == T_LOOP_R) target(op.jump + 1);
            else if (op.code == T_LOOP_END || (op.code >= T_EQ_II && op.code <= T_GT_RR)) target(op.jump);
        }
        done_ = cc_.newLabel();
        exit_ = cc_.newLabel();
        for (int32_t i = 0; i < t_.size; ++i) {
            if (labels_[i].isValid()) cc_.bind(labels_[i]);
            if (!emit(i)) return false;
        }
        cc_.bind(done_);
        write_back_all();
        cc_.bind(exit_);
        cc_.ret();
        emit_stubs();
        cc_.endFunc();
        return true;
    }

private:
    struct Variable {
        void*    slot;
        bool     real;
        x86::Gp  gp;
        x86::Xmm xmm;
    };

    // An integer division by zero found at a record, or an interrupt (at null).
    struct Stub {
        Label              label;
        const Instruction* at;
    };

    const Translation&         t_;
    x86::Compiler&             cc_;
    std::vector<Variable>      vars_;
    std::unordered_map<const void*, size_t> var_index_;
    std::unordered_map<const void*, x86::Gp>  int_temps_;
    std::unordered_map<const void*, x86::Xmm> real_temps_;
    std::vector<x86::Gp>       loops_;          // pass counters of the open loops, outermost first
    std::vector<int32_t>       loop_ends_;      // their LOOP_END operations, inner loops only
    std::vector<Label>         labels_;         // by operation index
    std::vector<Stub>          stubs_;
    x86::Gp                    interrupt_;
    Label                      done_;
    Label                      exit_;
    Label                      interrupted_;

    void target(int32_t i) {
        if (!labels_[i].isValid()) labels_[i] = cc_.newLabel();
    }

    bool note_variable(void* slot, bool real) {
        auto [it, added] = var_index_.try_emplace(slot, vars_.size());
        if (added) {
            Variable v{slot, real, {}, {}};
            if (real) v.xmm = cc_.newXmmSd();
            else v.gp = cc_.newInt32();
            vars_.push_back(v);
            return true;
        }
        return vars_[it->second].real == real;  // one type a variable, or no native code
    }

    static bool is_real(TranslatedCode c) {
        switch (c) {
        case T_ADD_R:
        case T_SUB_R:
        case T_MUL_R:
        case T_DIV_R:
        case T_MOVE_R:
        case T_RAND_R:
        case T_INC_R:
        case T_DEC_R:
        case T_EQ_RR:
        case T_NE_RR:
        case T_LE_RR:
        case T_GE_RR:
        case T_LT_RR:
        case T_GT_RR:
        case T_LOOP_R: return true;
        case T_ADD_I:
        case T_SUB_I:
        case T_MUL_I:
        case T_DIV_I:
        case T_MOVE_I:
        case T_INT_OF_R:
        case T_REAL_OF_I:
        case T_RAND_I:
        case T_INC_I:
        case T_DEC_I:
        case T_EQ_II:
        case T_NE_II:
        case T_LE_II:
        case T_GE_II:
        case T_LT_II:
        case T_GT_II:
        case T_PRINT_STR:
        case T_PRINT_VAR:
        case T_PRINT_NL:
        case T_FPRINT_STR:
        case T_FPRINT_VAR:
        case T_FPRINT_NL:
        case T_INPUT:
        case T_LOOP_I:
        case T_LOOP_END:
        case T_BREAK: return false;
        }
        return false;
    }

    // Every variable the operations compute with. Prints and reads leave
    // their variables in memory unless something else holds them.
    bool collect_variables() {
        if (t_.size > MAX_OPS || t_.loop_depth > MAX_LOOP_DEPTH) return false;
        for (int32_t i = 0; i < t_.size; ++i) {
            const TranslatedOp& op = t_.ops[i];
            bool real = is_real(op.code);
            switch (op.code) {
            case T_INT_OF_R:
                if (op.pd == Place::VAR && !note_variable(op.d, false)) return false;
                if (op.pa == Place::VAR && !note_variable(op.a, true)) return false;
                break;
            case T_REAL_OF_I:
                if (op.pd == Place::VAR && !note_variable(op.d, true)) return false;
                if (op.pa == Place::VAR && !note_variable(op.a, false)) return false;
                break;
            case T_INC_I:
            case T_INC_R:
            case T_DEC_I:
            case T_DEC_R:
                if (!note_variable(&static_cast<Symbol*>(op.d)->value, real)) return false;
                break;
            case T_PRINT_STR:
            case T_PRINT_VAR:
            case T_PRINT_NL:
            case T_FPRINT_STR:
            case T_FPRINT_VAR:
            case T_FPRINT_NL:
            case T_INPUT:
            case T_LOOP_END:
            case T_BREAK: break;
            case T_ADD_I:
            case T_SUB_I:
            case T_MUL_I:
            case T_DIV_I:
            case T_ADD_R:
            case T_SUB_R:
            case T_MUL_R:
            case T_DIV_R:
            case T_MOVE_I:
            case T_MOVE_R:
            case T_RAND_I:
            case T_RAND_R:
            case T_EQ_II:
            case T_NE_II:
            case T_LE_II:
            case T_GE_II:
            case T_LT_II:
            case T_GT_II:
            case T_EQ_RR:
            case T_NE_RR:
            case T_LE_RR:
            case T_GE_RR:
            case T_LT_RR:
            case T_GT_RR:
            case T_LOOP_I:
            case T_LOOP_R:
                if (op.pd == Place::VAR && !note_variable(op.d, real)) return false;
                if (op.pa == Place::VAR && !note_variable(op.a, real)) return false;
                if (op.pb == Place::VAR && !note_variable(op.b, real)) return false;
                break;
            }
        }
        return true;
    }

    x86::Gp address(const void* p) {
        x86::Gp a = cc_.newIntPtr();
        cc_.mov(a, imm(reinterpret_cast<uint64_t>(p)));
        return a;
    }

    void load(Variable& v) {
        x86::Gp a = address(v.slot);
        if (v.real) cc_.movsd(v.xmm, x86::qword_ptr(a));
        else cc_.mov(v.gp, x86::dword_ptr(a));
    }

    void write_back(const Variable& v) {
        x86::Gp a = address(v.slot);
        if (v.real) cc_.movsd(x86::qword_ptr(a), v.xmm);
        else cc_.mov(x86::dword_ptr(a), v.gp);
    }

    void write_back_all() {
        for (const Variable& v : vars_) write_back(v);
    }

    const Variable* variable_of(const void* slot) {
        auto it = var_index_.find(slot);
        return it == var_index_.end() ? nullptr : &vars_[it->second];
    }

    // An integer operand as a register; constants are put in a fresh one.
    x86::Gp int_reg(Place place, const void* slot) {
        switch (place) {
        case Place::VAR: return vars_[var_index_.at(slot)].gp;
        case Place::TEMP: return int_temps_.at(slot);
        case Place::CONST:
        case Place::NONE: break;
        }
        x86::Gp r = cc_.newInt32();
        cc_.mov(r, imm(*static_cast<const int32_t*>(slot)));
        return r;
    }

    // An integer operand as a register or an immediate.
    Operand int_src(Place place, const void* slot) {
        if (place == Place::CONST) return imm(*static_cast<const int32_t*>(slot));
        return int_reg(place, slot);
    }

    x86::Xmm real_reg(Place place, const void* slot) {
        switch (place) {
        case Place::VAR: return vars_[var_index_.at(slot)].xmm;
        case Place::TEMP: return real_temps_.at(slot);
        case Place::CONST:
        case Place::NONE: break;
        }
        x86::Xmm r = cc_.newXmmSd();
        cc_.movsd(r, real_constant(*static_cast<const double*>(slot)));
        return r;
    }

    x86::Mem real_constant(double x) {
        return cc_.newDoubleConst(ConstPoolScope::kLocal, x);
    }

    // A real operand as a register or a constant in memory.
    Operand real_src(Place place, const void* slot) {
        if (place == Place::CONST) return real_constant(*static_cast<const double*>(slot));
        return real_reg(place, slot);
    }

    // A fresh register for an operation's result; set_ puts it where d names.
    void set_int(const TranslatedOp& op, const x86::Gp& value) {
        if (op.pd == Place::VAR) cc_.mov(vars_[var_index_.at(op.d)].gp, value);
        else int_temps_[op.d] = value;
    }

    void set_real(const TranslatedOp& op, const x86::Xmm& value) {
        if (op.pd == Place::VAR) cc_.movapd(vars_[var_index_.at(op.d)].xmm, value);
        else real_temps_[op.d] = value;
    }

    void emit_int_arith(const TranslatedOp& op, Arith a) {
        x86::Gp r = cc_.newInt32();
        cc_.mov(r, int_reg(op.pa, op.a));
        Operand b = int_src(op.pb, op.b);
        switch (a) {
        case Arith::ADD: cc_.emit(x86::Inst::kIdAdd, r, b); break;
        case Arith::SUB: cc_.emit(x86::Inst::kIdSub, r, b); break;
        case Arith::MUL: cc_.emit(x86::Inst::kIdImul, r, b); break;
        case Arith::DIV: emit_division(op, r); break;
        }
        set_int(op, r);
    }

    // r = r / b as wrap_div does it: a zero divisor stops the run, and -1
    // negates (the hardware divide would trap on INT32_MIN).
    void emit_division(const TranslatedOp& op, const x86::Gp& r) {
        Stub stub{cc_.newLabel(), op.at};
        if (op.pb == Place::CONST) {
            int32_t k = *static_cast<const int32_t*>(op.b);
            if (k == 0) {
                stubs_.push_back(stub);
                cc_.jmp(stub.label);
                return;
            }
            if (k == -1) {
                cc_.neg(r);
                return;
            }
            if (k == 1) return;
            if (k > 1) {
                divide_by_constant(r, division_magic(k));
                return;
            }
        }
        x86::Gp b = int_reg(op.pb, op.b);
        if (op.pb != Place::CONST) {
            stubs_.push_back(stub);
            cc_.test(b, b);
            cc_.jz(stub.label);
        }
        Label divide = cc_.newLabel();
        Label done = cc_.newLabel();
        if (op.pb != Place::CONST) {
            cc_.cmp(b, -1);
            cc_.jne(divide);
            cc_.neg(r);
            cc_.jmp(done);
        }
        cc_.bind(divide);
        x86::Gp high = cc_.newInt32();
        cc_.cdq(high, r);
        cc_.idiv(high, r, b);
        cc_.bind(done);
    }

    // divide_by_magic, step for step.
    void divide_by_constant(const x86::Gp& r, DivisionMagic m) {
        x86::Gp wide = cc_.newGpq();
        cc_.movsxd(wide, r);
        cc_.imul(wide, wide, imm(m.magic));
        cc_.sar(wide, 32);
        x86::Gp high = wide.r32();
        if (m.magic < 0) cc_.add(high, r);
        if (m.shift) cc_.sar(high, m.shift);
        x86::Gp sign = cc_.newInt32();
        cc_.mov(sign, high);
        cc_.shr(sign, 31);
        cc_.add(high, sign);
        cc_.mov(r, high);
    }

    void emit_real_arith(const TranslatedOp& op, Arith a) {
        x86::Xmm r = cc_.newXmmSd();
        Operand first = real_src(op.pa, op.a);
        if (first.isMem()) cc_.movsd(r, first.as<x86::Mem>());
        else cc_.movapd(r, first.as<x86::Xmm>());
        Operand b = real_src(op.pb, op.b);
        InstId id = x86::Inst::kIdAddsd;
        switch (a) {
        case Arith::ADD: id = x86::Inst::kIdAddsd; break;
        case Arith::SUB: id = x86::Inst::kIdSubsd; break;
        case Arith::MUL: id = x86::Inst::kIdMulsd; break;
        case Arith::DIV: id = x86::Inst::kIdDivsd; break;
        }
        cc_.emit(id, r, b);
        set_real(op, r);
    }

    // Jumps to the end of the block when the relation does not hold.
    void emit_int_compare(const TranslatedOp& op, Relation rel) {
        x86::Gp a = int_reg(op.pa, op.a);
        cc_.emit(x86::Inst::kIdCmp, a, int_src(op.pb, op.b));
        Label skip = labels_[op.jump];
        switch (rel) {
        case Relation::EQ: cc_.jne(skip); break;
        case Relation::NE: cc_.je(skip); break;
        case Relation::LE: cc_.jg(skip); break;
        case Relation::GE: cc_.jl(skip); break;
        case Relation::LT: cc_.jge(skip); break;
        case Relation::GT: cc_.jle(skip); break;
        }
    }

    // An unordered comparison (a NaN) sets ZF, PF and CF: it fails every
    // relation but "=!".
    void emit_real_compare(const TranslatedOp& op, Relation rel) {
        Label skip = labels_[op.jump];
        bool swapped = rel == Relation::LE || rel == Relation::LT;   // b => a, b > a
        x86::Xmm left = real_reg(swapped ? op.pb : op.pa, swapped ? op.b : op.a);
        Operand right = real_src(swapped ? op.pa : op.pb, swapped ? op.a : op.b);
        cc_.emit(x86::Inst::kIdUcomisd, left, right);
        switch (rel) {
        case Relation::EQ:
            cc_.jne(skip);
            cc_.jp(skip);
            break;
        case Relation::NE: {
            Label holds = cc_.newLabel();
            cc_.jp(holds);
            cc_.je(skip);
            cc_.bind(holds);
            break;
        }
        case Relation::GE:
        case Relation::LE: cc_.jb(skip); break;
        case Relation::GT:
        case Relation::LT: cc_.jbe(skip); break;
        }
    }

    // Truncates through 64 bits and keeps the low 32: the hardware gives
    // 2^63 for NaN, the infinities and anything out of range, whose low 32
    // bits are 0, just as real_to_int gives.
    x86::Gp int_of_real(const Operand& x) {
        x86::Gp wide = cc_.newGpq();
        if (x.isMem()) cc_.cvttsd2si(wide, x.as<x86::Mem>());
        else cc_.cvttsd2si(wide, x.as<x86::Xmm>());
        x86::Gp r = cc_.newInt32();
        cc_.mov(r, wide.r32());
        return r;
    }

    x86::Xmm real_of_int(const x86::Gp& x) {
        x86::Xmm r = cc_.newXmmSd();
        cc_.xorpd(r, r);
        cc_.cvtsi2sd(r, x);
        return r;
    }

    x86::Gp draw() {
        InvokeNode* call;
        cc_.invoke(&call, address_of(draw_random), FuncSignatureT<int32_t>(CallConvId::kHost));
        x86::Gp r = cc_.newInt32();
        call->setRet(0, r);
        return r;
    }

    // A FILE* global's current value: stdout, or the file-print stream.
    x86::Gp stream(bool file) {
        x86::Gp f = cc_.newIntPtr();
        cc_.mov(f, x86::qword_ptr(address(file ? static_cast<const void*>(&machine.output) : &stdout)));
        return f;
    }

    // A call's arguments are computed before its node is added.
    void call_print_text(bool file, const void* text) {
        x86::Gp f = stream(file);
        InvokeNode* call;
        cc_.invoke(&call, address_of(print_text), FuncSignatureT<void, FILE*, const char*>(CallConvId::kHost));
        call->setArg(0, f);
        call->setArg(1, imm(reinterpret_cast<uint64_t>(text)));
    }

    void call_print_value(bool file, Symbol* sym) {
        if (const Variable* v = variable_of(&sym->value)) write_back(*v);
        x86::Gp f = stream(file);
        InvokeNode* call;
        cc_.invoke(&call, address_of(print_value), FuncSignatureT<void, FILE*, const Symbol*>(CallConvId::kHost));
        call->setArg(0, f);
        call->setArg(1, imm(reinterpret_cast<uint64_t>(sym)));
    }

    void call_print_newline(bool file) {
        x86::Gp f = stream(file);
        InvokeNode* call;
        cc_.invoke(&call, address_of(print_newline), FuncSignatureT<void, FILE*>(CallConvId::kHost));
        call->setArg(0, f);
    }

    // A read that finds no number leaves the variable as it was, so it is
    // written back first, and loaded again after.
    void call_read_input(Symbol* sym) {
        Variable* v = const_cast<Variable*>(variable_of(&sym->value));
        if (v) write_back(*v);
        InvokeNode* call;
        cc_.invoke(&call, address_of(read_input), FuncSignatureT<void, Symbol*>(CallConvId::kHost));
        call->setArg(0, imm(reinterpret_cast<uint64_t>(sym)));
        if (v) load(*v);
    }

    void emit_loop_start(const TranslatedOp& op) {
        x86::Gp passes;
        if (op.code == T_LOOP_R) {
            passes = int_of_real(real_src(op.pa, op.a));
        } else {
            passes = cc_.newInt32();
            cc_.emit(x86::Inst::kIdMov, passes, int_src(op.pa, op.a));
        }
        cc_.test(passes, passes);
        cc_.jle(labels_[op.jump + 1]);  // no pass
        loops_.push_back(passes);
        loop_ends_.push_back(op.jump);
    }

    void emit_loop_end(const TranslatedOp& op) {
#ifdef RILL_FUZZING
        InvokeNode* call;
        cc_.invoke(&call, address_of(spend_loop_pass), FuncSignatureT<void>(CallConvId::kHost));
#endif
        if (!interrupted_.isValid()) interrupted_ = cc_.newLabel();
        cc_.cmp(x86::dword_ptr(interrupt_), 0);
        cc_.jne(interrupted_);
        x86::Gp passes = loops_.back();
        cc_.dec(passes);
        cc_.jnz(labels_[op.jump]);
        if (loops_.size() > 1) {
            loops_.pop_back();
            loop_ends_.pop_back();
        }
    }

    void emit_break() {
        // Leaves the innermost loop; out of the replayed loop itself, the run
        // of the body ends.
        if (loop_ends_.empty()) cc_.jmp(done_);
        else cc_.jmp(labels_[loop_ends_.back() + 1]);
    }

    bool emit(int32_t i) {
        const TranslatedOp& op = t_.ops[i];
        switch (op.code) {
        case T_ADD_I:
        case T_SUB_I:
        case T_MUL_I:
        case T_DIV_I: emit_int_arith(op, static_cast<Arith>(op.code - T_ADD_I)); break;
        case T_ADD_R:
        case T_SUB_R:
        case T_MUL_R:
        case T_DIV_R: emit_real_arith(op, static_cast<Arith>(op.code - T_ADD_R)); break;
        case T_MOVE_I: {
            x86::Gp r = cc_.newInt32();
            cc_.emit(x86::Inst::kIdMov, r, int_src(op.pa, op.a));
            set_int(op, r);
            break;
        }
        case T_MOVE_R: {
            x86::Xmm r = cc_.newXmmSd();
            Operand a = real_src(op.pa, op.a);
            if (a.isMem()) cc_.movsd(r, a.as<x86::Mem>());
            else cc_.movapd(r, a.as<x86::Xmm>());
            set_real(op, r);
            break;
        }
        case T_INT_OF_R: set_int(op, int_of_real(real_src(op.pa, op.a))); break;
        case T_REAL_OF_I: set_real(op, real_of_int(int_reg(op.pa, op.a))); break;
        case T_RAND_I: {
            // scale_random: wrap_mul(r, top) / RANDOM_RANGE, rounding toward zero.
            static_assert(RANDOM_RANGE == 1 << 15);
            x86::Gp r = draw();
            cc_.emit(x86::Inst::kIdImul, r, int_src(op.pa, op.a));
            x86::Gp bias = cc_.newInt32();
            cc_.mov(bias, r);
            cc_.sar(bias, 31);
            cc_.shr(bias, 32 - 15);
            cc_.add(r, bias);
            cc_.sar(r, 15);
            set_int(op, r);
            break;
        }
        case T_RAND_R: {
            // scale_random: r * top / RANDOM_RANGE.
            x86::Xmm r = real_of_int(draw());
            cc_.emit(x86::Inst::kIdMulsd, r, real_src(op.pa, op.a));
            cc_.divsd(r, real_constant(RANDOM_RANGE));
            set_real(op, r);
            break;
        }
        case T_INC_I:
        case T_DEC_I: {
            const Variable* v = variable_of(&static_cast<Symbol*>(op.d)->value);
            cc_.add(v->gp, op.code == T_INC_I ? 1 : -1);
            break;
        }
        case T_INC_R:
        case T_DEC_R: {
            // step_real: v + 1 or v + -1.
            const Variable* v = variable_of(&static_cast<Symbol*>(op.d)->value);
            cc_.addsd(v->xmm, real_constant(op.code == T_INC_R ? 1.0 : -1.0));
            break;
        }
        case T_EQ_II:
        case T_NE_II:
        case T_LE_II:
        case T_GE_II:
        case T_LT_II:
        case T_GT_II: emit_int_compare(op, static_cast<Relation>(op.code - T_EQ_II)); break;
        case T_EQ_RR:
        case T_NE_RR:
        case T_LE_RR:
        case T_GE_RR:
        case T_LT_RR:
        case T_GT_RR: emit_real_compare(op, static_cast<Relation>(op.code - T_EQ_RR)); break;
        case T_PRINT_STR: call_print_text(false, op.d); break;
        case T_PRINT_VAR: call_print_value(false, static_cast<Symbol*>(op.d)); break;
        case T_PRINT_NL: call_print_newline(false); break;
        case T_FPRINT_STR: call_print_text(true, op.d); break;
        case T_FPRINT_VAR: call_print_value(true, static_cast<Symbol*>(op.d)); break;
        case T_FPRINT_NL: call_print_newline(true); break;
        case T_INPUT: call_read_input(static_cast<Symbol*>(op.d)); break;
        case T_LOOP_I:
        case T_LOOP_R: emit_loop_start(op); break;
        case T_LOOP_END: emit_loop_end(op); break;
        case T_BREAK: emit_break(); break;
        }
        return true;
    }

    void emit_stubs() {
        for (const Stub& s : stubs_) {
            cc_.bind(s.label);
            write_back_all();
            InvokeNode* call;
            cc_.invoke(&call, address_of(halt_division_by_zero),
                       FuncSignatureT<void, const Instruction*>(CallConvId::kHost));
            call->setArg(0, imm(reinterpret_cast<uint64_t>(s.at)));
            cc_.jmp(exit_);
        }
        if (interrupted_.isValid()) {
            cc_.bind(interrupted_);
            write_back_all();
            InvokeNode* call;
            cc_.invoke(&call, address_of(stop_interrupted), FuncSignatureT<void>(CallConvId::kHost));
            cc_.jmp(exit_);     // not reached
        }
    }
};

// The operations a loop is expected to run: each operation weighted by the
// passes of the loops around it, as their counts read now.
double expected_work(const Translation& t, int32_t count) {
    double weight = count;
    double work = 0;
    std::vector<double> weights;
    for (int32_t i = 0; i < t.size; ++i) {
        const TranslatedOp& op = t.ops[i];
        work += weight;
        if (op.code == T_LOOP_I || op.code == T_LOOP_R) {
            int32_t passes =
                op.code == T_LOOP_I ? *static_cast<const int32_t*>(op.a) : real_to_int(*static_cast<const double*>(op.a));
            weights.push_back(weight);
            weight *= passes > 1 ? passes : 1;
        } else if (op.code == T_LOOP_END && !weights.empty()) {
            weight = weights.back();
            weights.pop_back();
        }
    }
    return work;
}

}  // namespace

bool run_native(int32_t count, bool tiered) {
    const Translation& t = last_translation();
    if (tiered && expected_work(t, count) < COMPILE_BASE + COMPILE_PER_OP * t.size) return false;

    CodeHolder code;
    Failure failure;
    code.init(Environment::host());
    code.setErrorHandler(&failure);
    x86::Compiler cc(&code);
    Compiler compiler(t, cc);
    if (!compiler.compile() || failure.failed || cc.finalize() || failure.failed) return false;
    CompiledLoop loop = place_code(code);
    if (!loop) return false;
    loop(count);
    return true;
}
