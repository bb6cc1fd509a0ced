// Helpers shared by the tests: temporary directories, and running code or the executable in
// a child process with its output captured.
#pragma once

#include <functional>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string sub(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct RunResult {
    int exit_code = -1; // exit status, or -1 when killed by a signal
    int signal = 0;     // the killing signal, 0 when it exited
    std::string out;    // standard output
    std::string err;    // standard error
};

// Runs `fn` in a forked child with standard output and error captured; the child exits 0
// when `fn` returns, or with whatever `fn` exits with.
RunResult run_forked(const std::function<void()> &fn);

// Runs the korvane executable with `args` (argv[1] on) in `cwd` (empty: the current one).
RunResult run_korvane(const std::vector<std::string> &args, const std::string &cwd = "");

// A TCP port on 127.0.0.1 that nothing listened on a moment ago (bound to port 0 and read back).
unsigned free_tcp_port();

// Lays out a Manager environment at `env` whose service listens on 127.0.0.1:port.
void make_manager_env(const std::string &env, unsigned port);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
