#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/fd.h"
#include "lib/io.h"
#include "lib/log.h"
#include "log_capture.h"
#include "support/test_support.h"

namespace {

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string random_bytes(size_t n) {
    std::mt19937 gen(12345);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

// Runs fd_copy in a child at log level 1: its result and its log lines.
std::pair<int, std::string> copy_logged(const std::string &src, const std::string &dst) {
    Logged r = run_logged([&] { printf("%d", fd_copy(src.c_str(), dst.c_str())); });
    return {std::stoi(r.out), r.lines};
}

TEST(FdCopy, CopiesEveryByte) {
    TempDir dir;
    const std::string contents[] = {"", "x", random_bytes(3 * 1024 * 1024 + 17)};
    for (const auto &content : contents) {
        write_file(dir.sub("src"), content);
        // An older, longer destination is truncated, not merged.
        write_file(dir.sub("dst"), std::string(content.size() + 100, 'o'));
        ASSERT_EQ(fd_copy(dir.sub("src").c_str(), dir.sub("dst").c_str()), 0);
        EXPECT_EQ(read_file(dir.sub("dst")), content);
        EXPECT_EQ(read_file(dir.sub("src")), content);
    }
}

TEST(FdCopy, NewDestinationHasModeLessTheMask) {
    TempDir dir;
    write_file(dir.sub("src"), "abc");
    RunResult r = run_forked([&] {
        umask(0);
        printf("%d", fd_copy(dir.sub("src").c_str(), dir.sub("dst").c_str()));
    });
    EXPECT_EQ(r.out, "0");
    struct stat st;
    ASSERT_EQ(stat(dir.sub("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(FdCopy, OpenFailuresLeaveNoDestination) {
    TempDir dir;
    write_file(dir.sub("src"), "abc");
    const struct {
        std::string src, dst, log;
    } cases[] = {
        {dir.sub("missing"), dir.sub("dst"),
         "ERROR  Cannot open source " + dir.sub("missing") + ": No such file or directory\n"},
        {dir.sub("src"), dir.sub("nodir/dst"),
         "ERROR  Cannot open destination " + dir.sub("nodir/dst") +
             ": No such file or directory\n"},
    };
    for (const auto &c : cases) {
        auto [rc, log] = copy_logged(c.src, c.dst);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(log, c.log);
        EXPECT_FALSE(exists(c.dst)) << c.dst;
    }
}

TEST(FdCopy, FailedTransferRemovesTheDestination) {
    TempDir dir;
    write_file(dir.sub("src"), random_bytes(100));
    std::string dst = dir.sub("dst");
    // A file-size limit lets the first transfer stop after 10 bytes and fails the next one.
    // It would cut the captured log file short as well, so the log goes through a pipe.
    Logged r = run_logged([&] {
        signal(SIGXFSZ, SIG_IGN);
        int p[2];
        if (pipe(p) != 0 || dup2(p[1], STDERR_FILENO) < 0)
            _exit(3);
        close(p[1]);
        struct rlimit rl = {10, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &rl);
        int rc = fd_copy(dir.sub("src").c_str(), dst.c_str());
        rl.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &rl);
        close(STDERR_FILENO);
        char buf[512];
        ssize_t n = read(p[0], buf, sizeof buf);
        printf("%d %.*s", rc, static_cast<int>(n), buf);
    });
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex(R"(-1 .{17} ERROR  Cannot copy: File too large\n)")))
        << r.out;
    EXPECT_FALSE(exists(dst));
}

TEST(FdCopy, CopyOntoItselfKeepsTheSource) {
    TempDir dir;
    write_file(dir.sub("src"), "precious");
    ASSERT_EQ(link(dir.sub("src").c_str(), dir.sub("alias").c_str()), 0);
    const std::string targets[] = {dir.sub("src"), dir.path() + "/./src", dir.sub("alias")};
    for (const auto &dst : targets) {
        auto [rc, log] = copy_logged(dir.sub("src"), dst);
        EXPECT_EQ(rc, -1) << dst;
        EXPECT_EQ(log, "ERROR  Cannot copy: " + dst + " is the source file itself\n");
        EXPECT_EQ(read_file(dir.sub("src")), "precious");
    }
}

TEST(FdSetNonblocking, AddsTheFlagAndKeepsTheOthers) {
    TempDir dir;
    int fd = open(dir.sub("f").c_str(), O_CREAT | O_WRONLY | O_APPEND, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fd_set_nonblocking(fd), 0);
    int flags = fcntl(fd, F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    EXPECT_TRUE(flags & O_APPEND);
    EXPECT_EQ(flags & O_ACCMODE, O_WRONLY);
    close(fd);
}

TEST(FdSetNonblocking, BadDescriptorIsLogged) {
    Logged r = run_logged([] { printf("%d", fd_set_nonblocking(987)); });
    EXPECT_EQ(r.out, "-1");
    EXPECT_TRUE(std::regex_match(
        r.lines, std::regex(R"(ERROR  \[fd_set_nonblocking:\d+\] fcntl Bad file descriptor\n)")))
        << r.lines;
}

} // namespace

namespace {

// The whole transfer from an offset or from the source's position; a source that ends first
// is told apart from a done transfer and from a failed call.
TEST(FdSendAll, FromOffsetOrPositionAndShortSource) {
    TempDir dir;
    write_file(dir.sub("src"), "0123456789");
    struct Case {
        const char *name;
        bool use_offset;
        off_t start; // offset, or the position the source is moved to
        uint64_t size;
        int want;
        const char *copied;
    } cases[] = {
        {"offset", true, 2, 5, 0, "23456"},
        {"position", false, 3, 7, 0, "3456789"},
        {"source ends first", true, 8, 5, 1, "89"},
        {"nothing asked", false, 0, 0, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fd_owner src(open(dir.sub("src").c_str(), O_RDONLY | O_CLOEXEC));
        fd_owner dst(open(dir.sub("dst").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        off_t offset = c.start;
        if (!c.use_offset) {
            ASSERT_EQ(lseek(src.get(), c.start, SEEK_SET), c.start);
        }
        EXPECT_EQ(fd_send_all(dst.get(), src.get(), c.use_offset ? &offset : nullptr, c.size),
                  c.want);
        EXPECT_EQ(read_file(dir.sub("dst")), c.copied);
        if (c.use_offset)
            EXPECT_EQ(offset, c.start + static_cast<off_t>(strlen(c.copied)));
        else
            EXPECT_EQ(lseek(src.get(), 0, SEEK_CUR), c.start + static_cast<off_t>(strlen(c.copied)));
    }
    fd_owner src(open(dir.sub("src").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(fd_send_all(src.get(), src.get(), nullptr, 3), -1); // a read-only destination
}

} // namespace
