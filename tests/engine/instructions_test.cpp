// What the parser issues and the engine records, seen through rill_trace.
#include <string>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

struct Trace {
    std::string records;    // "op kind operand" lines, then "last N"
    std::string out;
    int status;
};

Trace trace(const std::string& program, const std::string& input = "") {
    std::string dir = make_scratch_dir("trace");
    write_file(dir + "/prog.txt", program);
    write_file(dir + "/in.txt", input);
    ProcessResult r = run_process({RILL_TRACE, dir + "/prog.txt", dir + "/dump.txt"}, dir, dir + "/in.txt");
    Trace t{read_or_empty(dir + "/dump.txt"), r.out, r.status};
    remove_tree(dir);
    return t;
}

// The example that uses every statement form, line by line.
TEST(Instructions, EveryStatementFormIssuesItsSequence) {
    Trace t = trace(
        "# \"result.txt\"\n"
        "int n, i;\n"
        "dbl x, y;\n"
        "' \"a remark between single quotes\" ';\n"
        "n = 3;\n"
        "x = 1.5 * (n + 2) / 4 - 0.25;\n"
        "y = rand(10);\n"
        "i = 7; i =+ 2; i =- 1;\n"
        "i =* 6; i =/ 2;\n"
        "x ++; n --;\n"
        "S(i);\n"
        "P(\"n = \" n \" x = \" x \\n);\n"
        "F(\"y = \" y \\n);\n"
        "if (x => n) { P(\"x is not below n\" \\n); };\n"
        "loop (3) { n ++; };\n"
        "loop (i) { n =+ 1; if (n > 10) { out; }; };\n"
        ";\n",
        "5\n");
    EXPECT_EQ(t.status, 0);
    EXPECT_EQ(t.out, ">> n = 2 x = 2.625000\nx is not below n\n");
    EXPECT_EQ(t.records,
              "90 1 \"result.txt\"\n"
              "24 2 n\n24 2 i\n"
              "23 2 x\n23 2 y\n"
              "20 2 n\n1 1 3\n7 2 n\n"
              "20 2 x\n2 1 1.5\n8 2 n\n1 1 2\n3 0\n5 0\n1 1 4\n6 0\n2 1 0.25\n4 0\n7 2 x\n"
              "20 2 y\n1 1 10\n80 0\n7 2 y\n"
              "20 2 i\n1 1 7\n7 2 i\n20 2 i\n1 1 2\n9 2 i\n20 2 i\n1 1 1\n10 2 i\n"
              "20 2 i\n1 1 6\n11 2 i\n20 2 i\n1 1 2\n12 2 i\n"
              "13 2 x\n14 2 n\n"
              "50 2 i\n"
              "41 1 \"n = \"\n40 2 n\n41 1 \" x = \"\n40 2 x\n42 0\n"
              "44 1 \"y = \"\n43 2 y\n45 0\n"
              "21 0\n8 2 x\n8 2 n\n33 0\n22 0\n41 1 \"x is not below n\"\n42 0\n36 0\n"
              "70 1 3\n13 2 n\n71 0\n"
              "72 2 i\n20 2 n\n1 1 1\n9 2 n\n21 0\n8 2 n\n1 1 10\n35 0\n22 0\n72 0\n36 0\n71 0\n"
              "last 71\n");
}

// Markers run before the rest of their statement is read, so an error
// leaves exactly what came before it.
TEST(Instructions, WhatAnErrorLeavesBehind) {
    EXPECT_EQ(trace("").records, "91 0\nlast 0\n");
    EXPECT_EQ(trace("# \"o.txt\"").records, "90 1 \"o.txt\"\nlast 0\n");
    EXPECT_EQ(trace("# x;").records, "last -1\n");
    EXPECT_EQ(trace("x = -1;").records, "91 0\n20 2 x\nlast 1\n");
    EXPECT_EQ(trace("int a, b, c;").records, "91 0\n24 2 a\n24 2 b\nlast 2\n");
    EXPECT_EQ(trace("if (a) {};").records, "91 0\n21 0\n8 2 a\nlast 2\n");
    EXPECT_EQ(trace("if (a < b < c) {};").records, "91 0\n21 0\n8 2 a\n8 2 b\n34 0\n22 0\nlast 5\n");
    EXPECT_EQ(trace("loop (n + 1) {};").records, "91 0\nlast 0\n");
    EXPECT_EQ(trace("loop (2) { P(\"x\") };").records, "91 0\n70 1 2\n41 1 \"x\"\nlast 2\n");
    EXPECT_EQ(trace("a = ((1));").records, "91 0\n20 2 a\n1 1 1\n7 2 a\nlast 3\n");
    EXPECT_EQ(trace("a = rand(5) * 2;").records, "91 0\n20 2 a\n1 1 5\n80 0\n1 1 2\n5 0\n7 2 a\nlast 6\n");
    EXPECT_EQ(trace("F(\\n); P(); F();").records, "91 0\n45 0\nlast 1\n");
}

// A replay re-runs the records of the first parse: it adds none and leaves
// last on the loop's end record.
TEST(Instructions, ReplayAddsNoRecords) {
    Trace t = trace("loop (3) { loop (2) { P(\"a\"); }; loop (0) { P(\"b\"); }; P(\"c\"); };");
    EXPECT_EQ(t.out, "aacaacaac");
    EXPECT_EQ(t.records,
              "91 0\n70 1 3\n70 1 2\n41 1 \"a\"\n71 0\n70 1 0\n41 1 \"b\"\n71 0\n41 1 \"c\"\n71 0\nlast 9\n");
}

}  // namespace
