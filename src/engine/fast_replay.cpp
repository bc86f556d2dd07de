#include "engine/fast_replay.h"

#include <cstdlib>

#include "errors/errors.h"
#include "engine/effects.h"
#include "engine/machine.h"

namespace {

// Every operation, in one list that both the code enum and the dispatch
// table are built from. _I operations work on 32-bit integers, _R on
// doubles; the four arithmetic codes of each family go add, sub, mul, div.
// The comparisons jump past their block when the relation fails: _II
// compares two integers (exactly as comparing their reals would), _RR two
// reals.
#define FAST_CODES(X)                                                         \
    X(ADD_I) X(SUB_I) X(MUL_I) X(DIV_I)                                       \
    X(ADD_R) X(SUB_R) X(MUL_R) X(DIV_R)                                       \
    X(MOVE_I) X(MOVE_R)                                                       \
    X(INT_OF_R) /* d = real_to_int(a) */ X(REAL_OF_I) /* d = a, exactly */    \
    X(RAND_I) X(RAND_R)                                                       \
    X(INC_I) X(INC_R) X(DEC_I) X(DEC_R)                                       \
    X(EQ_II) X(NE_II) X(LE_II) X(GE_II) X(LT_II) X(GT_II)                     \
    X(EQ_RR) X(NE_RR) X(LE_RR) X(GE_RR) X(LT_RR) X(GT_RR)                     \
    X(PRINT_STR) X(PRINT_VAR) X(PRINT_NL)                                     \
    X(FPRINT_STR) X(FPRINT_VAR) X(FPRINT_NL)                                  \
    X(INPUT)                                                                  \
    X(LOOP_I) X(LOOP_R) X(LOOP_END) X(BREAK)

enum FastCode : uint8_t {
#define FAST_ENUM(name) name,
    FAST_CODES(FAST_ENUM)
#undef FAST_ENUM
    FAST_CODE_COUNT
};

struct FastOp {
    uint8_t code;
    const Instruction* at;  // the record it was translated from
    int32_t jump;       // an operation index: past a failed block, a loop's end or its body
    void*   d;          // destination slot, or the Symbol or text of an I/O operation
    void*   a;          // operand slots
    void*   b;
};

// An operand not yet consumed: where its value lives and its type. Loads and
// constants emit nothing; the operation that consumes them reads the slot.
// Expressions have no side effects, so a variable read late reads the same value.
struct Operand {
    void* slot;
    bool  real;
    bool  constant;     // the slot is in the constant pool
};

FastOp*    code;
int32_t    code_size;
int32_t    code_capacity;
TokenValue* constants;      // sized before translation, so slot addresses stay put
int32_t    constant_count;
int32_t    constant_capacity;

// Temporaries by value-stack position: an operation's result takes the
// position of its left operand, as on the value stack.
int32_t temp_int[ENGINE_CAPACITY];
double  temp_real[ENGINE_CAPACITY];

Operand operands[ENGINE_CAPACITY];   // the value stack of the translation
int32_t pending[ENGINE_CAPACITY];    // blocks and loops whose jump awaits their end

struct Frame {
    int32_t body;       // the first operation of a pass
    int32_t end;        // the loop's LOOP_END
    int32_t count;      // passes still to run after this one
};
Frame frames[ENGINE_CAPACITY];
const Instruction* current_record;  // the record being translated

FastOp& emit(uint8_t c, void* d = nullptr, void* a = nullptr, void* b = nullptr) {
    if (code_size == code_capacity) {
        int32_t capacity = code_capacity ? 2 * code_capacity : 256;
        FastOp* grown = static_cast<FastOp*>(std::realloc(code, sizeof(FastOp) * capacity));
        if (!grown) fatal_error("out of memory");
        code = grown;
        code_capacity = capacity;
    }
    FastOp& op = code[code_size++];
    op = FastOp{c, current_record, 0, d, a, b};
    return op;
}

Operand int_constant(int32_t k) {
    TokenValue& v = constants[constant_count++];
    v.bits = 0;
    v.integer = k;
    return {&v.integer, false, true};
}

Operand real_constant(double x) {
    TokenValue& v = constants[constant_count++];
    v.real = x;
    return {&v.real, true, true};
}

struct Translator {
    int32_t depth = 0;      // operands on the translation's value stack
    int32_t open = 0;       // entries of pending
    int32_t mode = MODE_INT;
    int32_t last_result = -1;   // the operation whose destination is the top temporary, if any

    void push(Operand o) {
        operands[depth++] = o;
        last_result = -1;
    }

    // The operand at position pos, converted to the type the mode needs.
    void* as_mode(int32_t pos, bool want_real) {
        Operand& o = operands[pos];
        if (o.real == want_real) return o.slot;
        if (o.constant) {
            // Converted once, here, rather than on every pass.
            if (want_real) o = real_constant(*static_cast<int32_t*>(o.slot));
            else o = int_constant(real_to_int(*static_cast<double*>(o.slot)));
            return o.slot;
        }
        if (want_real) {
            emit(REAL_OF_I, &temp_real[pos], o.slot);
            o = {&temp_real[pos], true, false};
        } else {
            emit(INT_OF_R, &temp_int[pos], o.slot);
            o = {&temp_int[pos], false, false};
        }
        return o.slot;
    }

    void binary(OpCode op) {
        bool real = mode == MODE_REAL;
        int32_t l = depth - 2;
        void* a = as_mode(l, real);
        void* b = as_mode(l + 1, real);
        void* d = real ? static_cast<void*>(&temp_real[l]) : static_cast<void*>(&temp_int[l]);
        emit(static_cast<uint8_t>((real ? ADD_R : ADD_I) + (op - OP_ADD)), d, a, b);
        depth = l + 1;
        operands[l] = {d, real, false};
        last_result = code_size - 1;
    }

    // OP_STORE and the compound assignments: the value at position 0 into sym.
    void assign(OpCode op, Symbol* sym) {
        bool real = mode == MODE_REAL;
        void* v = real ? static_cast<void*>(&sym->value.real) : static_cast<void*>(&sym->value.integer);
        void* x = as_mode(0, real);
        if (op == OP_STORE) {
            if (last_result >= 0 && last_result == code_size - 1 && depth == 1) {
                code[last_result].d = v;    // the last operation writes the variable itself
            } else {
                emit(real ? MOVE_R : MOVE_I, v, x);
            }
        } else {
            // The real forms keep the operand order of the general walk, which
            // decides the sign of a NaN: add and mul put the value first.
            Arith a = arith_of(op);
            bool value_first = real && (a == Arith::ADD || a == Arith::MUL);
            emit(static_cast<uint8_t>((real ? ADD_R : ADD_I) + static_cast<uint8_t>(a)), v, value_first ? x : v,
                 value_first ? v : x);
        }
        depth = 0;
        last_result = -1;
    }

    void compare(OpCode op) {
        int32_t rel = op - OP_IF_EQ;
        int32_t l = depth - 2;
        void* a;
        void* b;
        uint8_t c;
        if (!operands[l].real && !operands[l + 1].real) {
            a = operands[l].slot;
            b = operands[l + 1].slot;
            c = static_cast<uint8_t>(EQ_II + rel);
        } else {
            a = as_mode(l, true);
            b = as_mode(l + 1, true);
            c = static_cast<uint8_t>(EQ_RR + rel);
        }
        pending[open++] = code_size;
        emit(c, nullptr, a, b);
        depth = l;
        last_result = -1;
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
        case OP_LOAD:
            push(sym->type ? Operand{&sym->value.real, true, false} : Operand{&sym->value.integer, false, false});
            break;
        case OP_ADD:
        case OP_SUB:
        case OP_MUL:
        case OP_DIV: binary(p->op); break;
        case OP_STORE:
        case OP_ADD_TO:
        case OP_SUB_FROM:
        case OP_MUL_BY:
        case OP_DIV_BY: assign(p->op, sym); break;
        case OP_INC: emit(sym->type ? INC_R : INC_I, sym); break;
        case OP_DEC: emit(sym->type ? DEC_R : DEC_I, sym); break;
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
        case OP_PRINT_VAR: emit(PRINT_VAR, sym); break;
        case OP_PRINT_STR: emit(PRINT_STR, const_cast<char*>(p->operand.text)); break;
        case OP_PRINT_NL: emit(PRINT_NL); break;
        case OP_FPRINT_VAR: emit(FPRINT_VAR, sym); break;
        case OP_FPRINT_STR: emit(FPRINT_STR, const_cast<char*>(p->operand.text)); break;
        case OP_FPRINT_NL: emit(FPRINT_NL); break;
        case OP_INPUT: emit(INPUT, sym); break;
        case OP_RAND: {
            bool real = mode == MODE_REAL;
            int32_t t = depth - 1;
            void* a = as_mode(t, real);
            void* d = real ? static_cast<void*>(&temp_real[t]) : static_cast<void*>(&temp_int[t]);
            emit(real ? RAND_R : RAND_I, d, a);
            operands[t] = {d, real, false};
            last_result = code_size - 1;
            break;
        }
        case OP_LOOP:
            pending[open++] = code_size;
            emit(LOOP_I, nullptr, int_constant(p->operand.integer).slot);
            break;
        case OP_LOOP_VAR:   // and OP_BREAK
            if (p->operand_kind == OPERAND_NONE) {
                emit(BREAK);
                break;
            }
            pending[open++] = code_size;
            if (sym->type) emit(LOOP_R, nullptr, &sym->value.real);
            else emit(LOOP_I, nullptr, &sym->value.integer);
            break;
        case OP_LOOP_END: {
            int32_t begin = pending[--open];
            code[begin].jump = code_size;
            emit(LOOP_END).jump = begin + 1;
            break;
        }
        case OP_MAKE_REAL:
        case OP_MAKE_INT:       // bodies with declarations take the general walk
        case OP_OPEN_OUT:
        case OP_OUT_CONSOLE:    // the header never stands in a body
            break;
        }
    }
};

}  // namespace

bool compile_body(const Instruction* start, const Instruction* end) {
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
    Translator t;
    for (const Instruction* p = start->next; p != end; p = p->next) t.translate(p);
    emit(LOOP_END).jump = 0;    // the replayed loop's own end
    return true;
}

// Each operation ends by jumping straight to the next one's code, so that
// every operation has an indirect branch of its own, which the processor
// predicts far better than one shared by all: this runs the loop benchmarks
// about twice as fast as a switch. Computed goto is a GNU extension, which
// GCC and Clang both have.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
void run_compiled(int32_t count) {
    static void* const labels[] = {
#define FAST_LABEL(name) &&L_##name,
        FAST_CODES(FAST_LABEL)
#undef FAST_LABEL
    };
    static_assert(sizeof labels / sizeof labels[0] == FAST_CODE_COUNT);

    const FastOp* ops = code;
    const FastOp* op;
    int32_t pc = 0;
    int n = 0;
    frames[0] = {0, code_size - 1, 0};
    int32_t remaining = count - 1;  // the innermost loop's passes after this one, kept in a register

#define I(p) (*static_cast<int32_t*>(p))
#define R(p) (*static_cast<double*>(p))
#define SYM(p) (static_cast<Symbol*>(p))
#define NEXT()                     \
    do {                           \
        op = &ops[pc++];           \
        goto* labels[op->code];    \
    } while (0)

    NEXT();
L_ADD_I: I(op->d) = wrap_add(I(op->a), I(op->b)); NEXT();
L_SUB_I: I(op->d) = wrap_sub(I(op->a), I(op->b)); NEXT();
L_MUL_I: I(op->d) = wrap_mul(I(op->a), I(op->b)); NEXT();
L_DIV_I:
    if (I(op->b) == 0) goto divide_by_zero;
    I(op->d) = wrap_div(I(op->a), I(op->b));
    NEXT();
L_ADD_R: R(op->d) = R(op->a) + R(op->b); NEXT();
L_SUB_R: R(op->d) = R(op->a) - R(op->b); NEXT();
L_MUL_R: R(op->d) = R(op->a) * R(op->b); NEXT();
L_DIV_R: R(op->d) = R(op->a) / R(op->b); NEXT();
L_MOVE_I: I(op->d) = I(op->a); NEXT();
L_MOVE_R: R(op->d) = R(op->a); NEXT();
L_INT_OF_R: I(op->d) = real_to_int(R(op->a)); NEXT();
L_REAL_OF_I: R(op->d) = I(op->a); NEXT();
L_RAND_I: I(op->d) = wrap_mul(draw_random(), I(op->a)) / RANDOM_RANGE; NEXT();
L_RAND_R: R(op->d) = draw_random() * R(op->a) / RANDOM_RANGE; NEXT();
L_INC_I: SYM(op->d)->value.integer = wrap_add(SYM(op->d)->value.integer, 1); NEXT();
L_INC_R: SYM(op->d)->value.real += 1; NEXT();
L_DEC_I: SYM(op->d)->value.integer = wrap_sub(SYM(op->d)->value.integer, 1); NEXT();
L_DEC_R: SYM(op->d)->value.real -= 1; NEXT();
L_EQ_II: if (!(I(op->a) == I(op->b))) pc = op->jump; NEXT();
L_NE_II: if (!(I(op->a) != I(op->b))) pc = op->jump; NEXT();
L_LE_II: if (!(I(op->a) <= I(op->b))) pc = op->jump; NEXT();
L_GE_II: if (!(I(op->a) >= I(op->b))) pc = op->jump; NEXT();
L_LT_II: if (!(I(op->a) < I(op->b))) pc = op->jump; NEXT();
L_GT_II: if (!(I(op->a) > I(op->b))) pc = op->jump; NEXT();
    // A block that holds opens and closes a level that holds 0, which changes
    // nothing; one that fails is stepped over whole.
L_EQ_RR: if (compare_reals(R(op->a), R(op->b), OP_IF_EQ)) pc = op->jump; NEXT();
L_NE_RR: if (compare_reals(R(op->a), R(op->b), OP_IF_NE)) pc = op->jump; NEXT();
L_LE_RR: if (compare_reals(R(op->a), R(op->b), OP_IF_LE)) pc = op->jump; NEXT();
L_GE_RR: if (compare_reals(R(op->a), R(op->b), OP_IF_GE)) pc = op->jump; NEXT();
L_LT_RR: if (compare_reals(R(op->a), R(op->b), OP_IF_LT)) pc = op->jump; NEXT();
L_GT_RR: if (compare_reals(R(op->a), R(op->b), OP_IF_GT)) pc = op->jump; NEXT();
L_PRINT_STR: print_text(stdout, static_cast<const char*>(op->d)); NEXT();
L_PRINT_VAR: print_value(stdout, SYM(op->d)); NEXT();
L_PRINT_NL: print_newline(stdout); NEXT();
L_FPRINT_STR: print_text(machine.output, static_cast<const char*>(op->d)); NEXT();
L_FPRINT_VAR: print_value(machine.output, SYM(op->d)); NEXT();
L_FPRINT_NL: print_newline(machine.output); NEXT();
L_INPUT: read_input(SYM(op->d)); NEXT();
L_LOOP_I:
L_LOOP_R: {
    int32_t passes = op->code == LOOP_I ? I(op->a) : real_to_int(R(op->a));
    if (passes <= 0) {
        pc = op->jump + 1;  // no pass
        NEXT();
    }
    frames[n].count = remaining;
    frames[++n] = {pc, op->jump, 0};
    remaining = passes - 1;
    NEXT();
}
L_LOOP_END:
    count_loop_pass();
    if (interrupt_signal) stop_interrupted();
    if (remaining > 0) {
        --remaining;
        pc = op->jump;
        NEXT();
    }
    if (n == 0) return;
    remaining = frames[--n].count;
    NEXT();
L_BREAK:
    // Leaves the innermost loop. The blocks it leaves opened no levels.
    if (n == 0) return;
    pc = frames[n].end + 1;
    remaining = frames[--n].count;
    NEXT();

divide_by_zero:
    halt_division_by_zero(op->at);
#undef NEXT
#undef SYM
#undef R
#undef I
}
#pragma GCC diagnostic pop
