// The parser engine: the system's only loop. It pulls tokens from the
// scanner and runs each rule's action at its reduction, before the rule's
// right-hand side is popped, so statements run as soon as they are read.
#pragma once

#include <cstdint>
#include <string>

#include "lexer/tokens.h"

enum ParseResult : int32_t {
    PARSE_ACCEPTED = 0,
    PARSE_ERROR = 1,     // "parse error" was reported
    PARSE_OVERFLOW = 2,  // "parser stack overflow" was reported
    PARSE_HALTED = 3,    // the engine stopped the run (it reported why)
};

constexpr int32_t MAX_DEPTH = 10000;  // entries of the parser's stacks

// Parses and runs the whole program. Called once per run. In a terminal
// session (scanner.interactive) a syntax error, a scanner error or a fault of the
// engine costs only the statement in progress: the parser and the engine
// return to the top level, the rest of the line is passed over, and the
// parse goes on; only the end of the input ends it.
ParseResult parse_program();

// The errors a session went on after: its status shows them.
extern int32_t parse_errors_survived;

// Help after "parse error": where the parser stopped, the token it met and
// the tokens it could have taken in the states it passed on that token (the
// last of them the state that found the error), with the source line.
void explain_syntax_error(int32_t lookahead, const int16_t* states, int count);
constexpr int PASSED_STATES_KEPT = 16;

// The tokens the given states have an action for, in the words of a message:
// "';', a name or ')'". Empty when there are none.
std::string expected_tokens(const int16_t* states, int count);

// Help after "parser stack overflow": where, and how to stay below the limit.
void explain_stack_overflow(int32_t lookahead);

// Runs the action of rule (1 to 64). top points at the value-stack entry of
// the rule's last right-hand symbol; top[-k] is the one k places before it.
void reduce_action(int rule, const TokenValue* top);
