#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/log.h"
#include "server/proc.h"
#include "support/test_support.h"

namespace {

int wait_status(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return st;
}

int32_t entry_returns(void *arg) {
    return *static_cast<int32_t *>(arg);
}

TEST(ProcSpawn, ExitStatusFollowsEntryResultAndDescriptorCounts) {
    const struct {
        int32_t result;
        int status;
    } cases[] = {{0, 0}, {7, 1}, {-1, 1}};
    proc_desc d{};
    d.entry = entry_returns;
    uint32_t spawned = 0;
    for (const auto &c : cases) {
        int32_t result = c.result;
        time_t before = time(nullptr);
        ASSERT_EQ(proc_spawn(&d, &result, 0, nullptr), 0);
        ASSERT_GT(d.pid, 0);
        int st = wait_status(d.pid);
        ASSERT_TRUE(WIFEXITED(st)) << c.result;
        EXPECT_EQ(WEXITSTATUS(st), c.status) << c.result;
        EXPECT_EQ(d.spawn_count, ++spawned);
        EXPECT_GE(d.started, before);
        EXPECT_LE(d.started, time(nullptr));
    }
}

TEST(ProcSpawn, LogsTheCreatedChild) {
    RunResult r = run_forked([] {
        log_level.store(1);
        proc_desc d{};
        strcpy(d.name, "korvane");
        d.entry = [](void *) -> int32_t { return 0; };
        if (proc_spawn(&d, nullptr, 0, nullptr) == 0) {
            wait_status(d.pid);
            printf("%d", d.pid);
        }
    });
    ASSERT_FALSE(r.out.empty());
    ASSERT_GE(r.err.size(), 18u);
    EXPECT_EQ(r.err.substr(18), "INFO   Process [korvane=" + r.out + "] created successfully.\n");
}

bool same_file(int fd, const struct stat &want) {
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == want.st_dev && st.st_ino == want.st_ino &&
           st.st_rdev == want.st_rdev;
}

// 0 when standard input and output are /dev/null, standard error is the parent's and a new
// descriptor lands above them; 7 otherwise.
int32_t probe_stdio(void *arg) {
    const auto *parent_err = static_cast<const struct stat *>(arg);
    struct stat null_st;
    if (stat("/dev/null", &null_st) != 0)
        return 7;
    bool ok = same_file(STDIN_FILENO, null_st) && same_file(STDOUT_FILENO, null_st) &&
              same_file(STDERR_FILENO, *parent_err);
    int fd = open("/dev/null", O_RDONLY);
    ok = ok && fd > STDERR_FILENO;
    return ok ? 0 : 7;
}

TEST(ProcSpawn, ChildHasStandardInputAndOutputOnDevNull) {
    // In a forked helper descriptors 1 and 2 are capture files, not /dev/null.
    RunResult r = run_forked([] {
        struct stat err_st;
        fstat(STDERR_FILENO, &err_st);
        proc_desc d{};
        d.entry = probe_stdio;
        if (proc_spawn(&d, &err_st, 0, nullptr) != 0)
            return;
        int st = wait_status(d.pid);
        printf("%d", WIFEXITED(st) ? WEXITSTATUS(st) : -1);
    });
    EXPECT_EQ(r.out, "0");
}

TEST(ProcSpawn, FailedForkIsLoggedAndKeepsTheCounts) {
    RunResult r = run_forked([] {
        // The process limit does not bind the superuser: drop to an unprivileged user first.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            printf("skip");
            return;
        }
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_NPROC, &none);
        log_level.store(1);
        proc_desc d{};
        d.entry = entry_returns;
        d.spawn_count = 5;
        d.started = 123;
        int rc = proc_spawn(&d, nullptr, 0, nullptr);
        printf("%d %d %u %ld", rc, d.pid, d.spawn_count, static_cast<long>(d.started));
    });
    if (r.out == "skip")
        GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(r.out, "-1 -1 5 123");
    ASSERT_GE(r.err.size(), 18u);
    EXPECT_EQ(r.err.substr(18),
              "FATAL  Unable to spawn a new process. Resource temporarily unavailable.\n");
}

struct TitleCase {
    std::vector<int> offsets; // argument offsets in the buffer; -1: a string stored elsewhere
    const char *name;
    std::string buffer; // the buffer afterwards
    int end;            // where argv[1..] point afterwards
};

TEST(ProcTitle, RewritesTheAdjacentArgumentsOnly) {
    const std::string original("first\0second\0third\0", 19);
    const TitleCase cases[] = {
        {{0, 6, 13}, "korvane", std::string("korvane") + std::string(12, '\0'), 18},
        // A string stored elsewhere is skipped; the arguments after it still count.
        {{0, -1, 6, 13}, "korvane", std::string("korvane") + std::string(12, '\0'), 18},
        // A gap ends the area: only "first" is used, and the name is cut to its size.
        {{0, 13}, "korvane", std::string("korva\0second\0third\0", 19), 5},
        {{0}, "kv", std::string("kv\0\0\0\0second\0third\0", 19), 5},
        {{0, 6}, "a-very-long-process-title", std::string("a-very-long-\0third\0", 19), 12},
    };
    for (const auto &c : cases) {
        std::string buf = original;
        char outside[] = "elsewhere";
        std::vector<char *> argv;
        for (int off : c.offsets)
            argv.push_back(off < 0 ? outside : buf.data() + off);
        proc_set_title(static_cast<int>(argv.size()), argv.data(), c.name);
        EXPECT_EQ(buf, c.buffer) << c.name;
        EXPECT_EQ(argv[0], buf.data());
        for (size_t i = 1; i < argv.size(); i++)
            EXPECT_EQ(argv[i], buf.data() + c.end) << c.name << " argv " << i;
        EXPECT_STREQ(outside, "elsewhere");
    }
}

struct TitleProbe {
    int ready;   // written once the title is in place
    int go;      // read end: end of file lets the child finish
    int go_hold; // write end, closed in the child so the parent's close is seen
};

int32_t wait_for_go(void *arg) {
    const auto *p = static_cast<const TitleProbe *>(arg);
    close(p->go_hold);
    char c = 'r';
    if (write(p->ready, &c, 1) != 1)
        return 1;
    while (read(p->go, &c, 1) < 0 && errno == EINTR) {
    }
    return 0;
}

TEST(ProcTitle, SpawnedChildShowsTheNameInItsCommandLine) {
    // Argument pointers into this process's own argument area, as the master's argv, with a
    // string from elsewhere slipped in after the first.
    const std::string cmdline = read_file("/proc/self/cmdline");
    char *area = program_invocation_name;
    if (cmdline.size() < 8 || memcmp(area, cmdline.data(), cmdline.size()) != 0)
        GTEST_SKIP() << "argument area not found";
    char outside[] = "elsewhere";
    std::vector<char *> argv{area, outside};
    for (char *p = area + strlen(area) + 1; p < area + cmdline.size(); p += strlen(p) + 1)
        argv.push_back(p);

    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    TitleProbe probe{ready[1], go[0], go[1]};
    proc_desc d{};
    strcpy(d.name, "korvane");
    d.entry = wait_for_go;
    ASSERT_EQ(proc_spawn(&d, &probe, static_cast<int>(argv.size()), argv.data()), 0);
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    std::string child = read_file("/proc/" + std::to_string(d.pid) + "/cmdline");
    close(go[1]);
    int st = wait_status(d.pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    for (int fd : {ready[0], go[0]})
        close(fd);

    EXPECT_EQ(child, "korvane" + std::string(cmdline.size() - 7, '\0'));
    EXPECT_EQ(read_file("/proc/self/cmdline"), cmdline);
    EXPECT_STREQ(argv[1], "elsewhere");
}

} // namespace
