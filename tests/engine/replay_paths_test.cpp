// The three ways a loop runs (RILL_REPLAY=walk, threaded, native) over the
// values where they could part: NaNs of either sign, the infinities,
// INT32_MIN, -1, zero divisors and reals out of an integer's range. The walk
// takes its arithmetic from effects.h, so it is the reference.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

struct PathRun {
    ProcessResult result;
    std::string file;  // what the program wrote to out.txt
};

PathRun run_path(const std::string& path, const std::string& program, const std::string& input) {
    std::string dir = make_scratch_dir("paths." + path);
    write_file(dir + "/prog.txt", program);
    write_file(dir + "/in.txt", input);
    PathRun r{
        run_process({"/usr/bin/env", "RILL_REPLAY=" + path, RILL_BINARY, dir + "/prog.txt"}, dir, dir + "/in.txt"),
        read_or_empty(dir + "/out.txt")};
    remove_tree(dir);
    return r;
}

long clock_second(std::chrono::milliseconds back) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>((std::chrono::system_clock::now() - back).time_since_epoch())
            .count());
}

// Returns the walk's run.
PathRun expect_paths_agree(const std::string& program, const std::string& input) {
    const char* paths[] = {"walk", "threaded", "native"};
    std::vector<PathRun> runs;
    // rill starts its random numbers from the clock's second (a clock that may
    // lag this one by a few milliseconds): runs that straddle a second may
    // draw differently, so they are made again.
    for (int attempt = 0; attempt < 10; ++attempt) {
        long start = clock_second(std::chrono::milliseconds(50));
        runs.clear();
        for (const char* path : paths) runs.push_back(run_path(path, program, input));
        if (clock_second(std::chrono::milliseconds(0)) == start) break;
    }
    const PathRun& walk = runs[0];
    EXPECT_EQ(walk.result.err.find("parse error"), std::string::npos) << program;
    for (size_t i = 1; i < runs.size(); ++i) {
        const PathRun& r = runs[i];
        const char* path = paths[i];
        EXPECT_EQ(r.result.out, walk.result.out) << path;
        EXPECT_EQ(r.result.err, walk.result.err) << path;
        EXPECT_EQ(r.result.status, walk.result.status) << path;
        EXPECT_EQ(r.file, walk.file) << path;
    }
    return walk;
}

// Every operation, with variables and with constants, over every pair of
// edge values read from the console (so that nothing is folded early).
TEST(ReplayPaths, AgreeOverEdgeValues) {
    const char* ints[] = {"-2147483648", "-1", "0", "1", "7", "-7", "2147483647", "65536"};
    const char* reals[] = {"nan",  "-nan",       "inf",    "-inf",    "0",      "-0",          "1.5",
                           "-2.5", "3000000000", "9.3e18", "-9.3e18", "1e-310", "2147483648.5"};
    std::string input;
    int pairs = 0;
    for (const char* a : ints)
        for (const char* b : ints)
            for (int k = 0; k < 2; ++k) {
                const char* x = reals[(pairs * 5 + k) % 13];
                const char* y = reals[(pairs * 3 + 7 * k) % 13];
                input += std::string(a) + " " + b + " " + x + " " + y + "\n";
                ++pairs;
            }
    std::string program =
        "# \"out.txt\"\n"
        "int a, b; int q, n; dbl x, y; dbl z;\n"
        "loop (" +
        std::to_string(pairs) +
        ") {\n"
        "  S(a); S(b); S(x); S(y);\n"
        "  q = a + b; F(q \" \"); q = a - b; F(q \" \"); q = a * b; F(q \" \");\n"
        "  if (b =! 0) { q = a / b; F(q \" \"); q = a; q =/ b; F(q \" \"); };\n"
        "  q = a; q =+ b; q =- 3; q =* b; F(q \" \");\n"
        "  q = a / (0 - 1); F(q \" \"); q = a / 3; F(q \" \"); q = a / (0 - 7); F(q \" \"); q = a * 65536; F(q \" "
        "\");\n"
        "  q = a / 2 + b / 65536 - a / 1024; F(q \" \");\n"
        "  q ++; F(q \" \"); q --; q --; F(q \\n);\n"
        "  z = x + y; F(z \" \"); z = x - y; F(z \" \"); z = x * y; F(z \" \"); z = x / y; F(z \" \");\n"
        "  z = y; z =+ x; F(z \" \"); z = y; z =- x; F(z \" \"); z = y; z =* x; F(z \" \"); z = y; z =/ x; F(z \" "
        "\");\n"
        "  z = x * 0.5 + a - b / 3; F(z \" \"); z ++; F(z \" \"); z --; F(z \\n);\n"
        "  q = x; F(q \" \"); q = y + a; F(q \" \"); z = a; F(z \" \"); z = a * b; F(z \" \"); q = x / 2; F(q \\n);\n"
        "  if (x == y) { F(\"eq \"); }; if (x =! y) { F(\"ne \"); }; if (x =< y) { F(\"le \"); };\n"
        "  if (x => y) { F(\"ge \"); }; if (x < y) { F(\"lt \"); }; if (x > y) { F(\"gt \"); };\n"
        "  if (a == b) { F(\"EQ \"); }; if (a =! b) { F(\"NE \"); }; if (a =< b) { F(\"LE \"); };\n"
        "  if (a => b) { F(\"GE \"); }; if (a < b) { F(\"LT \"); }; if (a > b) { F(\"GT \"); };\n"
        "  if (a < x) { F(\"mixed \"); }; if (x < 1.5) { F(\"c \"); }; if (3 > b) { F(\"C \"); };\n"
        // The generator starts from the clock, so only draws that cannot show it are printed.
        "  q = rand(a); n = rand(7); q = rand(1) + rand(0); F(q \" \"); z = rand(y - y); F(z \" \");\n"
        "  if (n < 0) { F(\"low \"); }; if (n > 6) { F(\"high \"); }; F(\\n);\n"
        "  n = 0; loop (x) { n ++; if (n > 3) { out; }; }; loop (a) { n ++; if (n > 9) { out; }; }; F(n \\n);\n"
        "};\n"
        "P(a \" \" b \" \" q \" \" n \" \" x \" \" y \" \" z \\n);\n";
    PathRun walk = expect_paths_agree(program, input);
    EXPECT_EQ(walk.result.status, 0) << walk.result.err;
    // Five lines a pass, and NaNs of both signs among them.
    EXPECT_EQ(std::count(walk.file.begin(), walk.file.end(), '\n'), 5 * pairs);
    EXPECT_NE(walk.file.find("-nan"), std::string::npos);
    EXPECT_NE(walk.file.find(" nan"), std::string::npos);
}

// A division by zero stops the run on every path at the same place, deep
// in nested loops, after the same output, with the variables' values as
// they stood in the prints before it.
TEST(ReplayPaths, DivisionByZeroStopsAlike) {
    PathRun walk = expect_paths_agree(
        "int i, j; int q; dbl x;\n"
        "loop (3) { i ++; j = 0; loop (4) { j ++; x = x + 0.25; q = 12 / (j - i - 1); P(i \" \" j \" \" q \" \" x "
        "\\n); }; };\n"
        "P(\"never\");\n",
        "");
    EXPECT_NE(walk.result.err.find("division by zero"), std::string::npos);
    expect_paths_agree("int i, q;\nloop (5) { i ++; q =/ 0; P(i); };\n", "");
    expect_paths_agree("int i, q;\nloop (5) { i ++; P(i); q = i / 0; };\n", "");
}

// Breaks at every depth, counts of zero and less, real counts, and a count
// variable changed by the body (read once, when its loop starts).
TEST(ReplayPaths, LoopControlAgrees) {
    expect_paths_agree(
        "int a, b; int c, n; int t, m; dbl r;\n"
        "n = 3; r = 2.9;\n"
        "loop (4) { a ++; b = 0; loop (n) { b ++; n ++; if (b > a) { out; }; c = 0;\n"
        "  loop (r) { c ++; t =+ a * b * c; if (t > 40) { out; }; }; loop (0) { t = 0; }; m = c - 9; loop (m) { t = 0; "
        "};\n"
        "  if (a == 3) { out; }; }; r =+ 0.5; if (t > 200) { out; }; };\n"
        "P(a \" \" b \" \" c \" \" n \" \" t \" \" r \\n);\n",
        "");
}

// An interrupt is seen at the next loop pass on every path: the run ends by
// the signal, after "interrupted", with what was printed before it.
TEST(ReplayPaths, InterruptStopsEveryPath) {
    for (const char* path : {"walk", "threaded", "native"}) {
        std::string dir = make_scratch_dir(std::string("interrupt.") + path);
        write_file(dir + "/prog.txt",
                   "int i; dbl x;\nP(\"start\" \\n);\nloop (2000000000) { i ++; x = x + i / 3; };\nP(i);\n");
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            setenv("RILL_REPLAY", path, 1);
            std::string prog = dir + "/prog.txt";
            execl(RILL_BINARY, RILL_BINARY, prog.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // The loop of 2 * 10^9 passes is running by then, even when an
        // emulator starts rill.
#ifdef RILL_EMULATOR
        usleep(5000000);
#else
        usleep(500000);
#endif
        kill(pid, SIGINT);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << path << " status " << status;
        EXPECT_EQ(read_or_empty(dir + "/out"), "start\n") << path;
        EXPECT_EQ(read_or_empty(dir + "/err"), "interrupted\n") << path;
        remove_tree(dir);
    }
}

#ifdef RILL_NATIVE
// While a compiled loop waits for console input, no mapping of the process
// may be writable and executable at once, and the code's own is executable.
TEST(ReplayPaths, NativeCodeIsNeverWritableAndExecutable) {
#ifdef RILL_EMULATOR
    GTEST_SKIP() << "under an emulator the process's mappings are the emulator's";
#endif
    std::string dir = make_scratch_dir("wx");
    write_file(dir + "/prog.txt", "int x, s;\nloop (2) { x ++; s =+ x; S(x); P(x \" \" s \\n); };\n");
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        close(to_child[1]);
        close(from_child[0]);
        setenv("RILL_REPLAY", "native", 1);
        std::string prog = dir + "/prog.txt";
        execl(RILL_BINARY, RILL_BINARY, prog.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    // The prompt shows the loop is running.
    std::string seen;
    char c;
    while (seen.find(">> ") == std::string::npos && read(from_child[0], &c, 1) == 1) seen += c;
    std::string maps = read_or_empty("/proc/" + std::to_string(pid) + "/maps");
    ASSERT_NE(write(to_child[1], "5\n9\n", 4), -1);
    close(to_child[1]);
    while (read(from_child[0], &c, 1) == 1) seen += c;
    close(from_child[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    remove_tree(dir);

    EXPECT_EQ(seen, ">> 5 1\n>> 9 7\n");
    ASSERT_FALSE(maps.empty());
    bool anonymous_code = false;
    size_t start = 0;
    while (start < maps.size()) {
        size_t end = maps.find('\n', start);
        std::string line = maps.substr(start, end - start);
        start = end == std::string::npos ? maps.size() : end + 1;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%*s %4s", perms) != 1) continue;
        EXPECT_FALSE(perms[1] == 'w' && perms[2] == 'x') << line;
        // An executable mapping of no file (inode 0): the compiled loop.
        unsigned long inode = 1;
        if (perms[2] == 'x' && std::sscanf(line.c_str(), "%*s %*s %*s %*s %lu", &inode) == 1 && inode == 0 &&
            line.find('[') == std::string::npos)
            anonymous_code = true;
    }
    EXPECT_TRUE(anonymous_code) << maps;
}
#endif

}  // namespace
