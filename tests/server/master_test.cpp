// The master and service processes, run through the real executable on an environment laid
// out by the test.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <regex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "server/master.h"
#include "support/test_support.h"

namespace {

bool alive(pid_t pid) {
    return pid > 0 && kill(pid, 0) == 0;
}

// How long the master and the service get for a step of their start or stop.
constexpr double kStepSeconds = 10;

class MasterTest : public testing::Test {
protected:
    TempDir dir;
    std::string env = dir.sub("env");
    unsigned port = free_tcp_port(); // the service listens there
    std::vector<pid_t> started;      // every master and service pid seen; killed at teardown

    void SetUp() override { lay_out_database_env(env, port); }

    void TearDown() override {
        for (pid_t p : started) {
            if (alive(p))
                kill(p, SIGKILL);
        }
    }

    std::string log() { return read_file(env + "/logs/korvane.log"); }

    pid_t pidfile_pid() {
        std::string s = read_file(env + "/var/korvane.pid");
        return s.empty() ? 0 : static_cast<pid_t>(atoi(s.c_str()));
    }

    // Pids of every service the log says was spawned, in order.
    std::vector<pid_t> service_pids() {
        std::vector<pid_t> pids;
        std::regex re(R"(Process \[korvane=(\d+)\] created successfully\.)");
        std::string text = log();
        for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
            pids.push_back(static_cast<pid_t>(std::stoi((*it)[1])));
        for (pid_t p : pids)
            started.push_back(p);
        return pids;
    }

    RunResult start() {
        RunResult r = run_korvane({"start", env});
        if (pid_t m = pidfile_pid(); m > 0)
            started.push_back(m);
        return r;
    }

    bool has(const std::string &text) { return log().find(text) != std::string::npos; }
};

TEST_F(MasterTest, StartsReportsAndStopsOnSigterm) {
    RunResult r = start();
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("\tVersion:     3.0.6\n"), std::string::npos);
    pid_t master = pidfile_pid();
    ASSERT_TRUE(alive(master));
    EXPECT_EQ(read_file(env + "/var/korvane.pid"), std::to_string(master) + std::string(1, '\0'));

    std::string text = log();
    EXPECT_NE(text.find("INFO   \n\n  ===== STARTING KORVANE =====\n"), std::string::npos);
    EXPECT_NE(text.find("INFO   : Mode                      : Database\n"), std::string::npos);
    EXPECT_NE(text.find("INFO   : Korvane directory         : " + env + "\n"), std::string::npos);
    EXPECT_NE(
        text.find("INFO   : Server address            : 127.0.0.1:" + std::to_string(port) + "\n"),
        std::string::npos);
    EXPECT_NE(text.find("INFO   : Archive                   : disabled\n"), std::string::npos);
    EXPECT_NE(text.find("--- System resources report ---"), std::string::npos);
    EXPECT_NE(text.find("INFO   ===== STARTED =====\n"), std::string::npos);

    // The pid file is locked while the server runs.
    int fd = open((env + "/var/korvane.pid").c_str(), O_RDONLY);
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);

    std::vector<pid_t> services = service_pids();
    ASSERT_EQ(services.size(), 1u);
    ASSERT_EQ(kill(master, SIGTERM), 0);
    ASSERT_TRUE(eventually([&] { return !alive(master); }, kStepSeconds));
    EXPECT_FALSE(alive(services[0]));
    EXPECT_FALSE(access((env + "/var/korvane.pid").c_str(), F_OK) == 0);
    EXPECT_TRUE(has("INFO   Shutdown procedure initiated.\n"));
    EXPECT_TRUE(has("INFO   Korvane stopped.\n"));
    EXPECT_TRUE(has("INFO   Korvane: master stopped.\n"));
}

TEST_F(MasterTest, SecondStartIsRefusedAndLeavesThePidFile) {
    ASSERT_EQ(start().exit_code, 0);
    std::string before = read_file(env + "/var/korvane.pid");
    RunResult second = run_korvane({"start", env});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.out.find("\033[91mAnother Korvane instance already running.\033[0m\n"),
              std::string::npos);
    EXPECT_EQ(read_file(env + "/var/korvane.pid"), before);
    service_pids();
}

TEST_F(MasterTest, KilledServiceIsRespawned) {
    ASSERT_EQ(start().exit_code, 0);
    pid_t first = service_pids().at(0);
    kill(first, SIGKILL);
    ASSERT_TRUE(eventually([&] { return service_pids().size() == 2; }, kStepSeconds));
    pid_t second = service_pids().at(1);
    EXPECT_NE(second, first);
    EXPECT_TRUE(alive(second));
    EXPECT_TRUE(has("ERROR  Process [" + std::to_string(first) + "] exited abnormally.\n"));
    EXPECT_TRUE(has("INFO   Spawning a new process ...\n"));
    EXPECT_TRUE(alive(pidfile_pid()));
}

TEST_F(MasterTest, ServiceThatExitsStopsTheServer) {
    ASSERT_EQ(start().exit_code, 0);
    pid_t master = pidfile_pid();
    pid_t service = service_pids().at(0);
    kill(service, SIGTERM);
    ASSERT_TRUE(eventually([&] { return !alive(master); }, kStepSeconds));
    EXPECT_TRUE(has("INFO   Process [" + std::to_string(service) + "] exited.\n"));
    EXPECT_TRUE(has("INFO   Korvane is being shut down...\n"));
    EXPECT_EQ(service_pids().size(), 1u);
}

TEST_F(MasterTest, ServiceStopsWhenTheMasterIsKilled) {
    ASSERT_EQ(start().exit_code, 0);
    pid_t service = service_pids().at(0);
    kill(pidfile_pid(), SIGKILL);
    ASSERT_TRUE(eventually([&] { return has("WARN   No master process detected.\n"); }, 6));
    EXPECT_TRUE(eventually([&] { return has("INFO   Korvane stopped.\n"); }, kStepSeconds));
    EXPECT_TRUE(eventually([&] { return !alive(service); }, kStepSeconds));
}

TEST_F(MasterTest, StopCommandWaitsForTheServer) {
    ASSERT_EQ(start().exit_code, 0);
    pid_t master = pidfile_pid();
    service_pids();
    RunResult r = run_korvane({"stop", env});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Korvane [" + std::to_string(master) + "] stopped."), std::string::npos);
    // The lock goes with the process; it may still wait to be reaped.
    EXPECT_TRUE(eventually([&] { return !alive(master); }, kStepSeconds));
}

TEST_F(MasterTest, ConfigurationErrorExitsBeforeDaemonising) {
    write_file(env + "/conf/config.json", "{\"server\": {\"host\": \"localhost\", \"port\": 1}}");
    RunResult r = start();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\033[91mInvalid server address: localhost\033[0m\n"), std::string::npos);
    EXPECT_NE(r.out.find("\033[91mConfiguration load failure.\033[0m\n"), std::string::npos);
    EXPECT_NE(access((env + "/var/korvane.pid").c_str(), F_OK), 0);
}

TEST_F(MasterTest, UnwritableLogFailsTheStartAndRemovesThePidFile) {
    mkdir((env + "/logs/korvane.log").c_str(), 0700);
    RunResult r = start();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\033[91mUnable to initialize logging system.\033[0m\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("\033[91mKorvane startup failure.\n\033[0m\n"), std::string::npos);
    EXPECT_TRUE(eventually([&] { return access((env + "/var/korvane.pid").c_str(), F_OK) != 0; },
                           kStepSeconds));
}

TEST(RespawnPacing, ImmediateUntilFiveWithinAMinute) {
    respawn_history h{};
    const struct {
        double now;
        double expect_delay;
    } steps[] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 9}, {14, 0}, {15, 9}};
    for (const auto &s : steps) {
        double d = respawn_delay(&h, s.now);
        EXPECT_DOUBLE_EQ(d, s.expect_delay) << s.now;
        if (d == 0)
            respawn_record(&h, s.now);
    }
    // A quiet minute after the burst: immediate again.
    EXPECT_DOUBLE_EQ(respawn_delay(&h, 100), 0);
}

} // namespace
