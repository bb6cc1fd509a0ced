// A Database-mode server: the service opens the data store before it listens.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "database/db_server.h"

namespace {

class DatabaseServiceTest : public testing::Test {
protected:
    TempDir dir;
    std::string env = dir.sub("env");
    pid_t master = 0;

    void SetUp() override { ASSERT_TRUE(make_database_env(env, free_tcp_port())); }

    void TearDown() override {
        if (master > 0 && kill(master, 0) == 0)
            run_korvane({"stop", env});
    }

    std::string log() { return read_file(env + "/logs/korvane.log"); }

    RunResult start() {
        RunResult r = run_korvane({"start", env});
        std::string pid = read_file(env + "/var/korvane.pid");
        master = pid.empty() ? 0 : static_cast<pid_t>(atoi(pid.c_str()));
        return r;
    }
};

TEST_F(DatabaseServiceTest, OpensTheStoreAndRuns) {
    RunResult r = start();
    ASSERT_EQ(r.exit_code, 0) << r.out;
    std::string text = log();
    EXPECT_NE(text.find("INFO   : Mode                      : Database\n"), std::string::npos);
    EXPECT_NE(text.find("INFO   : Archive                   : disabled\n"), std::string::npos);
    EXPECT_NE(text.find("INFO   Collector subsystem initialized.\n"), std::string::npos);
    EXPECT_NE(text.find("INFO   IOL[DB-AG]: TID=0 started.\n"), std::string::npos);
    EXPECT_NE(text.find("INFO   ===== STARTED =====\n"), std::string::npos);
}

TEST_F(DatabaseServiceTest, IncompatibleStoreFailsTheStart) {
    write_file(env + "/storage.db/.database", std::string("\x40\x06", 2));
    RunResult r = start();
    // The shell learns that the server did not start; the master stops behind it.
    EXPECT_EQ(r.exit_code, 1) << r.out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (access((env + "/var/korvane.pid").c_str(), F_OK) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string text = log();
    EXPECT_NE(text.find("FATAL  Unable to open the database!\n"), std::string::npos);
    EXPECT_NE(text.find("FATAL  Unable to start Korvane.\n"), std::string::npos);
    EXPECT_EQ(text.find("===== STARTED ====="), std::string::npos);
    EXPECT_NE(access((env + "/var/korvane.pid").c_str(), F_OK), 0);
}

} // namespace
