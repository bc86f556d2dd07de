// same_file tells two descriptors on one file from descriptors on two,
// whatever the paths: it guards the program's source and the standard
// streams' files from being emptied by an output file.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

class SameFile : public testing::Test {
protected:
    void SetUp() override {
        // A folder of each test's own, fresh even after a run that left one.
        dir = fs::temp_directory_path() /
              (std::string("rill_same_file_") + testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        for (const char* name : {"a", "b"}) {
            FILE* f = std::fopen((dir / name).string().c_str(), "wb");
            ASSERT_NE(f, nullptr);
            // The same bytes in both: only the file itself may tell them apart.
            (void)std::fputs("P(1);\n", f);
            (void)std::fclose(f);
        }
        fs::create_hard_link(dir / "a", dir / "a_link");
    }
    void TearDown() override {
        for (FILE* f : opened) (void)std::fclose(f);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    int open_fd(const std::string& name) {
        FILE* f = std::fopen((dir / name).string().c_str(), "rb");
        EXPECT_NE(f, nullptr) << name;
        if (!f) return -1;
        opened.push_back(f);
        return fileno(f);
    }
    fs::path dir;
    std::vector<FILE*> opened;
};

TEST_F(SameFile, TellsFilesApartByIdentityNotPath) {
    const struct {
        const char* first;
        const char* second;
        bool same;
    } cases[] = {
        {"a", "a", true},       // two opens of one path
        {"a", "a_link", true},  // a hard link: another path, the same file
        {"a", "./a", true},     // another spelling of the path
        {"a", "b", false},      // equal contents, another file
        {"b", "a_link", false},
    };
    for (const auto& c : cases) {
        int x = open_fd(c.first), y = open_fd(c.second);
        EXPECT_EQ(same_file(x, y), c.same) << c.first << " and " << c.second;
        EXPECT_EQ(same_file(y, x), c.same) << c.second << " and " << c.first;
        EXPECT_TRUE(is_regular_file(x)) << c.first;
    }
}

TEST_F(SameFile, ClosedDescriptorIsNoMatch) {
    int x = open_fd("a");
    EXPECT_FALSE(same_file(x, 1000));
    EXPECT_FALSE(same_file(1000, 1000));
}

}  // namespace
