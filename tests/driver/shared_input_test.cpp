// A program read from standard input that reads console input from it too:
// console input takes only the number it converts, and the program goes on
// with every byte after it, whether standard input is a file, a pipe fed in
// pieces or a terminal.
#include <string>

#include <gtest/gtest.h>

#include "lexer/reader.h"
#include "support/process.h"
#include "support/scratch_test.h"
#include "support/session.h"

namespace {

class SharedInput : public ScratchTest {};

// The console read comes after the scanner's first chunk: it passes over
// blank lines, finds no number, and leaves the rest to the program.
TEST_F(SharedInput, FileReadAheadLosesNothing) {
    write_file(dir + "/in.rill", "S(i);" + std::string(READ_CHUNK + 8, '\n') + "P(\"end\" \\n);");
    ProcessResult r = run_process({RILL_BINARY, "-"}, dir, dir + "/in.rill");
    EXPECT_EQ(r.out, ">> end\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(SharedInput, PipeFedInPieces) {
    for (const char* path : {"-", "/dev/stdin"}) {
        Session s({RILL_BINARY, path}, dir, Session::PIPES);
        s.send("int i, j; S(i);");
        ASSERT_TRUE(s.wait_for_output(">> ")) << path;
        s.send("42");
        s.send("P(i \\n); S(j);");
        ASSERT_TRUE(s.wait_for_output(">> 42\n>> ")) << path;
        s.send("-");
        s.send("7\n");
        s.send("P(j \\n);");
        EXPECT_EQ(s.finish(), 0) << path;
        EXPECT_EQ(s.out, ">> 42\n>> -7\n") << path;
        EXPECT_EQ(s.err, "") << path;
    }
}

// At a terminal the scanner reads a line at a time; what a statement printed
// is on the screen before the next line is awaited, line end or not.
TEST_F(SharedInput, Terminal) {
    Session s({RILL_BINARY, "-"}, dir, Session::TERMINAL);
    s.send("P(\"no line end\");\n");
    ASSERT_TRUE(s.wait_for_output("no line end"));
    s.send("int i; S(i); P(\" \" i \\n);\n");
    ASSERT_TRUE(s.wait_for_output(">> "));
    s.send("42 P(\"rest of the line\" \\n);\n");
    ASSERT_TRUE(s.wait_for_output("rest of the line\n"));
    s.close_input();
    EXPECT_EQ(s.finish(), 0);
    EXPECT_EQ(s.out, "no line end>>  42\nrest of the line\n");
}

}  // namespace
