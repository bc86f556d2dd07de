// Installs the build into a scratch prefix and uses what was installed: the
// binary, the man page and the examples.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

// Every install writes its records into the build directory: tests that
// install take turns.
class InstallLock {
public:
    InstallLock() : fd_(open(RILL_BUILD_DIR "/install.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0644)) {
        if (fd_ >= 0) (void)flock(fd_, LOCK_EX);
    }
    ~InstallLock() {
        if (fd_ >= 0) close(fd_);
    }
    InstallLock(const InstallLock&) = delete;
    InstallLock& operator=(const InstallLock&) = delete;

private:
    int fd_;
};

class Install : public testing::Test {
protected:
    void SetUp() override {
        prefix = make_scratch_dir("install");
        InstallLock lock;
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

// A staged install (DESTDIR) is uninstalled where it went: never the files
// of the same names under the live prefix, never a file the install did not
// put there or that has changed since, and the folders it created go once
// empty. Uninstalling under another DESTDIR removes nothing.
TEST(Uninstall, RemovesWhatTheStagedInstallPutInPlace) {
    const std::string dir = make_scratch_dir("uninstall");
    const std::string live = dir + "/live", stage = dir + "/stage", staged = stage + live;
    const std::string source = std::string(RILL_EXAMPLES_DIR) + "/..";
    ASSERT_EQ(mkdir(live.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((live + "/bin").c_str(), 0755), 0);
    write_file(live + "/bin/rill", "the live one");
    InstallLock lock;
    ProcessResult r = run_process(
        {"/usr/bin/env", "DESTDIR=stage", RILL_CMAKE, "--install", RILL_BUILD_DIR, "--prefix", live}, dir, "/dev/null");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(is_dir(staged + "/share/doc/rill/examples"));
    write_file(staged + "/share/doc/rill/examples/mine.rill", "not installed");
    write_file(staged + "/share/man/man1/rill.1", "changed since");

    auto uninstall = [&](const std::string& destdir) {
        return run_process({"/usr/bin/env", "make", "-s", "-C", source, "uninstall",
                            std::string("BUILD=") + RILL_BUILD_DIR, "DESTDIR=" + destdir},
                           dir, "/dev/null");
    };
    r = uninstall(dir + "/elsewhere");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(read_or_empty(staged + "/bin/rill"), "");

    r = uninstall(stage);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_or_empty(live + "/bin/rill"), "the live one");
    EXPECT_FALSE(is_dir(staged + "/bin"));
    EXPECT_EQ(list_dir(staged + "/share/doc/rill/examples"), std::vector<std::string>{"mine.rill"});
    EXPECT_EQ(read_or_empty(staged + "/share/man/man1/rill.1"), "changed since");
    // Once uninstalled, there is nothing left to uninstall.
    EXPECT_NE(uninstall(stage).status, 0);
    remove_tree(dir);
}

}  // namespace
