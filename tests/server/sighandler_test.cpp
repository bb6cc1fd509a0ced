#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>
#include <poll.h>
#include <unistd.h>

#include "lib/log.h"
#include "server/sighandler.h"
#include "support/test_support.h"

namespace {

// The signal thread blocks every signal in its caller, so each test runs in a forked child
// whose standard error is a pipe: every handled signal gives one line (a callback's or a log
// line without its time stamp) that the child reads back before sending the next signal.
std::string read_line(int fd, int timeout_ms) {
    std::string line;
    char c;
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, timeout_ms) == 1 && read(fd, &c, 1) == 1) {
        line += c;
        if (c == '\n')
            return line.rfind("cb ", 0) == 0 || line.size() < 18 ? line : line.substr(18);
    }
    return line.empty() ? "" : "partial: " + line;
}

int redirect_stderr_to_pipe() {
    int p[2];
    if (pipe(p) != 0 || dup2(p[1], STDERR_FILENO) < 0)
        _exit(90);
    return p[0];
}

void say(const char *text) {
    (void)!write(STDERR_FILENO, text, strlen(text));
}

TEST(SignalThread, EachSignalReachesItsCallback) {
    const struct {
        int signo;
        std::string lines;
    } cases[] = {
        {SIGTERM, "cb term\n"},
        {SIGINT, "cb term\n"},
        {SIGSEGV, "WARN   Segfault detected.\ncb term\n"},
        {SIGUSR1, "cb usr1\n"},
        {SIGUSR2, "cb usr2\n"},
        {SIGCHLD, "cb chld\n"},
        {SIGHUP, "INFO   Unsupported signal received: 1.\n"},
        {SIGPIPE, "INFO   Unsupported signal received: 13.\n"},
    };
    RunResult r = run_forked([&] {
        int lines = redirect_stderr_to_pipe();
        log_level.store(1);
        static sighandler h;
        sigfillset(&h.set);
        h.on_term = [] { say("cb term\n"); };
        h.on_usr1 = [] { say("cb usr1\n"); };
        h.on_usr2 = [] { say("cb usr2\n"); };
        h.on_chld = [] { say("cb chld\n"); };
        if (sighandler_start(&h) != 0)
            _exit(91);
        printf("%s", read_line(lines, 2000).c_str());
        for (const auto &c : cases) {
            kill(getpid(), c.signo);
            // The signal thread only notes the signal; the lines come from this thread.
            while (sighandler_wait(&h, 2000) == 0) {
            }
            for (size_t n = std::count(c.lines.begin(), c.lines.end(), '\n'); n > 0; n--)
                printf("%s", read_line(lines, 2000).c_str());
        }
    });
    std::string expect = "INFO   Signal handler [0] started.\n";
    for (const auto &c : cases)
        expect += c.lines;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, expect);
}

TEST(SignalThread, MissingCallbacksTakeTheirSignalsSilently) {
    RunResult r = run_forked([] {
        int lines = redirect_stderr_to_pipe();
        log_level.store(1);
        static sighandler h;
        sigfillset(&h.set);
        if (sighandler_start(&h) != 0)
            _exit(91);
        read_line(lines, 2000);
        // SIGHUP after each signal makes a line to wait for; any line of the others would
        // show up before the last one or in the quiet time after it.
        for (int signo : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGCHLD}) {
            kill(getpid(), signo);
            kill(getpid(), SIGHUP);
            for (int seen = 0; seen < 2;)
                seen += sighandler_wait(&h, 2000);
            printf("%s", read_line(lines, 2000).c_str());
        }
        printf("%s", read_line(lines, 100).c_str());
    });
    std::string hup = "INFO   Unsupported signal received: 1.\n";
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, hup + hup + hup + hup + hup);
}

// The callbacks run on the thread that waits, which a signal wakes at once; without one the
// wait ends at its time-out having run nothing.
TEST(SignalThread, WaitWakesOnASignalAndRunsItsCallbackThere) {
    RunResult r = run_forked([] {
        static sighandler h;
        static pthread_t ran_on;
        sigfillset(&h.set);
        h.on_usr1 = [] { ran_on = pthread_self(); };
        if (sighandler_start(&h) != 0)
            _exit(91);
        printf("quiet=%d\n", sighandler_wait(&h, 20));
        std::thread sender([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            kill(getpid(), SIGUSR1);
        });
        const auto before = std::chrono::steady_clock::now();
        const int n = sighandler_wait(&h, 20000);
        const bool early = std::chrono::steady_clock::now() - before < std::chrono::seconds(10);
        sender.join();
        printf("dispatched=%d early=%d here=%d\n", n, early, pthread_equal(ran_on, pthread_self()));
    });
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "quiet=0\ndispatched=1 early=1 here=1\n");
}

} // namespace
