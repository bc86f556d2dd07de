// Instructions as the parser issues them. Each is appended to the list before
// it runs (unless a loop is being replayed), so that a loop body can be run
// again from its records. Records are never removed or freed.
#pragma once

#include <cstdint>

#include "lexer/symbols.h"
#include "lexer/tokens.h"

// ORDER OP: the codes are part of the recorded program; 72 is shared, and
// operand_kind tells OP_LOOP_VAR (a variable) from OP_BREAK (none).
enum OpCode : int32_t {
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

enum OperandKind : int32_t {
    OPERAND_NONE  = 0,
    OPERAND_CONST = 1,
    OPERAND_VAR   = 2,
};

struct Instruction {
    int32_t      op;            // an OP_ code
    int32_t      operand_kind;  // which view of operand is live
    TokenValue   operand;       // zero for OPERAND_NONE
    Instruction* next;
};

struct InstructionList {
    Instruction* head;
    Instruction* last;          // also the tail, so appending costs O(1)
};

inline bool is_comparison(int32_t op) {
    return op >= OP_IF_EQ && op <= OP_IF_GT;
}

extern InstructionList instruction_list;    // owned by engine/issue.cpp

// The three issue routines: record (unless replaying), do the bookkeeping
// that ignores the gate, then carry the instruction out if the gate is open.
void issue_const(int32_t op, TokenValue operand);
void issue_plain(int32_t op);
void issue_var(int32_t op, Symbol* symbol);

// Appends one record. An allocation failure ends the process (status 1).
void record_instruction(int32_t op, int32_t operand_kind, TokenValue operand);

// Runs the passes of the loop at loop_depth, whose start record is start.
// REQUIRES: loop_body_end[loop_depth] is that loop's end record.
void replay_loop_body(Instruction* start);
