// The korvane executable run on a pseudo-terminal, as an operator at a console runs it:
// the test reads what it prints, types answers when the prompt is there, sends signals and
// reads the terminal's settings afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "support/test_support.h"

class PtyRun {
public:
    // Starts korvane with `args` (argv[1] on) in `cwd`, its standard input, output and error
    // on a new pseudo-terminal that becomes its controlling terminal.
    PtyRun(const std::vector<std::string> &args, const std::string &cwd) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        std::string slave = ptsname(master_);
        std::vector<char *> argv{const_cast<char *>(KRV_BINARY)};
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            // A session leader without a terminal takes the first one it opens.
            setsid();
            int fd = open(slave.c_str(), O_RDWR);
            if (fd < 0 || chdir(cwd.c_str()) != 0)
                _exit(127);
            dup2(fd, STDIN_FILENO);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            close(fd);
            close(master_);
            execv(KRV_BINARY, argv.data());
            _exit(127);
        }
    }

    ~PtyRun() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
    }

    PtyRun(const PtyRun &) = delete;
    PtyRun &operator=(const PtyRun &) = delete;

    bool started() const { return master_ >= 0 && pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Reads the output until it holds `text` (or the program has closed the terminal, or
    // ten seconds have passed); true when it does.
    bool wait_for(const std::string &text) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (out_.find(text) == std::string::npos && !closed_ &&
               std::chrono::steady_clock::now() < end)
            read_some(50);
        return out_.find(text) != std::string::npos;
    }

    // Types `bytes` at the terminal.
    void type(const std::string &bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    // Waits for the program to end and gives its status and everything it printed, line
    // ends as the program wrote them ("\r\n" of the terminal back to "\n"). A program still
    // running after twenty seconds is a failure: it is killed and its output shown.
    RunResult finish() {
        RunResult r;
        int status = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR))
                break;
            if (std::chrono::steady_clock::now() >= end) {
                ADD_FAILURE() << "the program did not end; its output: " << out_;
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            // Reading meanwhile keeps a program that prints much from blocking on the terminal.
            read_some(20);
        }
        reaped_ = true;
        if (WIFEXITED(status))
            r.exit_code = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            r.signal = WTERMSIG(status);
        // The output still in the terminal comes before the end-of-terminal error.
        while (!closed_ && read_some(2000)) {
        }
        for (size_t at = 0; (at = out_.find("\r\n", at)) != std::string::npos;)
            out_.erase(at, 1);
        r.out = out_;
        return r;
    }

    // Whether the terminal echoes typed characters (the settings the program left behind).
    bool echoes() const {
        termios t{};
        EXPECT_EQ(tcgetattr(master_, &t), 0);
        return (t.c_lflag & ECHO) != 0;
    }

private:
    // Reads what is there within `ms` milliseconds; false when nothing was.
    bool read_some(int ms) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) {
            // EIO: every descriptor of the terminal's other side is closed.
            closed_ = n == 0 || errno != EINTR;
            return false;
        }
        out_.append(buf, static_cast<size_t>(n));
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    bool closed_ = false;
    std::string out_;
};
