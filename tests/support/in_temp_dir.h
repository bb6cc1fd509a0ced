// A test that runs inside a fresh temporary directory, made its working directory for the
// test's length, as the environment directory is for the server.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "support/test_support.h"

class InTempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        old_cwd_ = buf;
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(old_cwd_.c_str()), 0); }

    TempDir dir_;

private:
    std::string old_cwd_;
};
