#include "server/sighandler.h"

#include <cerrno>
#include <cstring>
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

static void shandler_dispatch(const sighandler *h, int signo) {
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

void *shandler_main(void *rec) {
    auto *h = static_cast<sighandler *>(rec);
    LOG_INFO("Signal handler [%u] started.", sys_thread_id());
    h->running.store(true);
    for (;;) {
        int signo = 0;
        int rc = sigwait(&h->set, &signo);
        if (rc != 0) {
            errno = rc;
            LOG_SYSERR("sigwait");
            continue;
        }
        shandler_dispatch(h, signo);
    }
}

int sighandler_start(sighandler *rec) {
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
