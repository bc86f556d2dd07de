// A test that runs in a scratch directory of its own, removed afterwards.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "support/process.h"

class ScratchTest : public testing::Test {
protected:
    void SetUp() override { dir = make_scratch_dir(testing::UnitTest::GetInstance()->current_test_info()->name()); }
    void TearDown() override { remove_tree(dir); }
    std::string dir;
};
