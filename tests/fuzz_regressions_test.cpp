// Replays every input that ever found a fault (tests/fuzz_regressions/),
// through the fuzzing harness when it is built (cmake -DRILL_FUZZ=ON) and
// through rill itself otherwise. In the sanitizer build this is where a
// regression would show: any report of a sanitizer fails the test, as does
// an ending other than rill's own statuses.
#include <string>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

class FuzzRegression : public testing::TestWithParam<std::string> {};

TEST_P(FuzzRegression, EndsCleanly) {
    std::string dir = make_scratch_dir("fuzz");
    ASSERT_FALSE(dir.empty());
    const std::string input = std::string(RILL_REGRESSIONS_DIR) + "/" + GetParam();
#ifdef RILL_FUZZ_HARNESS
    setenv("RILL_FUZZ_DIR", dir.c_str(), 1);
    ProcessResult r = run_process({RILL_FUZZ_HARNESS, input}, dir, "/dev/null", 20000);
#else
    // The harness's input format: the program, then "\0STDIN\0" and the console input.
    const std::string separator("\0STDIN\0", 7);
    std::string data = read_or_empty(input);
    size_t split = data.find(separator);
    write_file(dir + "/program", data.substr(0, split));
    write_file(dir + "/stdin", split == std::string::npos ? "" : data.substr(split + separator.size()));
    ProcessResult r = run_process({RILL_BINARY, dir + "/program"}, dir, dir + "/stdin", 20000);
#endif
    remove_tree(dir);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << "status " << r.status;
}

std::vector<std::string> regressions() {
    std::vector<std::string> names;
    for (const std::string& n : list_dir(RILL_REGRESSIONS_DIR))
        if (n[0] != '.') names.push_back(n);
    return names;
}

INSTANTIATE_TEST_SUITE_P(All, FuzzRegression, testing::ValuesIn(regressions()),
                         [](const auto& info) { return identifier_of(info.param); });

}  // namespace
