// The identifier table: one Symbol for every distinct identifier text, in
// order of first occurrence. A Symbol is the variable itself; it is never
// removed, and the same text always yields the same Symbol.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lexer/tokens.h"

struct Symbol {
    char* name;        // heap copy of the identifier text
    int32_t type;      // 0 integer variable, 1 real variable
    TokenValue value;  // integer view while type is 0, real view while 1
    Symbol* next;
};

extern Symbol* symbol_table;  // the first Symbol, or null; owned by lexer/symbols.cpp

// The two allocation messages, in CP932, written without a line feed.
extern const char SYMBOL_RECORD_FAILURE[];
extern const char SYMBOL_NAME_FAILURE[];

// Where the table takes the memory for its records and their names. Tests
// point it at an allocator that fails on cue; the interpreter never changes it.
extern void* (*symbol_allocate)(size_t size);

// Returns the Symbol for text, creating it (integer, value 0) if needed.
// Returns null, after writing one of the messages above, if memory runs out.
Symbol* intern_identifier(const char* text);
// The same, for text of a known length (text[length] is its NUL).
Symbol* intern_identifier(const char* text, size_t length);
