// SIGINT and SIGTERM sent to a running interpreter: it stops at a safe point
// with everything printed so far written out, says "interrupted", and ends
// by the same signal, as a shell sees it.
#include <signal.h>
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
// output stays whole lines. A second signal ends the process at once.
TEST_F(Interrupt, WaitingWriteIsCompletedAndASecondSignalEndsAtOnce) {
    const std::string line = "a line of output\n";
    write_file(dir + "/p.rill", "loop (2000000000) { P(\"a line of output\" \\n); };");
    for (bool twice : {false, true}) {
        Session s({RILL_BINARY, "p.rill"}, dir, Session::PIPES);
        ASSERT_TRUE(s.wait_until_waiting()) << "blocked on the full pipe";
        s.signal(SIGINT);
        if (twice) {
            usleep(100000);
            s.signal(SIGINT);
        }
        EXPECT_EQ(s.finish(), 128 + SIGINT);
        EXPECT_EQ(s.err, twice ? "" : "interrupted\n");
        if (!twice) {
            ASSERT_EQ(s.out.size() % line.size(), 0u);
            EXPECT_EQ(s.out.substr(s.out.size() - line.size()), line);
        }
    }
}

// A reader that has gone away ends the interpreter the conventional way.
TEST_F(Interrupt, ClosedPipeOnStandardOutputKeepsItsDefault) {
    std::string program = "loop (100000) { P(\"a line of output\" \\n); };";
    write_file(dir + "/p.rill", program);
    signal(SIGPIPE, SIG_DFL);  // not ignored, as in a shell's foreground job
    ProcessResult r = run_process(
        {"/bin/sh", "-c", "(" + std::string(RILL_BINARY) + " p.rill; echo $? >status) | true"}, dir, "/dev/null");
    EXPECT_EQ(read_or_empty(dir + "/status"), std::to_string(128 + SIGPIPE) + "\n");
}

}  // namespace
