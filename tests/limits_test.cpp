// The length limit of a statement list, with programs made here instead of
// stored. Until a list ends, each of its statements holds two entries of the
// parser's stacks, so 4998 statements fit at the top level and the 4999th
// overflows them; everything before the overflow has run.
#include <string>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

constexpr int FITTING_STATEMENTS = 4998;
constexpr int COUNTED = 4989;  // increments before the value is printed

std::string increments(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += "x ++;\n";
    return text;
}

// COUNTED increments, the print of x, then more increments up to total statements.
std::string counted_program(int total) {
    return increments(COUNTED) + "P(x \\n);\n" + increments(total - COUNTED - 1);
}

class StatementLimit : public testing::Test {
protected:
    void SetUp() override { dir = make_scratch_dir("limit"); }
    void TearDown() override {
        if (!HasFailure()) remove_tree(dir);
    }

    ProcessResult run(const std::string& program) {
        write_file(dir + "/prog.txt", program);
        return run_process({RILL_BINARY, dir + "/prog.txt"}, dir, "/dev/null");
    }

    std::string dir;
};

TEST_F(StatementLimit, LastFittingStatementIsAccepted) {
    ProcessResult r = run(counted_program(FITTING_STATEMENTS));
    EXPECT_EQ(r.out, std::to_string(COUNTED) + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(StatementLimit, OneMoreOverflowsAfterEverythingBeforeHasRun) {
    ProcessResult r = run(counted_program(FITTING_STATEMENTS + 1) + "P(\"never\" \\n);\n");
    EXPECT_EQ(r.out, std::to_string(COUNTED) + "\n");
    EXPECT_EQ(r.err, "parser stack overflow\n");
    EXPECT_EQ(r.status, 2);
}

// The overflow's own status wins over the failed output file's 1.
TEST_F(StatementLimit, OverflowStatusBeatsOutputFileFailure) {
    ProcessResult r = run("# \"missing-dir/out.txt\"\nF(\"lost\" \\n);\n" + counted_program(FITTING_STATEMENTS + 1));
    EXPECT_EQ(r.out, std::to_string(COUNTED) + "\n");
    EXPECT_EQ(r.err,
              "cannot open output file \"missing-dir/out.txt\": No such file or directory\n"
              "parser stack overflow\n");
    EXPECT_EQ(r.status, 2);
}

}  // namespace
