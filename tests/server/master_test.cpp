// The master and service processes, run through the real executable on an environment laid
// out by the test.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
        static const std::regex re(R"(Process \[korvane=(\d+)\] created successfully\.)");
        std::vector<pid_t> pids;
        for (uint64_t pid : captured_numbers(log(), re))
            pids.push_back(static_cast<pid_t>(pid));
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

// Runs `korvane start env` as a shell would: standard output on `out` (the write end of
// whatever the case makes; `other` is its other end, which the child does not keep), standard
// input on /dev/null. The pid of that process.
pid_t spawn_start(const std::string &env, int out, int other = -1) {
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        close(devnull);
        close(out);
        if (other >= 0)
            close(other);
        execl(KRV_BINARY, KRV_BINARY, "start", env.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

// Reads `fd` until its end or until `seconds` have passed; what came, and whether the end did.
std::pair<std::string, bool> read_to_end(int fd, double seconds) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buf[4096];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return {got, true};
        got.append(buf, static_cast<size_t>(n));
    }
    return {got, false};
}

// A caller that reads the start's output to its end (`out=$(korvane start env)`, `| tee`)
// gets that end once the server has reported its start, while the server runs on.
TEST_F(MasterTest, CallerReadingTheOutputToItsEndIsLetGo) {
    const struct {
        const char *name;
        bool socket;
    } cases[] = {{"pipe", false}, {"socket", true}};
    for (const auto &c : cases) {
        int fds[2];
        ASSERT_EQ(c.socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds), 0);
        pid_t shell = spawn_start(env, fds[1], fds[0]);
        close(fds[1]);
        auto [out, ended] = read_to_end(fds[0], kStepSeconds);
        close(fds[0]);
        EXPECT_TRUE(ended) << c.name << ": " << out;
        EXPECT_NE(out.find("\tVersion:     3.0.6\n"), std::string::npos) << c.name;
        int st = 0;
        waitpid(shell, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << c.name << " " << st;
        pid_t master = pidfile_pid();
        started.push_back(master);
        service_pids();
        EXPECT_TRUE(alive(master)) << c.name;
        EXPECT_EQ(run_korvane({"stop", env}).exit_code, 0) << c.name;
        ASSERT_TRUE(eventually([&] { return !alive(master); }, kStepSeconds)) << c.name;
    }
}

// A terminal or a regular file stays the master's output: the shutdown line reaches it.
TEST_F(MasterTest, OutputFileKeepsTheShutdownLine) {
    const std::string path = dir.sub("start.out");
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    pid_t shell = spawn_start(env, out);
    close(out);
    int st = 0;
    waitpid(shell, &st, 0);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    pid_t master = pidfile_pid();
    started.push_back(master);
    service_pids();
    EXPECT_EQ(read_file(path).find("Shutting down Korvane..."), std::string::npos);
    ASSERT_EQ(run_korvane({"stop", env}).exit_code, 0);
    ASSERT_TRUE(eventually([&] { return !alive(master); }, kStepSeconds));
    EXPECT_NE(read_file(path).find("\033[92mShutting down Korvane...\033[0m\n"), std::string::npos);
}

// A service that does not stop when told (here it is stopped itself, so SIGTERM waits
// pending) is killed once the stop grace has passed, and the master ends.
TEST_F(MasterTest, ServiceThatDoesNotStopIsKilledAfterTheGrace) {
    setenv("KRV_TEST_STOP_GRACE_MS", "300", 1);
    RunResult r = start();
    unsetenv("KRV_TEST_STOP_GRACE_MS");
    ASSERT_EQ(r.exit_code, 0) << r.out;
    pid_t master = pidfile_pid();
    pid_t service = service_pids().at(0);
    ASSERT_EQ(kill(service, SIGSTOP), 0);
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(master, SIGTERM), 0);
    ASSERT_TRUE(eventually([&] { return !alive(master); }, kStepSeconds));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));
    EXPECT_FALSE(alive(service));
    EXPECT_TRUE(has("INFO   Waiting 0.3 seconds at most for the service process to stop.\n"));
    EXPECT_TRUE(has("WARN   The service process [" + std::to_string(service) +
                    "] did not stop within 0.3 seconds: killing it.\n"));
    EXPECT_TRUE(has("ERROR  Process [" + std::to_string(service) + "] exited abnormally.\n"));
    EXPECT_FALSE(has("Spawning a new process"));
    EXPECT_TRUE(has("INFO   Korvane: master stopped.\n"));
    EXPECT_NE(access((env + "/var/korvane.pid").c_str(), F_OK), 0);
}

// The service works with every descriptor the system lets it have: it raises its soft
// limit of open files to the hard limit and says so.
TEST_F(MasterTest, ServiceRaisesItsOpenFilesLimit) {
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    if (old.rlim_max <= 256)
        GTEST_SKIP() << "hard limit too low to lower the soft one";
    rlimit low{256, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    RunResult r = start();
    setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    pid_t service = service_pids().at(0);
    const std::string hard = std::to_string(old.rlim_max);
    EXPECT_TRUE(
        has("INFO   Open files limit: soft 256 raised to the hard limit " + hard + ".\n"));
    std::string limits = read_file("/proc/" + std::to_string(service) + "/limits");
    EXPECT_TRUE(std::regex_search(limits, std::regex("Max open files +" + hard + " +" + hard)))
        << limits;
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
