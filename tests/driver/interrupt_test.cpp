// SIGINT, SIGTERM and SIGHUP sent to a running interpreter: it stops at a
// safe point with everything printed so far written out, says
// "interrupted", and ends by the same signal, as a shell sees it. A reader
// that goes away ends it by SIGPIPE, with the output file written out.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/scratch_test.h"
#include "support/session.h"

namespace {

class Interrupt : public ScratchTest {};

// The output file is written through its own buffer; only the clean-up
// can have flushed it.
TEST_F(Interrupt, WaitingConsoleReadStops) {
    write_file(dir + "/p.rill", "#\"out.txt\" F(\"line 1\" \\n); P(\"started\" \\n); S(i); P(\"never\");");
    Session s({RILL_BINARY, "p.rill"}, dir, Session::PIPES);
    ASSERT_TRUE(s.wait_for_output(">> "));
    s.signal(SIGINT);
    EXPECT_EQ(s.finish(), 128 + SIGINT);
    EXPECT_EQ(s.out, "started\n>> ");
    EXPECT_EQ(s.err, "interrupted\n");
    EXPECT_EQ(read_or_empty(dir + "/out.txt"), "line 1\n");
}

// Standard output to a pipe is held in a buffer until the clean-up writes it.
TEST_F(Interrupt, WaitingSourceReadStops) {
    Session s({RILL_BINARY, "-"}, dir, Session::PIPES);
    s.send("#\"out.txt\" F(\"line 1\" \\n); P(\"started\" \\n); P(\"no line end\");");
    ASSERT_TRUE(s.wait_until_waiting());
    s.signal(SIGTERM);
    EXPECT_EQ(s.finish(), 128 + SIGTERM);
    EXPECT_EQ(s.out, "started\nno line end");
    EXPECT_EQ(s.err, "interrupted\n");
    EXPECT_EQ(read_or_empty(dir + "/out.txt"), "line 1\n");
}

// Every way of running a loop tests for the signal once a pass. Standard
// output is a terminal here only to show when the loop has begun.
TEST_F(Interrupt, LoopStopsOnEveryPath) {
    write_file(dir + "/p.rill",
               "#\"out.txt\" F(\"before the loop\" \\n); P(\"started\" \\n);"
               "dbl x; loop (2000000000) { i =+ 1; x =+ 0.5; if (i < 0) { out; }; }; P(\"never\");");
    for (const char* path : {"walk", "threaded", "native"}) {
        Session s({"/usr/bin/env", std::string("RILL_REPLAY=") + path, RILL_BINARY, "p.rill"}, dir, Session::TERMINAL);
        ASSERT_TRUE(s.wait_for_output("started\n")) << path;
        usleep(100000);  // well into the loop
        s.signal(SIGINT);
        EXPECT_EQ(s.finish(), 128 + SIGINT) << path;
        EXPECT_EQ(s.out, "started\n") << path;
        EXPECT_EQ(s.err, "interrupted\n") << path;
        EXPECT_EQ(read_or_empty(dir + "/out.txt"), "before the loop\n") << path;
    }
}

// A write that waits on a slow reader is not cut short by the signal: the
// output stays whole lines. Nor by a second signal, as long as the write
// moves; only one stuck for about a second is ended by it.
TEST_F(Interrupt, WaitingWriteIsCutOnlyWhenStuck) {
    const std::string line = "a line of output\n";
    write_file(dir + "/p.rill", "loop (2000000000) { P(\"a line of output\" \\n); };");
    for (bool stuck : {false, true}) {
        Session s({RILL_BINARY, "p.rill"}, dir, Session::PIPES);
        ASSERT_TRUE(s.wait_until_waiting()) << "blocked on the full pipe";
        s.signal(SIGINT);
        usleep(100000);
        s.signal(SIGINT);
        if (stuck) {
            EXPECT_TRUE(s.ends_unread()) << "the watch finds no progress and ends it";
        }
        EXPECT_EQ(s.finish(), 128 + SIGINT);
        EXPECT_EQ(s.err, stuck ? "" : "interrupted\n") << stuck;
        if (!stuck) {
            ASSERT_EQ(s.out.size() % line.size(), 0u);
            EXPECT_EQ(s.out.substr(s.out.size() - line.size()), line);
        }
    }
}

// The terminal going away is an interrupt too.
TEST_F(Interrupt, HangUpStops) {
    write_file(dir + "/p.rill", "#\"out.txt\" F(\"line 1\" \\n); P(\"started\" \\n); S(i); P(\"never\");");
    Session s({RILL_BINARY, "p.rill"}, dir, Session::PIPES);
    ASSERT_TRUE(s.wait_for_output(">> "));
    s.signal(SIGHUP);
    EXPECT_EQ(s.finish(), 128 + SIGHUP);
    EXPECT_EQ(s.out, "started\n>> ");
    EXPECT_EQ(s.err, "interrupted\n");
    EXPECT_EQ(read_or_empty(dir + "/out.txt"), "line 1\n");
}

// A program file that is a FIFO nobody writes: the wait for it ends at the
// first signal.
TEST_F(Interrupt, WaitForAFifoProgramStops) {
    ASSERT_EQ(mkfifo((dir + "/fifo.rill").c_str(), 0600), 0);
    Session s({RILL_BINARY, "fifo.rill"}, dir, Session::PIPES);
    ASSERT_TRUE(s.wait_until_waiting());
    s.signal(SIGINT);
    EXPECT_EQ(s.finish(), 128 + SIGINT);
    EXPECT_EQ(s.err, "interrupted\n");
}

// A header naming a FIFO nobody reads: the wait to open it ends at the
// first signal too, and a reader that comes lets the run go on.
TEST_F(Interrupt, WaitForAFifoOutputStops) {
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    write_file(dir + "/p.rill", "#\"fifo\" F(\"to the fifo\" \\n); P(\"after\" \\n);");
    for (int sig : {SIGINT, SIGTERM}) {
        Session s({RILL_BINARY, "p.rill"}, dir, Session::PIPES);
        ASSERT_TRUE(s.wait_until_waiting());
        s.signal(sig);
        EXPECT_EQ(s.finish(), 128 + sig);
        EXPECT_EQ(s.out, "");
        EXPECT_EQ(s.err, "interrupted\n");
    }
    ProcessResult r = run_process(
        {"/bin/sh", "-c", std::string(RILL_BINARY) + " p.rill & sleep 0.2; cat fifo >got; wait $!; echo $? >status"},
        dir, "/dev/null");
    EXPECT_EQ(r.out, "after\n");
    EXPECT_EQ(read_or_empty(dir + "/got"), "to the fifo\n");
    EXPECT_EQ(read_or_empty(dir + "/status"), "0\n");
}

// Past the file-size limit writes fail and are reported, on the console
// and in the output file alike: what fitted is kept, and the rest of the
// program runs.
TEST_F(Interrupt, FileSizeLimitIsAWriteFailure) {
    std::string lines;
    for (int i = 1; i <= 30000; ++i) lines += "line " + std::to_string(i) + "\n";
    struct Case {
        const char* header;
        const char* console;
        const char* file;
    };
    for (Case c : {Case{"#\"out.txt\"", "", "out.txt"}, Case{"", ">console.txt", "console.txt"}}) {
        // Without a header, file print goes to the console too.
        write_file(dir + "/p.rill", std::string(c.header) + " int i; loop (30000) { i++; P(\"line \" i \\n);" +
                                        (*c.header ? " F(\"line \" i \\n);" : "") + " }; n = 1 / 0;");
        // The limit binds files, not the pipe that standard output is
        // otherwise read through.
        ProcessResult r = run_process(
            {"/bin/sh", "-c",
             "{ ulimit -f 100; " + std::string(RILL_BINARY) + " p.rill " + c.console + "; echo $? >status; } | cat"},
            dir, "/dev/null");
        EXPECT_EQ(read_or_empty(dir + "/status"), "1\n") << c.file;
        std::string what = *c.header ? "output file \"out.txt\"" : "standard output";
        EXPECT_EQ(r.err, "division by zero\ncannot write " + what + ": File too large\n");
        if (*c.header) {
            EXPECT_TRUE(r.out == lines) << "console output lost";
        }
        std::string text = read_or_empty(dir + "/" + c.file);
        EXPECT_GE(text.size(), 50000u) << c.file;
        EXPECT_TRUE(text == lines.substr(0, text.size())) << c.file << " is not what was printed up to the limit";
    }
}

// The soft limit on CPU time stops the run as SIGTERM does, saying why:
// what was printed is kept, and the process ends by SIGXCPU.
TEST_F(Interrupt, CpuTimeLimitStopsTheRun) {
    write_file(dir + "/p.rill",
               "#\"out.txt\" F(\"file\" \\n); P(\"started\" \\n); dbl x;"
               " loop (2000000000) { loop (2000000000) { x = x + 1 / (x + 1); }; }; P(\"never\");");
    ProcessResult r = run_process({"/bin/sh", "-c", "ulimit -S -t 1; exec " + std::string(RILL_BINARY) + " p.rill"},
                                  dir, "/dev/null");
    EXPECT_EQ(r.status, 128 + SIGXCPU);
    EXPECT_EQ(r.out, "started\n");
    EXPECT_EQ(r.err, "CPU time limit reached\n");
    EXPECT_EQ(read_or_empty(dir + "/out.txt"), "file\n");
}

// At a terminal "interrupted" starts a line of its own, and only when the
// program's output left one unfinished; on a pipe the bytes stay as written.
TEST_F(Interrupt, InterruptedStartsItsOwnLineAtATerminal) {
    // The prompt leaves the line unfinished; so does a value.
    // Each with a line it shows before it waits or loops, however slowly it
    // starts, where it shows one.
    const char* const programs[][3] = {
        {"P(\"started\" \\n); S(i);", "started\n>> \ninterrupted\n", ">> "},
        {"P(\"started\" \\n); loop (2000000000) { P(\"\"); };", "started\ninterrupted\n", "started"},
        {"i = 5; P(i); loop (2000000000) { P(\"\"); };", "5\ninterrupted\n", ""},
    };
    for (const auto& [program, expected, shown] : programs) {
        write_file(dir + "/p.rill", program);
        Session s({RILL_BINARY, "p.rill"}, dir, Session::TERMINAL_WITH_ERRORS);
        if (*shown) {
            ASSERT_TRUE(s.wait_for_output(shown)) << program;
        }
#ifdef RILL_EMULATOR
        usleep(3000000);  // a line left unfinished shows only at the end
#else
        usleep(200000);
#endif
        s.signal(SIGINT);
        EXPECT_EQ(s.finish(), 128 + SIGINT);
        EXPECT_EQ(s.out, expected) << program;
    }
    write_file(dir + "/p.rill", "P(\"started\"); S(i);");
    Session s({RILL_BINARY, "p.rill"}, dir, Session::PIPES);
    ASSERT_TRUE(s.wait_for_output(">> "));
    s.signal(SIGINT);
    EXPECT_EQ(s.finish(), 128 + SIGINT);
    EXPECT_EQ(s.out + s.err, "started>> interrupted\n");
}

// A reader that has gone away ends the interpreter the conventional way.
TEST_F(Interrupt, ClosedPipeOnStandardOutputKeepsItsDefault) {
    std::string program = "loop (100000) { P(\"a line of output\" \\n); };";
    write_file(dir + "/p.rill", program);
    signal(SIGPIPE, SIG_DFL);  // not ignored, as in a shell's foreground job
    ProcessResult r = run_process(
        {"/bin/sh", "-c", std::string("(") + RILL_BINARY + " p.rill; echo $? >status) | true"}, dir, "/dev/null");
    EXPECT_EQ(read_or_empty(dir + "/status"), std::to_string(128 + SIGPIPE) + "\n");
}

// The reader goes away after the first line, in the middle of the run: the
// output file is still written out up to where the run stopped, in whole
// lines, and nothing is reported.
TEST_F(Interrupt, ClosedPipeLeavesTheOutputFileWhole) {
    write_file(dir + "/p.rill",
               "#\"out.txt\" loop (100000) { P(\"a line of output\" \\n); F(\"a line of the file\" \\n); };");
    signal(SIGPIPE, SIG_DFL);
    ProcessResult r = run_process(
        {"/bin/sh", "-c", std::string("(") + RILL_BINARY + " p.rill; echo $? >status) | head -1"}, dir, "/dev/null");
    EXPECT_EQ(read_or_empty(dir + "/status"), std::to_string(128 + SIGPIPE) + "\n");
    EXPECT_EQ(r.out, "a line of output\n");
    EXPECT_EQ(r.err, "");
    std::string file = read_or_empty(dir + "/out.txt");
    const std::string line = "a line of the file\n";
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.size() % line.size(), 0u);
    EXPECT_EQ(file.substr(file.size() - line.size()), line);
}

}  // namespace
