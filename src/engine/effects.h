// The instructions' effects on the machine, as inline helpers: the issue
// routines, the general walk, the threaded replay and the native code's
// calls all take them from here, with their arithmetic from engine/arith.h.
// They work on the value stack through a top index the caller keeps, and on
// the mode the caller passes.
#pragma once

#include <cstdint>

#include "engine/arith.h"
#include "engine/instructions.h"
#include "engine/io.h"
#include "engine/machine.h"
#include "engine/random.h"

// A loop count as the loop reads it when it starts.
inline int32_t loop_count_of(const Symbol* sym) {
    return sym->type ? real_to_int(sym->value.real) : sym->value.integer;
}

// The end of every loop pass, on every path: the fuzzing build's budget, and
// in the browser a look at whether the page asks the run to stop. Each path
// then tests interrupt_signal itself, since what it must write back first
// differs.
inline void count_loop_pass() {
#ifdef RILL_FUZZING
    spend_loop_pass();
#elif defined(__EMSCRIPTEN__)
    if (--host_poll_countdown <= 0) poll_host();
#endif
}

inline void push_int(int32_t& top, int32_t mode, int32_t k) {
    if (mode == MODE_INT)
        machine.int_stack[top] = k;
    else
        machine.real_stack[top] = k;
    ++top;
}

inline void push_real(int32_t& top, int32_t mode, double d) {
    if (mode == MODE_INT)
        machine.int_stack[top] = real_to_int(d);
    else
        machine.real_stack[top] = d;
    ++top;
}

inline void load_var(int32_t& top, int32_t mode, const Symbol* sym) {
    if (mode == MODE_INT)
        machine.int_stack[top] = sym->type ? real_to_int(sym->value.real) : sym->value.integer;
    else
        machine.real_stack[top] = sym->type ? sym->value.real : sym->value.integer;
    ++top;
}

// A binary operator (is_arith_op), the instruction recorded at at. Returns
// false, having stopped the run, on an integer zero that stops it.
inline bool apply_operator(OpCode op, int32_t& top, int32_t mode, const Instruction* at) {
    --top;
    Arith a = arith_of(op);
    if (mode == MODE_INT) {
        int32_t& l = machine.int_stack[top - 1];
        int32_t r = machine.int_stack[top];
        if (stops_on_zero(a) && r == 0) {
            halt_division_by_zero(at);
            return false;
        }
        l = int_arith(a, l, r);
    } else {
        double& l = machine.real_stack[top - 1];
        l = real_arith(a, l, machine.real_stack[top]);
    }
    return true;
}

// OP_STORE to OP_DIV_BY, the instruction recorded at at: combine slot 0 into
// the variable, then pop. Returns false, having stopped the run, on an
// integer zero that stops it.
inline bool update_var(OpCode op, int32_t& top, int32_t mode, Symbol* sym, const Instruction* at) {
    --top;
    if (mode == MODE_INT) {
        int32_t& v = sym->value.integer;
        int32_t x = machine.int_stack[0];
        if (op == OP_STORE) {
            v = x;
        } else {
            Arith a = arith_of(op);
            if (stops_on_zero(a) && x == 0) {
                halt_division_by_zero(at);
                return false;
            }
            v = int_arith(a, v, x);
        }
    } else {
        double& v = sym->value.real;
        double x = machine.real_stack[0];
        v = op == OP_STORE ? x : real_update(arith_of(op), v, x);
    }
    return true;
}

// OP_INC and OP_DEC, by the variable's own type.
inline void step_var(Symbol* sym, int32_t delta) {
    if (sym->type)
        sym->value.real = step_real(sym->value.real, delta);
    else
        sym->value.integer = step_int(sym->value.integer, delta);
}

inline void make_real(Symbol* sym) {
    if (sym->type == 0) {
        sym->value.real = sym->value.integer;
        sym->type = 1;
    }
}

inline void make_int(Symbol* sym) {
    if (sym->type == 1) {
        sym->value.integer = real_to_int(sym->value.real);
        sym->type = 0;
    }
}

// OP_IF_EQ to OP_IF_GT: compares the two top reals and pops them; returns
// the skip flag.
inline int32_t compare_top(OpCode op, int32_t& top) {
    top -= 2;
    return compare_reals(machine.real_stack[top], machine.real_stack[top + 1], op);
}

// OP_RAND: the top value becomes a draw scaled into [0, top).
inline void random_top(int32_t top, int32_t mode) {
    int32_t r = draw_random();
    if (mode == MODE_INT)
        machine.int_stack[top - 1] = scale_random(r, machine.int_stack[top - 1]);
    else
        machine.real_stack[top - 1] = scale_random(r, machine.real_stack[top - 1]);
}
