// Installs the build into a scratch prefix and uses what was installed: the
// binary, the man page and the examples.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

class Install : public testing::Test {
protected:
    void SetUp() override {
        prefix = make_scratch_dir("install");
        ProcessResult r =
            run_process({RILL_CMAKE, "--install", RILL_BUILD_DIR, "--prefix", prefix}, prefix, "/dev/null");
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    void TearDown() override { remove_tree(prefix); }

    std::string prefix;
};

TEST_F(Install, BinaryRunsTheInstalledExamples) {
    ProcessResult version = run_process({prefix + "/bin/rill", "--version"}, prefix, "/dev/null");
    EXPECT_EQ(version.out, "rill " RILL_VERSION "\n");

    const std::string examples = prefix + "/share/doc/rill/examples";
    std::vector<std::string> installed = list_dir(examples), shipped = list_dir(RILL_EXAMPLES_DIR);
    std::sort(installed.begin(), installed.end());
    std::sort(shipped.begin(), shipped.end());
    EXPECT_EQ(installed, shipped);

    ProcessResult r = run_process({prefix + "/bin/rill", examples + "/primes.rill"}, prefix, "/dev/null");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string last = "\n46 primes below 200\n";
    ASSERT_GE(r.out.size(), last.size());
    EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);
}

// groff with every warning on: a broken macro or escape shows on stderr.
TEST_F(Install, ManPageRenders) {
    const std::string page = prefix + "/share/man/man1/rill.1";
    ProcessResult r = run_process({"/bin/sh", "-c",
                                   "command -v groff >/dev/null || exit 77; "
                                   "groff -man -Tutf8 -ww -P-cbou \"$0\"",
                                   page},
                                  prefix, "/dev/null");
    if (r.status == 77) GTEST_SKIP() << "groff is not installed (make deps installs it)";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char* text :
         {"SYNOPSIS", "EXIT STATUS", "RILL_DIAGNOSTICS", "RILL_REPLAY", "EXAMPLES", "rill " RILL_VERSION})
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
}

}  // namespace
