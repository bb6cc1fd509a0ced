#include "server/sighandler.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "lib/log.h"
#include "lib/thread.h"

// Signals with a callback: the callback slot and whether a segfault warning comes first.
struct shandler_row {
    int signo;
    sig_callback sighandler::*cb;
    bool segfault;
};

static const shandler_row shandler_table[] = {
    {SIGINT, &sighandler::on_term, false},  {SIGTERM, &sighandler::on_term, false},
    {SIGSEGV, &sighandler::on_term, true},  {SIGUSR1, &sighandler::on_usr1, false},
    {SIGUSR2, &sighandler::on_usr2, false}, {SIGCHLD, &sighandler::on_chld, false},
};

// Signal numbers the note word can hold; every standard signal is below it.
static constexpr int SHANDLER_NOTE_BITS = 64;

static void shandler_run(const sighandler *h, int signo) {
    for (const shandler_row &row : shandler_table) {
        if (row.signo != signo)
            continue;
        if (row.segfault)
            LOG_WARN("Segfault detected.");
        if (h->*row.cb != nullptr)
            (h->*row.cb)();
        return;
    }
    LOG_INFO("Unsupported signal received: %d.", signo);
}

// Only async-signal-safe work from here on: an atomic or and a write to a pipe. A full pipe
// already holds a wake-up, so a write that would block is simply dropped.
void *shandler_main(void *rec) {
    auto *h = static_cast<sighandler *>(rec);
    LOG_INFO("Signal handler [%u] started.", sys_thread_id());
    h->running.store(true);
    for (;;) {
        int signo = 0;
        int rc = sigwait(&h->set, &signo);
        if (rc != 0)
            h->wait_error.store(rc);
        else if (signo > 0 && signo < SHANDLER_NOTE_BITS)
            h->noted.fetch_or(uint64_t{1} << signo);
        const char one = 1;
        ssize_t n;
        do
            n = write(h->wake[1], &one, 1);
        while (n < 0 && errno == EINTR);
    }
}

int sighandler_start(sighandler *rec) {
    if (pipe2(rec->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        LOG_SYSERR("pipe2");
        return -1;
    }
    int rc = pthread_sigmask(SIG_BLOCK, &rec->set, nullptr);
    if (rc != 0) {
        errno = rc;
        LOG_SYSERR("pthread_sigmask");
        return -1;
    }
    pthread_t tid;
    rc = pthread_create(&tid, nullptr, shandler_main, rec);
    if (rc != 0) {
        LOG_ERROR("pthread_create: %s", strerror(rc));
        return -1;
    }
    pthread_detach(tid);
    while (!rec->running.load())
        usleep(1000);
    return 0;
}

int sighandler_fd(const sighandler *rec) {
    return rec->wake[0];
}

int sighandler_dispatch(sighandler *rec) {
    char drain[64];
    while (read(rec->wake[0], drain, sizeof drain) > 0) {
    }
    if (int e = rec->wait_error.exchange(0); e != 0)
        LOG_ERROR("[%s:%d] sigwait %s", "shandler_main", __LINE__, strerror(e));
    const uint64_t noted = rec->noted.exchange(0);
    int n = 0;
    for (int signo = 1; signo < SHANDLER_NOTE_BITS; signo++) {
        if (noted & (uint64_t{1} << signo)) {
            shandler_run(rec, signo);
            n++;
        }
    }
    return n;
}

int sighandler_wait(sighandler *rec, uint32_t timeout_ms) {
    pollfd p{rec->wake[0], POLLIN, 0};
    int rc;
    do
        rc = poll(&p, 1, static_cast<int>(timeout_ms));
    while (rc < 0 && errno == EINTR);
    if (rc < 0)
        LOG_SYSERR("poll");
    return sighandler_dispatch(rec);
}
