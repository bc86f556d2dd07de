// The parser's constant tables. Internal symbol numbers: 0 end of input,
// 1 the error terminal, 2 any undefined terminal, 3 to 44 the grammar's other
// terminals, 45 to 67 its nonterminals.
#pragma once

#include <cstdint>

// clang-format off
constexpr int PARSE_STATE_COUNT      = 120;
constexpr int FIRST_NONTERMINAL      = 45;
constexpr int NONTERMINAL_COUNT      = 23;
constexpr int SYMBOL_COUNT           = 68;     // a terminal lookup with it always takes the default
constexpr int RULE_COUNT             = 64;
constexpr int LAST_INDEX             = 109;
constexpr int FINAL_STATE            = 118;
constexpr int ERROR_TERMINAL         = 1;
constexpr int TOKEN_TRANSLATION_SIZE = 294;
constexpr int16_t NO_ACTION_FLAG     = -32768;

extern const int8_t  token_translation[TOKEN_TRANSLATION_SIZE];
extern const int8_t  rule_lhs[RULE_COUNT + 1];
extern const int8_t  rule_length[RULE_COUNT + 1];
extern const int16_t default_reduction[PARSE_STATE_COUNT];
extern const int16_t action_base[PARSE_STATE_COUNT];
extern const int16_t default_goto[NONTERMINAL_COUNT];
extern const int16_t goto_base[NONTERMINAL_COUNT];
extern const int16_t action_table[LAST_INDEX + 1];
extern const int16_t action_check[LAST_INDEX + 1];

// Unpacked: the action of state s on terminal t (t above the grammar's: FIRST_NONTERMINAL),
// and the state a reduction to nonterminal a reaches from state s.
constexpr int TERMINAL_COLUMNS       = FIRST_NONTERMINAL + 1;
constexpr int DEFAULT_REDUCTION      = 1000;   // an action of -(DEFAULT_REDUCTION + r): rule r, the state's default
extern const int16_t terminal_action[PARSE_STATE_COUNT * TERMINAL_COLUMNS];  // [s * TERMINAL_COLUMNS + t]
extern const int16_t goto_table[NONTERMINAL_COUNT * PARSE_STATE_COUNT];      // [a * PARSE_STATE_COUNT + s]
// clang-format on
