// The first argument: a file that opens always wins; otherwise help, the
// version, or the program from standard input, with one line of explanation
// only when that is a terminal.
#include <string>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/scratch_test.h"
#include "support/session.h"

namespace {

class CommandLine : public ScratchTest {};

TEST_F(CommandLine, HelpAndVersion) {
    for (const char* option : {"-h", "--help"}) {
        ProcessResult r = run_process({RILL_BINARY, option}, dir, "/dev/null");
        EXPECT_EQ(r.out.rfind("usage: rill [FILE]\n", 0), 0u) << option;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    ProcessResult r = run_process({RILL_BINARY, "--version", "ignored"}, dir, "/dev/null");
    EXPECT_EQ(r.out, "rill " RILL_VERSION "\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(CommandLine, HelpThatCannotBeWrittenFails) {
    ProcessResult r = run_process({"/bin/sh", "-c", std::string(RILL_BINARY) + " --help >/dev/full"}, dir, "/dev/null");
    EXPECT_EQ(r.err, "cannot write standard output: No space left on device\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(CommandLine, FileNamedLikeAnOptionRuns) {
    write_file(dir + "/--help", "P(\"a program\" \\n);");
    write_file(dir + "/-h", "P(\"another\" \\n);");
    EXPECT_EQ(run_process({RILL_BINARY, "--help"}, dir, "/dev/null").out, "a program\n");
    EXPECT_EQ(run_process({RILL_BINARY, "-h"}, dir, "/dev/null").out, "another\n");
}

// Only a terminal gets the line; a pipe or a file still runs in silence.
TEST_F(CommandLine, TerminalIsToldWhereTheProgramComesFrom) {
    const std::string hint = "reading a program from the terminal; end it with Ctrl-D\n";
    struct Case {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{RILL_BINARY, "missing.rill"}, "rill: cannot open \"missing.rill\" (No such file or directory); " + hint},
        {{RILL_BINARY}, "rill: cannot open \"sample.txt\" (No such file or directory); " + hint},
        {{RILL_BINARY, "-"}, "rill: " + hint},
    };
    for (const Case& c : cases) {
        Session s(c.args, dir, Session::TERMINAL);
        s.send("P(\"ran\" \\n);\n");
        EXPECT_TRUE(s.wait_for_output("ran\n"));
        s.close_input();
        EXPECT_EQ(s.finish(), 0);
        EXPECT_EQ(s.err, c.line);
    }
}

}  // namespace
