// The scanner's deterministic automaton: 37 character classes, states that
// carry the number of the rule they accept, and the jam state 0 that no
// rule can leave. Built once, at compile time, from the rule list.
#pragma once

#include <cstdint>

constexpr int CLASS_COUNT = 37;
constexpr int CLASS_NUL   = 0;
constexpr int CLASS_OTHER = 1;  // control characters, bytes above 127, an input NUL on rescan

enum ScanState : uint8_t {
    JAM_STATE,
    START_STATE,            // the start state of the one start condition
    EOB_STATE,              // entered on a NUL; accepts rule 40
    S_EQ, S_PLUS, S_MINUS, S_BACKSLASH, S_OTHER_CHAR,
    S_ADD_ASSIGN, S_SUB_ASSIGN, S_MUL_ASSIGN, S_DIV_ASSIGN, S_INCREMENT, S_DECREMENT,
    S_STAR, S_SLASH, S_LPAREN, S_RPAREN, S_EQ_EQ, S_EQ_BANG, S_EQ_LT, S_EQ_GT,
    S_LT, S_GT, S_QUOTE, S_NEWLINE_MARK, S_BLANK, S_LINE_FEED,
    S_INT, S_INT_POINT, S_REAL,
    S_STRING_OPEN,          // a lone double quote: accepts rule 38 until the string closes
    S_STRING_BODY, S_STRING_CLOSED,
    S_IDENT_HEAD, S_IDENT_UNDERSCORES, S_IDENT_TAIL,
    // keyword prefixes accept rule 36, whole keywords their own rule
    S_L, S_LO, S_LOO, S_LOOP,
    S_I, S_IF, S_IN, S_INT_KW,
    S_R, S_RA, S_RAN, S_RAND,
    S_D, S_DB, S_DBL,
    S_O, S_OU, S_OUT,
    S_KW_P, S_KW_F, S_KW_S, S_KW_D,
    SCAN_STATE_COUNT
};

constexpr int RULE_END_OF_BUFFER = 40;
constexpr int RULE_END_OF_INPUT  = 41;

struct ScanTables {
    uint8_t char_class[128];                    // indexed by character code below 128
    uint8_t next[SCAN_STATE_COUNT][CLASS_COUNT];     // the transition; JAM_STATE where no rule goes on
    uint8_t accept[SCAN_STATE_COUNT];                // the rule a state accepts, 0 for none
};

extern const ScanTables scan_tables;

// Bytes above 127 take their own branch: they are ordinary characters.
inline int class_of(unsigned char c) {
    return c < 128 ? scan_tables.char_class[c] : CLASS_OTHER;
}
