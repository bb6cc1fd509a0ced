#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/files.h"
#include "server/pidfile.h"
#include "support/test_support.h"

namespace {

const std::string kPid4242("4242\0", 5);

// Whether a fresh open file description of `path` can take the lock.
int lock_state(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    int r = sys_write_trylock(fd);
    close(fd);
    return r;
}

TEST(PidFile, HoldsThePidAndAZeroByteWithMode0600UnderLock) {
    TempDir dir;
    std::string path = dir.sub("korvane.pid");
    int fd = krv_write_pidfile(4242, dir.path().c_str(), "korvane.pid", 1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read_file(path), kPid4242);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(lock_state(path), 1);
    close(fd);
    EXPECT_EQ(lock_state(path), 0);
}

TEST(PidFile, SecondHolderIsRefusedAndLeavesTheContent) {
    TempDir dir;
    int fd = krv_write_pidfile(4242, dir.path().c_str(), "korvane.pid", 1);
    ASSERT_GE(fd, 0);
    RunResult r = run_forked(
        [&] { printf("[%d]", krv_write_pidfile(999, dir.path().c_str(), "korvane.pid", 1)); });
    EXPECT_EQ(r.out, "\033[91mAnother Korvane instance already running.\033[0m\n[-1]");
    EXPECT_EQ(read_file(dir.sub("korvane.pid")), kPid4242);
    close(fd);
}

TEST(PidFile, ReplacesLongerOldContent) {
    TempDir dir;
    write_file(dir.sub("korvane.pid"), std::string("1234567\0", 8));
    int fd = krv_write_pidfile(42, dir.path().c_str(), "korvane.pid", 1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read_file(dir.sub("korvane.pid")), std::string("42\0", 3));
    close(fd);
}

TEST(PidFile, WithoutLockLeavesTheFileFree) {
    TempDir dir;
    int fd = krv_write_pidfile(7, dir.path().c_str(), "korvane.pid", 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read_file(dir.sub("korvane.pid")), std::string("7\0", 2));
    EXPECT_EQ(lock_state(dir.sub("korvane.pid")), 0);
    close(fd);
}

TEST(PidFile, OpenFailureNamesThePath) {
    TempDir dir;
    std::string missing = dir.sub("var");
    RunResult r = run_forked(
        [&] { printf("[%d]", krv_write_pidfile(1, missing.c_str(), "korvane.pid", 1)); });
    EXPECT_EQ(r.out, "\033[91mError2! No such file or directory: " + missing +
                         "/korvane.pid\033[0m\n[-1]");
}

// The test the administration commands make of whether a server runs: only a lock held by
// another process counts as a running server.
TEST(PidFile, TakingTellsAHeldLockFromOtherFailures) {
    TempDir dir;
    const std::string path = dir.sub("korvane.pid");
    const int master = krv_write_pidfile(4242, dir.path().c_str(), "korvane.pid", 1);
    ASSERT_GE(master, 0);
    RunResult held = run_forked([&] {
        int fd = -1;
        printf("[%d %d]", krv_take_pidfile(99, dir.path().c_str(), "korvane.pid", &fd), fd);
    });
    EXPECT_EQ(held.out, "\033[91mAnother Korvane instance already running.\033[0m\n[1 -1]");
    EXPECT_EQ(read_file(path), kPid4242);
    close(master);

    RunResult failed = run_forked([&] {
        int fd = -1;
        printf("[%d]", krv_take_pidfile(99, dir.sub("missing").c_str(), "korvane.pid", &fd));
    });
    EXPECT_EQ(failed.out, "\033[91mError2! No such file or directory: " + dir.sub("missing") +
                              "/korvane.pid\033[0m\n[-1]");

    int fd = -1;
    ASSERT_EQ(krv_take_pidfile(4242, dir.path().c_str(), "korvane.pid", &fd), KRV_PIDFILE_TAKEN);
    EXPECT_EQ(read_file(path), kPid4242);
    EXPECT_EQ(lock_state(path), 1);
    // Released: the file goes while still locked, then the lock.
    krv_release_pidfile(fd, dir.path().c_str(), "korvane.pid");
    struct stat st;
    EXPECT_NE(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

} // namespace
