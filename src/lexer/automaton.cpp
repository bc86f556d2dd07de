#include "lexer/automaton.h"

#include <initializer_list>


namespace {

// Character classes. Class 0 is NUL alone; the rest are the smallest sets of
// characters that no rule tells apart.
// clang-format off
enum CharClass : uint8_t {
    C_NUL, C_OTHER, C_BLANK, C_LF, C_BANG, C_DQUOTE, C_SQUOTE, C_LPAREN, C_RPAREN,
    C_STAR, C_PLUS, C_MINUS, C_POINT, C_SLASH, C_DIGIT, C_LT, C_EQ, C_GT, C_BACKSLASH,
    C_UNDERSCORE, C_UP_D, C_UP_F, C_UP_P, C_UP_S,
    C_A, C_B, C_D, C_F, C_I, C_L, C_N, C_O, C_P, C_R, C_T, C_U,
    C_LETTER,   // every other letter
    C_COUNT
};
// clang-format on
static_assert(C_COUNT == CLASS_COUNT);

constexpr void make_classes(uint8_t (&table)[256]) {
    // Indexed by character literals, through unsigned char as every byte is.
    struct {
        uint8_t* p;
        constexpr uint8_t& operator[](unsigned char c) const { return p[c]; }
    } t{table};
    for (int c = 1; c < 256; ++c) t[c] = C_OTHER;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = C_LETTER;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = C_LETTER;
    for (int c = '0'; c <= '9'; ++c) t[c] = C_DIGIT;
    // clang-format off
    t[' '] = C_BLANK;  t['\t'] = C_BLANK;  t['\n'] = C_LF;
    t['!'] = C_BANG;   t['"'] = C_DQUOTE;  t['\''] = C_SQUOTE;
    t['('] = C_LPAREN; t[')'] = C_RPAREN;  t['*'] = C_STAR;
    t['+'] = C_PLUS;   t['-'] = C_MINUS;   t['.'] = C_POINT;
    t['/'] = C_SLASH;  t['<'] = C_LT;      t['='] = C_EQ;
    t['>'] = C_GT;     t['\\'] = C_BACKSLASH; t['_'] = C_UNDERSCORE;
    t['D'] = C_UP_D;   t['F'] = C_UP_F;    t['P'] = C_UP_P;   t['S'] = C_UP_S;
    t['a'] = C_A; t['b'] = C_B; t['d'] = C_D; t['f'] = C_F; t['i'] = C_I; t['l'] = C_L;
    t['n'] = C_N; t['o'] = C_O; t['p'] = C_P; t['r'] = C_R; t['t'] = C_T; t['u'] = C_U;
    // clang-format on
}

constexpr bool is_alnum_class(int k) {
    return k == C_DIGIT || k >= C_UP_D;
}

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
    auto single = [&](int from, int k, int to, ScanRule rule) {
        a.next[from][k] = static_cast<uint8_t>(to);
        a.accept[to] = rule;
    };

    // Start state: every class leads somewhere, so a match consumes at least one character.
    for (int k = 1; k < CLASS_COUNT; ++k) a.next[START_STATE][k] = S_OTHER_CHAR;
    a.accept[S_OTHER_CHAR] = RULE_CHARACTER;
    single(START_STATE, C_EQ, S_EQ, RULE_ASSIGN);
    single(START_STATE, C_PLUS, S_PLUS, RULE_PLUS);
    single(START_STATE, C_MINUS, S_MINUS, RULE_MINUS);
    single(START_STATE, C_STAR, S_STAR, RULE_STAR);
    single(START_STATE, C_SLASH, S_SLASH, RULE_SLASH);
    single(START_STATE, C_LPAREN, S_LPAREN, RULE_LPAREN);
    single(START_STATE, C_RPAREN, S_RPAREN, RULE_RPAREN);
    single(START_STATE, C_LT, S_LT, RULE_LT);
    single(START_STATE, C_GT, S_GT, RULE_GT);
    single(START_STATE, C_SQUOTE, S_QUOTE, RULE_QUOTE);
    single(START_STATE, C_BACKSLASH, S_BACKSLASH, RULE_CHARACTER);
    single(START_STATE, C_BLANK, S_BLANK, RULE_BLANK);
    single(START_STATE, C_LF, S_LINE_FEED, RULE_LINE_FEED);
    single(START_STATE, C_DIGIT, S_INT, RULE_INTEGER);
    single(START_STATE, C_DQUOTE, S_STRING_OPEN, RULE_CHARACTER);

    single(S_EQ, C_PLUS, S_ADD_ASSIGN, RULE_ADD_ASSIGN);
    single(S_EQ, C_MINUS, S_SUB_ASSIGN, RULE_SUB_ASSIGN);
    single(S_EQ, C_STAR, S_MUL_ASSIGN, RULE_MUL_ASSIGN);
    single(S_EQ, C_SLASH, S_DIV_ASSIGN, RULE_DIV_ASSIGN);
    single(S_EQ, C_EQ, S_EQ_EQ, RULE_EQ);
    single(S_EQ, C_BANG, S_EQ_BANG, RULE_NE);
    single(S_EQ, C_LT, S_EQ_LT, RULE_LE);
    single(S_EQ, C_GT, S_EQ_GT, RULE_GE);
    single(S_PLUS, C_PLUS, S_INCREMENT, RULE_INCREMENT);
    single(S_MINUS, C_MINUS, S_DECREMENT, RULE_DECREMENT);
    single(S_BACKSLASH, C_N, S_NEWLINE_MARK, RULE_NEWLINE_MARK);

    a.next[S_INT][C_DIGIT] = S_INT;
    a.next[S_INT][C_POINT] = S_INT_POINT;  // accepts nothing: "1." backs up to "1"
    single(S_INT_POINT, C_DIGIT, S_REAL, RULE_REAL);
    a.next[S_REAL][C_DIGIT] = S_REAL;

    for (int s : {S_STRING_OPEN, S_STRING_BODY})
        for (int k = 1; k < CLASS_COUNT; ++k) a.next[s][k] = k == C_DQUOTE ? S_STRING_CLOSED : S_STRING_BODY;
    a.accept[S_STRING_CLOSED] = RULE_STRING;

    a.accept[S_IDENT_HEAD] = RULE_IDENT;
    a.accept[S_IDENT_UNDERSCORES] = RULE_IDENT;
    a.accept[S_IDENT_TAIL] = RULE_IDENT;
    identifier_moves(a, S_IDENT_HEAD);
    for (int k = 0; k < CLASS_COUNT; ++k)
        if (is_alnum_class(k)) {
            a.next[S_IDENT_UNDERSCORES][k] = S_IDENT_TAIL;
            a.next[S_IDENT_TAIL][k] = S_IDENT_TAIL;
        }
    a.next[S_IDENT_UNDERSCORES][C_UNDERSCORE] = S_IDENT_UNDERSCORES;

    // Keywords, as a trie over the identifier states.
    struct Step {
        int from, k, to;
        ScanRule rule;
    };
    // clang-format off
    constexpr Step keyword_steps[] = {
        {START_STATE, C_L, S_L, RULE_IDENT},      {S_L, C_O, S_LO, RULE_IDENT},
        {S_LO, C_O, S_LOO, RULE_IDENT},           {S_LOO, C_P, S_LOOP, RULE_KW_LOOP},
        {START_STATE, C_I, S_I, RULE_IDENT},      {S_I, C_F, S_IF, RULE_KW_IF},
        {S_I, C_N, S_IN, RULE_IDENT},             {S_IN, C_T, S_INT_KW, RULE_KW_INT},
        {START_STATE, C_R, S_R, RULE_IDENT},      {S_R, C_A, S_RA, RULE_IDENT},
        {S_RA, C_N, S_RAN, RULE_IDENT},           {S_RAN, C_D, S_RAND, RULE_KW_RAND},
        {START_STATE, C_D, S_D, RULE_IDENT},      {S_D, C_B, S_DB, RULE_IDENT},
        {S_DB, C_L, S_DBL, RULE_KW_DBL},
        {START_STATE, C_O, S_O, RULE_IDENT},      {S_O, C_U, S_OU, RULE_IDENT},
        {S_OU, C_T, S_OUT, RULE_KW_OUT},
        {START_STATE, C_UP_P, S_KW_P, RULE_KW_P}, {START_STATE, C_UP_F, S_KW_F, RULE_KW_F},
        {START_STATE, C_UP_S, S_KW_S, RULE_KW_S}, {START_STATE, C_UP_D, S_KW_D, RULE_KW_D},
    };
    // clang-format on
    for (int k = 0; k < CLASS_COUNT; ++k)
        if (is_alnum_class(k) && k != C_DIGIT) a.next[START_STATE][k] = S_IDENT_HEAD;
    for (int s = S_L; s < SCAN_STATE_COUNT; ++s) identifier_moves(a, s);
    for (const Step& st : keyword_steps) single(st.from, st.k, st.to, st.rule);

    // A NUL leads every state but the end-of-buffer state there; from it, everything jams.
    for (int s = START_STATE; s < SCAN_STATE_COUNT; ++s)
        if (s != EOB_STATE) a.next[s][C_NUL] = EOB_STATE;
    a.accept[EOB_STATE] = RULE_END_OF_BUFFER;

    for (int s = START_STATE; s < SCAN_STATE_COUNT; ++s) {
        bool final = a.accept[s] != RULE_NONE && s != EOB_STATE;
        for (int k = 0; k < CLASS_COUNT; ++k) {
            if (a.next[s][k] == s) a.stay[s] |= uint64_t{1} << k;
            if (k != C_NUL && a.next[s][k] != JAM_STATE) final = false;
        }
        if (final) a.stay[s] |= FINAL;
    }
    return a;
}

}  // namespace

constexpr ScanTables scan_tables = build();
