#include "lexer/symbols.h"

#include <string>

#include <gtest/gtest.h>

#include "support/process.h"

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

// When the table cannot grow, its message is written as it stands and the
// input ends there; the run must not then report success.
namespace {

std::string declarations(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "int name_" + std::to_string(i) + ";\n";
    return text;
}

ProcessResult run_short_of_memory(int failing_allocation, const std::string& program) {
    std::string dir = make_scratch_dir("short-memory");
    write_file(dir + "/p.txt", program);
    ProcessResult r = run_process({RILL_SHORT_MEMORY, std::to_string(failing_allocation), "p.txt"}, dir, "/dev/null");
    remove_tree(dir);
    return r;
}

}  // namespace

TEST(Symbols, FullTableEndsTheRunWithStatusOne) {
    // 40 names take 80 allocations; the 81st is the record of the 41st name.
    std::string program = declarations(40) + "P(\"before\" \\n);\nlate ++; P(\"after\" \\n);\n";
    ProcessResult record = run_short_of_memory(81, program);
    EXPECT_EQ(record.out, "before\n");
    EXPECT_EQ(record.err, SYMBOL_RECORD_FAILURE);
    EXPECT_EQ(record.status, 1);

    ProcessResult name = run_short_of_memory(82, program);
    EXPECT_EQ(name.out, "before\n");
    EXPECT_EQ(name.err, SYMBOL_NAME_FAILURE);
    EXPECT_EQ(name.status, 1);

    // Cut short mid-statement, the truncated input is also a syntax error.
    ProcessResult mid = run_short_of_memory(81, declarations(40) + "P(\"before\" \\n); name_0 = late; P(\"after\");");
    EXPECT_EQ(mid.out, "before\n");
    EXPECT_EQ(mid.err, std::string(SYMBOL_RECORD_FAILURE) + "parse error\n");
    EXPECT_EQ(mid.status, 1);

    // Help, when asked for, starts on a line of its own and says why the
    // input ended, instead of an end of input the program did not have.
    std::string dir = make_scratch_dir("short-memory-help");
    write_file(dir + "/p.txt", declarations(40) + "P(\"before\" \\n); name_0 = late; P(\"after\");");
    ProcessResult help =
        run_process({"/usr/bin/env", "RILL_DIAGNOSTICS=1", RILL_SHORT_MEMORY, "81", "p.txt"}, dir, "/dev/null");
    remove_tree(dir);
    EXPECT_EQ(help.err, std::string(SYMBOL_RECORD_FAILURE) +
                            "\np.txt:41:26: no memory left to keep the name 'late'; the program ends here\n"
                            "parse error\n");
    EXPECT_EQ(help.status, 1);

    // Enough memory: the same program runs to its end.
    ProcessResult full = run_short_of_memory(1000, program);
    EXPECT_EQ(full.out, "before\nafter\n");
    EXPECT_EQ(full.status, 0);
}

// An allocation of the standard library's failing on the run path ends the
// run as any other shortage does: a message and status 1, not an abort.
TEST(Symbols, StandardLibraryShortageIsReported) {
    std::string dir = make_scratch_dir("short-heap");
    write_file(dir + "/p.txt", "P(\"never\" \\n);\n");
    ProcessResult r = run_process({RILL_SHORT_MEMORY, "heap", "1", "p.txt"}, dir, "/dev/null");
    remove_tree(dir);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "out of memory\n");
    EXPECT_EQ(r.status, 1);
}
