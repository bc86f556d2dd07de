#include "parser/parser.h"

#include <cstdlib>
#include <cstring>

#include "errors/errors.h"
#include "engine/machine.h"
#include "parser/tables.h"

// Every open block, open loop and pending value holds at least one entry of
// these stacks, so the engine's levels can never outnumber them.
static_assert(ENGINE_CAPACITY >= MAX_DEPTH + 2, "a parser stack entry per level, and a spare");

namespace {

constexpr int32_t INITIAL_DEPTH = 200;
constexpr int32_t EMPTY_LOOKAHEAD = -2;

// The token code held, EMPTY_LOOKAHEAD, or 0 once the end of input is held.
int32_t parse_lookahead;

// The two stacks always have the same height. They live on the heap and
// grow by doubling up to MAX_DEPTH entries.
struct ParserStacks {
    int16_t* state_stack;
    TokenValue* value_stack;
    int32_t height;
    int32_t stack_capacity;
};

void allocate_stacks(ParserStacks& s, int32_t capacity) {
    int16_t* states = static_cast<int16_t*>(std::malloc(sizeof(int16_t) * capacity));
    TokenValue* values = static_cast<TokenValue*>(std::malloc(sizeof(TokenValue) * capacity));
    if (!states || !values) fatal_error("out of memory");
    if (s.height) {
        std::memcpy(states, s.state_stack, sizeof(int16_t) * s.height);
        std::memcpy(values, s.value_stack, sizeof(TokenValue) * s.height);
    }
    std::free(s.state_stack);
    std::free(s.value_stack);
    s.state_stack = states;
    s.value_stack = values;
    s.stack_capacity = capacity;
}

void release_stacks(ParserStacks& s) {
    std::free(s.state_stack);
    std::free(s.value_stack);
}

// The next state after reducing to nonterminal lhs with from on top.
int goto_state(int lhs, int from) {
    return goto_table[(lhs - FIRST_NONTERMINAL) * PARSE_STATE_COUNT + from];
}

int translate(int32_t code) {
    return code < TOKEN_TRANSLATION_SIZE ? token_translation[code] : SYMBOL_COUNT;
}

// The column of terminal_action for a token code held (0 at the end).
int terminal_column(int32_t code) {
    return code < TOKEN_TRANSLATION_SIZE ? token_translation[code] : FIRST_NONTERMINAL;
}

// The states in which a top-level statement begins: the one after the
// header, and the one after a statement's ";" (which every statement list
// shares; the one at the top level is the one two entries above the last).
struct TopLevel {
    int after_header;
    int after_semicolon;
};

TopLevel top_level_states() {
    // The nonterminals, named by rules whose numbers the actions use too:
    // output_header -> (empty), and statement -> IDENT "++".
    TopLevel t;
    t.after_header = goto_state(rule_lhs[3], 0);
    int statement = goto_state(rule_lhs[16], t.after_header);
    t.after_semicolon = action_table[action_base[statement] + translate(';')];
    return t;
}

}  // namespace

int32_t parse_errors_survived;

namespace {

// After an error in a session: the statement in progress is dropped, with
// the rest of its line when the scanner has not dropped it already, and the
// parse starts again at the top level, after the header if it was read.
void start_again(ParserStacks& s, int& state, int32_t& statement_start, const TopLevel& top, bool header_read,
                 bool discard_line) {
    ++parse_errors_survived;
    if (discard_line) discard_rest_of_line();
    return_to_top_level();
    // The reductions that found the error may have popped the header's
    // state, so it is pushed again; the bottom state is always 0.
    s.height = header_read ? 1 : 0;
    state = header_read ? top.after_header : 0;
    statement_start = s.height;
    parse_lookahead = EMPTY_LOOKAHEAD;
}

}  // namespace

ParseResult parse_program() {
    // The states that took their default reduction on the lookahead held:
    // what they could have shifted belongs in the help after an error.
    int16_t passed[PASSED_STATES_KEPT];
    int passed_count = 0;
    ParserStacks s{};
    allocate_stacks(s, INITIAL_DEPTH);
    int state = 0;
    parse_lookahead = EMPTY_LOOKAHEAD;
    s.value_stack[0].bits = 0;  // set aside: never read
    s.height = 0;
    ParseResult result;
    const TopLevel top = top_level_states();
    int32_t statement_start = 0;  // the stack index of the state where the top-level statement began
    int lookahead_column = 0;     // where parse_lookahead's actions stand in terminal_action
    bool header_read = false;

    for (;;) {
        // Enter state. A session can go on for as long as its user types:
        // a finished top-level statement gives its two entries back (the
        // statement list's reductions at the end issue nothing), so only
        // what is open counts toward the stack's limit.
        if (state == top.after_semicolon && s.height == statement_start + 2) {
            if (scanner.interactive) {
                s.height = statement_start;
                state = s.state_stack[statement_start];
            } else {
                statement_start = s.height;
            }
        } else if (state == top.after_header) {
            statement_start = s.height;
            header_read = true;
        }
        s.state_stack[s.height] = static_cast<int16_t>(state);
        ++s.height;
        if (s.height == s.stack_capacity) {
            if (s.stack_capacity >= MAX_DEPTH) {
                report_error("parser stack overflow");
                explain_stack_overflow(parse_lookahead);
                result = PARSE_OVERFLOW;
                break;
            }
            int32_t grown = s.stack_capacity * 2;
            allocate_stacks(s, grown > MAX_DEPTH ? MAX_DEPTH : grown);
        }

        // Choose the action.
        int rule;
        int n = action_base[state];
        if (n == NO_ACTION_FLAG) {
            rule = default_reduction[state];
        } else {
            if (parse_lookahead == EMPTY_LOOKAHEAD) {
                scanner.statement_start = s.height - 1 == statement_start;
                parse_lookahead = next_token();
                passed_count = 0;
                if (parse_lookahead == TOKEN_DISCARDED) {
                    // The scanner reported its error and dropped the line.
                    start_again(s, state, statement_start, top, header_read, false);
                    continue;
                }
                if (parse_lookahead < 0) parse_lookahead = 0;
                lookahead_column = terminal_column(parse_lookahead);
            }
            int a = terminal_action[state * TERMINAL_COLUMNS + lookahead_column];
            if (a <= -DEFAULT_REDUCTION) {
                rule = -a - DEFAULT_REDUCTION;
                if (passed_count < PASSED_STATES_KEPT) passed[passed_count++] = static_cast<int16_t>(state);
            } else {
                if (a == FINAL_STATE) {
                    result = PARSE_ACCEPTED;
                    break;
                }
                if (a > 0) {
                    // Shift: an end of input stays held.
                    if (parse_lookahead != 0) parse_lookahead = EMPTY_LOOKAHEAD;
                    issue_line = scanner.token_line;  // what the statement issues next is on this line
                    s.value_stack[s.height] = scanner.token_value;
                    state = a;
                    continue;
                }
                rule = -a;
            }
        }

        if (rule == 0) {
            // Syntax error. No state has an action on the error terminal, so
            // recovery would only pop to the bottom: the first error ends the parse.
            report_error("parse error");
            if (help_wanted()) {
                if (passed_count < PASSED_STATES_KEPT) passed[passed_count++] = static_cast<int16_t>(state);
                explain_syntax_error(parse_lookahead, passed, passed_count);
            }
            if (scanner.interactive && parse_lookahead != 0) {
                start_again(s, state, statement_start, top, header_read, true);
                continue;
            }
            result = PARSE_ERROR;
            break;
        }

        // Reduce. The pushed value is the first right-hand symbol's.
        int length = rule_length[rule];
        TokenValue value = s.value_stack[s.height - 1 - (length ? length - 1 : 0)];
        if (length == 0) value.bits = 0;
        reduce_action(rule, &s.value_stack[s.height - 1]);
        if (machine.halted) {
            if (scanner.interactive) {
                start_again(s, state, statement_start, top, header_read, true);
                continue;
            }
            result = PARSE_HALTED;
            break;
        }
        s.height -= length;
        s.value_stack[s.height] = value;
        state = goto_state(rule_lhs[rule], s.state_stack[s.height - 1]);
    }
    release_stacks(s);
    return result;
}
