// The translation of a loop body: its records, once, as typed three-address
// operations over variables, constants and temporaries, each pointing back
// to its record. Two consumers run them: the threaded replay
// (engine/threaded.cpp) and, where the machine allows, native code
// (engine/native_plan.h and its emitters).
//
// Types can change only through declarations, so in a body without any,
// every variable keeps its type for the whole replay, and every instruction
// its numeric mode: the translation fixes what the general walk decides at
// each step. Bodies with declarations take the general walk.
#pragma once

#include <cstdint>

#include "engine/arith.h"
#include "engine/instructions.h"

// Every translated code, in one list that the enum and the threaded
// dispatch table are built from. _I operations work on 32-bit integers, _R
// on doubles; the arithmetic codes of each family run in Arith order. The
// comparisons jump past their block when the relation fails, in Relation
// order: _II compares two integers (exactly as comparing their reals
// would), _RR two reals.
#define TRANSLATED_CODES(X)                                                   \
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

enum TranslatedCode : uint8_t {
#define TRANSLATED_ENUM(name) T_##name,
    TRANSLATED_CODES(TRANSLATED_ENUM)
#undef TRANSLATED_ENUM
};
// Kept out of the enum, so that a switch over every code needs no default.
#define TRANSLATED_ONE(name) 1,
constexpr uint8_t TRANSLATED_ONES[] = {TRANSLATED_CODES(TRANSLATED_ONE)};
#undef TRANSLATED_ONE
constexpr int TRANSLATED_CODE_COUNT = sizeof TRANSLATED_ONES;

// The codes derived from an instruction code by offset.
constexpr TranslatedCode arith_code(bool real, Arith a) {
    return static_cast<TranslatedCode>((real ? T_ADD_R : T_ADD_I) + static_cast<uint8_t>(a));
}
constexpr TranslatedCode compare_code(bool real, Relation rel) {
    return static_cast<TranslatedCode>((real ? T_EQ_RR : T_EQ_II) + static_cast<uint8_t>(rel));
}
static_assert(arith_code(false, arith_of(OP_DIV)) == T_DIV_I && arith_code(true, arith_of(OP_DIV_BY)) == T_DIV_R);
static_assert(arith_code(false, arith_of(OP_SUB_FROM)) == T_SUB_I && arith_code(true, arith_of(OP_MUL)) == T_MUL_R);
static_assert(compare_code(false, relation_of(OP_IF_GT)) == T_GT_II && compare_code(true, relation_of(OP_IF_GT)) == T_GT_RR);
static_assert(compare_code(false, relation_of(OP_IF_LE)) == T_LE_II && compare_code(true, relation_of(OP_IF_NE)) == T_NE_RR);

// Where an operand lives.
enum class Place : uint8_t {
    NONE,
    VAR,        // a Symbol's value
    CONST,      // the translation's constant pool
    TEMP,       // a temporary, by value-stack position
};

// d is the destination, a and b the operands, each a slot of the type the
// code names. INC_, DEC_, PRINT_VAR, FPRINT_VAR and INPUT hold the Symbol in
// d; PRINT_STR and FPRINT_STR the text. A LOOP_ reads its count from a.
struct TranslatedOp {
    TranslatedCode     code;
    Place              pd, pa, pb;
    int32_t            jump;    // an operation index: past a failed block, a loop's end or its body
    const Instruction* at;      // the record it was translated from
    void*              d;
    void*              a;
    void*              b;
};

struct Translation {
    const TranslatedOp* ops;
    int32_t             size;   // the last is the replayed loop's own LOOP_END
    int32_t             loop_depth;     // the deepest nesting of loops inside the body
};

// Translates the records after start up to its end record. Returns false,
// translating nothing, when the body holds a declaration.
bool translate_body(const Instruction* start, const Instruction* end);

// The body translate_body translated last. Its slots stay put until the
// next translation.
const Translation& last_translation();

// Runs count passes of the last translation by threaded dispatch.
// REQUIRES: count >= 1.
void run_threaded(int32_t count);
