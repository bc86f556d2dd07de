#include "lexer/symbols.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

Symbol* symbol_table;
void* (*symbol_allocate)(size_t size) = std::malloc;

// "Memory allocation failed" and "could not allocate memory for the linear
// list that registers symbols", stored as CP932 bytes and written as they are.
const char SYMBOL_RECORD_FAILURE[] = "\x83\x81\x83\x82\x83\x8a\x8a\x6d\x95\xdb\x8e\xb8\x94\x73";
const char SYMBOL_NAME_FAILURE[] =
    "\x83\x56\x83\x93\x83\x7b\x83\x8b\x82\xf0\x93\x6f\x98\x5e\x82\xb7\x82\xe9\x90\xfc\x8c\x60"
    "\x83\x8a\x83\x58\x83\x67\x82\xcc\x82\xbd\x82\xdf\x82\xcc\x83\x81\x83\x82\x83\x8a\x82\xf0"
    "\x8a\x6d\x95\xdb\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd";
static_assert(sizeof(SYMBOL_RECORD_FAILURE) == 14 + 1);
static_assert(sizeof(SYMBOL_NAME_FAILURE) == 64 + 1);

namespace {

// An open-addressing index over the list, so that a program with many
// distinct names is not quadratic. The list keeps the order of occurrence.
Symbol** index_slots;
uint32_t index_capacity;  // a power of two, or 0 before the first entry
uint32_t index_count;
Symbol* table_tail;

uint32_t hash_text(const char* text, size_t length) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < length; ++i) h = (h ^ static_cast<unsigned char>(text[i])) * 16777619u;
    return h;
}

uint32_t hash_text(const char* text) {
    return hash_text(text, std::strlen(text));
}

// Names are short: compared in place rather than by a call.
bool same_name(const char* a, const char* b) {
    while (*a == *b && *a) ++a, ++b;
    return *a == *b;
}

Symbol** find_slot(Symbol** slots, uint32_t capacity, const char* text, uint32_t h) {
    uint32_t i = h & (capacity - 1);
    while (slots[i] && !same_name(slots[i]->name, text)) i = (i + 1) & (capacity - 1);
    return &slots[i];
}

// Keeps the load at most one half. Returns false if memory runs out.
bool reserve_slot() {
    if (2 * (index_count + 1) <= index_capacity) return true;
    uint32_t capacity = index_capacity ? 2 * index_capacity : 64;
    Symbol** slots = static_cast<Symbol**>(std::calloc(capacity, sizeof(Symbol*)));
    if (!slots) return false;
    for (Symbol* s = symbol_table; s; s = s->next) *find_slot(slots, capacity, s->name, hash_text(s->name)) = s;
    std::free(index_slots);
    index_slots = slots;
    index_capacity = capacity;
    return true;
}

}  // namespace

Symbol* intern_identifier(const char* text) {
    return intern_identifier(text, std::strlen(text));
}

Symbol* intern_identifier(const char* text, size_t length) {
    uint32_t h = hash_text(text, length);
    if (index_capacity) {
        Symbol** slot = find_slot(index_slots, index_capacity, text, h);
        if (*slot) return *slot;
    }
    Symbol* sym = static_cast<Symbol*>(symbol_allocate(sizeof(Symbol)));
    if (!sym || !reserve_slot()) {
        std::free(sym);
        (void)std::fputs(SYMBOL_RECORD_FAILURE, stderr);  // nowhere to report a failure
        return nullptr;
    }
    sym->next = nullptr;
    sym->value.bits = 0;
    sym->type = 0;
    sym->name = static_cast<char*>(symbol_allocate(length + 1));
    if (!sym->name) {
        std::free(sym);
        (void)std::fputs(SYMBOL_NAME_FAILURE, stderr);
        return nullptr;
    }
    std::memcpy(sym->name, text, length + 1);
    if (table_tail)
        table_tail->next = sym;
    else
        symbol_table = sym;
    table_tail = sym;
    *find_slot(index_slots, index_capacity, text, h) = sym;
    ++index_count;
    return sym;
}
