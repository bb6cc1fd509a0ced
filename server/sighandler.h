// The signal thread: every signal of a process is received by one thread with sigwait and
// handed to the owner as a plain callback, so no code runs in an asynchronous handler.
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
    std::atomic<bool> running; // set by the thread once it waits for signals
};

// Blocks rec->set in the calling thread (threads it creates later inherit the mask) and
// starts the detached signal thread. Returns once the thread runs, so that a fork right after
// never copies a lock the starting thread holds. 0, or -1 after an ERROR line.
int sighandler_start(sighandler *rec);

// Body of the signal thread (argument: the sighandler record); never returns.
void *shandler_main(void *rec);
