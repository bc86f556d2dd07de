#include "lexer/automaton.h"

#include <initializer_list>


namespace {

// Character classes. Class 0 is NUL alone; the rest are the smallest sets of
// characters that no rule tells apart.
enum CharClass : uint8_t {
    C_NUL, C_OTHER, C_BLANK, C_LF, C_BANG, C_DQUOTE, C_SQUOTE, C_LPAREN, C_RPAREN,
    C_STAR, C_PLUS, C_MINUS, C_POINT, C_SLASH, C_DIGIT, C_LT, C_EQ, C_GT, C_BACKSLASH,
    C_UNDERSCORE, C_UP_D, C_UP_F, C_UP_P, C_UP_S,
    C_A, C_B, C_D, C_F, C_I, C_L, C_N, C_O, C_P, C_R, C_T, C_U,
    C_LETTER,   // every other letter
    C_COUNT
};
static_assert(C_COUNT == CLASS_COUNT);

constexpr void make_classes(uint8_t (&t)[128]) {
    for (int c = 1; c < 128; ++c) t[c] = C_OTHER;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = C_LETTER;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = C_LETTER;
    for (int c = '0'; c <= '9'; ++c) t[c] = C_DIGIT;
    t[' '] = C_BLANK;  t['\t'] = C_BLANK;  t['\n'] = C_LF;
    t['!'] = C_BANG;   t['"'] = C_DQUOTE;  t['\''] = C_SQUOTE;
    t['('] = C_LPAREN; t[')'] = C_RPAREN;  t['*'] = C_STAR;
    t['+'] = C_PLUS;   t['-'] = C_MINUS;   t['.'] = C_POINT;
    t['/'] = C_SLASH;  t['<'] = C_LT;      t['='] = C_EQ;
    t['>'] = C_GT;     t['\\'] = C_BACKSLASH; t['_'] = C_UNDERSCORE;
    t['D'] = C_UP_D;   t['F'] = C_UP_F;    t['P'] = C_UP_P;   t['S'] = C_UP_S;
    t['a'] = C_A; t['b'] = C_B; t['d'] = C_D; t['f'] = C_F; t['i'] = C_I; t['l'] = C_L;
    t['n'] = C_N; t['o'] = C_O; t['p'] = C_P; t['r'] = C_R; t['t'] = C_T; t['u'] = C_U;
}

constexpr bool is_alnum_class(int k) { return k == C_DIGIT || k >= C_UP_D; }

// Identifier states continue on letters, digits and the one run of
// underscores; a keyword state continues along its keyword and falls back to
// the identifier states on anything else that an identifier may hold.
constexpr void identifier_moves(ScanTables& a, int s) {
    for (int k = 0; k < CLASS_COUNT; ++k)
        if (is_alnum_class(k)) a.next[s][k] = S_IDENT_HEAD;
    a.next[s][C_UNDERSCORE] = S_IDENT_UNDERSCORES;
}

constexpr ScanTables build() {
    ScanTables a{};
    make_classes(a.char_class);
    auto single = [&](int from, int k, int to, int rule) {
        a.next[from][k] = static_cast<uint8_t>(to);
        a.accept[to] = static_cast<uint8_t>(rule);
    };

    // Start state: every class leads somewhere, so a match consumes at least one character.
    for (int k = 1; k < CLASS_COUNT; ++k) a.next[START_STATE][k] = S_OTHER_CHAR;
    a.accept[S_OTHER_CHAR] = 38;
    single(START_STATE, C_EQ, S_EQ, 13);
    single(START_STATE, C_PLUS, S_PLUS, 9);
    single(START_STATE, C_MINUS, S_MINUS, 10);
    single(START_STATE, C_STAR, S_STAR, 7);
    single(START_STATE, C_SLASH, S_SLASH, 8);
    single(START_STATE, C_LPAREN, S_LPAREN, 11);
    single(START_STATE, C_RPAREN, S_RPAREN, 12);
    single(START_STATE, C_LT, S_LT, 18);
    single(START_STATE, C_GT, S_GT, 19);
    single(START_STATE, C_SQUOTE, S_QUOTE, 20);
    single(START_STATE, C_BACKSLASH, S_BACKSLASH, 38);
    single(START_STATE, C_BLANK, S_BLANK, 35);
    single(START_STATE, C_LF, S_LINE_FEED, 37);
    single(START_STATE, C_DIGIT, S_INT, 22);
    single(START_STATE, C_DQUOTE, S_STRING_OPEN, 38);

    single(S_EQ, C_PLUS, S_ADD_ASSIGN, 1);
    single(S_EQ, C_MINUS, S_SUB_ASSIGN, 2);
    single(S_EQ, C_STAR, S_MUL_ASSIGN, 3);
    single(S_EQ, C_SLASH, S_DIV_ASSIGN, 4);
    single(S_EQ, C_EQ, S_EQ_EQ, 14);
    single(S_EQ, C_BANG, S_EQ_BANG, 15);
    single(S_EQ, C_LT, S_EQ_LT, 16);
    single(S_EQ, C_GT, S_EQ_GT, 17);
    single(S_PLUS, C_PLUS, S_INCREMENT, 5);
    single(S_MINUS, C_MINUS, S_DECREMENT, 6);
    single(S_BACKSLASH, C_N, S_NEWLINE_MARK, 21);

    a.next[S_INT][C_DIGIT] = S_INT;
    a.next[S_INT][C_POINT] = S_INT_POINT;          // accepts nothing: "1." backs up to "1"
    single(S_INT_POINT, C_DIGIT, S_REAL, 23);
    a.next[S_REAL][C_DIGIT] = S_REAL;

    for (int s : {S_STRING_OPEN, S_STRING_BODY})
        for (int k = 1; k < CLASS_COUNT; ++k)
            a.next[s][k] = k == C_DQUOTE ? S_STRING_CLOSED : S_STRING_BODY;
    a.accept[S_STRING_CLOSED] = 24;

    a.accept[S_IDENT_HEAD] = 36;
    a.accept[S_IDENT_UNDERSCORES] = 36;
    a.accept[S_IDENT_TAIL] = 36;
    identifier_moves(a, S_IDENT_HEAD);
    for (int k = 0; k < CLASS_COUNT; ++k)
        if (is_alnum_class(k)) {
            a.next[S_IDENT_UNDERSCORES][k] = S_IDENT_TAIL;
            a.next[S_IDENT_TAIL][k] = S_IDENT_TAIL;
        }
    a.next[S_IDENT_UNDERSCORES][C_UNDERSCORE] = S_IDENT_UNDERSCORES;

    // Keywords, as a trie over the identifier states.
    struct Step { int from, k, to, rule; };
    constexpr Step keyword_steps[] = {
        {START_STATE, C_L, S_L, 36}, {S_L, C_O, S_LO, 36}, {S_LO, C_O, S_LOO, 36}, {S_LOO, C_P, S_LOOP, 25},
        {START_STATE, C_I, S_I, 36}, {S_I, C_F, S_IF, 26}, {S_I, C_N, S_IN, 36}, {S_IN, C_T, S_INT_KW, 33},
        {START_STATE, C_R, S_R, 36}, {S_R, C_A, S_RA, 36}, {S_RA, C_N, S_RAN, 36}, {S_RAN, C_D, S_RAND, 31},
        {START_STATE, C_D, S_D, 36}, {S_D, C_B, S_DB, 36}, {S_DB, C_L, S_DBL, 32},
        {START_STATE, C_O, S_O, 36}, {S_O, C_U, S_OU, 36}, {S_OU, C_T, S_OUT, 34},
        {START_STATE, C_UP_P, S_KW_P, 27}, {START_STATE, C_UP_F, S_KW_F, 28},
        {START_STATE, C_UP_S, S_KW_S, 29}, {START_STATE, C_UP_D, S_KW_D, 30},
    };
    for (int k = 0; k < CLASS_COUNT; ++k)
        if (is_alnum_class(k) && k != C_DIGIT) a.next[START_STATE][k] = S_IDENT_HEAD;
    for (int s = S_L; s < SCAN_STATE_COUNT; ++s) identifier_moves(a, s);
    for (const Step& st : keyword_steps) single(st.from, st.k, st.to, st.rule);

    // A NUL leads every state but the end-of-buffer state there; from it, everything jams.
    for (int s = START_STATE; s < SCAN_STATE_COUNT; ++s)
        if (s != EOB_STATE) a.next[s][C_NUL] = EOB_STATE;
    a.accept[EOB_STATE] = RULE_END_OF_BUFFER;
    return a;
}

}  // namespace

constexpr ScanTables scan_tables = build();
