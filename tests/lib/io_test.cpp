#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "lib/io.h"
#include "support/test_support.h"

namespace {

std::string pattern_bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(i * 31 + i / 251);
    return s;
}

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

TEST(FdOwner, ClosesWhatItOwns) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    {
        fd_owner r(p[0]);
        fd_owner w(p[1]);
        EXPECT_TRUE(r.valid());
        fd_owner moved(std::move(w));
        EXPECT_FALSE(w.valid());
        EXPECT_EQ(moved.get(), p[1]);
        EXPECT_EQ(moved.close(), 0);
        EXPECT_FALSE(moved.valid());
        EXPECT_FALSE(is_open(p[1]));
        EXPECT_TRUE(is_open(p[0]));
    }
    EXPECT_FALSE(is_open(p[0]));

    ASSERT_EQ(pipe(p), 0);
    {
        fd_owner kept(p[0]);
        EXPECT_EQ(kept.release(), p[0]);
        fd_owner other(p[1]);
        other.reset(p[0]);
        EXPECT_FALSE(is_open(p[1]));
    }
    EXPECT_FALSE(is_open(p[0]));
    fd_owner none;
    EXPECT_EQ(none.close(), 0);
}

// A pipe takes 64 KiB at most per write: a larger write is cut into short ones, and the
// reader gets every byte in order.
TEST(WholeIo, ShortTransfersThroughAPipe) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fd_owner r(p[0]), w(p[1]);
    const std::string data = pattern_bytes(1 << 20);
    std::string got(data.size() + 10, '\0');
    ssize_t n = -2;
    std::thread reader([&] { n = io_read_full(r.get(), got.data(), got.size()); });
    ASSERT_EQ(io_write_all(w.get(), data.data(), data.size()), 0);
    w.reset();
    reader.join();
    ASSERT_EQ(n, static_cast<ssize_t>(data.size())) << "the read stops at the end of the data";
    got.resize(static_cast<size_t>(n));
    EXPECT_EQ(got, data);
}

TEST(WholeIo, VectorsAcrossShortTransfers) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fd_owner r(p[0]), w(p[1]);
    const std::string a = pattern_bytes(100000), b = "middle", c = pattern_bytes(70000);
    std::string got(a.size() + b.size() + c.size(), '\0');
    ssize_t n = -2;
    std::thread reader([&] { n = io_read_full(r.get(), got.data(), got.size()); });
    iovec iov[3] = {{const_cast<char *>(a.data()), a.size()},
                    {const_cast<char *>(b.data()), b.size()},
                    {const_cast<char *>(c.data()), c.size()}};
    ASSERT_EQ(io_writev_all(w.get(), iov, 3), 0);
    reader.join();
    ASSERT_EQ(n, static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, a + b + c);
}

void on_signal(int) {}

// Reads and writes go on after a signal interrupts them.
TEST(WholeIo, InterruptedCallsGoOn) {
    struct sigaction sa {};
    sa.sa_handler = on_signal; // no SA_RESTART: a blocked call returns EINTR
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fd_owner r(p[0]), w(p[1]);
    const std::string data = pattern_bytes(300000);
    std::string got(data.size(), '\0');
    std::atomic<bool> done{false};
    ssize_t n = -2;
    std::thread reader([&] {
        n = io_read_full(r.get(), got.data(), got.size());
        done.store(true);
    });
    const pthread_t target = reader.native_handle();
    std::thread writer([&] {
        for (size_t at = 0; at < data.size(); at += 1000) {
            pthread_kill(target, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            ASSERT_EQ(io_write_all(w.get(), data.data() + at, 1000), 0);
        }
    });
    writer.join();
    reader.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(n, static_cast<ssize_t>(data.size()));
    EXPECT_EQ(got, data);
}

TEST(WholeIo, PositionalReadsAndWrites) {
    TempDir dir;
    fd_owner f(open(dir.sub("f").c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_TRUE(f.valid());
    ASSERT_EQ(io_pwrite_all(f.get(), "world", 5, 6), 0);
    ASSERT_EQ(io_pwrite_all(f.get(), "hello ", 6, 0), 0);
    EXPECT_EQ(lseek(f.get(), 0, SEEK_CUR), 0) << "positional calls leave the position alone";
    char buf[16] = {};
    EXPECT_EQ(io_pread_full(f.get(), buf, sizeof buf, 3), 8) << "the read stops at the end";
    EXPECT_EQ(std::string(buf, 8), "lo world");
    EXPECT_EQ(io_pread_full(f.get(), buf, sizeof buf, 11), 0);
    char x[2] = {}, y[3] = {};
    iovec iov[2] = {{x, 2}, {y, 3}};
    EXPECT_EQ(io_preadv_full(f.get(), iov, 2, 4), 5);
    EXPECT_EQ(std::string(x, 2) + std::string(y, 3), "o wor");
    EXPECT_EQ(read_file(dir.sub("f")), "hello world");
}

TEST(WholeIo, FailuresSetErrno) {
    fd_owner full(open("/dev/full", O_WRONLY));
    ASSERT_TRUE(full.valid());
    errno = 0;
    EXPECT_EQ(io_write_all(full.get(), "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    char c;
    errno = 0;
    EXPECT_EQ(io_read_full(-1, &c, 1), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(io_pwrite_all(-1, &c, 1, 0), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(io_write_all(-1, &c, 0), 0) << "nothing to write is no failure";
}

} // namespace
