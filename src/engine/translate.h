// The translation of a loop body: its records, once, as typed three-address
// operations over variables, constants and temporaries, each pointing back
// to its record. Two consumers run them: the threaded replay
// (engine/threaded.cpp) and, where the machine allows, native code
// (native/plan.h and its emitters).
//
// Types can change only through declarations, so in a body without any,
// every variable keeps its type for the whole replay, and every instruction
// its numeric mode: the translation fixes what the general walk decides at
// each step. Bodies with declarations take the general walk.
#pragma once

#include <cstdint>

#include "engine/arith.h"
#include "engine/instructions.h"

// What a translated operation does; with its type, its shape.
enum class OpKind : uint8_t {
    ARITH,        // d = a op b
    MOVE,         // d = a
    INT_OF_REAL,  // d = real_to_int(a)
    REAL_OF_INT,  // d = a, exactly
    RAND,         // d = a draw scaled into [0, a)
    STEP,         // the variable in d += 1 or -= 1
    COMPARE,      // past the block at jump unless a rel b
    PRINT,
    INPUT,
    LOOP,  // a count in a, the end at jump
    LOOP_END,
    BREAK
};

// Every translated code with its kind and type (real: the operands, or a
// loop's count, are doubles), in one table that the enum, the shapes and
// the threaded dispatch table are built from; a back end's switch over the
// codes fails to compile until a new one is handled. The arithmetic codes
// come from ARITH_OPS, _I on 32-bit integers and _R on doubles, each family
// in Arith order. The comparisons jump past their block when the relation
// fails, in Relation order: _II compares two integers (exactly as comparing
// their reals would), _RR two reals.
#define TRANSLATED_ARITH(name, binary, compound, commutative, stops, X, type, real) X(name##type, ARITH, real)
// clang-format off
#define TRANSLATED_CODES(X)                                                            \
    ARITH_OPS(TRANSLATED_ARITH, X, _I, false)                                          \
    ARITH_OPS(TRANSLATED_ARITH, X, _R, true)                                           \
    X(MOVE_I, MOVE, false) X(MOVE_R, MOVE, true)                                       \
    X(INT_OF_R, INT_OF_REAL, false) X(REAL_OF_I, REAL_OF_INT, true)                    \
    X(RAND_I, RAND, false) X(RAND_R, RAND, true)                                       \
    X(INC_I, STEP, false) X(INC_R, STEP, true) X(DEC_I, STEP, false) X(DEC_R, STEP, true) \
    X(EQ_II, COMPARE, false) X(NE_II, COMPARE, false) X(LE_II, COMPARE, false)         \
    X(GE_II, COMPARE, false) X(LT_II, COMPARE, false) X(GT_II, COMPARE, false)         \
    X(EQ_RR, COMPARE, true) X(NE_RR, COMPARE, true) X(LE_RR, COMPARE, true)            \
    X(GE_RR, COMPARE, true) X(LT_RR, COMPARE, true) X(GT_RR, COMPARE, true)            \
    X(PRINT_STR, PRINT, false) X(PRINT_VAR, PRINT, false) X(PRINT_NL, PRINT, false)    \
    X(FPRINT_STR, PRINT, false) X(FPRINT_VAR, PRINT, false) X(FPRINT_NL, PRINT, false) \
    X(INPUT, INPUT, false)                                                             \
    X(LOOP_I, LOOP, false) X(LOOP_R, LOOP, true) X(LOOP_END, LOOP_END, false) X(BREAK, BREAK, false)
// clang-format on

enum TranslatedCode : uint8_t {
#define TRANSLATED_ENUM(name, kind, real) T_##name,
    TRANSLATED_CODES(TRANSLATED_ENUM)
#undef TRANSLATED_ENUM
};

struct OpShape {
    OpKind kind;
    bool real;
};
// Kept out of the enum, so that a switch over every code needs no default.
constexpr OpShape OP_SHAPES[] = {
#define TRANSLATED_SHAPE(name, kind, real) {OpKind::kind, real},
    TRANSLATED_CODES(TRANSLATED_SHAPE)
#undef TRANSLATED_SHAPE
};
constexpr int TRANSLATED_CODE_COUNT = sizeof OP_SHAPES / sizeof OP_SHAPES[0];

constexpr OpShape shape_of(TranslatedCode c) {
    return OP_SHAPES[c];
}

// The operator of an ARITH code.
constexpr Arith arith_of(TranslatedCode c) {
    return static_cast<Arith>(shape_of(c).real ? c - T_ADD_R : c - T_ADD_I);
}

// Whether the operation can stop the run: an integer zero as the right
// operand of an operator that stops on it.
constexpr bool may_stop(TranslatedCode c) {
    return shape_of(c).kind == OpKind::ARITH && !shape_of(c).real && stops_on_zero(arith_of(c));
}

// The codes derived from an instruction code: the families run in the
// order of their Arith and Relation.
constexpr TranslatedCode arith_code(bool real, Arith a) {
    return static_cast<TranslatedCode>((real ? T_ADD_R : T_ADD_I) + static_cast<uint8_t>(a));
}
constexpr TranslatedCode compare_code(bool real, Relation rel) {
    return static_cast<TranslatedCode>((real ? T_EQ_RR : T_EQ_II) + static_cast<uint8_t>(rel));
}
static_assert(arith_code(false, arith_of(OP_DIV)) == T_DIV_I && arith_code(true, arith_of(OP_DIV_BY)) == T_DIV_R);
static_assert(arith_code(false, arith_of(OP_SUB_FROM)) == T_SUB_I && arith_code(true, arith_of(OP_MUL)) == T_MUL_R);
static_assert(compare_code(false, relation_of(OP_IF_GT)) == T_GT_II &&
              compare_code(true, relation_of(OP_IF_GT)) == T_GT_RR);
static_assert(compare_code(false, relation_of(OP_IF_LE)) == T_LE_II &&
              compare_code(true, relation_of(OP_IF_NE)) == T_NE_RR);
static_assert(may_stop(T_DIV_I) && !may_stop(T_DIV_R) && !may_stop(T_MUL_I) && arith_of(T_SUB_R) == Arith::SUB);

// Where an operand lives.
enum class Place : uint8_t {
    NONE,
    VAR,    // a Symbol's value
    CONST,  // the translation's constant pool
    TEMP,   // a temporary, by value-stack position
};

// d is the destination, a and b the operands, each a slot of the type the
// code names. INC_, DEC_, PRINT_VAR, FPRINT_VAR and INPUT hold the Symbol in
// d; PRINT_STR and FPRINT_STR the text. A LOOP_ reads its count from a.
struct TranslatedOp {
    TranslatedCode code;
    Place pd, pa, pb;
    int32_t jump;           // an operation index: past a failed block, a loop's end or its body
    const Instruction* at;  // the record it was translated from
    void* d;
    void* a;
    void* b;
};

struct Translation {
    const TranslatedOp* ops;
    int32_t size;        // the last is the replayed loop's own LOOP_END
    int32_t loop_depth;  // the deepest nesting of loops inside the body
    // By operation: a comparison's outcomes on the threaded replay, the
    // latest in bit 0 (1 when its test held), above a 1 that marks where
    // they start; 1 until it first runs. Null when nothing records them.
    uint64_t* outcomes = nullptr;
};

// Translates the records after start up to its end record. Returns false,
// translating nothing, when the body holds a declaration.
bool translate_body(const Instruction* start, const Instruction* end);

// The body translate_body translated last. Its slots stay put until the
// next translation.
const Translation& last_translation();
