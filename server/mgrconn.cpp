#include "server/mgrconn.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <endian.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "lib/be_load.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/thread.h"
#include "server/ioloop.h"
#include "server/server.h"

// The process's one link, made by mgrconn_start and never released: its thread runs until
// mgrconn_shutdown, or as long as the process.
static mgrconn *mgrconn_process_link;

int mgrconn_hello(std::span<uint8_t, MGRCONN_HELLO_SIZE> out, const sockaddr_storage *listen,
                  const sockaddr_storage *redirect) {
    const sockaddr_storage *announced =
        redirect != nullptr && sockaddr_is_any(listen) ? redirect : listen;
    nurl nu;
    if (sockaddr_to_nurl(reinterpret_cast<const sockaddr *>(announced), &nu) != 0)
        return -1;
    out[0] = MSG_HELLO;
    store_be32(&out[1], MGRCONN_HELLO_DATA);
    memcpy(&out[MSG_HDR_LEN], HELLO_DATABASE, sizeof HELLO_DATABASE);
    nurl_to_wire(&nu, out.subspan<MSG_HDR_LEN + sizeof HELLO_DATABASE, NURL_SIZE>());
    return 0;
}

int mgrconn_init(mgrconn *mc, const sockaddr_storage *manager, const sockaddr_storage *listen,
                 const sockaddr_storage *redirect, const std::atomic<int32_t> *run) {
    if (mgrconn_hello(mc->hello, listen, redirect) != 0)
        return -1;
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        LOG_ERROR("Cannot start the Manager connector: %s", strerror(errno));
        return -1;
    }
    mc->manager = netaddr_from_sockaddr(reinterpret_cast<const sockaddr *>(manager));
    mc->run = run;
    mc->stop.store(false);
    mc->wake = wake;
    mc->link = sock{};
    mc->link.fd = -1;
    mc->joinable = false;
    mc->watch_ms = MGRCONN_WATCH_MS;
    mc->backoff_unit_ms = MGRCONN_BACKOFF_UNIT_MS;
    mc->answer_wait_ms = MGRCONN_ANSWER_WAIT_MS;
    mc->quiet_watches.store(0);
    mc->dials.store(0);
    mc->poll_failures.store(0);
    return 0;
}

int mgrconn_launch(mgrconn *mc, bool detached) {
    mc->joinable = !detached;
    const int rc = detached ? start_detached(&mc->thread, mgrconn_main, mc)
                            : pthread_create(&mc->thread, nullptr, mgrconn_main, mc);
    if (rc != 0) {
        mc->joinable = false;
        LOG_ERROR("Cannot start the Manager connector: %s", strerror(rc));
        return -1;
    }
    LOG_INFO("Manager connector started.");
    return 0;
}

int mgrconn_start(const sockaddr_storage *manager, const sockaddr_storage *listen,
                  const sockaddr_storage *redirect, const std::atomic<int32_t> *run) {
    auto *mc = new mgrconn{};
    if (mgrconn_init(mc, manager, listen, redirect, run) != 0) {
        delete mc;
        return -1;
    }
    mc->backoff_unit_ms = test_setting_ms(MGRCONN_BACKOFF_ENV, MGRCONN_BACKOFF_UNIT_MS);
    if (mgrconn_launch(mc, false) != 0) {
        mgrconn_release(mc);
        delete mc;
        return -1;
    }
    mgrconn_process_link = mc;
    return 0;
}

void mgrconn_stop(mgrconn *mc) {
    mc->stop.store(true);
    const uint64_t one = 1;
    if (write(mc->wake, &one, sizeof one) != sizeof one)
        LOG_SYSERR("write");
    if (mc->joinable) {
        const int rc = pthread_join(mc->thread, nullptr);
        if (rc != 0)
            LOG_ERROR("[%s:%d] pthread_join %s", __func__, __LINE__, strerror(rc));
        mc->joinable = false;
    }
}

void mgrconn_shutdown() {
    if (mgrconn_process_link != nullptr)
        mgrconn_stop(mgrconn_process_link);
}

void mgrconn_release(mgrconn *mc) {
    sock_close(&mc->link);
    if (mc->wake >= 0)
        close(mc->wake);
    mc->wake = -1;
}

void mgrconn_on_response(void *ctx, uint8_t *, uint64_t) {
    *static_cast<bool *>(ctx) = true;
}

static bool mgrconn_running(const mgrconn *mc) {
    return mc->run->load() != 0 && !mc->stop.load();
}

// What ended a wait of the link thread.
enum mgrconn_event {
    MGRCONN_TIMEOUT, // the time ran out
    MGRCONN_READY,   // the link's socket reported data, end of stream or an error
    MGRCONN_WOKEN,   // the record was stopped
    MGRCONN_FAILED,  // poll itself failed (errno)
};

// Waits up to `ms` (MGRCONN_FOREVER: without end) for `events` on the socket fd (-1: none,
// a plain pause) or for the record's stop. EINTR restarts the wait with the whole time.
static mgrconn_event mgrconn_wait(mgrconn *mc, int fd, short events, uint64_t ms) {
    pollfd p[2] = {{mc->wake, POLLIN, 0}, {fd, events, 0}};
    const nfds_t n = fd >= 0 ? 2 : 1;
    const int timeout =
        ms == MGRCONN_FOREVER ? -1 : static_cast<int>(std::min<uint64_t>(ms, INT_MAX));
    int rc;
    do
        rc = poll(p, n, timeout);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        mc->poll_failures.fetch_add(1);
        return MGRCONN_FAILED;
    }
    if (p[0].revents != 0)
        return MGRCONN_WOKEN;
    return rc == 0 ? MGRCONN_TIMEOUT : MGRCONN_READY;
}

// Pauses `ms` unless the record is stopped first: false once stopped. Should poll itself
// fail, the pause still takes its time, in short sleeps that look at the stop flag.
static bool mgrconn_pause(mgrconn *mc, uint64_t ms) {
    const mgrconn_event e = mgrconn_wait(mc, -1, 0, ms);
    if (e == MGRCONN_WOKEN)
        return false;
    if (e != MGRCONN_FAILED)
        return true;
    LOG_SYSERR("poll");
    for (uint64_t slept = 0; slept < ms && !mc->stop.load(); slept += MGRCONN_PAUSE_SLICE_MS) {
        const uint64_t slice = std::min<uint64_t>(MGRCONN_PAUSE_SLICE_MS, ms - slept);
        const timespec ts{static_cast<time_t>(slice / 1000),
                          static_cast<long>(slice % 1000) * 1000000};
        nanosleep(&ts, nullptr);
    }
    return !mc->stop.load();
}

// Waits for the Manager's answer to the hello: one whole frame within answer_wait_ms. The
// answer usually comes after the first read would have found nothing, and taking it later
// for unexpected input would make the link drop every connection at once. 0 once the frame
// has arrived; -1 when the connection failed, the time ran out or the record was stopped.
static int mgrconn_await_answer(mgrconn *mc) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(mc->answer_wait_ms);
    bool answered = false;
    while (!answered) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0)
            return -1;
        switch (mgrconn_wait(mc, mc->link.fd, POLLRDNORM, static_cast<uint64_t>(left.count()))) {
        case MGRCONN_READY:
            if (sock_recv(&mc->link, &answered, mgrconn_on_response) != 0)
                return -1;
            break;
        case MGRCONN_FAILED:
            LOG_SYSERR("poll");
            return -1;
        case MGRCONN_TIMEOUT:
        case MGRCONN_WOKEN:
            return -1;
        }
    }
    return 0;
}

// Sends the hello on a new connection and waits for the answer. 0 when the link is
// established; -1 after its ERROR line (the caller closes the link).
static int mgrconn_greet(mgrconn *mc) {
    LOG_INFO("Connection to the manager established.");
    if (mgrconn_send(&mc->link, mc->hello, sizeof mc->hello) != 0) {
        LOG_ERROR("Connection failed!");
        return -1;
    }
    LOG_DEBUG("Hello message sent to the manager.");
    if (mgrconn_await_answer(mc) != 0) {
        LOG_ERROR("Connection response read failed!");
        return -1;
    }
    LOG_INFO("Manager connection established.");
    return 0;
}

// Logs a failed connect to the Manager with its errno.
static void mgrconn_connect_failed(const mgrconn *mc, int err) {
    LOG_ERROR("[%s:%d] connect %s %s", __func__, __LINE__, mc->manager.text, strerror(err));
}

// One connection attempt that never blocks: the connect runs on a non-blocking socket and
// its outcome is awaited together with the record's stop, so a stop ends the attempt at
// once, however long the network would keep it. 0 with the link connected; -1 when the
// attempt failed (logged) or the record was stopped, the link then closed.
static int mgrconn_dial(mgrconn *mc) {
    const sockaddr_storage *addr = &mc->manager.address;
    const int fd = socket(addr->ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LOG_SYSERR("socket");
        return -1;
    }
    const auto *sa = reinterpret_cast<const sockaddr *>(addr);
    int err = 0;
    // Interrupted, the connect goes on in the background like one in progress.
    const int rc = connect(fd, sa, sizeof *addr);
    if (rc != 0 && errno != EINPROGRESS && errno != EINTR) {
        err = errno;
    } else if (rc != 0) {
        mc->dials.fetch_add(1);
        switch (mgrconn_wait(mc, fd, POLLOUT, MGRCONN_FOREVER)) {
        case MGRCONN_READY: {
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
            break;
        }
        case MGRCONN_FAILED:
            err = errno;
            LOG_SYSERR("poll");
            break;
        case MGRCONN_WOKEN:
        case MGRCONN_TIMEOUT:
            close(fd);
            return -1;
        }
    }
    if (err != 0) {
        mgrconn_connect_failed(mc, err);
        close(fd);
        return -1;
    }
    sock_init(&mc->link, fd, sa, MGRCONN_RECV_AREA, mc->block, sizeof mc->block);
    return 0;
}

// Dials until the link is established, pausing 2, 4, 8, ... up to 64 back-off units before
// each attempt. 0 when established, -1 when the record was stopped.
static int mgrconn_connect(mgrconn *mc) {
    uint64_t units = 1;
    for (;;) {
        units = std::min<uint64_t>(units * 2, MGRCONN_BACKOFF_MAX);
        if (!mgrconn_pause(mc, units * mc->backoff_unit_ms))
            return -1;
        LOG_INFO("Connecting to the manager [%s]...", mc->manager.text);
        if (mgrconn_dial(mc) != 0) {
            if (mc->stop.load())
                return -1;
            continue;
        }
        if (mgrconn_greet(mc) == 0)
            return 0;
        sock_close(&mc->link);
    }
}

// Watches the established link, one period at a time, while the thread is to run. The
// Manager sends nothing after its answer, so any event on the socket ends the link; it
// returns then with the link closed. A failing poll is retried after a pause of 1, 2, 4,
// ... up to 64 back-off units, so a lasting failure neither spins nor floods the log.
static void mgrconn_watch(mgrconn *mc) {
    uint64_t failed = 0;
    while (mgrconn_running(mc)) {
        const mgrconn_event e = mgrconn_wait(mc, mc->link.fd, POLLRDNORM, mc->watch_ms);
        if (e != MGRCONN_FAILED)
            failed = 0;
        switch (e) {
        case MGRCONN_TIMEOUT:
            mc->quiet_watches.fetch_add(1);
            break;
        case MGRCONN_FAILED: {
            LOG_ERROR("Manager client event error: %s", strerror(errno));
            const uint64_t units = uint64_t{1} << std::min<uint64_t>(failed, 6);
            failed++;
            if (!mgrconn_pause(mc, units * mc->backoff_unit_ms))
                return;
            break;
        }
        case MGRCONN_WOKEN:
            break;
        case MGRCONN_READY:
            LOG_ERROR("Manager client does not accept any data.");
            sock_close(&mc->link);
            return;
        }
    }
}

void *mgrconn_main(void *arg) {
    auto *mc = static_cast<mgrconn *>(arg);
    // A write to a connection the Manager has closed must fail, not end the process.
    signal(SIGPIPE, SIG_IGN);
    LOG_INFO("Manager client started.");
    while (mgrconn_running(mc)) {
        if (mc->link.fd < 0 && mgrconn_connect(mc) != 0)
            break;
        mgrconn_watch(mc);
    }
    sock_close(&mc->link);
    return nullptr;
}
