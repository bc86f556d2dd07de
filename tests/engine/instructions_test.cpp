// What the parser issues and the engine records, seen through rill_trace.
#include <string>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

struct Trace {
    std::string records;  // "name operand" lines, then "last N"
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
              "OPEN_OUT \"result.txt\"\n"
              "MAKE_INT n\nMAKE_INT i\n"
              "MAKE_REAL x\nMAKE_REAL y\n"
              "MODE_OF n\nPUSH_INT 3\nSTORE n\n"
              "MODE_OF x\nPUSH_REAL 1.5\nLOAD n\nPUSH_INT 2\nADD\nMUL\nPUSH_INT 4\nDIV\nPUSH_REAL 0.25\nSUB\nSTORE x\n"
              "MODE_OF y\nPUSH_INT 10\nRAND\nSTORE y\n"
              "MODE_OF i\nPUSH_INT 7\nSTORE i\nMODE_OF i\nPUSH_INT 2\nADD_TO i\nMODE_OF i\nPUSH_INT 1\nSUB_FROM i\n"
              "MODE_OF i\nPUSH_INT 6\nMUL_BY i\nMODE_OF i\nPUSH_INT 2\nDIV_BY i\n"
              "INC x\nDEC n\n"
              "INPUT i\n"
              "PRINT_STR \"n = \"\nPRINT_VAR n\nPRINT_STR \" x = \"\nPRINT_VAR x\nPRINT_NL\n"
              "FPRINT_STR \"y = \"\nFPRINT_VAR y\nFPRINT_NL\n"
              "MODE_REAL\nLOAD x\nLOAD n\nIF_GE\nMODE_INT\nPRINT_STR \"x is not below n\"\nPRINT_NL\nEND_IF\n"
              "LOOP 3\nINC n\nLOOP_END\n"
              "LOOP_VAR i\nMODE_OF n\nPUSH_INT 1\nADD_TO n\nMODE_REAL\nLOAD n\nPUSH_INT "
              "10\nIF_GT\nMODE_INT\nBREAK\nEND_IF\nLOOP_END\n"
              "last 71\n");
}

// Markers run before the rest of their statement is read, so an error
// leaves exactly what came before it.
TEST(Instructions, WhatAnErrorLeavesBehind) {
    EXPECT_EQ(trace("").records, "OUT_CONSOLE\nlast 0\n");
    EXPECT_EQ(trace("# \"o.txt\"").records, "OPEN_OUT \"o.txt\"\nlast 0\n");
    EXPECT_EQ(trace("# x;").records, "last -1\n");
    EXPECT_EQ(trace("x = -1;").records, "OUT_CONSOLE\nMODE_OF x\nlast 1\n");
    EXPECT_EQ(trace("int a, b, c;").records, "OUT_CONSOLE\nMAKE_INT a\nMAKE_INT b\nlast 2\n");
    EXPECT_EQ(trace("if (a) {};").records, "OUT_CONSOLE\nMODE_REAL\nLOAD a\nlast 2\n");
    EXPECT_EQ(trace("if (a < b < c) {};").records, "OUT_CONSOLE\nMODE_REAL\nLOAD a\nLOAD b\nIF_LT\nMODE_INT\nlast 5\n");
    EXPECT_EQ(trace("loop (n + 1) {};").records, "OUT_CONSOLE\nlast 0\n");
    EXPECT_EQ(trace("loop (2) { P(\"x\") };").records, "OUT_CONSOLE\nLOOP 2\nPRINT_STR \"x\"\nlast 2\n");
    EXPECT_EQ(trace("a = ((1));").records, "OUT_CONSOLE\nMODE_OF a\nPUSH_INT 1\nSTORE a\nlast 3\n");
    EXPECT_EQ(trace("a = rand(5) * 2;").records,
              "OUT_CONSOLE\nMODE_OF a\nPUSH_INT 5\nRAND\nPUSH_INT 2\nMUL\nSTORE a\nlast 6\n");
    EXPECT_EQ(trace("F(\\n); P(); F();").records, "OUT_CONSOLE\nFPRINT_NL\nlast 1\n");
}

// A replay re-runs the records of the first parse: it adds none and leaves
// last on the loop's end record.
TEST(Instructions, ReplayAddsNoRecords) {
    Trace t = trace("loop (3) { loop (2) { P(\"a\"); }; loop (0) { P(\"b\"); }; P(\"c\"); };");
    EXPECT_EQ(t.out, "aacaacaac");
    EXPECT_EQ(t.records,
              "OUT_CONSOLE\nLOOP 3\nLOOP 2\nPRINT_STR \"a\"\nLOOP_END\nLOOP 0\nPRINT_STR \"b\"\nLOOP_END\nPRINT_STR "
              "\"c\"\nLOOP_END\nlast 9\n");
}

}  // namespace
