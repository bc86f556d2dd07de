// A program typed at a terminal: an error costs only the statement in
// progress, and the statements after it see every variable set before it.
// Standard error is a pipe here, so it holds the diagnostics' first lines
// alone, and echo is off, so standard output holds what the program printed.
#include <sys/stat.h>

#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/scratch_test.h"
#include "support/session.h"

namespace {

class TerminalSession : public ScratchTest {
protected:
    // Types each line, waiting for rill to ask for the next, then ends the
    // input; returns the status.
    int type(const std::vector<std::string>& lines) {
        Session s({RILL_BINARY}, dir, Session::TERMINAL);
        for (const std::string& line : lines) {
            s.send(line);
            EXPECT_TRUE(s.wait_until_waiting()) << line;
        }
        s.close_input();
        int status = s.finish();
        out = s.out;
        err = s.err;
        return status;
    }
    std::string out, err;
    const std::string hint =
        "rill: cannot open \"sample.txt\" (No such file or directory); reading a program from the terminal; end it "
        "with Ctrl-D\n";
};

TEST_F(TerminalSession, TypoAtTopLevel) {
    EXPECT_EQ(type({"int a; a = 42;\n", "oops ;\n", "P(a \\n);\n"}), 1);
    EXPECT_EQ(out, "42\n");
    EXPECT_EQ(err, hint + "parse error\n");
}

TEST_F(TerminalSession, NoErrorEndsWithZero) {
    EXPECT_EQ(type({"int a; a = 42;\n", "P(a \\n);\n"}), 0);
    EXPECT_EQ(out, "42\n");
}

// Statements before the error on its line have run; those after it are lost.
TEST_F(TerminalSession, MiddleOfALine) {
    EXPECT_EQ(type({"int a; a = 1; P(a); b c; P(\"lost\");\n", "P(\" \" a \\n);\n"}), 1);
    EXPECT_EQ(out, "1 1\n");
}

// The block is dropped with its level: a block whose test failed no longer
// silences what follows.
TEST_F(TerminalSession, InsideABlock) {
    EXPECT_EQ(type({"int a; a = 5;\n", "if (a > 1) {\n", "P(\"in \");\n", "a = ;\n", "P(a \\n);\n", "if (a < 1) {\n",
                    "= ;\n", "P(a \\n);\n"}),
              1);
    EXPECT_EQ(out, "in 5\n5\n");
    EXPECT_EQ(err, hint + "parse error\nparse error\n");
}

// A loop whose body had an error never runs; the next loop runs alone.
TEST_F(TerminalSession, InsideALoopBody) {
    EXPECT_EQ(type({"int a; a = 5;\n", "loop(3) {\n", "P(\"x\");\n", "oops oops;\n", "P(a \\n);\n",
                    "loop(2) { P(\"y\"); }; P(\\n);\n"}),
              1);
    EXPECT_EQ(out, "5\nyy\n");
}

TEST_F(TerminalSession, InsideABlockInALoop) {
    EXPECT_EQ(type({"int a; a = 5;\n", "loop(2) { if (a > 0) {\n", "P(\"x\");\n", "} = ;\n", "P(a \\n);\n",
                    "loop(2) { if (a > 0) { P(\"y\"); }; }; P(\\n);\n"}),
              1);
    EXPECT_EQ(out, "5\nyy\n");
}

TEST_F(TerminalSession, StringOverLines) {
    EXPECT_EQ(type({"int a; a = 5;\n", "P(\"one\n", "two\" = );\n", "P(a \\n);\n"}), 1);
    EXPECT_EQ(out, "one\ntwo5\n");
}

// The statement stops where it divides; the rest of the line is dropped,
// and a loop stops in the pass that divided.
TEST_F(TerminalSession, DivisionByZero) {
    EXPECT_EQ(type({"int a; a = 7; a =/ 0; a = 9;\n", "P(a \\n);\n", "loop(3) { P(\"p\"); a = 1 / 0; }; a = 1;\n",
                    "P(\\n a \\n);\n"}),
              1);
    EXPECT_EQ(out, "7\np\n7\n");
    EXPECT_EQ(err, hint + "division by zero\ndivision by zero\n");
}

// The header's file stays the file-print destination after an error.
TEST_F(TerminalSession, OutputFileKept) {
    EXPECT_EQ(type({"# \"out.txt\"\n", "F(\"a\");\n", "F(= \"b\");\n", "F(\"c\" \\n);\n"}), 1);
    std::string file;
    ASSERT_TRUE(read_file(dir + "/out.txt", &file));
    EXPECT_EQ(file, "ac\n");
    EXPECT_EQ(out, "");
}

// A string left open past the buffer is dropped with its line; the session
// reads on.
TEST_F(TerminalSession, TokenTooLong) {
    std::vector<std::string> lines = {"int a; a = 5;\n", "P(\""};
    for (int i = 0; i < 5; ++i) lines.push_back(std::string(4000, 'x') + "\n");
    lines.push_back("P(a \\n);\n");
    EXPECT_EQ(type(lines), 1);
    EXPECT_EQ(out, "5\n");
    EXPECT_EQ(err, hint + "fatal error - scanner input buffer overflow\n");
}

// A session goes on for as long as its user types: finished statements
// hold no stack, and only what is still open counts toward the limit.
TEST_F(TerminalSession, OnlyOpenStatementsCountTowardTheStack) {
    Session s({RILL_BINARY}, dir, Session::TERMINAL);
    s.send("int i;\n");
    std::string line;
    for (int k = 0; k < 100; ++k) line += "i++;";
    for (int i = 0; i < 60; ++i) s.send(line + "\n");
    s.send("P(i \\n);\n");
    s.close_input();
    EXPECT_EQ(s.finish(), 0);
    EXPECT_EQ(s.out, "6000\n");
}

TEST_F(TerminalSession, StackOverflowEnds) {
    Session s({RILL_BINARY}, dir, Session::TERMINAL);
    // The 15th line overflows; nothing is sent after it.
    for (int i = 0; i < 15; ++i) {
        std::string line;
        for (int k = 0; k < 100; ++k) line += "if (1 == 1) {";
        s.send(line + "\n");
    }
    s.close_input();
    EXPECT_EQ(s.finish(), 2);
    EXPECT_EQ(s.err, hint + "parser stack overflow\n");
}

// Waiting for a reader of the header's FIFO, Ctrl-C gives up the file as
// one that cannot be opened, and the session goes on.
TEST_F(TerminalSession, CtrlCGivesUpAFifoHeader) {
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    Session s({RILL_BINARY}, dir, Session::TERMINAL);
    s.send("#\"fifo\"\n");
    ASSERT_TRUE(s.wait_until_waiting());
    s.signal(SIGINT);
    s.send("P(\"after\" \\n); F(\"dropped\" \\n);\n");
    s.close_input();
    EXPECT_EQ(s.finish(), 1);
    EXPECT_EQ(s.out, "after\n");
    EXPECT_EQ(s.err, hint + "interrupted\ncannot open output file \"fifo\": Interrupted system call\n");
}

// Only a terminal gets a session: the same typing through a pipe ends at the
// first error, as a program file does.
TEST_F(TerminalSession, PipeEndsAtTheFirstError) {
    Session s({RILL_BINARY}, dir, Session::PIPES);
    s.send("int a; a = 42;\noops ;\nP(a \\n);\n");
    EXPECT_EQ(s.finish(), 1);
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.err, "parse error\n");
}

}  // namespace
