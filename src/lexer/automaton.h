// The scanner's deterministic automaton: 37 character classes, states that
// carry the number of the rule they accept, and the jam state 0 that no
// rule can leave. Built once, at compile time, from the rule list.
#pragma once

#include <cstdint>

#include "lexer/tokens.h"

constexpr int CLASS_COUNT = 37;
constexpr int CLASS_OTHER = 1;  // control characters, bytes above 127, an input NUL on rescan

// clang-format off
enum ScanState : uint8_t {
    JAM_STATE,
    START_STATE,            // the start state of the one start condition
    EOB_STATE,              // entered on a NUL; accepts RULE_END_OF_BUFFER
    S_EQ, S_PLUS, S_MINUS, S_BACKSLASH, S_OTHER_CHAR,
    S_ADD_ASSIGN, S_SUB_ASSIGN, S_MUL_ASSIGN, S_DIV_ASSIGN, S_INCREMENT, S_DECREMENT,
    S_STAR, S_SLASH, S_LPAREN, S_RPAREN, S_EQ_EQ, S_EQ_BANG, S_EQ_LT, S_EQ_GT,
    S_LT, S_GT, S_QUOTE, S_NEWLINE_MARK, S_BLANK, S_LINE_FEED,
    S_INT, S_INT_POINT, S_REAL,
    S_STRING_OPEN,          // a lone double quote: accepts RULE_CHARACTER until the string closes
    S_STRING_BODY, S_STRING_CLOSED,
    S_IDENT_HEAD, S_IDENT_UNDERSCORES, S_IDENT_TAIL,
    // keyword prefixes accept RULE_IDENT, whole keywords their own rule
    S_L, S_LO, S_LOO, S_LOOP,
    S_I, S_IF, S_IN, S_INT_KW,
    S_R, S_RA, S_RAN, S_RAND,
    S_D, S_DB, S_DBL,
    S_O, S_OU, S_OUT,
    S_KW_P, S_KW_F, S_KW_S, S_KW_D,
    SCAN_STATE_COUNT
};
// clang-format on

// The scanner's rules, in priority order: where two rules match the same
// longest text, the one listed first wins. Each gives the token it returns,
// or NO_TOKEN when the scanner does more than return a code (a value to
// make, text to skip, the buffer's end).
// clang-format off
#define SCAN_RULES(X)                                                       \
    X(RULE_ADD_ASSIGN, ADD_ASSIGN)      /* =+ */                            \
    X(RULE_SUB_ASSIGN, SUB_ASSIGN)      /* =- */                            \
    X(RULE_MUL_ASSIGN, MUL_ASSIGN)      /* =* */                            \
    X(RULE_DIV_ASSIGN, DIV_ASSIGN)      /* =/ */                            \
    X(RULE_INCREMENT, INCREMENT)        /* ++ */                            \
    X(RULE_DECREMENT, DECREMENT)        /* -- */                            \
    X(RULE_STAR, STAR)                                                      \
    X(RULE_SLASH, SLASH)                                                    \
    X(RULE_PLUS, PLUS)                                                      \
    X(RULE_MINUS, MINUS)                                                    \
    X(RULE_LPAREN, LPAREN)                                                  \
    X(RULE_RPAREN, RPAREN)                                                  \
    X(RULE_ASSIGN, ASSIGN)              /* = */                             \
    X(RULE_EQ, EQ)                      /* == */                            \
    X(RULE_NE, NE)                      /* =! */                            \
    X(RULE_LE, LE)                      /* =< */                            \
    X(RULE_GE, GE)                      /* => */                            \
    X(RULE_LT, LT)                                                          \
    X(RULE_GT, GT)                                                          \
    X(RULE_QUOTE, QUOTE)                /* ' */                             \
    X(RULE_NEWLINE_MARK, NEWLINE_MARK)  /* backslash n */                   \
    X(RULE_INTEGER, NO_TOKEN)           /* digits */                        \
    X(RULE_REAL, NO_TOKEN)              /* digits . digits */               \
    X(RULE_STRING, NO_TOKEN)            /* "...", line feeds included */    \
    X(RULE_KW_LOOP, KW_LOOP)                                                \
    X(RULE_KW_IF, KW_IF)                                                    \
    X(RULE_KW_P, KW_P)                                                      \
    X(RULE_KW_F, KW_F)                                                      \
    X(RULE_KW_S, KW_S)                                                      \
    X(RULE_KW_D, KW_D)                                                      \
    X(RULE_KW_RAND, KW_RAND)                                                \
    X(RULE_KW_DBL, KW_DBL)                                                  \
    X(RULE_KW_INT, KW_INT)                                                  \
    X(RULE_KW_OUT, KW_OUT)                                                  \
    X(RULE_BLANK, NO_TOKEN)             /* a blank or a tab: skipped */     \
    X(RULE_IDENT, NO_TOKEN)                                                 \
    X(RULE_LINE_FEED, NO_TOKEN)         /* skipped */                       \
    X(RULE_CHARACTER, NO_TOKEN)         /* any other character: its code */ \
    X(RULE_END_OF_BUFFER, NO_TOKEN)     /* a NUL: the sentinel or input */
// clang-format on

enum ScanRule : uint8_t {
    RULE_NONE,  // the state accepts nothing
#define SCAN_RULE_NAME(rule, token) rule,
    SCAN_RULES(SCAN_RULE_NAME)
#undef SCAN_RULE_NAME
        SCAN_RULE_COUNT
};

constexpr int NO_TOKEN = 0;

// The token each rule returns, or NO_TOKEN.
constexpr int16_t rule_token[SCAN_RULE_COUNT] = {NO_TOKEN,
#define SCAN_RULE_TOKEN(rule, token) token,
                                                 SCAN_RULES(SCAN_RULE_TOKEN)
#undef SCAN_RULE_TOKEN
};

struct ScanTables {
    uint8_t char_class[256];  // by byte; bytes above 127 are ordinary characters
    // The transition; JAM_STATE where no rule goes on. Rows of 64, so that
    // finding one takes a shift rather than a multiplication.
    uint8_t next[SCAN_STATE_COUNT][64];
    uint8_t accept[SCAN_STATE_COUNT];  // the ScanRule a state accepts, RULE_NONE for none
    // By state, a bit for each class that leads the state back to itself:
    // a run of such characters (a name's, a number's, a string's) is
    // passed over without the table step. FINAL marks a state that no
    // character but a NUL leads on from: the match ends there, with no look
    // at the next character (a NUL could only end it there as well).
    uint64_t stay[SCAN_STATE_COUNT];
};
constexpr uint64_t FINAL = uint64_t{1} << 63;
static_assert(CLASS_COUNT < 63, "a class is a bit of ScanTables::stay, below FINAL");

extern const ScanTables scan_tables;

inline int class_of(unsigned char c) {
    return scan_tables.char_class[c];
}
