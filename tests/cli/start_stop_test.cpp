#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/start_stop.h"
#include "lib/log.h"
#include "server/pidfile.h"
#include "server/runtime.h"
#include "server/service.h"
#include "support/test_support.h"

namespace {

const std::string kStartupFailure = "\033[91mKorvane startup failure.\033[0m\n";

int wait_status(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return st;
}

// Environment directories of every kind under one temporary directory.
struct Envs {
    TempDir dir;
    std::string none = dir.sub("none"), mgr = dir.sub("mgr"), db = dir.sub("db"),
                both = dir.sub("both");
    Envs() {
        for (const auto &d : {none, mgr, db, both})
            mkdir(d.c_str(), 0700);
        mkdir((mgr + "/storage.mgr").c_str(), 0700);
        mkdir((db + "/storage.db").c_str(), 0700);
        mkdir((both + "/storage.mgr").c_str(), 0700);
        mkdir((both + "/storage.db").c_str(), 0700);
        for (const auto &d : {none, mgr, db, both})
            mkdir((d + "/var").c_str(), 0700);
    }
};

TEST(Start, FillsTheRuntimeRecordAndTheLogLevel) {
    Envs env;
    const struct {
        std::vector<std::string> opts;
        std::string dir;
        uint32_t level;
        uint32_t mode;
    } cases[] = {
        {{}, env.db, 1, MODE_DATABASE},
        {{"--debug"}, env.mgr, 2, MODE_MANAGER},
        {{"--trace"}, env.both, 3, MODE_STANDALONE},
        {{"--debug", "--trace"}, env.db, 3, MODE_DATABASE},
        {{"--trace", "--debug"}, env.db, 3, MODE_DATABASE},
        {{"--deb"}, env.db, 2, MODE_DATABASE},
    };
    // The command fills the record it is handed; the process's own stays untouched.
    const uint32_t level = log_level.load();
    for (const auto &c : cases) {
        std::vector<std::string> words{"korvane", "start"};
        words.insert(words.end(), c.opts.begin(), c.opts.end());
        words.push_back(c.dir + "//");
        std::vector<char *> argv;
        for (auto &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        struct runtime rt {};
        EXPECT_EQ(cmd_start(static_cast<int>(words.size()), argv.data(), &rt), 0);
        EXPECT_EQ(log_level.load(), c.level) << c.opts.size();
        EXPECT_EQ(rt.mode, c.mode) << c.opts.size();
        EXPECT_STREQ(rt.home, c.dir.c_str());
        EXPECT_STREQ(rt.service.name, "korvane");
        EXPECT_EQ(rt.service.entry, service_main);
        free(rt.home);
    }
    log_level.store(level);
    EXPECT_EQ(runtime.home, nullptr);
    EXPECT_EQ(runtime.mode, 0u);
}

TEST(Start, ArgumentErrorsThroughTheExecutable) {
    Envs env;
    const std::string missing = env.dir.sub("missing");
    const struct {
        std::vector<std::string> args;
        std::string out;
        std::string err;
    } cases[] = {
        {{"start", "--bogus", env.db}, kStartupFailure, "start: unrecognized option '--bogus'\n"},
        {{"start", "-d", env.db}, kStartupFailure, "start: invalid option -- 'd'\n"},
        {{"start"}, kStartupFailure, ""},
        {{"start", missing},
         "\033[91mError! No such file or directory : " + missing + ".\033[0m\n" + kStartupFailure,
         ""},
        {{"start", env.none},
         "\033[91mNo Korvane environment found at " + env.none + ".\033[0m\n",
         ""},
        {{"start", "--debug", env.none + "/"},
         "\033[91mNo Korvane environment found at " + env.none + ".\033[0m\n",
         ""},
    };
    for (const auto &c : cases) {
        RunResult r = run_korvane(c.args);
        EXPECT_EQ(r.exit_code, 1) << c.args.size();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

// A process that holds no lock and blocks SIGINT; when told to finish it exits 0 if no
// SIGINT is pending for it, 3 if one is.
struct Bystander {
    pid_t pid = -1;
    int go = -1;
    Bystander() {
        int p[2];
        if (pipe(p) != 0)
            return;
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGINT);
        sigset_t old;
        sigprocmask(SIG_BLOCK, &s, &old);
        pid = fork();
        if (pid == 0) {
            close(p[1]);
            char c;
            while (read(p[0], &c, 1) < 0 && errno == EINTR) {
            }
            sigset_t pending;
            sigpending(&pending);
            _exit(sigismember(&pending, SIGINT) ? 3 : 0);
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
        close(p[0]);
        go = p[1];
    }
    int finish() {
        close(go);
        int st = wait_status(pid);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

TEST(Stop, StalePidFileSignalsNobody) {
    Envs env;
    Bystander live;
    ASSERT_GT(live.pid, 0);
    write_file(env.db + "/var/korvane.pid", std::to_string(live.pid) + '\0');
    RunResult r = run_korvane({"stop", env.db});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Korvane is not running.\n");
    EXPECT_EQ(live.finish(), 0);
}

TEST(Stop, CommandLineErrorsAndNoPidFile) {
    Envs env;
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string out;
        std::string err;
    } cases[] = {
        {{"stop", env.db}, 0, "Korvane is not running.\n", ""},
        {{"stop", env.db + "/"}, 0, "Korvane is not running.\n", ""},
        {{"stop", "--now", env.db}, 1, "", "stop: unrecognized option '--now'\n"},
        {{"stop"}, 1, "", ""},
    };
    for (const auto &c : cases) {
        RunResult r = run_korvane(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args.size();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

// Runs the stop work in a child of its own process group, so that a stray kill(0, ...)
// could hit nothing but that child.
RunResult stop_in(const std::string &env, unsigned limit_ms = 10000) {
    return run_forked([&] {
        setpgid(0, 0);
        exit(stop_env(env.c_str(), 20, limit_ms));
    });
}

// Holds the lock of a pid file through this test process, as a running master would.
struct HeldLock {
    int fd;
    explicit HeldLock(const std::string &path) : fd(open(path.c_str(), O_RDONLY)) {
        if (fd >= 0)
            flock(fd, LOCK_EX);
    }
    ~HeldLock() { close(fd); }
};

TEST(Stop, InvalidPidUnderLockSignalsNobody) {
    const std::string contents[] = {
        std::string(),
        std::string("0\0", 2),
        std::string("-1\0", 3),
        std::string("abc\0", 4),
        std::string("12abc\0", 6),
        std::string(" 42\0", 4),
        std::string("2147483648\0", 11),
        std::string("99999999999999\0", 15),
    };
    for (const auto &content : contents) {
        Envs env;
        write_file(env.db + "/var/korvane.pid", content);
        HeldLock held(env.db + "/var/korvane.pid");
        ASSERT_GE(held.fd, 0);
        RunResult r = stop_in(env.db);
        EXPECT_EQ(r.signal, 0) << content;
        EXPECT_EQ(r.exit_code, 1) << content;
        EXPECT_EQ(r.out, "\033[91mThe pid file var/korvane.pid holds no valid pid.\033[0m\n")
            << content;
    }
}

TEST(Stop, PidFileThatCannotBeReadOrOpened) {
    Envs env;
    mkdir((env.db + "/var/korvane.pid").c_str(), 0700);
    {
        HeldLock held(env.db + "/var/korvane.pid");
        RunResult r = stop_in(env.db);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "\033[91mread: Is a directory\033[0m\n");
    }
    rmdir((env.mgr + "/var").c_str());
    write_file(env.mgr + "/var", "");
    RunResult r = stop_in(env.mgr);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "\033[91mopen: Not a directory\033[0m\n");
}

TEST(Stop, PidOfAnEndedProcessFailsQuietly) {
    Envs env;
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    wait_status(gone);
    write_file(env.db + "/var/korvane.pid", std::to_string(gone) + '\0');
    HeldLock held(env.db + "/var/korvane.pid");
    RunResult r = stop_in(env.db);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
}

// A stand-in master: writes and locks the pid file with the server's own writer, waits for
// SIGINT, keeps the lock `linger_ms` longer and exits 0 (2 when no SIGINT came).
pid_t start_fake_master(const std::string &var, int ready, unsigned linger_ms = 250) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigprocmask(SIG_BLOCK, &s, nullptr);
    if (krv_write_pidfile(getpid(), var.c_str(), "korvane.pid", 1) < 0)
        _exit(4);
    (void)!write(ready, "r", 1);
    struct timespec limit = {5, 0};
    if (sigtimedwait(&s, nullptr, &limit) != SIGINT)
        _exit(2);
    usleep(linger_ms * 1000);
    _exit(0);
}

TEST(Stop, SignalsTheMasterAndSpinsUntilItsLockIsFree) {
    Envs env;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t master = start_fake_master(env.db + "/var", ready[1]);
    ASSERT_GT(master, 0);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);

    RunResult r = stop_in(env.db);
    int st = wait_status(master);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_EQ(r.exit_code, 0);

    const std::string pre = "\033[95m\rPlease wait, Korvane shutdown in progress... [";
    const std::string post = "]\033[0m";
    const char spinner[] = "-\\|/";
    size_t pos = 0, turns = 0;
    for (; r.out.compare(pos, pre.size(), pre) == 0; turns++) {
        pos += pre.size();
        ASSERT_EQ(r.out[pos], spinner[turns % 4]) << r.out;
        ASSERT_EQ(r.out.compare(pos + 1, post.size(), post), 0) << r.out;
        pos += 1 + post.size();
    }
    EXPECT_GE(turns, 1u);
    EXPECT_EQ(r.out.substr(pos),
              "\033[92m\nKorvane [" + std::to_string(master) + "] stopped.\033[0m\n");
}

// A master that does not end: stop gives up after its bound with a red line and status 1,
// leaving the master alone.
TEST(Stop, GivesUpOnAMasterThatDoesNotEnd) {
    Envs env;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t master = start_fake_master(env.db + "/var", ready[1], 3000);
    ASSERT_GT(master, 0);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);

    RunResult r = stop_in(env.db, 200);
    EXPECT_EQ(r.exit_code, 1);
    const std::string tail =
        "\033[91m\nKorvane [" + std::to_string(master) + "] did not stop within 0.2 seconds.\033[0m\n";
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(kill(master, 0), 0);
    int st = wait_status(master);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

} // namespace
