// The scanner's interface: token codes, the value that travels with a token,
// and the one routine the parser calls. Codes 1 to 127 (and, for bytes above
// 127, 128 to 255) are single characters returned as their own code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct Symbol;

// The named tokens: code name, code, and how a message names them to a user.
// ORDER TOKEN: the parser translates these codes by table; do not renumber.
// clang-format off
#define TOKEN_LIST(X)                                                   \
    X(IDENT,          258, "a name")                                    \
    X(INT_CONST,      259, "an integer")                                \
    X(REAL_CONST,     260, "a real number")                             \
    X(STRING_CONST,   261, "a string")                                  \
    X(LPAREN,         262, "'('")                                       \
    X(RPAREN,         263, "')'")                                       \
    X(ASSIGN,         264, "'='")                                       \
    X(ADD_ASSIGN,     265, "'=+'")                                      \
    X(SUB_ASSIGN,     266, "'=-'")                                      \
    X(MUL_ASSIGN,     267, "'=*'")                                      \
    X(DIV_ASSIGN,     268, "'=/'")                                      \
    X(INCREMENT,      269, "'++'")                                      \
    X(DECREMENT,      270, "'--'")                                      \
    X(EQ,             271, "'=='")                                      \
    X(LE,             272, "'=<'")                                      \
    X(GE,             273, "'=>'")                                      \
    X(LT,             274, "'<'")                                       \
    X(GT,             275, "'>'")                                       \
    X(NE,             276, "'=!'")                                      \
    X(NEWLINE_MARK,   277, "'\\n'")                                     \
    X(KW_OUT,         278, "'out'")                                     \
    X(KW_RAND,        279, "'rand'")                                    \
    X(QUOTE,          280, "\"'\"")                                       \
    X(KW_F,           281, "'F'")                                       \
    X(KW_P,           282, "'P'")                                       \
    X(KW_LOOP,        283, "'loop'")                                    \
    X(KW_S,           284, "'S'")                                       \
    X(RESERVED_TOKEN, 285, nullptr)     /* declared for the grammar, never produced */ \
    X(KW_IF,          286, "'if'")                                      \
    X(KW_DBL,         287, "'dbl'")                                     \
    X(KW_INT,         288, "'int'")                                     \
    X(KW_D,           289, "'D'")                                       \
    X(PLUS,           290, "'+'")                                       \
    X(MINUS,          291, "'-'")                                       \
    X(STAR,           292, "'*'")                                       \
    X(SLASH,          293, "'/'")
// clang-format on

enum TokenCode : int {
    TOKEN_END = 0,
#define TOKEN_CODE(name, code, words) name = (code),
    TOKEN_LIST(TOKEN_CODE)
#undef TOKEN_CODE
};

constexpr int FIRST_NAMED_TOKEN = IDENT;
constexpr int LAST_NAMED_TOKEN = SLASH;

// The name of a named token as the code spells it ("IDENT"), or null for
// any other code.
const char* token_name(int code);

// How a message names a token to a user: "a name", "';'", "'loop'", "end
// of input". Empty for a token that is never produced.
std::string token_words(int code);

// An 8-byte cell with four views. An integer lives in the first four bytes
// and leaves the other four as they were.
union TokenValue {
    int32_t integer;
    double real;
    const char* text;
    Symbol* symbol;
    uint64_t bits;  // the whole cell, for copying and zeroing
};
static_assert(sizeof(TokenValue) == 8);

struct ScanBuffer;

// The last string that ran over more than one line: where it began and
// where its closing quote is.
struct StringSpan {
    int64_t start = -1;
    int32_t line = 0, column = 0, end_line = 0;
    bool remark = false;
};

// The scanner's whole state, in one record: first what the driver and the
// parser set or read, then the scanner's own.
struct Scanner {
    FILE* input = nullptr;     // set by the driver; null means standard input
    TokenValue token_value{};  // written only for the four valued tokens
    // The line on which the current token (the one returned last) begins;
    // 1 on the first line.
    int32_t token_line = 1;
    // Set when an identifier could not be interned: the scanner then
    // reported the end of input there, so the rest of the program never ran.
    bool input_cut_short = false;
    // Set by the driver when a person types the program at a terminal: an
    // error then costs only the statement in progress, and the session
    // reads on.
    bool interactive = false;
    // Set by the parser before it asks for a token: whether no statement is
    // open (nothing of one read, no block or loop around it), which is what
    // the session's prompt shows.
    bool statement_start = false;

    bool started = false;  // the first call's start-up has run
    ScanBuffer* buffer = nullptr;
    char* pos = nullptr;     // where the next match starts; after a match, just past it
    char saved_char = '\0';  // the character under the NUL that ends the current lexeme
    int32_t chars_in_buffer = 0;
    char* lexeme = nullptr;
    int32_t lexeme_length = 0;
    int accept_state = 0;
    char* accept_pos = nullptr;
    int previous_token = 0;  // the code the last call returned

    // Positions, for help. Offsets count the characters of the source as
    // the scanner gets them (a CR LF is one line feed), from 0. Lines are
    // counted where the scanner passes line feeds anyway: in skipped
    // blanks, and in a string once it is matched.
    int32_t line = 1;              // the line the scan position is on
    char* line_start = nullptr;    // where that line begins in storage; null once a refill moved it out
    int64_t storage_offset = -1;   // the offset of storage[0], which holds the character before the text
    int64_t lost_line_offset = 0;  // the line's offset while line_start is null
    // The last characters that refills moved out of storage, so that help
    // can still show what stands before a token.
    std::string lost_tail;
    StringSpan long_string;
};

extern Scanner scanner;

// Returned in a session instead of a token when the scanner has reported an
// error (a token too long) and dropped what it held: the statement in
// progress is lost, and the next token comes from the next line.
constexpr int TOKEN_DISCARDED = -1;

// A NUL byte in the source ends the input for the parser, as code 0; one
// typed in a session is a mistake like any other character the language
// has no token for, and comes as this code, which no rule takes.
constexpr int TOKEN_NUL = 256;

// Passes over the rest of the current line, as far as it has been typed, so
// that the next token comes from the next line.
void discard_rest_of_line();

// Where a diagnostic points: a line and column (0 when not known), and the
// source line around it, as far as the scanner still holds it.
struct SourcePlace {
    int32_t line = 0;
    int32_t column = 0;
    std::string text;
    size_t caret = 0;         // where in text the place is
    bool cut_before = false;  // text is only the end of what precedes the place
    bool cut_after = false;   // the line goes on after text
};

// The place of the current token (token is its code): where it begins; for
// a string over several lines, its closing quote; at the end of the input,
// just after the last text.
SourcePlace token_place(int token);

// The current token's text as the source has it.
const char* token_text();

// A note for when an error's usual cause lies before the current token: a
// string or remark over several lines that ends where the token is, or a
// quote that never closes. Empty otherwise; each line ends in a line feed.
std::string token_note(int token);

// Returns the next token code (0 at the end of input, and again on every
// later call). Fatal scanner errors end the process with status 1.
int next_token();
