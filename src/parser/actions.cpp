// The grammar's reduction actions: the only place where a program's meaning
// is produced. Each issues at most one instruction. Marker rules (empty
// right-hand sides) read the tokens of their enclosing rule that precede them.
#include "parser/parser.h"

#include "engine/instructions.h"

void reduce_action(int rule, const TokenValue* top) {
    switch (rule) {
    // output_header -> "#" STRING_CONST
    case 2: issue_const(OP_OPEN_OUT, top[0]); break;
    // output_header -> (empty)
    case 3: issue_plain(OP_OUT_CONSOLE); break;
    // store_mode_marker .. div_by_mode_marker -> (empty), after IDENT and the operator
    case 6:
    case 8:
    case 10:
    case 12:
    case 14: issue_var(OP_MODE_OF, top[-1].symbol); break;
    // statement -> IDENT "=" store_mode_marker expression, and the compound forms
    case 7: issue_var(OP_STORE, top[-3].symbol); break;
    case 9: issue_var(OP_ADD_TO, top[-3].symbol); break;
    case 11: issue_var(OP_SUB_FROM, top[-3].symbol); break;
    case 13: issue_var(OP_MUL_BY, top[-3].symbol); break;
    case 15: issue_var(OP_DIV_BY, top[-3].symbol); break;
    // statement -> IDENT "++" | IDENT "--"
    case 16: issue_var(OP_INC, top[-1].symbol); break;
    case 17: issue_var(OP_DEC, top[-1].symbol); break;
    // statement -> "S" "(" IDENT ")"
    case 23: issue_var(OP_INPUT, top[-1].symbol); break;
    // real_decl_marker -> (empty), after "dbl" IDENT
    case 24: issue_var(OP_MAKE_REAL, top[0].symbol); break;
    // int_decl_marker -> (empty), after "int" IDENT
    case 26: issue_var(OP_MAKE_INT, top[0].symbol); break;
    // statement -> "out"
    case 28: issue_plain(OP_BREAK); break;
    // more_real_decl -> "," IDENT
    case 29: issue_var(OP_MAKE_REAL, top[0].symbol); break;
    // more_int_decl -> "," IDENT
    case 31: issue_var(OP_MAKE_INT, top[0].symbol); break;
    // condition_mode_marker -> (empty)
    case 33: issue_plain(OP_MODE_REAL); break;
    // body_mode_marker -> (empty)
    case 34: issue_plain(OP_MODE_INT); break;
    // if_statement -> "if" "(" marker condition marker ")" "{" statement_list "}"
    case 35: issue_plain(OP_END_IF); break;
    // condition -> expression relation expression
    case 37: issue_plain(OP_IF_EQ); break;
    case 38: issue_plain(OP_IF_NE); break;
    case 39: issue_plain(OP_IF_LE); break;
    case 40: issue_plain(OP_IF_GE); break;
    case 41: issue_plain(OP_IF_LT); break;
    case 42: issue_plain(OP_IF_GT); break;
    // const_loop_marker -> (empty), after "loop" "(" INT_CONST ")" "{"
    case 43: issue_const(OP_LOOP, top[-2]); break;
    // loop_statement -> "loop" "(" count ")" "{" marker statement_list "}"
    case 44:
    case 46: issue_plain(OP_LOOP_END); break;
    // var_loop_marker -> (empty), after "loop" "(" IDENT ")" "{"
    case 45: issue_var(OP_LOOP_VAR, top[-2].symbol); break;
    // print_items -> print_items STRING_CONST | IDENT | "\n"
    case 48: issue_const(OP_PRINT_STR, top[0]); break;
    case 49: issue_var(OP_PRINT_VAR, top[0].symbol); break;
    case 50: issue_plain(OP_PRINT_NL); break;
    // file_print_items -> file_print_items STRING_CONST | IDENT | "\n"
    case 52: issue_const(OP_FPRINT_STR, top[0]); break;
    case 53: issue_var(OP_FPRINT_VAR, top[0].symbol); break;
    case 54: issue_plain(OP_FPRINT_NL); break;
    // expression -> INT_CONST | REAL_CONST
    case 56: issue_const(OP_PUSH_INT, top[0]); break;
    case 57: issue_const(OP_PUSH_REAL, top[0]); break;
    // expression -> expression operator expression
    case 58: issue_plain(OP_ADD); break;
    case 59: issue_plain(OP_SUB); break;
    case 60: issue_plain(OP_MUL); break;
    case 61: issue_plain(OP_DIV); break;
    // expression -> "rand" "(" expression ")"
    case 62: issue_plain(OP_RAND); break;
    // expression -> IDENT
    case 64: issue_var(OP_LOAD, top[0].symbol); break;
    default: break;  // rules without an action
    }
}
