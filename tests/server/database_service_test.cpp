// A Database-mode server: the service opens the data store before it listens.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "database/store/dbs.h"
#include "support/test_support.h"

namespace {

class DatabaseServiceTest : public testing::Test {
protected:
    TempDir dir;
    std::string env = dir.sub("env");
    pid_t master = 0;

    void SetUp() override {
        for (const char *d : {"", "/conf", "/logs", "/var", "/plugins"})
            mkdir((env + d).c_str(), 0700);
        RunResult made = run_forked([&] {
            if (chdir(env.c_str()) != 0 || storage_create_db() != 0)
                _exit(1);
        });
        ASSERT_EQ(made.exit_code, 0) << made.out << made.err;
        unsigned port = free_tcp_port();
        write_file(env + "/conf/config.json",
                   "{\"manager\": {\"host\": \"127.0.0.1\", \"port\": 1},"
                   " \"server\": {\"host\": \"127.0.0.1\", \"port\": " +
                       std::to_string(port) +
                       "},"
                       " \"redirect\": {\"host\": \"127.0.0.1\", \"port\": 1},"
                       " \"archive\": {\"enable\": false, \"policy\": \"archive\"}}");
    }

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
