// The signal thread: every signal of a process is received by one thread with sigwait. That
// thread does nothing but note the signal and wake the owner's main loop through a pipe, so
// it never holds a lock of the C library (a log line's time formatting, an allocation) that a
// fork from the main thread could copy in its locked state. The main loop waits on the pipe
// (sighandler_wait, or its own poll over sighandler_fd) and runs the callbacks itself.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>

using sig_callback = void (*)();

// Filled by the owner before the thread starts and kept alive for the life of the process.
// A NULL callback makes its signal be taken and ignored.
struct sighandler {
    sigset_t set; // the signals the thread waits for
    sig_callback on_usr1;
    sig_callback on_usr2;
    sig_callback on_term; // SIGINT, SIGTERM and SIGSEGV
    sig_callback on_chld;
    std::atomic<bool> running;     // set by the thread once it waits for signals
    std::atomic<uint64_t> noted;   // bit n: signal n arrived and has not been dispatched
    std::atomic<int> wait_error;   // errno of a failed wait, for the dispatcher to log
    int wake[2];                   // pipe: the thread writes a byte for every signal noted
};

// Blocks rec->set in the calling thread (threads it creates later inherit the mask), makes
// the wake-up pipe and starts the detached signal thread. Returns once the thread runs, so
// that a fork right after never copies a lock the starting thread holds. 0, or -1 after an
// ERROR line.
int sighandler_start(sighandler *rec);

// The descriptor that turns readable when a signal has been noted.
int sighandler_fd(const sighandler *rec);

// Runs the callback of every signal noted so far, in signal-number order, on the calling
// thread, with the lines the signals have ("Segfault detected.", "Unsupported signal
// received"). Returns how many signals it dispatched.
int sighandler_dispatch(sighandler *rec);

// Waits up to timeout_ms for a signal, then dispatches what was noted. Returns how many
// signals it dispatched.
int sighandler_wait(sighandler *rec, uint32_t timeout_ms);

// Body of the signal thread (argument: the sighandler record); never returns.
void *shandler_main(void *rec);
