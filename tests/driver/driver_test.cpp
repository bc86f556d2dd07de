// The driver's choices that program files cannot express: the default
// source, standard streams that fail, and sources that cannot be read.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <string>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/scratch_test.h"

namespace {

class Driver : public ScratchTest {};

TEST_F(Driver, WithoutArgumentsRunsSampleTxt) {
    write_file(dir + "/sample.txt", "P(\"from sample\" \\n);");
    ProcessResult r = run_process({RILL_BINARY}, dir, "/dev/null");
    EXPECT_EQ(r.out, "from sample\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Driver, OnlyTheFirstArgumentCounts) {
    write_file(dir + "/a.txt", "P(\"a\");");
    write_file(dir + "/b.txt", "P(\"b\");");
    ProcessResult r = run_process({RILL_BINARY, "a.txt", "b.txt"}, dir, "/dev/null");
    EXPECT_EQ(r.out, "a");
}

TEST_F(Driver, MissingSourceReadsStandardInputInSilence) {
    write_file(dir + "/in.txt", "int x; x = 4; P(x \\n);\n");
    ProcessResult r = run_process({RILL_BINARY, "no-such-file.txt"}, dir, dir + "/in.txt");
    EXPECT_EQ(r.out, "4\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// The program and its input share standard input: the scanner reads ahead in
// chunks of its own, so console input finds nothing, and the number meant as
// input is read as program text.
TEST_F(Driver, ProgramFromStandardInputLeavesConsoleInputTheRest) {
    write_file(dir + "/in.txt", "S(x); P(x \\n);\n12\n");
    ProcessResult r = run_process({RILL_BINARY, "missing"}, dir, dir + "/in.txt");
    EXPECT_EQ(r.out, ">> 0\n");
    EXPECT_EQ(r.err, "parse error\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Driver, ConsoleWriteFailureIsReported) {
    write_file(dir + "/p.txt", "P(\"hello\" \\n);");
    ProcessResult r = run_process({"/bin/sh", "-c", std::string(RILL_BINARY) + " p.txt >/dev/full"}, dir, "/dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot write standard output: No space left on device\n");
}

TEST_F(Driver, ClosedStandardOutputIsReported) {
    write_file(dir + "/p.txt", "P(\"hello\" \\n);");
    ProcessResult r = run_process({"/bin/sh", "-c", std::string(RILL_BINARY) + " p.txt >&-"}, dir, "/dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot write standard output: Bad file descriptor\n");
}

// A header naming the program's own file, by whatever path, must not empty
// it while it is being read: the header is refused, the rest runs.
TEST_F(Driver, HeaderNamingTheSourceIsRefused) {
    // Long enough that the cut would fall while the scanner still reads.
    std::string tail;
    for (int i = 0; i < 2000; ++i) tail += "P(\"line\" \\n); F(\"discarded\" \\n);\n";
    tail += "P(\"end\" \\n);\n";
    ASSERT_EQ(symlink("self.rill", (dir + "/symbolic.rill").c_str()), 0);
    for (const char* header : {"self.rill", "./self.rill", "symbolic.rill", "hard.rill"}) {
        std::string text = "#\"" + std::string(header) + "\"\n" + tail;
        write_file(dir + "/self.rill", text);
        unlink((dir + "/hard.rill").c_str());
        ASSERT_EQ(link((dir + "/self.rill").c_str(), (dir + "/hard.rill").c_str()), 0);
        ProcessResult r = run_process({RILL_BINARY, "self.rill"}, dir, "/dev/null");
        EXPECT_EQ(r.status, 1) << header;
        EXPECT_EQ(r.err, "cannot open output file \"" + std::string(header) + "\": it is the program's source\n");
        EXPECT_EQ(r.out.size(), 2000 * 5 + 4) << header;
        EXPECT_EQ(read_or_empty(dir + "/self.rill"), text) << header;
    }
    // Read from standard input, the file is the source all the same.
    std::string text = "#\"self.rill\"\n" + tail;
    write_file(dir + "/self.rill", text);
    ProcessResult r = run_process({RILL_BINARY, "-"}, dir, dir + "/self.rill");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_or_empty(dir + "/self.rill"), text);
    // Another file of the same name elsewhere is an ordinary output.
    mkdir((dir + "/sub").c_str(), 0755);
    write_file(dir + "/sub/self.rill", "old");
    write_file(dir + "/p.rill", "#\"sub/self.rill\" F(\"new\");");
    r = run_process({RILL_BINARY, "p.rill"}, dir, "/dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_or_empty(dir + "/sub/self.rill"), "new");
}

// A header naming the regular file a standard stream is connected to would
// empty what the program reads, or write over what it printed: refused as
// the source is. A character device such as /dev/null is no such file.
TEST_F(Driver, HeaderNamingAStandardStreamsFileIsRefused) {
    write_file(dir + "/p.rill", "#\"io.txt\" S(n); P(\"console \" n \\n); F(\"file\" \\n); P(\"end\" \\n);");
    struct Case {
        const char* redirection;
        const char* stream;
    };
    for (Case c : {Case{"< io.txt", "standard input comes from"}, Case{"> io.txt", "standard output goes"},
                   Case{">> io.txt", "standard output goes"}, Case{"2> io.txt", "standard error goes"}}) {
        write_file(dir + "/io.txt", "5\n");
        ProcessResult r =
            run_process({"/bin/sh", "-c", std::string(RILL_BINARY) + " p.rill " + c.redirection + "; echo $? >status"},
                        dir, "/dev/null");
        std::string said = "cannot open output file \"io.txt\": it is where " + std::string(c.stream) + "\n";
        std::string file = read_or_empty(dir + "/io.txt");
        EXPECT_EQ(read_or_empty(dir + "/status"), "1\n") << c.redirection;
        if (c.redirection[0] == '<') {
            EXPECT_EQ(r.out, ">> console 5\nend\n");
            EXPECT_EQ(r.err, said);
            EXPECT_EQ(file, "5\n");
        } else if (c.redirection[0] == '2') {
            EXPECT_EQ(r.out, ">> console 0\nend\n");
            EXPECT_EQ(file, said);
        } else {
            EXPECT_EQ(r.err, said) << c.redirection;
            EXPECT_EQ(file, std::string(c.redirection[1] == '>' ? "5\n" : "") + ">> console 0\nend\n") << c.redirection;
        }
    }
    write_file(dir + "/p.rill", "#\"/dev/null\" F(\"file\" \\n); P(\"end\" \\n);");
    ProcessResult r = run_process({"/bin/sh", "-c", std::string(RILL_BINARY) + " p.rill 2>/dev/null; echo $? >status"},
                                  dir, "/dev/null");
    EXPECT_EQ(r.out, "end\n");
    EXPECT_EQ(read_or_empty(dir + "/status"), "0\n");
}

// Standard output and error on one pipe whose description is non-blocking,
// as a parent may leave it, read only after a while: a full pipe means "not
// yet", nothing is lost, and the flags stay as they were.
TEST_F(Driver, NonBlockingOutputWaitsForRoom) {
    write_file(dir + "/p.rill",
               "int i; loop (20000) { i++; P(\"console line \" i \\n); }; P(\"done\" \\n); n = 1 / 0;");
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        if (chdir(dir.c_str()) != 0 || in < 0 || dup2(in, 0) < 0 || dup2(ends[1], 1) < 0 || dup2(ends[1], 2) < 0)
            _exit(126);
        execl(RILL_BINARY, RILL_BINARY, "p.rill", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    close(ends[1]);
    usleep(300000);  // long enough to fill the pipe
    std::string got;
    char chunk[4096];
    for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0; usleep(200))
        got.append(chunk, static_cast<size_t>(n));
    close(ends[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::string expected;
    for (int i = 1; i <= 20000; ++i) expected += "console line " + std::to_string(i) + "\n";
    expected += "done\ndivision by zero\n";
    EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size() << "; ends "
                                 << got.substr(got.size() - std::min<size_t>(got.size(), 80));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

TEST_F(Driver, SourceThatIsADirectoryFailsToRead) {
    mkdir((dir + "/src").c_str(), 0755);
    ProcessResult r = run_process({RILL_BINARY, "src"}, dir, "/dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "read() in flex scanner failed\n");
}

TEST_F(Driver, EmptySourceIsAccepted) {
    write_file(dir + "/e.txt", "");
    ProcessResult r = run_process({RILL_BINARY, "e.txt"}, dir, "/dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

// With no file and standard input closed, the program is empty.
TEST_F(Driver, ClosedStandardInputIsAnEmptyProgram) {
    ProcessResult r = run_process({"/bin/sh", "-c", std::string(RILL_BINARY) + " missing <&-"}, dir, "/dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

// Standard streams closed at the start, alone and together: the header's
// file must not take their numbers and receive console output or
// diagnostics; a closed input reads as its end, and output that could not
// be written is reported.
TEST_F(Driver, ClosedStandardStreamsKeepTheirPlaces) {
    write_file(dir + "/p.rill", "#\"o.txt\" int n; n = 7; S(n); P(\"console \" n \\n); F(\"file \" n \\n);");
    write_file(dir + "/halt.rill", "#\"o.txt\" F(\"file\" \\n); P(\"console\" \\n); n = 1 / 0;");
    const std::string cannot = "cannot write standard output: Bad file descriptor\n";
    struct Case {
        const char* closing;
        bool in, out, err;
    };
    for (Case c : {Case{"", true, true, true}, Case{"<&-", false, true, true}, Case{">&-", true, false, true},
                   Case{"2>&-", true, true, false}, Case{"<&- >&- 2>&-", false, false, false}}) {
        unlink((dir + "/o.txt").c_str());
        ProcessResult r =
            run_process({"/bin/sh", "-c", std::string(RILL_BINARY) + " p.rill " + c.closing}, dir, dir + "/p.rill");
        EXPECT_EQ(r.out, c.out ? ">> console 7\n" : "") << c.closing;
        EXPECT_EQ(r.err, c.out || !c.err ? "" : cannot) << c.closing;
        EXPECT_EQ(r.status, c.out ? 0 : 1) << c.closing;
        EXPECT_EQ(read_or_empty(dir + "/o.txt"), "file 7\n") << c.closing;

        unlink((dir + "/o.txt").c_str());
        r = run_process({"/bin/sh", "-c", std::string(RILL_BINARY) + " halt.rill " + c.closing}, dir, "/dev/null");
        EXPECT_EQ(r.out, c.out ? "console\n" : "") << c.closing;
        EXPECT_EQ(r.err, c.err ? "division by zero\n" + (c.out ? "" : cannot) : "") << c.closing;
        EXPECT_EQ(r.status, 1) << c.closing;
        EXPECT_EQ(read_or_empty(dir + "/o.txt"), "file\n") << c.closing;
    }
}

// Root reads any file, so the test drops to an unprivileged user: the source
// then cannot be opened, and rill silently takes the program from standard input.
TEST_F(Driver, UnreadableSourceFallsBackToStandardInput) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
    chmod(dir.c_str(), 0755);
    write_file(dir + "/secret.txt", "P(\"from the file\");");
    chmod((dir + "/secret.txt").c_str(), 0);
    write_file(dir + "/in.txt", "P(\"from standard input\" \\n);");
    chmod((dir + "/in.txt").c_str(), 0644);
    ProcessResult r =
        run_process({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", RILL_BINARY, "secret.txt"},
                    dir, dir + "/in.txt");
    EXPECT_EQ(r.out, "from standard input\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// A source of 20 MB, mostly long remarks, with statements spread through it.
TEST_F(Driver, TwentyMegabyteSource) {
    std::string remark = "' \"" + std::string(9990, 'r') + "\" ';\n";
    std::string text;
    text.reserve(21u << 20);
    int statements = 0;
    for (; text.size() < (20u << 20); ++statements) text += remark + "x ++;\n";
    text += "P(x \\n);\n";
    write_file(dir + "/big.txt", text);
    ProcessResult r = run_process({RILL_BINARY, "big.txt"}, dir, "/dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::to_string(statements) + "\n");
}

}  // namespace
