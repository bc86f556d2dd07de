// Help after diagnostics, end to end. The first line of every diagnostic and
// the exit status never change; the located lines come only at a terminal or
// with RILL_DIAGNOSTICS=1.
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

class Diagnostics : public testing::Test {
protected:
    void SetUp() override { dir = make_scratch_dir("diagnostics"); }
    void TearDown() override { remove_tree(dir); }

    // Runs p.rill holding text, with RILL_DIAGNOSTICS set to setting ("" leaves it unset).
    ProcessResult run(const std::string& text, const std::string& setting = "1", const std::string& in = "/dev/null") {
        write_file(dir + "/p.rill", text);
        return run_args({"p.rill"}, setting, in);
    }

    ProcessResult run_args(const std::vector<std::string>& args, const std::string& setting,
                           const std::string& in = "/dev/null") {
        std::vector<std::string> argv{"/usr/bin/env", "-u", "RILL_DIAGNOSTICS"};
        if (!setting.empty()) argv.push_back("RILL_DIAGNOSTICS=" + setting);
        argv.push_back(RILL_BINARY);
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, dir, in);
    }

    std::string dir;
};

TEST_F(Diagnostics, WrongTokenMidLineAndAtLineStart) {
    ProcessResult mid = run("int x;\nx = 3;\nP(x \\n);\nx = 3 + * 2;\nP(\"never\");\n");
    EXPECT_EQ(mid.out, "3\n");
    EXPECT_EQ(mid.err,
              "parse error\n"
              "p.rill:4:9: unexpected '*'; expected a name, a number, '(' or 'rand'\n"
              "    x = 3 + * 2;\n"
              "            ^\n");
    EXPECT_EQ(mid.status, 1);

    ProcessResult start = run("int x;\nx = 1\nP(x);\n");
    EXPECT_EQ(start.err,
              "parse error\n"
              "p.rill:3:1: unexpected 'P'; expected ';', '+', '-', '*' or '/'\n"
              "    P(x);\n"
              "    ^\n");
}

// The same runs without the variable, or with it set to 0, keep today's bytes.
TEST_F(Diagnostics, FirstLineAloneWhenNotAsked) {
    for (const char* setting : {"", "0", "yes"}) {
        ProcessResult r = run("int x;\nx = 3 + * 2;\n", setting);
        EXPECT_EQ(r.err, "parse error\n") << "RILL_DIAGNOSTICS=" << setting;
        EXPECT_EQ(r.status, 1);
    }
    ProcessResult zero = run("int x; x = 1 / 0;\n", "0");
    EXPECT_EQ(zero.err, "division by zero\n");
}

TEST_F(Diagnostics, EndOfInputPointsAfterTheLastText) {
    ProcessResult r = run("int x;\nx = (1 + 2\n\n\n");
    EXPECT_EQ(r.err,
              "parse error\n"
              "p.rill:2:11: unexpected end of input; expected ')', '+', '-', '*' or '/'\n"
              "    x = (1 + 2\n"
              "              ^\n");
}

// A string left open by mistake swallows lines; the help says where it began.
TEST_F(Diagnostics, StringOverSeveralLines) {
    ProcessResult after = run("int x;\nP(\"abc \\n);\nx = 1;\nP(\"def\" \\n);\n");
    EXPECT_EQ(after.out, "abc \\n);\nx = 1;\nP(0");  // the string, then the name def
    EXPECT_EQ(after.err,
              "parse error\n"
              "p.rill:4:7: unexpected '\"'; expected a name, a string, ')' or '\\n'\n"
              "    P(\"def\" \\n);\n"
              "          ^\n"
              "the string that starts at 2:3 runs to here; is its closing quote missing?\n");

    // A quote alone, with no long string before it, is the one left open.
    ProcessResult alone = run("int x;\nP(x \"abc);\n");
    EXPECT_EQ(alone.err,
              "parse error\n"
              "p.rill:2:5: unexpected '\"'; expected a name, a string, ')' or '\\n'\n"
              "    P(x \"abc);\n"
              "        ^\n"
              "a string that starts here has no closing quote\n");

    // The string itself is the token that does not fit: the caret is at its end.
    ProcessResult itself = run("int x;\nx = 1 + \"a string\nover lines\" + 2;\n");
    EXPECT_EQ(itself.err,
              "parse error\n"
              "p.rill:3:11: unexpected string; expected a name, a number, '(' or 'rand'\n"
              "    over lines\" + 2;\n"
              "              ^\n"
              "the string that starts at 2:9 runs to here\n");

    ProcessResult remark = run("' \"a remark\nover lines\" x;\n");
    EXPECT_EQ(remark.err,
              "parse error\n"
              "p.rill:2:13: unexpected name 'x'; expected \"'\"\n"
              "    over lines\" x;\n"
              "                ^\n"
              "the remark that starts at 1:3 runs to here\n");
}

TEST_F(Diagnostics, InsideBlockAndLoop) {
    ProcessResult r = run("int i;\nloop (3) {\n  if (i < 2) {\n    i ++ ;\n    P(i) i;\n  };\n};\n");
    EXPECT_EQ(r.err,
              "parse error\n"
              "p.rill:5:10: unexpected name 'i'; expected ';'\n"
              "        P(i) i;\n"
              "             ^\n");
    EXPECT_EQ(r.out, "");  // the loop never closed, so it never ran
}

// Columns count characters after CR LF has become LF; a tab is one
// character, and the caret line keeps it so that the caret lines up.
TEST_F(Diagnostics, CrLfAndTab) {
    ProcessResult crlf = run("int x;\r\nx = 1;\r\nx = = 2;\r\n");
    EXPECT_EQ(crlf.err,
              "parse error\n"
              "p.rill:3:5: unexpected '='; expected a name, a number, '(' or 'rand'\n"
              "    x = = 2;\n"
              "        ^\n");
    ProcessResult tab = run("int x;\n\tx =\t= 2;\n");
    EXPECT_EQ(tab.err,
              "parse error\n"
              "p.rill:2:6: unexpected '='; expected a name, a number, '(' or 'rand'\n"
              "    \tx =\t= 2;\n"
              "    \t   \t^\n");
}

// The column counts bytes; the caret stands under the character as a
// terminal shows it, wide East Asian characters taking two columns.
TEST_F(Diagnostics, CaretUnderMultiByteText) {
    ProcessResult wide = run("P(\"\u6f22\u5b57\u304b\u306a\" x ();\n");
    EXPECT_EQ(wide.err,
              "parse error\n"
              "p.rill:1:20: unexpected '('; expected a name, a string, ')' or '\\n'\n"
              "    P(\"\u6f22\u5b57\u304b\u306a\" x ();\n"
              "                   ^\n");
    ProcessResult accented = run("P(\"e\u0301\u00e9\" x ();\n");
    EXPECT_EQ(accented.err,
              "parse error\n"
              "p.rill:1:13: unexpected '('; expected a name, a string, ')' or '\\n'\n"
              "    P(\"e\u0301\u00e9\" x ();\n"
              "             ^\n");
    // A byte that does not show is shown as '?' and named in words.
    ProcessResult del = run("P(\"x\");\n\x7f;\n");
    EXPECT_EQ(del.err.substr(0, del.err.find(';')), "parse error\np.rill:2:1: unexpected character 0x7f");
    EXPECT_NE(del.err.find("\n    ?;\n    ^\n"), std::string::npos) << del.err;
}

// The error comes before the first read ends, the rest of its line after.
TEST_F(Diagnostics, LineAcrossAReadIsShownWhole) {
    std::string remark = "' \"" + std::string(8150, 'r') + "\" ';\n";
    ASSERT_EQ(remark.size(), 8158u);
    ProcessResult r = run(remark + "int xyz; xyz = 1 + * 2; P(\"this tail crosses the read boundary\");\n");
    EXPECT_EQ(r.err,
              "parse error\n"
              "p.rill:2:20: unexpected '*'; expected a name, a number, '(' or 'rand'\n"
              "    int xyz; xyz = 1 + * 2; P(\"this tail crosses the read boundary\");\n"
              "                       ^\n");
}

// A line longer than the buffer keeps its true column; only a stretch
// around the caret is shown.
TEST_F(Diagnostics, SixteenThousandCharacterLine) {
    std::string line = "x = 1";
    while (line.size() < 15990) line += " + 1";
    line += " ) ;";
    ProcessResult r = run("int x;\n" + line + "\n");
    size_t column = line.find(')') + 1;
    EXPECT_EQ(r.err,
              "parse error\n"
              "p.rill:2:" +
                  std::to_string(column) +
                  ": unexpected ')'; expected ';', '+', '-', '*' or '/'\n"
                  "    ..." +
                  line.substr(column - 1 - 60) +
                  "\n"
                  "       " +
                  std::string(60, ' ') + "^\n");
}

TEST_F(Diagnostics, DivisionByZeroNamesTheLineAlsoInAReplay) {
    ProcessResult r =
        run("int i; int n;\nloop (2) {\n  loop (5) {\n    n ++;\n"
            "    if (n == 5) { i = 7 / (n - 5); };\n  };\n};\nP(\"never\");\n");
    EXPECT_EQ(r.err,
              "division by zero\n"
              "p.rill:5: the divisor is 0 in the statement on this line\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Diagnostics, ProgramFromStandardInput) {
    write_file(dir + "/in.txt", "x ++ ;\n y y\n");
    ProcessResult r = run_args({"no-such-file"}, "1", dir + "/in.txt");
    EXPECT_EQ(r.err,
              "parse error\n"
              "<stdin>:2:4: unexpected name 'y'; expected '=', '=+', '=-', '=*', '=/', '++' or '--'\n"
              "     y y\n"
              "       ^\n");
}

TEST_F(Diagnostics, ScannerFailures) {
    ProcessResult name = run("x = " + std::string(16382, 'a') + ";\n");
    EXPECT_EQ(name.status, 1);
    EXPECT_EQ(name.err,
              "fatal error - scanner input buffer overflow\n"
              "p.rill:1:5: this token is longer than 16381 characters\n"
              "    x = " +
                  std::string(60, 'a') +
                  "...\n"
                  "        ^\n");

    ProcessResult open = run("int x;\nP(\"" + std::string(17000, 'a'));
    EXPECT_EQ(open.err,
              "fatal error - scanner input buffer overflow\n"
              "p.rill:2:3: this string is longer than 16381 characters; is its closing quote missing?\n"
              "    P(\"" +
                  std::string(59, 'a') +
                  "...\n"
                  "      ^\n");

    mkdir((dir + "/src").c_str(), 0755);
    ProcessResult directory = run_args({"src"}, "1");
    EXPECT_EQ(directory.status, 1);
    EXPECT_EQ(directory.err, "read() in flex scanner failed\nsrc: cannot read: Is a directory\n");
}

TEST_F(Diagnostics, StackOverflowGivesTheLineAndAdvice) {
    std::string text;
    for (int i = 0; i < 4999; ++i) text += "x ++;\n";
    ProcessResult r = run(text);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "parser stack overflow\n"
              "p.rill:4999:3: too many statements in one list, or too deep a nesting; a list holds about 5000 "
              "statements: wrap long stretches in blocks (if (1 == 1) { ... }; is one statement)\n"
              "    x ++;\n"
              "      ^\n");
}

// At a terminal the help comes without being asked for.
TEST_F(Diagnostics, TerminalGetsHelpUnasked) {
    write_file(dir + "/p.rill", "int x;\nx = 3 + * 2;\n");
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        unsetenv("RILL_DIAGNOSTICS");
        execl(RILL_BINARY, RILL_BINARY, "p.rill", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    char chunk[256];
    for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;) seen.append(chunk, static_cast<size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    // The terminal turns each line feed into CR LF.
    EXPECT_EQ(seen,
              "parse error\r\n"
              "p.rill:2:9: unexpected '*'; expected a name, a number, '(' or 'rand'\r\n"
              "    x = 3 + * 2;\r\n"
              "            ^\r\n");
}

}  // namespace
