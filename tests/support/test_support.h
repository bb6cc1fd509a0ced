// Helpers shared by the tests: temporary directories, and running code or the executable in
// a child process with its output captured.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lib/mtp.h"

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
// when `fn` returns, or with whatever `fn` exits with. The calling thread must be the
// process's only one: otherwise the test fails and nothing is forked.
RunResult run_forked(const std::function<void()> &fn);

// Runs the korvane executable with `args` (argv[1] on) in `cwd` (empty: the current one);
// `before_exec`, when given, runs in the child just before the executable replaces it.
RunResult run_korvane(const std::vector<std::string> &args, const std::string &cwd = "",
                      const std::function<void()> &before_exec = {});
// The same with standard input reading `input`, then its end.
RunResult run_korvane_input(const std::vector<std::string> &args, const std::string &input,
                            const std::string &cwd = "");

// A TCP port on 127.0.0.1 that nothing listened on a moment ago (bound to port 0 and read back).
unsigned free_tcp_port();

// Lays out a Database environment at `env` whose service listens on 127.0.0.1:port, its
// empty store written out byte by byte (version word 0x3006, four symbol files holding
// their header alone).
void lay_out_database_env(const std::string &env, unsigned port);

// Polls cond every 2 ms for up to `seconds`; its last result.
template <class F> bool eventually(F cond, double seconds = 5) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}

// Holds the threads that pass it until it is released, and tells when the first one has
// arrived: it keeps a worker or loop thread busy while the test piles work up behind it.
struct ThreadGate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;

    void pass() {
        std::unique_lock<std::mutex> lk(m);
        entered = true;
        cv.notify_all();
        cv.wait(lk, [this] { return open; });
    }
    void wait_entered() {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [this] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lk(m);
        open = true;
        cv.notify_all();
    }
};

// Fills a pool of one worker and one queued place: `busy` holds the worker until released and
// `queued`, opened here, takes the queued place and passes at once when it runs.
void fill_one_worker_pool(mtp_pool *pool, ThreadGate *busy, ThreadGate *queued);

// A listening TCP socket on 127.0.0.1 at a port of its own, with `backlog`; the port in *port.
// -1 on failure (the test fails).
int listen_on_loopback(int backlog, uint16_t *port);

// An address on 127.0.0.1 that never completes a connection: a listener that never accepts,
// with its accept queue full (backlog 0, one connection waiting), so the kernel drops every
// further SYN and a connect stays pending while the kernel retries, minutes long.
struct BlackHole {
    int fd = -1;
    int filler = -1;
    uint16_t port = 0;

    BlackHole();
    ~BlackHole();
    BlackHole(const BlackHole &) = delete;
    BlackHole &operator=(const BlackHole &) = delete;
};

// The numbers that the first group of `re` captures over its matches in `text`, in order: the
// pids or counts a log's lines tell.
std::vector<uint64_t> captured_numbers(const std::string &text, const std::regex &re);

// How many times `what` occurs in `text`, overlaps included.
inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
