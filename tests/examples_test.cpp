// The programs in examples/, run with fixed input. The guessing game draws
// its number from the clock, so its check holds for any number.
#include <cstdio>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

class Example : public testing::Test {
protected:
    void SetUp() override { dir = make_scratch_dir("example"); }
    void TearDown() override { remove_tree(dir); }

    ProcessResult run(const std::string& name, const std::string& input = "") {
        write_file(dir + "/in.txt", input);
        return run_process({RILL_BINARY, std::string(RILL_EXAMPLES_DIR) + "/" + name}, dir, dir + "/in.txt");
    }

    std::string dir;
};

TEST_F(Example, TimesTableGoesToItsFile) {
    ProcessResult r = run("times_table.rill");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "wrote 9 rows to table.txt\n");
    std::string table = read_or_empty(dir + "/table.txt");
    EXPECT_EQ(table.substr(0, 28), "  1  2  3  4  5  6  7  8  9\n");
    EXPECT_EQ(table.substr(table.size() - 28), "  9 18 27 36 45 54 63 72 81\n");
    EXPECT_EQ(table.size(), 9 * 28u);
}

// What make run runs. Without a number, the answer is 0, never the
// earlier draw that the variable held.
TEST_F(Example, SampleAnswersWhatWasTyped) {
    for (const auto& [input, answer] :
         {std::pair<std::string, std::string>{"12\n", "12"}, {"word\n", "0"}, {"", "0"}}) {
        ProcessResult r = run("../sample.txt", input);
        EXPECT_EQ(r.status, 0);
        const std::string last = "\nyou typed " + answer + "\n";
        ASSERT_GE(r.out.size(), last.size());
        EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last) << input;
    }
}

TEST_F(Example, Primes) {
    ProcessResult r = run("primes.rill");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "2 3 5 7 11 13 17 19 23 29 31 37 41 43 47 53 59 61 67 71 73 79 83 89 97 101 103 107 109 113 "
              "127 131 137 139 149 151 157 163 167 173 179 181 191 193 197 199 \n"
              "46 primes below 200\n");
}

TEST_F(Example, RunningAverage) {
    ProcessResult r = run("average.rill", "3\n4.5 10\n  0\n99\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              ">>   average of 1: 3.000000\n"
              ">>   average of 2: 3.750000\n"
              ">>   average of 3: 5.833333\n"
              ">> done\n");
    // Without a closing 0 the end of the input ends it too.
    EXPECT_EQ(run("average.rill", "2").out, ">>   average of 1: 2.000000\n>> done\n");
}

// Guessing 1, 2, 3, ... must hear "higher" until the number comes up.
TEST_F(Example, GuessingGameCountsTries) {
    std::string input;
    for (int i = 1; i <= 100; ++i) input += std::to_string(i) + "\n";
    ProcessResult r = run("guess.rill", input);
    EXPECT_EQ(r.status, 0);
    const std::string intro = "I am thinking of a number from 1 to 100.\n";
    ASSERT_EQ(r.out.substr(0, intro.size()), intro);
    std::string rest = r.out.substr(intro.size());
    int tries = 0;
    size_t pos = 0;
    while (rest.compare(pos, 10, ">> higher\n") == 0) {
        ++tries;
        pos += 10;
    }
    EXPECT_EQ(rest.substr(pos), ">> Got it in " + std::to_string(tries + 1) + " tries.\n");
    EXPECT_LT(tries, 100);
}

// A 0, a word or the end of the input gives up. A word stores nothing, so
// without the reset before each read the last guess would be answered again
// on every pass.
TEST_F(Example, GuessingGameGivesUp) {
    const std::string intro = "I am thinking of a number from 1 to 100.\n";
    for (const char* input : {"0\n", "abc\n", ""}) {
        ProcessResult r = run("guess.rill", input);
        const std::string expected = intro + ">> The number was ";
        EXPECT_EQ(r.out.substr(0, expected.size()), expected) << input;
    }
    ProcessResult r = run("guess.rill", "101\nabc\n");
    EXPECT_EQ(r.out.substr(intro.size(), 19), ">> lower\n>> The num");
}

}  // namespace
