// What every emitter of native code shares, whatever its instructions: the
// walk over a loop body's operations in the order its NativePlan says, the
// plan's look-ups (the home an operation writes or reads, a variable's home,
// where a break goes), the labels, stubs and constant pool, and placing the
// finished code. An emitter derives from NativeEmitter<Emitter, Assembler>
// and supplies the instructions: prologue, write_back_all, epilogue,
// emit_stubs, loop_body_start (what comes before a loop's first
// instruction), emit_jump (to a label, always), and one method for each
// kind of operation, which emit calls (see there).
#pragma once

#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include <asmjit/core.h>

#include "engine/random.h"
#include "native/code_memory.h"
#include "native/native.h"
#include "native/plan.h"
#include "lexer/symbols.h"

// Records that asmjit failed, rather than letting it throw or abort: the
// loop then runs on the threaded replay.
struct NativeFailure : asmjit::ErrorHandler {
    bool failed = false;
    void handleError(asmjit::Error, const char*, asmjit::BaseEmitter*) override { failed = true; }
};

// Readies code for the machine this runs on, with failure catching every
// later error, and attaches the assembler a. False when either step fails
// (memory running out, for one): an unready holder has no section to
// write into.
inline bool prepare_holder(asmjit::CodeHolder& code, NativeFailure& failure, asmjit::BaseEmitter& a) {
    if (code.init(asmjit::Environment::host()) != asmjit::kErrorOk) return false;
    code.setErrorHandler(&failure);
    if (native_listing) {
        static asmjit::FileLogger logger;
        logger.setFile(native_listing);
        code.setLogger(&logger);
        (void)std::fputs("; loop\n", native_listing);
    }
    return code.attach(&a) == asmjit::kErrorOk && !failure.failed;
}

// Copies the finished code into code memory and makes it executable (the
// instruction cache made coherent with what was written). Returns null when
// memory cannot be had or made executable.
inline CompiledLoop place_code(asmjit::CodeHolder& code) {
    if (code.flatten() || code.resolveUnresolvedLinks()) return nullptr;
    void* base = open_code_memory(code.codeSize());
    if (!base || code.relocateToBase(reinterpret_cast<uint64_t>(base)) ||
        code.copyFlattenedData(base, code_memory_size(), asmjit::CopySectionFlags::kPadTargetBuffer))
        return nullptr;
    return seal_code_memory();
}

template <typename Emitter, typename Assembler>
class NativeEmitter {
public:
    NativeEmitter(const Translation& t, const NativePlan& p, Assembler& a) : t_(t), p_(p), a_(a) {}

    // Returns false when the plan promised what the emitter cannot keep.
    bool compile() {
        Emitter& e = static_cast<Emitter&>(*this);
        labels_.resize(t_.size + 1);
        chunk_labels_.resize(t_.size + 1);
        for (int32_t i = 0; i < t_.size; ++i) {
            const TranslatedOp& op = t_.ops[i];
            if (op.code == T_LOOP_I || op.code == T_LOOP_R)
                target(op.jump + 1);
            else if (op.code == T_LOOP_END || (p_.form[i] == BlockForm::BRANCH && p_.outcome[i] < 0))
                target(op.jump);
            if (p_.failed_to[i] >= 0) target(p_.failed_to[i]);
            if (p_.held_to[i] >= 0) target(p_.held_to[i]);
        }
        done_ = a_.newLabel();
        exit_ = a_.newLabel();

        loops_.push_back(t_.size);
        e.prologue();
        int32_t skipped_to = -1;  // where the walk last went on past a block left out
        for (int32_t i = 0; i < t_.size; ++i) {
            if (i > 0 && shape_of(t_.ops[i - 1].code).kind == OpKind::LOOP) e.loop_body_start();
            if (draws_ahead_ > 0 && settles_at(i)) {
                e.step_random(draws_ahead_, true, false, false);
                draws_ahead_ = 0;
            }
            // The end of a block whose test decides what follows, where its
            // body falls through (not where a block left out was skipped to).
            if (p_.held_to[i] >= 0 && i != skipped_to) e.emit_jump(labels_[p_.held_to[i]]);
            if (labels_[i].isValid()) a_.bind(labels_[i]);
            guard_ = p_.guard[i];
            // Done before its loop began, or only fed a comparison made another way.
            if (p_.hoisted_home[i] >= 0 || p_.folded[i]) continue;
            current_ = i;
            emit(t_.ops[i], i);
            if (p_.form[i] == BlockForm::BREAK_ONLY)
                ++i;  // the comparison jumped to the break's target
            else if (p_.outcome[i] == 0)
                i = (skipped_to = t_.ops[i].jump) - 1;  // a block never entered is left out
        }
        a_.bind(done_);
        e.write_back_all();
        a_.bind(exit_);
        e.epilogue();
        e.emit_stubs();
        emit_constants();
        return !broken_;
    }

protected:
    // An integer division by zero found at a record, or an interrupt (at null).
    struct Stub {
        asmjit::Label label;
        const Instruction* at;
    };

    using Home = NativeHome;

    const Translation& t_;
    const NativePlan& p_;
    Assembler& a_;
    std::vector<int32_t> loops_;               // the open loops' operations, outermost (t_.size) first
    std::vector<asmjit::Label> labels_;        // by operation index
    std::vector<asmjit::Label> chunk_labels_;  // by loop operation: where its next chunk of passes starts
    std::vector<Stub> stubs_;
    std::vector<std::pair<uint64_t, asmjit::Label>> constants_;
    std::unordered_map<uint64_t, size_t> constant_of_;
    asmjit::Label done_;
    asmjit::Label exit_;
    asmjit::Label interrupted_;
    // Draws made since the random generator's state in its home was last
    // brought up to date. In a run of draws with no jump, call or way out
    // between them, each is computed from that state at once (n steps on
    // is one multiply and add away), so that no draw waits on the one
    // before, and the state takes its steps at the run's last draw.
    int32_t draws_ahead_ = 0;
    Guard guard_ = Guard::NONE;  // of the operation being emitted
    int32_t current_ = -1;       // the operation being emitted
    bool broken_ = false;        // a promise of the plan did not hold

    // One operation, handed to the emitter's method for its kind.
    void emit(const TranslatedOp& op, int32_t i) {
        Emitter& e = static_cast<Emitter&>(*this);
        switch (op.code) {
        case T_ADD_I:
        case T_SUB_I:
        case T_MUL_I:
        case T_DIV_I: e.emit_int_arith(op, arith_of(op.code)); break;
        case T_ADD_R:
        case T_SUB_R:
        case T_MUL_R:
        case T_DIV_R: e.emit_real_arith(op, arith_of(op.code)); break;
        case T_MOVE_I: e.emit_move_int(op); break;
        case T_MOVE_R: e.emit_move_real(op); break;
        case T_INT_OF_R: e.emit_int_of_real(op); break;
        case T_REAL_OF_I: e.emit_real_of_int(op); break;
        case T_RAND_I: e.emit_rand_int(op); break;
        case T_RAND_R: e.emit_rand_real(op); break;
        case T_INC_I:
        case T_DEC_I: e.emit_step_int(op, op.code == T_INC_I ? 1 : -1); break;
        case T_INC_R:
        case T_DEC_R: e.emit_step_real(op, op.code == T_INC_R ? 1.0 : -1.0); break;
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
            if (p_.outcome[i] >= 0)
                emit_known_outcome(op, i);
            else
                e.emit_compare(op, i);
            break;
        case T_PRINT_STR: e.call_print_text(false, op.d); break;
        case T_PRINT_VAR: e.call_print_value(false, static_cast<Symbol*>(op.d)); break;
        case T_PRINT_NL: e.call_print_newline(false); break;
        case T_FPRINT_STR: e.call_print_text(true, op.d); break;
        case T_FPRINT_VAR: e.call_print_value(true, static_cast<Symbol*>(op.d)); break;
        case T_FPRINT_NL: e.call_print_newline(true); break;
        case T_INPUT: e.call_read_input(static_cast<Symbol*>(op.d)); break;
        case T_LOOP_I:
        case T_LOOP_R:
            // What the loop's passes cannot change comes first, into its homes.
            for (int32_t k : p_.preheader[i]) {
                expect(is_pure(t_.ops[k]));
                current_ = k;
                emit(t_.ops[k], k);
            }
            current_ = i;
            e.emit_loop_start(op, i);
            loops_.push_back(i);
            break;
        case T_LOOP_END:
            e.emit_loop_end(op);
            if (loops_.size() > 1) loops_.pop_back();
            break;
        case T_BREAK: e.emit_break(); break;
        }
    }

    // The multiplier and increment of n steps of the random generator.
    static std::pair<uint32_t, uint32_t> random_steps(int32_t n) {
        uint32_t mul = 1, inc = 0;
        for (int32_t k = 0; k < n; ++k) {
            mul *= RANDOM_MULTIPLIER;
            inc = inc * RANDOM_MULTIPLIER + RANDOM_INCREMENT;
        }
        return {mul, inc};
    }

    // Whether the random state in its home must be up to date before
    // operation i: jumps arrive at a label with it so, and an operation
    // that may jump, call or leave the loop finds it so.
    bool settles_at(int32_t i) const {
        if (labels_[i].isValid() || p_.held_to[i] >= 0) return true;
        if (p_.hoisted_home[i] >= 0 || p_.folded[i]) return false;  // emitted elsewhere, or not at all
        switch (shape_of(t_.ops[i].code).kind) {
        case OpKind::ARITH: return may_stop(t_.ops[i].code);
        case OpKind::MOVE:
        case OpKind::INT_OF_REAL:
        case OpKind::REAL_OF_INT:
        case OpKind::STEP:
        case OpKind::RAND: return false;
        case OpKind::COMPARE:
            if (p_.outcome[i] >= 0) return p_.form[i] == BlockForm::BREAK_ONLY && p_.outcome[i] == 1;
            return p_.form[i] == BlockForm::BRANCH || p_.form[i] == BlockForm::BREAK_ONLY;
        default: return true;
        }
    }

    // The draw of the current operation, in the emitter's scratch register
    // (see step_random): from the state as many steps on as draws came
    // before it in its run, the state itself taking them at the run's last
    // draw. Only a state in a register runs ahead. high: as the emitter's
    // step_random leaves a draw it scales in one step from its place in
    // the state.
    void draw(bool high = false) {
        bool last = p_.homes[p_.random].reg < 0 || !draws_again_before_settling(current_);
        static_cast<Emitter&>(*this).step_random(draws_ahead_ + 1, last, true, high);
        draws_ahead_ = last ? 0 : draws_ahead_ + 1;
    }

    bool draws_again_before_settling(int32_t i) const {
        for (int32_t j = i + 1; j < t_.size; ++j) {
            if (settles_at(j)) return false;
            if (p_.hoisted_home[j] >= 0 || p_.folded[j]) continue;
            if (shape_of(t_.ops[j].code).kind == OpKind::RAND) return true;
            if (p_.outcome[j] == 0) j = t_.ops[j].jump - 1;  // a block left out, or a break never taken
        }
        return false;
    }

    // A comparison whose outcome is known makes no test: a block always
    // entered is run into, one never entered is not emitted (see compile),
    // and a break always taken is taken.
    void emit_known_outcome(const TranslatedOp& op, int32_t i) {
        expect(p_.form[i] == BlockForm::BREAK_ONLY || p_.form[i] == BlockForm::BRANCH);
        if (p_.form[i] == BlockForm::BREAK_ONLY && p_.outcome[i] == 1) {
            expect(t_.ops[i + 1].code == T_BREAK && op.jump == i + 2);
            static_cast<Emitter&>(*this).emit_break();
        }
    }

    // Whether loop (an operation, or t_.size for the replayed loop) counts
    // its passes in chunks, polling once a chunk.
    bool chunked(int32_t loop) const { return p_.chunk[loop] > 1; }

    // The home a loop's count of passes goes to as it starts.
    const Home& passes_home(int32_t loop) const {
        return p_.homes[chunked(loop) ? p_.rest_of[loop] : p_.counter_of[loop]];
    }

    // Notes a promise of the plan that does not hold: the loop is declined.
    void expect(bool promise) {
        if (!promise) broken_ = true;
    }

    void target(int32_t i) {
        if (!labels_[i].isValid()) labels_[i] = a_.newLabel();
    }

    // The home an operation writes: its value's, or its variable's.
    const Home& dest_home(const TranslatedOp& op) {
        if (current_ >= 0 && &t_.ops[current_] == &op && p_.result_home[current_] >= 0)
            return p_.homes[p_.result_home[current_]];
        return p_.homes[p_.home_of.at(op.d)];
    }

    // The home an operand of the current operation is read from: a
    // temporary's is that of the value it holds.
    const Home& source_home(Place place, const void* slot) {
        if (place == Place::TEMP && current_ >= 0) {
            const TranslatedOp& op = t_.ops[current_];
            auto [a, b] = p_.read_home[current_];
            if (a >= 0 && slot == op.a) return p_.homes[a];
            if (b >= 0 && slot == op.b) return p_.homes[b];
        }
        return p_.homes[p_.home_of.at(slot)];
    }

    // The register home of a real constant, or null: it is in the pool.
    const Home* constant_register(const void* slot) const {
        uint64_t bits;
        std::memcpy(&bits, slot, sizeof bits);
        auto it = p_.constant_home.find(bits);
        return it == p_.constant_home.end() ? nullptr : &p_.homes[it->second];
    }

    // Whether register reg of its kind holds a value live at the current
    // operation, which a call there must keep.
    bool live_gp(int32_t reg) const { return (p_.live_gp[current_] >> reg & 1) != 0; }
    bool live_fp(int32_t reg) const { return (p_.live_fp[current_] >> reg & 1) != 0; }

    const Home* variable_of(const Symbol* sym) {
        auto it = p_.home_of.find(&sym->value);
        return it == p_.home_of.end() ? nullptr : &p_.homes[it->second];
    }

    // Where a break goes: past the innermost loop; out of the replayed loop
    // itself, to the end of the run of the body.
    const asmjit::Label& break_target() { return loops_.size() == 1 ? done_ : labels_[t_.ops[loops_.back()].jump + 1]; }

    asmjit::Label stub(const Instruction* at) {
        stubs_.push_back({a_.newLabel(), at});
        return stubs_.back().label;
    }

    // A constant in the pool after the code, one copy of each bit pattern.
    const asmjit::Label& pooled(uint64_t bits) {
        auto [it, added] = constant_of_.try_emplace(bits, constants_.size());
        if (added) constants_.emplace_back(bits, a_.newLabel());
        return constants_[it->second].second;
    }

    static uint64_t bits_of(double x) {
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return bits;
    }

private:
    void emit_constants() {
        if (constants_.empty()) return;
        a_.align(asmjit::AlignMode::kData, 8);
        for (const auto& [bits, label] : constants_) {
            a_.bind(label);
            a_.embedUInt64(bits);
        }
    }
};
