#include "lexer/symbols.h"

#include <cstring>

#include <gtest/gtest.h>

// The table is global and never reset, so each test uses names of its own.
TEST(Symbols, SameTextSameSymbolAndOrderOfOccurrence) {
    Symbol* a = intern_identifier("alpha");
    Symbol* b = intern_identifier("Alpha");
    EXPECT_NE(a, b);
    EXPECT_EQ(a, intern_identifier("alpha"));
    EXPECT_EQ(a->type, 0);
    EXPECT_EQ(a->value.integer, 0);
    EXPECT_EQ(a->next, b);
}

// Growing the index must keep every name findable and the list in order.
TEST(Symbols, ManyNamesSurviveIndexGrowth) {
    char name[32];
    Symbol* first = nullptr;
    for (int i = 0; i < 5000; ++i) {
        std::snprintf(name, sizeof name, "v%d", i);
        Symbol* s = intern_identifier(name);
        if (!first) first = s;
    }
    Symbol* s = first;
    for (int i = 0; i < 5000; ++i, s = s->next) {
        std::snprintf(name, sizeof name, "v%d", i);
        ASSERT_STREQ(s->name, name);
        ASSERT_EQ(intern_identifier(name), s);
    }
    EXPECT_EQ(s, nullptr);
}

TEST(Symbols, FailureMessagesAreTheStoredBytes) {
    EXPECT_EQ(std::strlen(SYMBOL_RECORD_FAILURE), 14u);
    EXPECT_EQ(std::strlen(SYMBOL_NAME_FAILURE), 64u);
}
