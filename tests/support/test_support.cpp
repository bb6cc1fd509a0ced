#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/files.h"

TempDir::TempDir() : path_(sys_make_scratch_dir("korvane-test")) {
    if (path_.empty())
        throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    // Tests may leave directories without permissions; give them back before removal.
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null";
    (void)!system(cmd.c_str());
    sys_remove_scratch_dir(path_.c_str());
}

static std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

// Forks; the child runs `child` with its output on two files, the parent collects them.
static RunResult run_child(const std::function<void()> &child) {
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), STDOUT_FILENO);
        dup2(fileno(err), STDERR_FILENO);
        child();
        fflush(stdout);
        _exit(0);
    }
    RunResult r;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        r.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signal = WTERMSIG(status);
    }
    lseek(fileno(out), 0, SEEK_SET);
    lseek(fileno(err), 0, SEEK_SET);
    r.out = drain(fileno(out));
    r.err = drain(fileno(err));
    fclose(out);
    fclose(err);
    return r;
}

// The threads of this process besides the calling one. ThreadSanitizer starts a thread of its
// own with the first thread of the program and guards its forks itself, so under it no other
// thread is counted.
static long other_threads() {
#if defined(__SANITIZE_THREAD__)
    return 0;
#else
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::stol(line.substr(8)) - 1;
    return 0;
#endif
}

RunResult run_forked(const std::function<void()> &fn) {
    // The child has the forking thread alone. A lock another thread held at the fork (a store's
    // maintainer syncing the symbol files, the sanitizer's allocator) stays held in the child for
    // ever, and a child that needs it hangs; that happens rarely, so the fork is refused always.
    if (const long others = other_threads(); others > 0) {
        ADD_FAILURE() << "run_forked with " << others
                      << " other threads running: stop them before the fork";
        return {};
    }
    return run_child([&] {
        // A child that calls exit() leaves as one that returns: at once, without the leak
        // check, which cannot stop the threads of the parent it was forked from (a store's
        // maintainer, for one) and would report that on standard error.
        on_exit(
            [](int status, void *) {
                fflush(stdout);
                _exit(status);
            },
            nullptr);
        fn();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    });
}

// In the child: runs the executable with `args` in `cwd`, standard input on `in`, after
// `before_exec` when given.
[[noreturn]] static void exec_korvane(const std::vector<std::string> &args, const std::string &cwd,
                                      int in, const std::function<void()> &before_exec = {}) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        _exit(127);
    if (before_exec)
        before_exec();
    dup2(in, STDIN_FILENO);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(KRV_BINARY));
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(KRV_BINARY, argv.data());
    _exit(127);
}

RunResult run_korvane(const std::vector<std::string> &args, const std::string &cwd,
                      const std::function<void()> &before_exec) {
    return run_child([&] { exec_korvane(args, cwd, open("/dev/null", O_RDONLY), before_exec); });
}

RunResult run_korvane_input(const std::vector<std::string> &args, const std::string &input,
                            const std::string &cwd) {
    return run_child([&] {
        // The input is short: it fits the pipe before anyone reads it.
        int p[2];
        if (pipe(p) != 0 || write(p[1], input.data(), input.size()) != ssize_t(input.size()))
            _exit(126);
        close(p[1]);
        exec_korvane(args, cwd, p[0]);
    });
}

void fill_one_worker_pool(mtp_pool *pool, ThreadGate *busy, ThreadGate *queued) {
    queued->release();
    auto pass = [](void *gate) { static_cast<ThreadGate *>(gate)->pass(); };
    ASSERT_EQ(mtp_submit(pool, pass, busy), 0);
    busy->wait_entered();
    ASSERT_EQ(mtp_submit(pool, pass, queued), 0);
}

int listen_on_loopback(int backlog, uint16_t *port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
                    listen(fd, backlog) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0;
    EXPECT_TRUE(ok) << strerror(errno);
    if (!ok) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

BlackHole::BlackHole() {
    fd = listen_on_loopback(0, &port);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    // The filler's handshake has completed once the listener reports it.
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 5000), 1);
}

BlackHole::~BlackHole() {
    close(filler);
    close(fd);
}

std::vector<uint64_t> captured_numbers(const std::string &text, const std::regex &re) {
    std::vector<uint64_t> out;
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
        out.push_back(std::stoull((*it)[1].str()));
    return out;
}

unsigned free_tcp_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        throw std::runtime_error("no free port");
    close(fd);
    return ntohs(a.sin_port);
}

void lay_out_database_env(const std::string &env, unsigned port) {
    for (const char *d : {"", "/conf", "/logs", "/var", "/plugins", "/storage.db",
                          "/storage.db/arch", "/storage.db/data", "/storage.db/symbols"})
        mkdir((env + d).c_str(), 0700);
    write_file(env + "/storage.db/.database", std::string("\x30\x06", 2));
    for (const char *f : {"thr", "cls", "mth", "kvs"})
        write_file(env + "/storage.db/symbols/" + f, std::string("KORVANE") + std::string(9, '\0'));
    write_file(env + "/conf/config.json",
               "{\"manager\": {\"host\": \"127.0.0.1\", \"port\": 1},"
               " \"server\": {\"host\": \"127.0.0.1\", \"port\": " +
                   std::to_string(port) +
                   "},"
                   " \"redirect\": {\"host\": \"127.0.0.1\", \"port\": 1},"
                   " \"archive\": {\"enable\": false, \"policy\": \"archive\"}}");
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}
