// The archive process of a started Database server: the schedule, the lock file, the run and
// the reap. The master ticks every 100 ms and the archive process lingers 300 ms (test-only
// settings); the schedule is set to the minute a few seconds ahead.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "server/archive_launcher.h"
#include "support/test_support.h"

namespace {

constexpr double kWaitSeconds = 30;

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class ArchiveLauncher : public testing::Test {
protected:
    TempDir dir;
    std::string env = dir.sub("env");
    unsigned port = free_tcp_port();
    std::string lock = env + "/" + ARCHIVE_LOCK_FILE;
    // An hour file of 2 March 2024, long settled: the run archives and deletes it.
    std::string old_file = env + "/storage.db/data/00000000000000A1/mc/19784.5";

    void SetUp() override { set_up("archive"); }

    void set_up(const char *policy) {
        setenv("TZ", "UTC", 1);
        tzset();
        setenv("KRV_TEST_MASTER_TICK_MS", "100", 1);
        setenv(ARCHIVE_LINGER_ENV, "300", 1);
        lay_out_database_env(env, port);
        // The minute a few seconds from now: the first ticks of the server fall into it, or
        // it begins shortly after the server started.
        const time_t soon = time(nullptr) + 8;
        struct tm at;
        gmtime_r(&soon, &at);
        write_file(env + "/conf/config.json",
                   "{\"manager\": {\"host\": \"127.0.0.1\", \"port\": 1},"
                   " \"server\": {\"host\": \"127.0.0.1\", \"port\": " +
                       std::to_string(port) +
                       "}, \"redirect\": {\"host\": \"127.0.0.1\", \"port\": 1},"
                       " \"archive\": {\"enable\": true, \"policy\": \"" +
                       policy +
                       "\","
                       " \"retention\": 24, \"scheduled on\": {\"hour\": " +
                       std::to_string(at.tm_hour) + ", \"minute\": " + std::to_string(at.tm_min) +
                       "}}}");
        mkdir((env + "/storage.db/data/00000000000000A1").c_str(), 0700);
        mkdir((env + "/storage.db/data/00000000000000A1/mc").c_str(), 0700);
        write_file(env + "/storage.db/data/00000000000000A1/korvane.id",
                   std::string("\x02web1") + std::string(59, '\0'));
        write_file(old_file, "root calls");
        const struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
        utimes(old_file.c_str(), old);
    }

    void TearDown() override {
        const pid_t master = atoi(read_file(env + "/var/korvane.pid").c_str());
        if (master > 0 && kill(master, 0) == 0) {
            run_korvane({"stop", env});
            if (kill(master, 0) == 0)
                kill(master, SIGKILL);
        }
        for (pid_t p : pids(R"(Process \[(?:korvane)?=(\d+)\] created successfully\.)"))
            kill(p, SIGKILL);
        unsetenv("KRV_TEST_MASTER_TICK_MS");
        unsetenv(ARCHIVE_LINGER_ENV);
    }

    std::string log() const { return read_file(env + "/logs/korvane.log"); }
    std::vector<pid_t> pids(const char *pattern) const {
        std::vector<pid_t> out;
        for (uint64_t pid : captured_numbers(log(), std::regex(pattern)))
            out.push_back(static_cast<pid_t>(pid));
        return out;
    }
    void start() {
        RunResult r = run_korvane({"start", env});
        ASSERT_EQ(r.exit_code, 0) << r.out << log();
    }
    // The name of the run's archive from the master's log.
    std::string archive_name() const {
        static const std::regex re(R"(Creating an archive logfile: (\S+)\.log)");
        const std::string text = log();
        std::smatch m;
        return std::regex_search(text, m, re) ? m[1].str() : "";
    }
};

TEST_F(ArchiveLauncher, RunWritesBothLogsAndTheLockGoesWithTheReap) {
    start();
    ASSERT_TRUE(eventually([&] { return count(log(), "INFO   Archive process ended.\n") >= 1; },
                           kWaitSeconds))
        << log();
    const std::string text = log();
    EXPECT_EQ(text.find("Stale archive lock removed."), std::string::npos);
    // The master's spawn line shows the empty name, the first lines of the archive process
    // land in the master's log, the run in its own.
    EXPECT_TRUE(
        std::regex_search(text, std::regex(R"(INFO   Process \[=\d+\] created successfully\.\n)")));
    EXPECT_NE(text.find("INFO   Initializing archive procedure...\n"), std::string::npos);
    EXPECT_NE(text.find("INFO   Archive procedure initialized.\n"), std::string::npos);
    const std::string archive = archive_name();
    ASSERT_FALSE(archive.empty()) << text;
    EXPECT_TRUE(std::regex_match(
        archive, std::regex(R"(storage\.db/arch/korvane\.arch-\d{4}-\d\d-\d\d_\d{4})")))
        << archive;
    EXPECT_TRUE(exists(env + "/" + archive));
    const std::string run_log = read_file(env + "/" + archive + ".log");
    EXPECT_NE(run_log.find("INFO   Archive procedure removed 1 files.\n"), std::string::npos)
        << run_log;
    EXPECT_EQ(run_log.find("Initializing"), std::string::npos);
    EXPECT_FALSE(exists(old_file));
    // The lock is gone once the archive process was reaped: checked while no other archive
    // process has been spawned since (its spawn line comes before its fork).
    EXPECT_TRUE(eventually(
        [&] {
            const std::string before = log();
            const bool absent = !exists(lock);
            const size_t ended = count(before, "INFO   Archive process ended.\n");
            return absent && ended >= 1 &&
                   count(log(), "INFO   Spawning an archive process...\n") == ended;
        },
        kWaitSeconds));
}

TEST_F(ArchiveLauncher, HeldLockStartsNoChildAndAStaleOneIsRemoved) {
    int fd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0200);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    start();
    ASSERT_TRUE(
        eventually([&] { return count(log(), "INFO   Archive procedure already started.\n") >= 3; },
                   kWaitSeconds))
        << log();
    EXPECT_EQ(log().find("Spawning an archive process"), std::string::npos);
    EXPECT_EQ(log().find("Initializing archive procedure"), std::string::npos);
    EXPECT_TRUE(exists(old_file));
    EXPECT_TRUE(exists(lock));

    // The holder goes away without removing the file, as after a crash.
    close(fd);
    ASSERT_TRUE(eventually(
        [&] { return log().find("INFO   Archive process ended.\n") != std::string::npos; },
        kWaitSeconds))
        << log();
    const std::string text = log();
    const size_t stale = text.find("WARN   Stale archive lock removed.\n");
    ASSERT_NE(stale, std::string::npos);
    EXPECT_LT(stale, text.find("INFO   Spawning an archive process...\n"));
    EXPECT_EQ(count(text, "WARN   Stale archive lock removed.\n"), 1u) << text;
    EXPECT_FALSE(exists(old_file));
}

class PurgeLauncher : public ArchiveLauncher {
protected:
    void SetUp() override { set_up("purge"); }
};

TEST_F(PurgeLauncher, PurgePolicyDeletesWithoutAnArchive) {
    start();
    ASSERT_TRUE(eventually(
        [&] { return log().find("INFO   Archive process ended.\n") != std::string::npos; },
        kWaitSeconds))
        << log();
    const std::string archive = archive_name();
    ASSERT_FALSE(archive.empty());
    EXPECT_FALSE(exists(env + "/" + archive));
    EXPECT_NE(read_file(env + "/" + archive + ".log").find("removed 1 files."), std::string::npos);
    EXPECT_FALSE(exists(old_file));
}

} // namespace
