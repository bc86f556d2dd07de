// The native back end: compiles a translated loop body to x86-64 code in one
// pass with asmjit's assembler. Homes are chosen before any code is written:
// the variables, temporaries and loop counters used most, each use weighted
// by the loops around it, get a register for the whole replay, the rest a
// slot in the stack frame. No register allocator runs, so compiling costs a
// few instructions' worth of work an operation. Two passes over the
// operations shape the code: work an inner loop's passes cannot change is
// done once before the loop, and a short block that only computes integers
// runs without a branch.
//
// Variables are loaded on entry and written back to their Symbols wherever
// other code can see them: around a print or read of that variable, and at
// every way out (the end, a break out of the replayed loop, a division by
// zero, an interrupt). The operations mirror the helpers of effects.h
// exactly (division by a constant is divide_by_magic's multiply and shifts,
// or divide_by_power_of_two's); the tests run every loop program through
// both.
#include "engine/native.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
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

// Larger bodies or deeper nests than these run on the threaded replay.
constexpr int32_t MAX_OPS = 20000;
constexpr int32_t MAX_LOOP_DEPTH = 64;
// A body whose values need a larger stack frame than this (tens of thousands
// of them) runs on the threaded replay too.
constexpr int32_t MAX_FRAME = 1 << 18;

// Tiering: a loop is compiled when the operations it is expected to run
// reach COMPILE_BASE plus COMPILE_PER_OP for each operation of its body.
// Measured here (bench/run compile), compiling costs about 16 us, most of it
// mapping and protecting the code, and under a tenth of a microsecond an
// operation; native code saves one to two nanoseconds an operation over the
// threaded replay.
constexpr double COMPILE_BASE = 2e4;
constexpr double COMPILE_PER_OP = 100;

int32_t loops_compiled;
int32_t loops_declined;

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

template <typename T>
Imm address_of(T* p) {
    return imm(reinterpret_cast<uint64_t>(p));
}

// rax, rcx, rdx, xmm14 and xmm15 are scratch: no value lives in them across
// operations. The rest hold homes; the first CALLEE_SAVED survive calls.
const x86::Gp GP_POOL[] = {x86::rbx, x86::rbp, x86::r12, x86::r13, x86::r14, x86::r15,
                           x86::rsi, x86::rdi, x86::r8,  x86::r9,  x86::r10, x86::r11};
constexpr int GP_COUNT = sizeof GP_POOL / sizeof GP_POOL[0];
constexpr int CALLEE_SAVED = 6;
constexpr int XMM_COUNT = 14;
const x86::Xmm SCRATCH_XMM = x86::xmm15;

// The frame: the save area for the caller-saved registers in use, then one
// slot for each home without a register.
constexpr int32_t SAVE_GP = 0;
constexpr int32_t SAVE_XMM = SAVE_GP + 8 * (GP_COUNT - CALLEE_SAVED);
constexpr int32_t SPILL_BASE = SAVE_XMM + 8 * XMM_COUNT;

class Compiler {
public:
    Compiler(const Translation& t, x86::Assembler& a) : t_(t), a_(a) {}

    // Returns false when the body holds something the back end does not handle.
    bool compile() {
        if (t_.size > MAX_OPS || t_.loop_depth > MAX_LOOP_DEPTH) return false;
        if (!collect()) return false;
        plan_hoisting();
        assign_homes();
        if (frame_ > MAX_FRAME) return false;

        labels_.resize(t_.size + 1);
        for (int32_t i = 0; i < t_.size; ++i) {
            const TranslatedOp& op = t_.ops[i];
            if (op.code == T_LOOP_I || op.code == T_LOOP_R) target(op.jump + 1);
            else if (op.code == T_LOOP_END || (op.code >= T_EQ_II && op.code <= T_GT_RR)) target(op.jump);
        }
        done_ = a_.newLabel();
        exit_ = a_.newLabel();

        prologue();
        for (int32_t i = 0; i < t_.size; ++i) {
            if (labels_[i].isValid()) a_.bind(labels_[i]);
            if (i == inner_end_) condition_ = x86::cl;
            if (i == converted_end_) converted_end_ = inner_end_ = -1;
            if (hoisted_home_[i] >= 0) continue;   // done before its loop began
            current_ = i;
            const TranslatedOp& op = t_.ops[i];
            if (is_compare(op.code)) {
                emit_compare(op, i);
                if (break_only(op, i)) ++i;     // emit_compare jumped to the break's target
            } else {
                emit(op, i);
            }
        }
        a_.bind(done_);
        write_back_all();
        a_.bind(exit_);
        epilogue();
        emit_stubs();
        emit_constants();
        return true;
    }

private:
    // Where a value lives for the whole replay: a register of its kind, or a
    // frame slot.
    struct Home {
        const void* slot;   // a variable's value, else null
        bool        real;
        bool        wide;   // a 64-bit address, not a 32-bit integer
        int32_t     reg;    // into GP_POOL, or an xmm number; -1 for a frame slot
        int32_t     disp;
        double      weight;
    };

    // An integer division by zero found at a record, or an interrupt (at null).
    struct Stub {
        Label              label;
        const Instruction* at;
    };

    const Translation&                      t_;
    x86::Assembler&                         a_;
    std::vector<Home>                       homes_;
    std::unordered_map<const void*, int32_t> home_of_;   // by slot: variables and temporaries
    std::vector<int32_t>                    counter_of_;  // by loop operation; the replayed loop's at t_.size
    int32_t                                 interrupt_ = 0;  // the home of &interrupt_signal
    std::vector<int32_t>                    loops_;       // the open loops' operations, outermost (t_.size) first
    std::vector<Label>                      labels_;      // by operation index
    std::vector<Stub>                       stubs_;
    std::vector<std::pair<uint64_t, Label>> constants_;
    std::unordered_map<uint64_t, size_t>    constant_of_;
    Label                                   done_;
    Label                                   exit_;
    // Inside a block run without a branch: where it ends, where the block
    // nested in it ends, and the byte register that holds 1 when the
    // innermost open block's test holds.
    int32_t                                 converted_end_ = -1;
    int32_t                                 inner_end_ = -1;
    x86::Gp                                 condition_ = x86::cl;
    Label                                   interrupted_;
    // Loop-invariant operations, computed once before their loop starts:
    // by operation, the home its value has instead (or -1), the homes its
    // operands a and b are read from instead of their temporaries (or -1),
    // and, by loop, the operations computed before it.
    std::vector<int32_t>                    hoisted_home_;
    std::vector<std::pair<int32_t, int32_t>> read_home_;
    std::unordered_map<int32_t, std::vector<int32_t>> preheader_;
    std::vector<int32_t>                    depth_of_;    // by operation: the loops around it in the body
    int32_t                                 current_ = -1;  // the operation being emitted
    int32_t                                 gp_used_ = 0;
    int32_t                                 xmm_used_ = 0;
    int32_t                                 frame_ = 0;

    void target(int32_t i) {
        if (!labels_[i].isValid()) labels_[i] = a_.newLabel();
    }

    static double weight_at(int32_t depth) {
        double w = 1;
        for (int32_t i = 0; i < depth && i < 10; ++i) w *= 8;
        return w;
    }

    int32_t new_home(const void* slot, bool real, double weight) {
        homes_.push_back({slot, real, false, -1, 0, weight});
        return static_cast<int32_t>(homes_.size() - 1);
    }

    // A variable or temporary used at depth; false when one slot is used as
    // both types, which the back end does not handle.
    bool note(Place place, const void* slot, bool real, int32_t depth) {
        if (place == Place::CONST) return true;
        if (place != Place::VAR && place != Place::TEMP) return false;
        auto [it, added] = home_of_.try_emplace(slot, 0);
        if (added) it->second = new_home(place == Place::VAR ? slot : nullptr, real, 0);
        Home& h = homes_[it->second];
        h.weight += weight_at(depth);
        return h.real == real;
    }

    // What each code does, in the terms the passes below ask about; real
    // tells the type of the value written (or compared, or counted).
    enum class Kind : uint8_t { ARITH, MOVE, INT_OF_REAL, REAL_OF_INT, RAND, STEP, COMPARE, PRINT, INPUT, LOOP, LOOP_END, BREAK };
    struct Shape {
        Kind kind;
        bool real;
    };

    static constexpr Shape shape_of(TranslatedCode c) {
        switch (c) {
        case T_ADD_I:
        case T_SUB_I:
        case T_MUL_I:
        case T_DIV_I: return {Kind::ARITH, false};
        case T_ADD_R:
        case T_SUB_R:
        case T_MUL_R:
        case T_DIV_R: return {Kind::ARITH, true};
        case T_MOVE_I: return {Kind::MOVE, false};
        case T_MOVE_R: return {Kind::MOVE, true};
        case T_INT_OF_R: return {Kind::INT_OF_REAL, false};
        case T_REAL_OF_I: return {Kind::REAL_OF_INT, true};
        case T_RAND_I: return {Kind::RAND, false};
        case T_RAND_R: return {Kind::RAND, true};
        case T_INC_I:
        case T_DEC_I: return {Kind::STEP, false};
        case T_INC_R:
        case T_DEC_R: return {Kind::STEP, true};
        case T_EQ_II:
        case T_NE_II:
        case T_LE_II:
        case T_GE_II:
        case T_LT_II:
        case T_GT_II: return {Kind::COMPARE, false};
        case T_EQ_RR:
        case T_NE_RR:
        case T_LE_RR:
        case T_GE_RR:
        case T_LT_RR:
        case T_GT_RR: return {Kind::COMPARE, true};
        case T_PRINT_STR:
        case T_PRINT_VAR:
        case T_PRINT_NL:
        case T_FPRINT_STR:
        case T_FPRINT_VAR:
        case T_FPRINT_NL: return {Kind::PRINT, false};
        case T_INPUT: return {Kind::INPUT, false};
        case T_LOOP_I: return {Kind::LOOP, false};
        case T_LOOP_R: return {Kind::LOOP, true};
        case T_LOOP_END: return {Kind::LOOP_END, false};
        case T_BREAK: return {Kind::BREAK, false};
        }
        return {Kind::BREAK, false};
    }

    // Every value the operations compute with, and the loop counters. Prints
    // and reads leave their variables in memory unless something else
    // computes with them.
    bool collect() {
        counter_of_.assign(t_.size + 1, -1);
        counter_of_[t_.size] = new_home(nullptr, false, weight_at(0));
        interrupt_ = new_home(nullptr, false, 0);
        homes_[interrupt_].wide = true;
        int32_t depth = 0;
        depth_of_.assign(t_.size, 0);
        for (int32_t i = 0; i < t_.size; ++i) {
            const TranslatedOp& op = t_.ops[i];
            Shape shape = shape_of(op.code);
            bool real = shape.real;
            bool ok = true;
            depth_of_[i] = depth;
            switch (shape.kind) {
            case Kind::INT_OF_REAL: ok = note(op.pd, op.d, false, depth) && note(op.pa, op.a, true, depth); break;
            case Kind::REAL_OF_INT: ok = note(op.pd, op.d, true, depth) && note(op.pa, op.a, false, depth); break;
            case Kind::STEP: ok = note(Place::VAR, &static_cast<Symbol*>(op.d)->value, real, depth); break;
            case Kind::PRINT:
            case Kind::INPUT:
            case Kind::BREAK: break;
            case Kind::LOOP_END:
                homes_[interrupt_].weight += weight_at(depth);
                if (i < t_.size - 1) --depth;
                break;
            case Kind::RAND:
            case Kind::MOVE: ok = note(op.pd, op.d, real, depth) && note(op.pa, op.a, real, depth); break;
            case Kind::ARITH:
                ok = note(op.pd, op.d, real, depth) && note(op.pa, op.a, real, depth) &&
                     note(op.pb, op.b, real, depth);
                break;
            case Kind::COMPARE: ok = note(op.pa, op.a, real, depth) && note(op.pb, op.b, real, depth); break;
            case Kind::LOOP:
                ok = note(op.pa, op.a, real, depth);
                ++depth;
                counter_of_[i] = new_home(nullptr, false, 2 * weight_at(depth));
                break;
            }
            if (!ok) return false;
        }
        return true;
    }

    // Whether op computes its value from its operands alone: nothing else
    // is read or written, and nothing can stop the run.
    static bool pure(const TranslatedOp& op) {
        switch (shape_of(op.code).kind) {
        case Kind::ARITH:
            return op.code != T_DIV_I || (op.pb == Place::CONST && *static_cast<const int32_t*>(op.b) != 0);
        case Kind::INT_OF_REAL:
        case Kind::REAL_OF_INT: return true;
        case Kind::MOVE:
        case Kind::RAND:
        case Kind::STEP:
        case Kind::COMPARE:
        case Kind::PRINT:
        case Kind::INPUT:
        case Kind::LOOP:
        case Kind::LOOP_END:
        case Kind::BREAK: break;
        }
        return false;
    }

    // The variable an operation writes, or null.
    static const void* written_variable(const TranslatedOp& op) {
        switch (shape_of(op.code).kind) {
        case Kind::STEP:
        case Kind::INPUT: return &static_cast<const Symbol*>(op.d)->value;
        case Kind::ARITH:
        case Kind::MOVE:
        case Kind::INT_OF_REAL:
        case Kind::REAL_OF_INT:
        case Kind::RAND: return op.pd == Place::VAR ? op.d : nullptr;
        case Kind::COMPARE:
        case Kind::PRINT:
        case Kind::LOOP:
        case Kind::LOOP_END:
        case Kind::BREAK: break;
        }
        return nullptr;
    }

    // Operations of an inner loop's own body (not of loops nested in it)
    // whose operands no pass of the loop changes are computed once, before
    // the loop starts, into homes of their own: a pure operation run when
    // the loop runs no pass, or only where a block would have skipped it,
    // changes nothing anyone sees.
    void plan_hoisting() {
        hoisted_home_.assign(t_.size, -1);
        read_home_.assign(t_.size, {-1, -1});
        for (int32_t s = 0; s < t_.size; ++s)
            if (t_.ops[s].code == T_LOOP_I || t_.ops[s].code == T_LOOP_R) hoist_from(s);
    }

    void hoist_from(int32_t s) {
        int32_t end = t_.ops[s].jump;
        std::unordered_map<const void*, bool> written;
        for (int32_t k = s + 1; k < end; ++k)
            if (const void* v = written_variable(t_.ops[k])) written[v] = true;
        std::unordered_map<const void*, int32_t> defined_by;   // a temporary's last writer here
        auto hoisted = [&](const void* slot) {
            auto it = defined_by.find(slot);
            return it == defined_by.end() ? -1 : hoisted_home_[it->second];
        };
        auto invariant = [&](Place place, const void* slot) {
            return place == Place::CONST || (place == Place::VAR && !written.count(slot)) ||
                   (place == Place::TEMP && hoisted(slot) >= 0);
        };
        int32_t nested = 0;
        for (int32_t k = s + 1; k < end; ++k) {
            const TranslatedOp& op = t_.ops[k];
            if (op.code == T_LOOP_I || op.code == T_LOOP_R) ++nested;
            if (op.code == T_LOOP_END) --nested;
            if (nested > 0 || op.code == T_LOOP_END) {
                if (op.pd == Place::TEMP) defined_by.erase(op.d);
                continue;
            }
            if (op.pa == Place::TEMP) read_home_[k].first = hoisted(op.a);
            if (op.pb == Place::TEMP) read_home_[k].second = hoisted(op.b);
            if (op.pd != Place::TEMP) continue;
            defined_by[op.d] = k;
            bool b_invariant = op.pb == Place::NONE || invariant(op.pb, op.b);
            if (pure(op) && invariant(op.pa, op.a) && b_invariant) {
                hoisted_home_[k] = new_home(nullptr, shape_of(op.code).real, weight_at(depth_of_[k]));
                preheader_[s].push_back(k);
            }
        }
    }

    // The home an operation writes: its own, once it has been hoisted.
    const Home& dest_home(const TranslatedOp& op) {
        if (current_ >= 0 && &t_.ops[current_] == &op && hoisted_home_[current_] >= 0)
            return homes_[hoisted_home_[current_]];
        return homes_[home_of_.at(op.d)];
    }

    // The heaviest homes get registers; the rest, frame slots.
    void assign_homes() {
        std::vector<int32_t> order(homes_.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
        std::stable_sort(order.begin(), order.end(),
                         [this](int32_t x, int32_t y) { return homes_[x].weight > homes_[y].weight; });
        int32_t spills = 0;
        for (int32_t i : order) {
            Home& h = homes_[i];
            int32_t& used = h.real ? xmm_used_ : gp_used_;
            if (used < (h.real ? XMM_COUNT : GP_COUNT)) {
                h.reg = used++;
            } else {
                h.disp = SPILL_BASE + 8 * spills++;
            }
        }
        // Six pushes and the return address leave rsp 8 short of a multiple
        // of 16; the frame makes it whole, so that calls find it aligned.
        frame_ = SPILL_BASE + 8 * spills;
        if (frame_ % 16 == 0) frame_ += 8;
    }

    Operand int_home(const Home& h) {
        if (h.reg >= 0) return h.wide ? GP_POOL[h.reg] : GP_POOL[h.reg].r32();
        return x86::ptr(x86::rsp, h.disp, h.wide ? 8 : 4);
    }

    Operand real_home(const Home& h) {
        if (h.reg >= 0) return x86::xmm(static_cast<uint32_t>(h.reg));
        return x86::qword_ptr(x86::rsp, h.disp);
    }

    Operand int_src(Place place, const void* slot) {
        if (place == Place::CONST) return imm(*static_cast<const int32_t*>(slot));
        return int_home(source_home(place, slot));
    }

    Operand real_src(Place place, const void* slot) {
        if (place == Place::CONST) return constant(*static_cast<const double*>(slot));
        return real_home(source_home(place, slot));
    }

    // A temporary the current operation reads from a hoisted operation is
    // read from that operation's home.
    const Home& source_home(Place place, const void* slot) {
        if (place == Place::TEMP && current_ >= 0) {
            const TranslatedOp& op = t_.ops[current_];
            auto [a, b] = read_home_[current_];
            if (a >= 0 && slot == op.a) return homes_[a];
            if (b >= 0 && slot == op.b) return homes_[b];
        }
        return homes_[home_of_.at(slot)];
    }

    // A constant in the pool after the code, one copy of each bit pattern.
    const Label& pooled(uint64_t bits) {
        auto [it, added] = constant_of_.try_emplace(bits, constants_.size());
        if (added) constants_.emplace_back(bits, a_.newLabel());
        return constants_[it->second].second;
    }

    x86::Mem constant(double x) {
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return x86::qword_ptr(pooled(bits));
    }

    x86::Mem int_constant(int32_t k) {
        return x86::dword_ptr(pooled(static_cast<uint32_t>(k)));
    }

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
        if (h.real) move_real(real_home(h), x86::qword_ptr(x86::rcx));
        else move_int(int_home(h), x86::dword_ptr(x86::rcx));
    }

    void write_back(const Home& h) {
        a_.mov(x86::rcx, address_of(h.slot));
        if (h.real) move_real(x86::qword_ptr(x86::rcx), real_home(h));
        else move_int(x86::dword_ptr(x86::rcx), int_home(h));
    }

    void write_back_all() {
        for (const Home& h : homes_)
            if (h.slot) write_back(h);
    }

    const Home* variable_of(const Symbol* sym) {
        auto it = home_of_.find(&sym->value);
        return it == home_of_.end() ? nullptr : &homes_[it->second];
    }

    void prologue() {
        for (int i = 0; i < CALLEE_SAVED; ++i) a_.push(GP_POOL[i]);
        a_.sub(x86::rsp, frame_);
        // The pass count first, before rdi may be loaded with a variable.
        move_int(int_home(homes_[counter_of_[t_.size]]), x86::edi);
        for (const Home& h : homes_)
            if (h.slot) load(h);
        a_.mov(x86::rax, address_of(&interrupt_signal));
        a_.emit(x86::Inst::kIdMov, int_home(homes_[interrupt_]), x86::rax);
        loops_.push_back(t_.size);
    }

    void epilogue() {
        a_.add(x86::rsp, frame_);
        for (int i = CALLEE_SAVED - 1; i >= 0; --i) a_.pop(GP_POOL[i]);
        a_.ret();
    }

    // Calls keep the homes in caller-saved registers in the save area.
    void save() {
        for (int32_t i = CALLEE_SAVED; i < gp_used_; ++i)
            a_.mov(x86::qword_ptr(x86::rsp, SAVE_GP + 8 * (i - CALLEE_SAVED)), GP_POOL[i]);
        for (int32_t i = 0; i < xmm_used_; ++i)
            a_.movsd(x86::qword_ptr(x86::rsp, SAVE_XMM + 8 * i), x86::xmm(static_cast<uint32_t>(i)));
    }

    void restore() {
        for (int32_t i = CALLEE_SAVED; i < gp_used_; ++i)
            a_.mov(GP_POOL[i], x86::qword_ptr(x86::rsp, SAVE_GP + 8 * (i - CALLEE_SAVED)));
        for (int32_t i = 0; i < xmm_used_; ++i)
            a_.movsd(x86::xmm(static_cast<uint32_t>(i)), x86::qword_ptr(x86::rsp, SAVE_XMM + 8 * i));
    }

    template <typename F>
    void call(F* f) {
        a_.mov(x86::rax, address_of(f));
        a_.call(x86::rax);
    }

    // A FILE* global's current value into rdi: stdout, or the file-print stream.
    void stream(bool file) {
        a_.mov(x86::rax, file ? address_of(&machine.output) : address_of(&stdout));
        a_.mov(x86::rdi, x86::qword_ptr(x86::rax));
    }

    Label stub(const Instruction* at) {
        stubs_.push_back({a_.newLabel(), at});
        return stubs_.back().label;
    }

    void emit_int_arith(const TranslatedOp& op, Arith arith) {
        Operand d = int_home(dest_home(op));
        Operand x = int_src(op.pa, op.a);
        Operand y = int_src(op.pb, op.b);
        if (arith == Arith::DIV) {
            emit_division(op, d, x, y);
            return;
        }
        // d = x + y in one instruction, when all three are registers (or y a constant).
        if (arith == Arith::ADD && d.isReg() && !guarded(op) && x.isReg() && !same(d, x) && !same(d, y) &&
            (y.isReg() || y.isImm())) {
            x86::Gp base = x.as<x86::Gp>().r64();
            if (y.isReg()) a_.lea(d.as<x86::Gp>(), x86::ptr(base, y.as<x86::Gp>().r64()));
            else a_.lea(d.as<x86::Gp>(), x86::ptr(base, y.as<Imm>().valueAs<int32_t>()));
            return;
        }
        InstId id = arith == Arith::ADD ? x86::Inst::kIdAdd : arith == Arith::SUB ? x86::Inst::kIdSub : x86::Inst::kIdImul;
        Operand r = d;
        if (!d.isReg() || same(d, y) || guarded(op)) r = x86::eax;
        move_int(r, x);
        if (id == x86::Inst::kIdImul && y.isImm()) a_.emit(id, r, r, y);
        else a_.emit(id, r, y);
        set_int(op, d, r);
    }

    // Whether op writes a variable inside a block run without a branch.
    bool guarded(const TranslatedOp& op) const {
        return converted_end_ >= 0 && op.pd == Place::VAR;
    }

    // d = value, or, inside a block run without a branch, d = value only
    // when the block's test holds. Temporaries die with their statement, so
    // they are written either way.
    void set_int(const TranslatedOp& op, const Operand& d, const Operand& value) {
        if (!guarded(op)) {
            move_int(d, value);
            return;
        }
        a_.test(condition_, condition_);
        a_.emit(x86::Inst::kIdCmovnz, d, value);
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
                if ((u & (u - 1)) == 0) divide_by_power_of_two(x, std::countr_zero(u), q);
                else divide_by_constant(x, division_magic(k), q);
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
        move_int(x86::ecx, y);
        a_.test(x86::ecx, x86::ecx);
        a_.jz(stub(op.at));
        Label divide = a_.newLabel();
        Label done = a_.newLabel();
        move_int(x86::eax, x);
        a_.cmp(x86::ecx, -1);
        a_.jne(divide);
        a_.neg(x86::eax);
        a_.jmp(done);
        a_.bind(divide);
        a_.cdq(x86::edx, x86::eax);
        a_.idiv(x86::edx, x86::eax, x86::ecx);
        a_.bind(done);
        set_int(op, d, x86::eax);
    }

    // divide_by_magic, step for step; the quotient in q. x is a register
    // or memory.
    void divide_by_constant(const Operand& n, DivisionMagic m, const x86::Gp& q) {
        a_.emit(x86::Inst::kIdMovsxd, x86::rax, n);
        a_.imul(x86::rax, x86::rax, m.magic);
        a_.sar(x86::rax, 32);
        if (m.magic < 0) a_.emit(x86::Inst::kIdAdd, x86::eax, n);
        if (m.shift) a_.sar(x86::eax, m.shift);
        a_.mov(x86::edx, x86::eax);
        a_.shr(x86::edx, 31);
        a_.lea(q, x86::ptr(x86::rax, x86::rdx));
    }

    // divide_by_power_of_two: a negative n raised by 2^shift - 1, then
    // shifted; the quotient in q (x is read first, so q may be x itself).
    void divide_by_power_of_two(const Operand& x, int shift, const x86::Gp& q) {
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
        Operand r = d;
        if (!d.isReg() || same(d, y)) r = SCRATCH_XMM;
        move_real(r, x);
        a_.emit(id, r, y);
        move_real(d, r);
    }

    static bool is_compare(TranslatedCode c) {
        return c >= T_EQ_II && c <= T_GT_RR;
    }

    static Relation relation(TranslatedCode c) {
        return static_cast<Relation>(c >= T_EQ_RR ? c - T_EQ_RR : c - T_EQ_II);
    }

    // The flags of a comparison. Reals compare with ucomisd, which an
    // unordered pair (a NaN) leaves with ZF, PF and CF set: it fails every
    // relation but "=!". "=<" and "<" compare the other way round, so that
    // every relation but "==" and "=!" reads CF and ZF alone.
    void compare_flags(const TranslatedOp& op) {
        if (op.code < T_EQ_RR) {
            Operand x = int_src(op.pa, op.a);
            Operand y = int_src(op.pb, op.b);
            if (x.isImm() || (x.isMem() && y.isMem())) {
                move_int(x86::eax, x);
                x = x86::eax;
            }
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

    // The condition code under which the comparison holds, for all but the
    // real "==" and "=!". By Relation: the integers, then the reals as
    // compare_flags compares them.
    static x86::CondCode holds(TranslatedCode c) {
        using x86::CondCode;
        static constexpr CondCode int_holds[] = {CondCode::kE, CondCode::kNE, CondCode::kLE,
                                                 CondCode::kGE, CondCode::kL, CondCode::kG};
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

    // A block of nothing but a break: the relation holding jumps straight to
    // where the break leads.
    bool break_only(const TranslatedOp& op, int32_t i) const {
        return converted_end_ < 0 && op.jump == i + 2 && t_.ops[i + 1].code == T_BREAK;
    }

    const Label& break_target() {
        return loops_.size() == 1 ? done_ : labels_[t_.ops[loops_.back()].jump + 1];
    }

    // A comparison and its block. A short block that only computes integers
    // into variables held in registers runs without a branch: every
    // operation runs, and each write to a variable takes effect only when
    // the test holds. A branch the processor guesses wrong costs more than
    // such a block; one level of block may nest in it.
    void emit_compare(const TranslatedOp& op, int32_t i) {
        compare_flags(op);
        if (break_only(op, i)) {
            jump_when(op.code, true, break_target());
            return;
        }
        if (converted_end_ >= 0) {
            set_when_holds(op.code, x86::ch);
            a_.and_(x86::ch, x86::cl);
            condition_ = x86::ch;
            inner_end_ = op.jump;
            return;
        }
        if (runs_without_branch(i)) {
            set_when_holds(op.code, x86::cl);
            condition_ = x86::cl;
            converted_end_ = op.jump;
            return;
        }
        jump_when(op.code, false, labels_[op.jump]);
    }

    // Up to this many operations make a block run without a branch.
    static constexpr int32_t MAX_UNBRANCHED = 8;

    bool int_var_in_register(const void* slot) const {
        auto it = home_of_.find(slot);
        return it != home_of_.end() && homes_[it->second].reg >= 0;
    }

    // Whether the block of the comparison at i can run without a branch: no
    // operation in it has an effect beyond writing integer variables that
    // live in registers (and temporaries), can stop the run, or jumps.
    bool runs_without_branch(int32_t i) const {
        int32_t end = t_.ops[i].jump;
        if (end == i + 1 || end - i - 1 > MAX_UNBRANCHED) return false;
        int32_t nested_end = -1;
        for (int32_t k = i + 1; k < end; ++k) {
            const TranslatedOp& op = t_.ops[k];
            if (k == nested_end) nested_end = -1;
            Shape shape = shape_of(op.code);
            bool var = op.pd == Place::VAR;
            switch (shape.kind) {
            case Kind::ARITH:
            case Kind::MOVE:
            case Kind::INT_OF_REAL:
            case Kind::REAL_OF_INT:
                if (var && (shape.real || !int_var_in_register(op.d))) return false;
                if (op.code == T_DIV_I && !pure(op)) return false;
                break;
            case Kind::STEP:
                if (shape.real || !int_var_in_register(&static_cast<Symbol*>(op.d)->value)) return false;
                break;
            case Kind::COMPARE:
                if (nested_end >= 0) return false;
                nested_end = op.jump;
                break;
            case Kind::RAND:
            case Kind::PRINT:
            case Kind::INPUT:
            case Kind::LOOP:
            case Kind::LOOP_END:
            case Kind::BREAK: return false;
            }
        }
        return true;
    }

    // Truncates through 64 bits and keeps the low 32, in eax: the hardware
    // gives 2^63 for NaN, the infinities and anything out of range, whose low
    // 32 bits are 0, just as real_to_int gives.
    void int_of_real(const Operand& x) {
        a_.emit(x86::Inst::kIdCvttsd2si, x86::rax, x);
    }

    // x, exactly, as a real in r.
    void real_of_int(const x86::Xmm& r, Operand x) {
        if (x.isImm()) {
            a_.mov(x86::eax, x.as<Imm>());
            x = x86::eax;
        }
        a_.xorpd(r, r);
        a_.emit(x86::Inst::kIdCvtsi2sd, r, x);
    }

    // draw_random's result in eax.
    void draw() {
        save();
        call(draw_random);
        restore();
    }

    void call_print_text(bool file, const void* text) {
        save();
        stream(file);
        a_.mov(x86::rsi, address_of(text));
        call(print_text);
        restore();
    }

    void call_print_value(bool file, const Symbol* sym) {
        if (const Home* h = variable_of(sym)) write_back(*h);
        save();
        stream(file);
        a_.mov(x86::rsi, address_of(sym));
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
        a_.mov(x86::rdi, address_of(sym));
        call(read_input);
        restore();
        if (h) load(*h);
    }

    void emit_loop_start(const TranslatedOp& op, int32_t i) {
        if (auto it = preheader_.find(i); it != preheader_.end()) {
            for (int32_t k : it->second) {
                current_ = k;
                emit(t_.ops[k], k);
            }
            current_ = i;
        }
        Operand passes = int_home(homes_[counter_of_[i]]);
        if (op.code == T_LOOP_R) {
            int_of_real(real_src(op.pa, op.a));
            move_int(passes, x86::eax);
        } else {
            move_int(passes, int_src(op.pa, op.a));
        }
        if (passes.isReg()) a_.test(passes.as<x86::Gp>(), passes.as<x86::Gp>());
        else a_.cmp(passes.as<x86::Mem>(), 0);
        a_.jle(labels_[op.jump + 1]);  // no pass
        loops_.push_back(i);
    }

    void emit_loop_end(const TranslatedOp& op) {
#ifdef RILL_FUZZING
        save();
        call(spend_loop_pass);
        restore();
#endif
        if (!interrupted_.isValid()) interrupted_ = a_.newLabel();
        Operand flag = int_home(homes_[interrupt_]);
        if (flag.isMem()) {
            a_.mov(x86::rax, flag.as<x86::Mem>());
            flag = x86::rax;
        }
        a_.cmp(x86::dword_ptr(flag.as<x86::Gp>()), 0);
        a_.jne(interrupted_);
        Operand passes = int_home(homes_[counter_of_[loops_.back()]]);
        a_.emit(x86::Inst::kIdDec, passes);
        a_.jnz(labels_[op.jump]);
        if (loops_.size() > 1) loops_.pop_back();
    }

    // Leaves the innermost loop; out of the replayed loop itself, the run of
    // the body ends.
    void emit_break() {
        a_.jmp(break_target());
    }

    void emit(const TranslatedOp& op, int32_t i) {
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
            Operand d = int_home(dest_home(op));
            Operand x = int_src(op.pa, op.a);
            if (guarded(op)) {
                move_int(x86::eax, x);
                x = x86::eax;
            }
            set_int(op, d, x);
            break;
        }
        case T_MOVE_R: move_real(real_home(dest_home(op)), real_src(op.pa, op.a)); break;
        case T_INT_OF_R:
            int_of_real(real_src(op.pa, op.a));
            set_int(op, int_home(dest_home(op)), x86::eax);
            break;
        case T_REAL_OF_I: {
            Operand d = real_home(dest_home(op));
            x86::Xmm r = d.isReg() ? d.as<x86::Xmm>() : SCRATCH_XMM;
            real_of_int(r, int_src(op.pa, op.a));
            move_real(d, r);
            break;
        }
        case T_RAND_I: {
            // scale_random: wrap_mul(r, top) / RANDOM_RANGE, rounding toward zero.
            static_assert(RANDOM_RANGE == 1 << 15);
            draw();
            Operand top = int_src(op.pa, op.a);
            if (top.isImm()) a_.imul(x86::eax, x86::eax, top.as<Imm>());
            else a_.emit(x86::Inst::kIdImul, x86::eax, top);
            a_.mov(x86::ecx, x86::eax);
            a_.sar(x86::ecx, 31);
            a_.shr(x86::ecx, 32 - 15);
            a_.add(x86::eax, x86::ecx);
            a_.sar(x86::eax, 15);
            move_int(int_home(dest_home(op)), x86::eax);
            break;
        }
        case T_RAND_R: {
            // scale_random: r * top / RANDOM_RANGE.
            draw();
            real_of_int(SCRATCH_XMM, x86::eax);
            a_.emit(x86::Inst::kIdMulsd, SCRATCH_XMM, real_src(op.pa, op.a));
            a_.divsd(SCRATCH_XMM, constant(RANDOM_RANGE));
            move_real(real_home(dest_home(op)), SCRATCH_XMM);
            break;
        }
        case T_INC_I:
        case T_DEC_I: {
            Operand v = int_home(*variable_of(static_cast<Symbol*>(op.d)));
            if (converted_end_ < 0) {
                a_.emit(x86::Inst::kIdAdd, v, imm(op.code == T_INC_I ? 1 : -1));
                break;
            }
            a_.lea(x86::eax, x86::ptr(v.as<x86::Gp>().r64(), op.code == T_INC_I ? 1 : -1));
            a_.test(condition_, condition_);
            a_.cmovnz(v.as<x86::Gp>(), x86::eax);
            break;
        }
        case T_INC_R:
        case T_DEC_R: {
            // step_real: v + 1 or v + -1.
            Operand v = real_home(*variable_of(static_cast<Symbol*>(op.d)));
            x86::Xmm r = v.isReg() ? v.as<x86::Xmm>() : SCRATCH_XMM;
            move_real(r, v);
            a_.addsd(r, constant(op.code == T_INC_R ? 1.0 : -1.0));
            move_real(v, r);
            break;
        }
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
        case T_GT_RR: emit_compare(op, i); break;
        case T_PRINT_STR: call_print_text(false, op.d); break;
        case T_PRINT_VAR: call_print_value(false, static_cast<Symbol*>(op.d)); break;
        case T_PRINT_NL: call_print_newline(false); break;
        case T_FPRINT_STR: call_print_text(true, op.d); break;
        case T_FPRINT_VAR: call_print_value(true, static_cast<Symbol*>(op.d)); break;
        case T_FPRINT_NL: call_print_newline(true); break;
        case T_INPUT: call_read_input(static_cast<Symbol*>(op.d)); break;
        case T_LOOP_I:
        case T_LOOP_R: emit_loop_start(op, i); break;
        case T_LOOP_END: emit_loop_end(op); break;
        case T_BREAK: emit_break(); break;
        }
    }

    void emit_stubs() {
        for (const Stub& s : stubs_) {
            a_.bind(s.label);
            write_back_all();
            a_.mov(x86::rdi, address_of(s.at));
            call(halt_division_by_zero);
            a_.jmp(exit_);
        }
        if (interrupted_.isValid()) {
            a_.bind(interrupted_);
            write_back_all();
            call(stop_interrupted);
            a_.jmp(exit_);  // not reached
        }
    }

    void emit_constants() {
        if (constants_.empty()) return;
        a_.align(AlignMode::kData, 8);
        for (const auto& [bits, label] : constants_) {
            a_.bind(label);
            a_.embedUInt64(bits);
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
    x86::Assembler a(&code);
    Compiler compiler(t, a);
    bool compiled = compiler.compile() && !failure.failed;
    CompiledLoop loop = compiled ? place_code(code) : nullptr;
    if (!loop) {
        ++loops_declined;
        return false;
    }
    ++loops_compiled;
    loop(count);
    return true;
}

NativeCounts native_counts() {
    return {loops_compiled, loops_declined};
}
