#include <gtest/gtest.h>

#include "parser/tables.h"

namespace {

// Every packed entry must stay inside the tables for any lookup the engine can make.
TEST(ParserTables, PackedLookupsStayInside) {
    for (int s = 0; s < PARSE_STATE_COUNT; ++s) {
        EXPECT_GE(default_reduction[s], 0);
        EXPECT_LE(default_reduction[s], RULE_COUNT);
    }
    for (int i = 0; i <= LAST_INDEX; ++i) {
        int a = action_table[i];
        EXPECT_GE(a, -RULE_COUNT);
        EXPECT_LE(a, FINAL_STATE);
    }
    for (int a = 0; a < NONTERMINAL_COUNT; ++a) {
        EXPECT_GE(default_goto[a], 0);
        EXPECT_LT(default_goto[a], PARSE_STATE_COUNT);
    }
}

// The engine ends at the first syntax error because no state can shift the
// error terminal; that shortcut is only sound while this holds.
TEST(ParserTables, NoStateActsOnTheErrorTerminal) {
    for (int s = 0; s < PARSE_STATE_COUNT; ++s) {
        if (action_base[s] == NO_ACTION_FLAG) continue;
        int i = action_base[s] + ERROR_TERMINAL;
        if (i >= 0 && i <= LAST_INDEX) {
            EXPECT_NE(action_check[i], ERROR_TERMINAL) << "state " << s;
        }
    }
}

}  // namespace
