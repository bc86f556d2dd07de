// The scanner's interface: token codes, the value that travels with a token,
// and the one routine the parser calls. Codes 1 to 127 (and, for bytes above
// 127, 128 to 255) are single characters returned as their own code.
#pragma once

#include <cstdint>
#include <cstdio>

struct Symbol;

// ORDER TOKEN: the parser translates these codes by table; do not renumber.
enum TokenCode : int {
    TOKEN_END      = 0,
    IDENT          = 258,
    INT_CONST      = 259,
    REAL_CONST     = 260,
    STRING_CONST   = 261,
    LPAREN         = 262,
    RPAREN         = 263,
    ASSIGN         = 264,
    ADD_ASSIGN     = 265,
    SUB_ASSIGN     = 266,
    MUL_ASSIGN     = 267,
    DIV_ASSIGN     = 268,
    INCREMENT      = 269,
    DECREMENT      = 270,
    EQ             = 271,
    LE             = 272,
    GE             = 273,
    LT             = 274,
    GT             = 275,
    NE             = 276,
    NEWLINE_MARK   = 277,
    KW_OUT         = 278,
    KW_RAND        = 279,
    QUOTE          = 280,
    KW_F           = 281,
    KW_P           = 282,
    KW_LOOP        = 283,
    KW_S           = 284,
    RESERVED_TOKEN = 285,   // declared for the grammar, never produced
    KW_IF          = 286,
    KW_DBL         = 287,
    KW_INT         = 288,
    KW_D           = 289,
    PLUS           = 290,
    MINUS          = 291,
    STAR           = 292,
    SLASH          = 293,
};

// An 8-byte cell with four views. An integer lives in the first four bytes
// and leaves the other four as they were.
union TokenValue {
    int32_t     integer;
    double      real;
    const char* text;
    Symbol*     symbol;
    uint64_t    bits;       // the whole cell, for copying and zeroing
};
static_assert(sizeof(TokenValue) == 8);

extern FILE*      yy_input_stream;  // set by the driver; null means standard input
extern TokenValue yy_token_value;   // written only for the four valued tokens

// Set when an identifier could not be interned: the scanner then reported
// the end of input there, so the rest of the program never ran.
extern bool yy_input_cut_short;

// Returns the next token code (0 at the end of input, and again on every
// later call). Fatal scanner errors end the process with status 1.
int yy_next_token();
