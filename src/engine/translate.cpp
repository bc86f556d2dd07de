#include "engine/translate.h"

#include <algorithm>

#include <cstdlib>

#include "errors/errors.h"
#include "engine/machine.h"

namespace {

// An operand not yet consumed: where its value lives and its type. Loads and
// constants emit nothing; the operation that consumes them reads the slot.
// Expressions have no side effects, so a variable read late reads the same value.
struct Operand {
    void* slot;
    bool real;
    Place place;
};

TranslatedOp* code;  // kept for the next loop, and only grows
uint64_t* outcomes;  // as many as code holds
int32_t code_size;
int32_t code_capacity;
TokenValue* constants;  // sized before translation, so slot addresses stay put
int32_t constant_count;
int32_t constant_capacity;
Translation translation;

// Temporaries by value-stack position: an operation's result takes the
// position of its left operand, as on the value stack.
int32_t temp_int[ENGINE_CAPACITY];
double temp_real[ENGINE_CAPACITY];

Operand operands[ENGINE_CAPACITY];  // the value stack of the translation
int32_t pending[ENGINE_CAPACITY];   // blocks and loops whose jump awaits their end

const Instruction* current_record;  // the record being translated

TranslatedOp& emit(TranslatedCode c, Operand d = {}, Operand a = {}, Operand b = {}) {
    if (code_size == code_capacity) {
        int32_t capacity = code_capacity ? 2 * code_capacity : 256;
        TranslatedOp* grown = static_cast<TranslatedOp*>(std::realloc(code, sizeof(TranslatedOp) * capacity));
        if (!grown) fatal_error("out of memory");
        code = grown;
        auto* grown_outcomes = static_cast<uint64_t*>(std::realloc(outcomes, sizeof(uint64_t) * capacity));
        if (!grown_outcomes) fatal_error("out of memory");
        outcomes = grown_outcomes;
        code_capacity = capacity;
    }
    TranslatedOp& op = code[code_size++];
    op = TranslatedOp{c, d.place, a.place, b.place, 0, current_record, d.slot, a.slot, b.slot};
    return op;
}

Operand int_constant(int32_t k) {
    TokenValue& v = constants[constant_count++];
    v.bits = 0;
    v.integer = k;
    return {&v.integer, false, Place::CONST};
}

Operand real_constant(double x) {
    TokenValue& v = constants[constant_count++];
    v.real = x;
    return {&v.real, true, Place::CONST};
}

Operand variable(Symbol* sym) {
    return {&sym->value, sym->type != 0, Place::VAR};
}

// The Symbol an I/O or step operation names, in d.
Operand symbol_operand(Symbol* sym) {
    return {sym, sym->type != 0, Place::NONE};
}

Operand temporary(int32_t pos, bool real) {
    return {real ? static_cast<void*>(&temp_real[pos]) : static_cast<void*>(&temp_int[pos]), real, Place::TEMP};
}

struct Translator {
    int32_t depth = 0;  // operands on the translation's value stack
    int32_t open = 0;   // entries of pending
    int32_t loops = 0;  // loops open inside the body
    int32_t mode = MODE_INT;
    int32_t last_result = -1;  // the operation whose destination is the top temporary, if any

    void push(Operand o) {
        operands[depth++] = o;
        last_result = -1;
    }

    // The operand at position pos, converted to the type the mode needs.
    Operand as_mode(int32_t pos, bool want_real) {
        Operand& o = operands[pos];
        if (o.real == want_real) return o;
        if (o.place == Place::CONST) {
            // Converted once, here, rather than on every pass.
            if (want_real)
                o = real_constant(*static_cast<int32_t*>(o.slot));
            else
                o = int_constant(real_to_int(*static_cast<double*>(o.slot)));
            return o;
        }
        Operand t = temporary(pos, want_real);
        emit(want_real ? T_REAL_OF_I : T_INT_OF_R, t, o);
        o = t;
        return o;
    }

    void binary(OpCode op) {
        bool real = mode == MODE_REAL;
        int32_t l = depth - 2;
        Operand a = as_mode(l, real);
        Operand b = as_mode(l + 1, real);
        Operand d = temporary(l, real);
        emit(arith_code(real, arith_of(op)), d, a, b);
        depth = l + 1;
        operands[l] = d;
        last_result = code_size - 1;
    }

    // OP_STORE and the compound assignments: the value at position 0 into sym.
    void assign(OpCode op, Symbol* sym) {
        bool real = mode == MODE_REAL;
        Operand v = variable(sym);
        v.real = real;  // the mode is the variable's own: MODE_OF set it
        Operand x = as_mode(0, real);
        if (op == OP_STORE) {
            if (last_result >= 0 && last_result == code_size - 1 && depth == 1) {
                code[last_result].d = v.slot;  // the last operation writes the variable itself
                code[last_result].pd = Place::VAR;
            } else {
                emit(real ? T_MOVE_R : T_MOVE_I, v, x);
            }
        } else {
            // The real forms keep the operand order of real_update, which
            // decides the sign of a NaN: an operator that commutes puts the value first.
            Arith a = arith_of(op);
            bool value_first = real && commutes(a);
            emit(arith_code(real, a), v, value_first ? x : v, value_first ? v : x);
        }
        depth = 0;
        last_result = -1;
    }

    void compare(OpCode op) {
        int32_t l = depth - 2;
        Operand a;
        Operand b;
        bool real = operands[l].real || operands[l + 1].real;
        if (real) {
            a = as_mode(l, true);
            b = as_mode(l + 1, true);
        } else {
            a = operands[l];
            b = operands[l + 1];
        }
        pending[open++] = code_size;
        emit(compare_code(real, relation_of(op)), {}, a, b);
        depth = l;
        last_result = -1;
    }

    void start_loop(Operand count) {
        pending[open++] = code_size;
        emit(count.real ? T_LOOP_R : T_LOOP_I, {}, count);
        if (++loops > translation.loop_depth) translation.loop_depth = loops;
    }

    void translate(const Instruction* p) {
        Symbol* sym = p->operand_kind == OPERAND_VAR ? p->operand.symbol : nullptr;
        current_record = p;
        switch (p->op) {
        case OP_PUSH_INT:
            // In real mode an integer constant is pushed as its exact real;
            // kept as an integer, it still compares and converts exactly.
            push(int_constant(p->operand.integer));
            break;
        case OP_PUSH_REAL:
            push(mode == MODE_INT ? int_constant(real_to_int(p->operand.real)) : real_constant(p->operand.real));
            break;
        case OP_LOAD: push(variable(sym)); break;
        case OP_ADD:
        case OP_SUB:
        case OP_MUL:
        case OP_DIV: binary(p->op); break;
        case OP_STORE:
        case OP_ADD_TO:
        case OP_SUB_FROM:
        case OP_MUL_BY:
        case OP_DIV_BY: assign(p->op, sym); break;
        case OP_INC: emit(sym->type ? T_INC_R : T_INC_I, symbol_operand(sym)); break;
        case OP_DEC: emit(sym->type ? T_DEC_R : T_DEC_I, symbol_operand(sym)); break;
        case OP_MODE_OF: mode = sym->type; break;
        case OP_MODE_REAL: mode = MODE_REAL; break;
        case OP_MODE_INT: mode = MODE_INT; break;
        case OP_IF_EQ:
        case OP_IF_NE:
        case OP_IF_LE:
        case OP_IF_GE:
        case OP_IF_LT:
        case OP_IF_GT: compare(p->op); break;
        case OP_END_IF: code[pending[--open]].jump = code_size; break;
        case OP_PRINT_VAR: emit(T_PRINT_VAR, symbol_operand(sym)); break;
        case OP_PRINT_STR: emit(T_PRINT_STR, {const_cast<char*>(p->operand.text), false, Place::NONE}); break;
        case OP_PRINT_NL: emit(T_PRINT_NL); break;
        case OP_FPRINT_VAR: emit(T_FPRINT_VAR, symbol_operand(sym)); break;
        case OP_FPRINT_STR: emit(T_FPRINT_STR, {const_cast<char*>(p->operand.text), false, Place::NONE}); break;
        case OP_FPRINT_NL: emit(T_FPRINT_NL); break;
        case OP_INPUT: emit(T_INPUT, symbol_operand(sym)); break;
        case OP_RAND: {
            bool real = mode == MODE_REAL;
            int32_t t = depth - 1;
            Operand a = as_mode(t, real);
            Operand d = temporary(t, real);
            emit(real ? T_RAND_R : T_RAND_I, d, a);
            operands[t] = d;
            last_result = code_size - 1;
            break;
        }
        case OP_LOOP: start_loop(int_constant(p->operand.integer)); break;
        case OP_LOOP_VAR:  // and OP_BREAK
            if (p->operand_kind == OPERAND_NONE)
                emit(T_BREAK);
            else
                start_loop(variable(sym));
            break;
        case OP_LOOP_END: {
            int32_t begin = pending[--open];
            code[begin].jump = code_size;
            emit(T_LOOP_END).jump = begin + 1;
            --loops;
            break;
        }
        case OP_MAKE_REAL:
        case OP_MAKE_INT:  // bodies with declarations take the general walk
        case OP_OPEN_OUT:
        case OP_OUT_CONSOLE:  // the header never stands in a body
            break;
        }
    }
};

}  // namespace

bool translate_body(const Instruction* start, const Instruction* end) {
    int32_t records = 0;
    for (const Instruction* p = start->next; p != end; p = p->next, ++records)
        if (p->op == OP_MAKE_REAL || p->op == OP_MAKE_INT) return false;

    // Each record needs at most two constants: its own, and that one converted.
    // The pool, like the operations, is kept for the next loop and only grows.
    if (2 * records + 1 > constant_capacity) {
        std::free(constants);
        constant_capacity = 2 * records + 1;
        constants = static_cast<TokenValue*>(std::malloc(sizeof(TokenValue) * constant_capacity));
        if (!constants) fatal_error("out of memory");
    }
    constant_count = 0;
    code_size = 0;
    translation.loop_depth = 0;
    Translator t;
    for (const Instruction* p = start->next; p != end; p = p->next) t.translate(p);
    current_record = end;
    emit(T_LOOP_END).jump = 0;  // the replayed loop's own end
    translation.ops = code;
    translation.size = code_size;
    std::fill_n(outcomes, code_size, uint64_t{1});
    translation.outcomes = outcomes;
    return true;
}

const Translation& last_translation() {
    return translation;
}
