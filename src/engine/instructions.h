// Instructions as the parser issues them. Each record is made once, when
// first parsed, before it runs; a loop's replay runs its body from these
// records and adds none. Only the outermost loop being recorded is kept: an
// instruction issued outside every loop is carried out and never listed.
#pragma once

#include <cstdint>

#include "lexer/symbols.h"
#include "lexer/tokens.h"

// ORDER OP: the codes are part of the recorded program; 72 is shared, and
// operand_kind tells OP_LOOP_VAR (a variable) from OP_BREAK (none).
// clang-format off
enum OpCode : int16_t {
    OP_PUSH_INT    = 1,
    OP_PUSH_REAL   = 2,
    OP_ADD         = 3,
    OP_SUB         = 4,
    OP_MUL         = 5,
    OP_DIV         = 6,
    OP_STORE       = 7,
    OP_LOAD        = 8,
    OP_ADD_TO      = 9,
    OP_SUB_FROM    = 10,
    OP_MUL_BY      = 11,
    OP_DIV_BY      = 12,
    OP_INC         = 13,
    OP_DEC         = 14,
    OP_MODE_OF     = 20,
    OP_MODE_REAL   = 21,
    OP_MODE_INT    = 22,
    OP_MAKE_REAL   = 23,
    OP_MAKE_INT    = 24,
    OP_IF_EQ       = 30,
    OP_IF_NE       = 31,
    OP_IF_LE       = 32,
    OP_IF_GE       = 33,
    OP_IF_LT       = 34,
    OP_IF_GT       = 35,
    OP_END_IF      = 36,
    OP_PRINT_VAR   = 40,
    OP_PRINT_STR   = 41,
    OP_PRINT_NL    = 42,
    OP_FPRINT_VAR  = 43,
    OP_FPRINT_STR  = 44,
    OP_FPRINT_NL   = 45,
    OP_INPUT       = 50,
    OP_LOOP        = 70,
    OP_LOOP_END    = 71,
    OP_LOOP_VAR    = 72,    // with OPERAND_VAR
    OP_BREAK       = 72,    // with OPERAND_NONE
    OP_RAND        = 80,
    OP_OPEN_OUT    = 90,
    OP_OUT_CONSOLE = 91,
};
// clang-format on

enum OperandKind : int16_t {
    OPERAND_NONE = 0,
    OPERAND_CONST = 1,
    OPERAND_VAR = 2,
};

struct Instruction {
    OpCode op;
    OperandKind operand_kind;  // which view of operand is live
    int32_t line;              // the source line it was issued on, for messages
    TokenValue operand;        // zero for OPERAND_NONE
    Instruction* next;
};
// The line lives in what the narrow codes free.
static_assert(sizeof(Instruction) == 24);

struct InstructionList {
    Instruction* head;
    Instruction* last;  // also the tail, so appending costs O(1)
};

// The code's name without its prefix, as tools print it ("PUSH_INT", "BREAK").
constexpr const char* op_name(OpCode op, OperandKind kind) {
    switch (op) {
    case OP_PUSH_INT: return "PUSH_INT";
    case OP_PUSH_REAL: return "PUSH_REAL";
    case OP_ADD: return "ADD";
    case OP_SUB: return "SUB";
    case OP_MUL: return "MUL";
    case OP_DIV: return "DIV";
    case OP_STORE: return "STORE";
    case OP_LOAD: return "LOAD";
    case OP_ADD_TO: return "ADD_TO";
    case OP_SUB_FROM: return "SUB_FROM";
    case OP_MUL_BY: return "MUL_BY";
    case OP_DIV_BY: return "DIV_BY";
    case OP_INC: return "INC";
    case OP_DEC: return "DEC";
    case OP_MODE_OF: return "MODE_OF";
    case OP_MODE_REAL: return "MODE_REAL";
    case OP_MODE_INT: return "MODE_INT";
    case OP_MAKE_REAL: return "MAKE_REAL";
    case OP_MAKE_INT: return "MAKE_INT";
    case OP_IF_EQ: return "IF_EQ";
    case OP_IF_NE: return "IF_NE";
    case OP_IF_LE: return "IF_LE";
    case OP_IF_GE: return "IF_GE";
    case OP_IF_LT: return "IF_LT";
    case OP_IF_GT: return "IF_GT";
    case OP_END_IF: return "END_IF";
    case OP_PRINT_VAR: return "PRINT_VAR";
    case OP_PRINT_STR: return "PRINT_STR";
    case OP_PRINT_NL: return "PRINT_NL";
    case OP_FPRINT_VAR: return "FPRINT_VAR";
    case OP_FPRINT_STR: return "FPRINT_STR";
    case OP_FPRINT_NL: return "FPRINT_NL";
    case OP_INPUT: return "INPUT";
    case OP_LOOP: return "LOOP";
    case OP_LOOP_END: return "LOOP_END";
    case OP_LOOP_VAR: return kind == OPERAND_VAR ? "LOOP_VAR" : "BREAK";
    case OP_RAND: return "RAND";
    case OP_OPEN_OUT: return "OPEN_OUT";
    case OP_OUT_CONSOLE: return "OUT_CONSOLE";
    }
    return "?";
}

inline bool is_comparison(OpCode op) {
    return op >= OP_IF_EQ && op <= OP_IF_GT;
}

extern InstructionList instruction_list;  // owned by engine/issue.cpp

// The source line recorded with each instruction issued, so that a fault
// found later (in a loop's replay) can name it. Kept up to date by the
// parser; 0 before the first token.
extern int32_t issue_line;

// The three issue routines: record, do the bookkeeping that ignores the
// gate, then carry the instruction out if the gate is open. Outside every
// loop the record is not kept.
void issue_const(OpCode op, TokenValue operand);
void issue_plain(OpCode op);
void issue_var(OpCode op, Symbol* symbol);

// Appends one record. An allocation failure ends the process (status 1).
void record_instruction(OpCode op, OperandKind operand_kind, TokenValue operand);

// When set, sees every record as it is made, kept or not, before it runs:
// for tools that show what was issued.
extern void (*record_observer)(const Instruction* record);
