// The effects of the instructions, shared by the issue routines and the loop
// replay so that both run one piece of code. Each works on the value stack
// through a top index the caller keeps, and on the mode the caller passes.
#pragma once

#include <cstdint>

#include "engine/machine.h"
#include "engine/random.h"

// Console and file input/output, and the faults that stop the run (engine/io.cpp).
void print_text(FILE* f, const char* text);
void print_value(FILE* f, const Symbol* sym);
void print_newline(FILE* f);
void read_input(Symbol* sym);
void open_output(const char* name);
void halt_division_by_zero();

#ifdef RILL_FUZZING
// The fuzzing build stops a run after a fixed number of loop passes, so that
// a program legitimately counted in billions does not read as a hang.
void spend_loop_pass();
#define LOOP_PASS() spend_loop_pass()
#else
#define LOOP_PASS() ((void)0)
#endif

inline void push_int(int32_t& top, int32_t mode, int32_t k) {
    if (mode == MODE_INT) machine.int_stack[top] = k;
    else machine.real_stack[top] = k;
    ++top;
}

inline void push_real(int32_t& top, int32_t mode, double d) {
    if (mode == MODE_INT) machine.int_stack[top] = real_to_int(d);
    else machine.real_stack[top] = d;
    ++top;
}

inline void load_var(int32_t& top, int32_t mode, const Symbol* sym) {
    if (mode == MODE_INT)
        machine.int_stack[top] = sym->type ? real_to_int(sym->value.real) : sym->value.integer;
    else
        machine.real_stack[top] = sym->type ? sym->value.real : sym->value.integer;
    ++top;
}

// OP_ADD to OP_DIV. Returns false, having stopped the run, on an integer
// division by zero.
inline bool apply_operator(int32_t op, int32_t& top, int32_t mode) {
    --top;
    if (mode == MODE_INT) {
        int32_t& l = machine.int_stack[top - 1];
        int32_t r = machine.int_stack[top];
        switch (op) {
        case OP_ADD: l = wrap_add(l, r); break;
        case OP_SUB: l = wrap_sub(l, r); break;
        case OP_MUL: l = wrap_mul(l, r); break;
        default:
            if (r == 0) {
                halt_division_by_zero();
                return false;
            }
            l = wrap_div(l, r);
        }
    } else {
        double& l = machine.real_stack[top - 1];
        double r = machine.real_stack[top];
        switch (op) {
        case OP_ADD: l = l + r; break;
        case OP_SUB: l = l - r; break;
        case OP_MUL: l = l * r; break;
        default: l = l / r;
        }
    }
    return true;
}

// OP_STORE to OP_DIV_BY: combine slot 0 into the variable, then pop. Returns
// false, having stopped the run, on an integer division by zero.
inline bool update_var(int32_t op, int32_t& top, int32_t mode, Symbol* sym) {
    --top;
    if (mode == MODE_INT) {
        int32_t& v = sym->value.integer;
        int32_t x = machine.int_stack[0];
        switch (op) {
        case OP_STORE: v = x; break;
        case OP_ADD_TO: v = wrap_add(v, x); break;
        case OP_SUB_FROM: v = wrap_sub(v, x); break;
        case OP_MUL_BY: v = wrap_mul(v, x); break;
        default:
            if (x == 0) {
                halt_division_by_zero();
                return false;
            }
            v = wrap_div(v, x);
        }
    } else {
        double& v = sym->value.real;
        double x = machine.real_stack[0];
        switch (op) {
        case OP_STORE: v = x; break;
        case OP_ADD_TO: v = x + v; break;
        case OP_SUB_FROM: v = v - x; break;
        case OP_MUL_BY: v = x * v; break;
        default: v = v / x;
        }
    }
    return true;
}

// OP_INC and OP_DEC, by the variable's own type.
inline void step_var(Symbol* sym, int32_t delta) {
    if (sym->type) sym->value.real += delta;
    else sym->value.integer = wrap_add(sym->value.integer, delta);
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
inline int32_t compare_top(int32_t op, int32_t& top) {
    top -= 2;
    return compare_reals(machine.real_stack[top], machine.real_stack[top + 1], op - (OP_IF_EQ - 1));
}

// OP_RAND: the top value becomes a draw scaled into [0, top).
inline void random_top(int32_t top, int32_t mode) {
    int32_t r = draw_random();
    if (mode == MODE_INT)
        machine.int_stack[top - 1] = wrap_mul(r, machine.int_stack[top - 1]) / RANDOM_RANGE;
    else
        machine.real_stack[top - 1] = r * machine.real_stack[top - 1] / RANDOM_RANGE;
}

inline int32_t loop_count_of(const Symbol* sym) {
    return sym->type ? real_to_int(sym->value.real) : sym->value.integer;
}
