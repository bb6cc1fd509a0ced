#include "server/server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <endian.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "lib/be_load.h"
#include "lib/clock.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/thread.h"
#include "lib/xalloc.h"
#include "server/ioloop.h"
#include "server/role.h"

static constexpr int SERVER_BUFFER_SIZE = 262144; // SO_RCVBUF and SO_SNDBUF
static constexpr int SERVER_BACKLOG = 20;
static constexpr uint64_t SERVER_FIRST_SLOTS = 32;
static constexpr uint64_t SERVER_SLOT_STEP = 16;
static constexpr size_t SERVER_READ_SIZE = 1024;
static constexpr int SERVER_MAX_EVENTS = 100;

// Event data of the server thread: 1 the listening socket, 2 the timer; a connection is its
// slot + 10 in the low half and the slot's generation in the high half, so that an event
// left over from a connection that has gone never reaches the slot's next one.
static constexpr uint64_t EV_LISTEN = 1;
static constexpr uint64_t EV_TIMER = 2;
static constexpr uint64_t EV_WAKE = 3;
static constexpr uint64_t EV_CONN_BASE = 10;

void server_loop_started(void *server) {
    static_cast<struct server *>(server)->loops_starting.fetch_sub(1);
}

void server_on_loop_error() {
    LOG_FATAL("Server error!");
    abort();
}

static void server_setopt(int fd, int level, int opt, int value, int line) {
    if (setsockopt(fd, level, opt, &value, sizeof value) != 0)
        LOG_ERROR("[%s:%d] setsockopt %s", "init_server_socket", line, strerror(errno));
}

static void server_log_option(int fd, int opt, const char *name) {
    int value = 0;
    socklen_t len = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, opt, &value, &len) == 0)
        LOG_INFO(": %-25s : %u", name, static_cast<unsigned>(value));
}

// Logs a buffer size's default, sets it to 256 KiB and logs what the system made of it.
static void server_size_buffer(int fd, int opt, const char *name) {
    int value = 0;
    socklen_t len = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, opt, &value, &len) != 0) {
        LOG_WARN("Unable to get socket option: %s. %s.", name, strerror(errno));
        return;
    }
    LOG_INFO("Default value: %s=%d", name, value);
    server_setopt(fd, SOL_SOCKET, opt, SERVER_BUFFER_SIZE, __LINE__);
    server_log_option(fd, opt, name);
}

static void server_reset_slot(conn *c) {
    c->peer = conn_peer{-1, netaddr{}, 0};
    frame_rx_init(&c->rx, c->buffer, sizeof c->buffer, false);
}

// Adds n free slots. The receive states point into their slots' own buffers, which move with
// the table, so they are pointed at their new place.
static void server_grow_slots(server *s, uint64_t n) {
    s->slots = static_cast<conn *>(krv_realloc(s->slots, (s->nslots + n) * sizeof(conn)));
    for (uint64_t i = 0; i < s->nslots; i++)
        s->slots[i].rx.payload.data = s->slots[i].buffer;
    for (uint64_t i = s->nslots; i < s->nslots + n; i++) {
        s->slots[i].gen = 0;
        server_reset_slot(&s->slots[i]);
    }
    s->nslots += n;
}

// Closes what server_listen made so far and reports the failure.
static int server_listen_failed(server *s, int fd) {
    if (s->kq >= 0)
        close(s->kq);
    close(fd);
    s->kq = -1;
    return -1;
}

// The stop signal of the server thread; -1 after a FATAL line.
static int server_make_wakefd() {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0)
        LOG_FATAL("Cannot create the connector wake-up: %s", strerror(errno));
    return fd;
}

int server_listen(server *s) {
    if (s->auth_timeout_ms == 0)
        s->auth_timeout_ms = SERVER_AUTH_TIMEOUT_MS;
    if (s->tick_ms == 0)
        s->tick_ms = SERVER_TICK_MS;
    log_limiter_init(&s->refusals, "Server: Refused connections", LOG_LIMIT_FIRST,
                     LOG_LIMIT_INTERVAL_MS, LOG_LIMIT_RENEW);
    s->kq = -1;
    int fd = socket(s->addr.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LOG_FATAL("Server socket error: %s", strerror(errno));
        return -1;
    }
    LOG_INFO("--- Server configuration ---");
    server_size_buffer(fd, SO_RCVBUF, "SO_RCVBUF");
    server_size_buffer(fd, SO_SNDBUF, "SO_SNDBUF");
    server_log_option(fd, SO_RCVLOWAT, "SO_RCVLOWAT");
    server_log_option(fd, SO_SNDLOWAT, "SO_SNDLOWAT");
    server_setopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, 1, __LINE__);
    server_setopt(fd, SOL_SOCKET, SO_REUSEADDR, 1, __LINE__);

    const auto *sa = reinterpret_cast<const sockaddr *>(&s->addr.address);
    if (bind(fd, sa, static_cast<socklen_t>(sockaddr_size(sa->sa_family))) != 0) {
        LOG_ERROR("Server bind %s error: %s", s->addr.text, strerror(errno));
        LOG_FATAL("Server initialization failure.");
        return server_listen_failed(s, fd);
    }
    if (listen(fd, SERVER_BACKLOG) != 0) {
        LOG_ERROR("Server listen %s error: %s", s->addr.text, strerror(errno));
        LOG_FATAL("Server initialization failure.");
        return server_listen_failed(s, fd);
    }
    LOG_INFO("Server initialization success.");

    s->kq = epoll_create1(EPOLL_CLOEXEC);
    if (s->kq < 0) {
        LOG_FATAL("Cannot create the connector: %s", strerror(errno));
        return server_listen_failed(s, fd);
    }
    int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer < 0) {
        LOG_FATAL("Cannot create the connector timer: %s", strerror(errno));
        return server_listen_failed(s, fd);
    }
    itimerspec period{};
    period.it_interval.tv_sec = s->tick_ms / 1000;
    period.it_interval.tv_nsec = static_cast<long>(s->tick_ms % 1000) * 1000000;
    period.it_value = period.it_interval;
    if (timerfd_settime(timer, 0, &period, nullptr) != 0) {
        LOG_FATAL("Cannot set the connector timer: %s", strerror(errno));
        close(timer);
        return server_listen_failed(s, fd);
    }
    int wake = server_make_wakefd();
    if (wake < 0) {
        close(timer);
        return server_listen_failed(s, fd);
    }
    s->connfd = fd;
    s->timerfd = timer;
    s->wakefd = wake;
    s->running = 1;
    s->nconns = 0;
    s->nslots = 0;
    s->slots = nullptr;
    server_grow_slots(s, SERVER_FIRST_SLOTS);
    return 0;
}

static loop **server_loop_slot(server *s, uint32_t pt) {
    switch (pt) {
    case PT_DB_AG:
        return &s->dbagent;
    case PT_MG_AG:
        return &s->mgagent;
    case PT_MG_DB:
        return &s->mgdb;
    case PT_DB_UI:
        return &s->dbui;
    case PT_MG_UI:
        return &s->mgui;
    default:
        return nullptr;
    }
}

int server_add_loop(server *s, loop *l) {
    if (l == nullptr)
        return -1;
    *server_loop_slot(s, l->pt) = l;
    if (s->stall_ms != 0)
        l->stall_ms = s->stall_ms;
    s->mask |= 1u << l->pt;
    s->loops_starting.fetch_add(1);
    return 0;
}

// The role's pool, made and started, or NULL.
static mtp_pool *server_pool(const role_pool &p) {
    mtp_pool *pool = mtp_create(p.min, p.max, p.tasks, p.name);
    if (pool == nullptr || mtp_start(pool) != 0)
        return nullptr;
    return pool;
}

// The pool and the loops of one role in a process of `mode`.
static int server_init_role(server *s, role *r, uint32_t mode) {
    mtp_pool *pool = nullptr;
    if (r->pool.name != nullptr && (pool = server_pool(r->pool)) == nullptr)
        return -1;
    for (const role_loop &rl : r->loops) {
        if (rl.pt == 0)
            break;
        if ((rl.without & mode) != 0)
            continue;
        if (server_add_loop(s, rl.make(r->ctx, rl.on_pool ? pool : nullptr)) != 0)
            return -1;
    }
    return 0;
}

int init_server_socket(server *s, role_set *roles) {
    if (server_listen(s) != 0)
        return -1;
    s->stall_ms = test_setting_ms(IOL_STALL_ENV, 0);
    const uint32_t mode = role_set_mode(roles);
    for (uint32_t i = 0; i < roles->n; i++) {
        if (server_init_role(s, &roles->items[i], mode) != 0)
            return -1;
    }
    return 0;
}

loop *server_get_loop(server *s, uint32_t pt) {
    loop **slot = server_loop_slot(s, pt);
    if (slot == nullptr) {
        LOG_FATAL("Server does not support this peer type!");
        return nullptr;
    }
    return *slot;
}

int server_send(server *s, IOMessage m) {
    loop *l = server_get_loop(s, m.peer.pt);
    return l != nullptr ? iol_send(l, m) : -1;
}

int server_send_wait(server *s, IOMessage m, uint32_t wait_ms) {
    loop *l = server_get_loop(s, m.peer.pt);
    return l != nullptr ? iol_send_wait(l, m, wait_ms) : -1;
}

void server_report_agents(server *s, server_report_fn build, void *ctx) {
    if (s->mgui == nullptr)
        return;
    if (iol_peer_count(s->mgui) == 0) {
        LOG_DEBUG("No UI peers connected. Agents report canceled.");
        return;
    }
    msg *report = build(ctx, s->mgagent);
    if (report == nullptr)
        return;
    if (iol_send(s->mgui, IOMessage{report, IOM_BROADCAST, PeerId{0, 0, 0, PT_MG_UI}}) != 0)
        free(report);
}

// Frees a slot; its socket is no longer the server's.
static void server_release_slot(server *s, uint64_t idx) {
    server_reset_slot(&s->slots[idx]);
    s->nconns--;
}

static void server_remove_conn(server *s, uint64_t idx) {
    if (idx >= s->nslots) {
        LOG_ERROR("Invalid server client index: %lu", idx);
        return;
    }
    conn *c = &s->slots[idx];
    if (c->peer.connfd < 0)
        return;
    if (epoll_ctl(s->kq, EPOLL_CTL_DEL, c->peer.connfd, nullptr) != 0)
        log_call_error("epoll_ctl(server->kq, 2, conn->peer.connfd, ((void *)0))", __LINE__);
    close(c->peer.connfd);
    LOG_INFO("Server client connection %s closed.", c->peer.addr.text);
    server_release_slot(s, idx);
}

static void server_listen_events(server *s, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = EV_LISTEN;
    if (epoll_ctl(s->kq, EPOLL_CTL_MOD, s->connfd, &event) != 0)
        log_call_error("epoll_ctl(server->kq, 3, server->connfd, &event)", __LINE__);
}

// The slot for a new connection: the first free one while a free slot will remain after it,
// else the first of 16 new ones.
static uint64_t server_take_slot(server *s) {
    if (s->nconns + 1 < s->nslots) {
        for (uint64_t i = 0; i < s->nslots; i++) {
            if (s->slots[i].peer.connfd < 0)
                return i;
        }
    }
    uint64_t first = s->nslots;
    server_grow_slots(s, SERVER_SLOT_STEP);
    return first;
}

static void server_accept(server *s) {
    LOG_DEBUG("New connection attempt...");
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    int fd;
    do
        fd = accept4(s->connfd, reinterpret_cast<sockaddr *>(&addr), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int e = errno;
        if (e == EAGAIN) {
            LOG_DEBUG("No pending connections exist.");
            return;
        }
        LOG_ERROR("Cannot accept a server client connection: %s", strerror(e));
        if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
            // The connection stays pending and the socket readable: without a pause the
            // thread would spin on it. The next tick turns accepting on again.
            server_listen_events(s, 0);
            s->accept_paused = 1;
        }
        return;
    }
    conn_peer peer{fd, netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&addr)), monotonic_ms()};
    LOG_INFO("New connection attempt from %s.", peer.addr.text);
    uint64_t idx = server_take_slot(s);
    conn *c = &s->slots[idx];
    c->peer = peer;
    c->gen++;
    s->nconns++;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = static_cast<uint64_t>(c->gen) << 32 | (idx + EV_CONN_BASE);
    if (epoll_ctl(s->kq, EPOLL_CTL_ADD, fd, &event) != 0) {
        log_call_error("epoll_ctl(server->kq, 1, connfd, &event)", __LINE__);
        server_release_slot(s, idx);
        LOG_WARN("Connection attempt dropped from %s", peer.addr.text);
        close(fd);
        return;
    }
    LOG_INFO("Connection established to %s.", peer.addr.text);
}

static void server_tick(server *s) {
    uint64_t fired = 0;
    ssize_t n;
    do
        n = read(s->timerfd, &fired, sizeof fired);
    while (n < 0 && errno == EINTR);
    if (n < 0 && errno != EAGAIN)
        LOG_ERROR("[%s:%d] read %s", "timer_fired", __LINE__, strerror(errno));
    LOG_DEBUG("Server timer fired: %lu!", fired);
    if (s->accept_paused) {
        s->accept_paused = 0;
        server_listen_events(s, EPOLLIN);
    }
    log_limiter_tick(&s->refusals);
    log_scope scope(&s->refusals);
    const uint64_t now = monotonic_ms();
    for (uint64_t i = 0; i < s->nslots; i++) {
        const conn_peer &p = s->slots[i].peer;
        if (p.connfd >= 0 && p.accepted_ms + s->auth_timeout_ms < now) {
            LOG_WARN("Client [%s] authentication timed out!", p.addr.text);
            server_remove_conn(s, i);
        }
    }
}

namespace {

// What one read of a waiting connection came to.
struct server_read_ctx {
    server *s;
    conn_peer peer;
    auth_request *req; // the hello to hand over
    bool refused;      // the connection is to be closed
    uint32_t frames;   // frames delivered
};

} // namespace

static int server_refuse(server_read_ctx *ctx) {
    ctx->refused = true;
    return -1;
}

// The peer type a hello's kind and target name, 0 for a target that is neither.
static uint32_t server_route(bool agent, uint16_t target) {
    if (target == TARGET_DATABASE)
        return agent ? PT_DB_AG : PT_DB_UI;
    if (target == TARGET_MANAGER)
        return agent ? PT_MG_AG : PT_MG_UI;
    return 0;
}

// One message of a waiting connection's frame: only a hello is welcome, and only once.
static int server_on_message(void *arg, uint8_t type, uint32_t len, const uint8_t *data) {
    auto *ctx = static_cast<server_read_ctx *>(arg);
    const char *text = ctx->peer.addr.text;
    if (ctx->req != nullptr) {
        LOG_WARN("Premature data from client %s", text);
        return -1;
    }
    if (type != MSG_HELLO) {
        LOG_WARN("Unsupported message type [%X] from client %s", type, text);
        return server_refuse(ctx);
    }
    if (len < sizeof HELLO_AGENT) {
        LOG_WARN("Message corrupted from client %s", text);
        return server_refuse(ctx);
    }
    uint32_t pt;
    uint32_t skip;
    const bool agent = memcmp(data, HELLO_AGENT, sizeof HELLO_AGENT) == 0;
    if (agent || memcmp(data, HELLO_UICLIENT, sizeof HELLO_UICLIENT) == 0) {
        if (len < sizeof HELLO_AGENT + 2) {
            LOG_WARN("Message corrupted from client %s", text);
            return server_refuse(ctx);
        }
        uint16_t target = load_be16(data + sizeof HELLO_AGENT);
        pt = server_route(agent, target);
        if (pt == 0) {
            LOG_WARN("Invalid target: %X!", target);
            return server_refuse(ctx);
        }
        if (!(ctx->s->mask & (1u << pt))) {
            LOG_WARN("Unsupported server client type from client %s", text);
            return server_refuse(ctx);
        }
        skip = sizeof HELLO_AGENT + 2;
    } else if (memcmp(data, HELLO_DATABASE, sizeof HELLO_DATABASE) == 0) {
        if (!(ctx->s->mask & (1u << PT_MG_DB))) {
            LOG_ERROR("Unsupported client type from client %s", text);
            return server_refuse(ctx);
        }
        pt = PT_MG_DB;
        skip = sizeof HELLO_DATABASE;
    } else {
        LOG_WARN("Unknown authentication attempt [%lX] from client %s", load_be64(data), text);
        return server_refuse(ctx);
    }
    const uint32_t n = len - skip;
    auto *req = static_cast<auth_request *>(krv_malloc(sizeof(auth_request) + n));
    req->target = server_get_loop(ctx->s, pt);
    req->peer = ctx->peer;
    req->len = n;
    memcpy(req->body, data + skip, n);
    ctx->req = req;
    return 0;
}

static void server_on_frame(void *arg, uint8_t *body, uint64_t len) {
    auto *ctx = static_cast<server_read_ctx *>(arg);
    ctx->frames++;
    if (!ctx->refused)
        msg_foreach(len, body, ctx, server_on_message);
}

// Gives a connection that said hello to its loop; from then on the socket is the loop's.
// It leaves this thread's epoll set first, so the loop may close it at once.
static void server_hand_over(server *s, uint64_t idx, auth_request *req) {
    const conn_peer &peer = s->slots[idx].peer;
    if (epoll_ctl(s->kq, EPOLL_CTL_DEL, peer.connfd, nullptr) != 0)
        log_call_error("epoll_ctl(server->kq, 2, peer.connfd, ((void *)0))", __LINE__);
    if (iol_send(req->target, IOMessage{req, IOM_AUTH, PeerId{}}) != 0) {
        free(req);
        close(peer.connfd);
        LOG_INFO("Server client connection %s closed.", peer.addr.text);
    }
    server_release_slot(s, idx);
}

// A waiting connection is readable. It is read no further than the end of the frame that
// holds its hello: each read asks for the rest of the header or of the payload only, so
// whatever the peer sent behind that frame (a client's first query, an agent's first data)
// stays in the socket for its loop. Reads go on while they bring bytes. The slot changes only
// after the reads are over, since the receive state that delivers the frames lives in it.
static void server_read(server *s, uint64_t idx, uint8_t *buf) {
    conn *c = &s->slots[idx];
    server_read_ctx ctx{s, c->peer, nullptr, false, 0};
    // Whatever a connection's first bytes make this thread say goes through the limiter.
    log_scope scope(&s->refusals);
    int rc = 0;
    while (rc == 0 && ctx.req == nullptr && !ctx.refused) {
        const uint64_t held = c->rx.hlen + c->rx.payload.len;
        const uint32_t frames = ctx.frames;
        const uint64_t want = std::min<uint64_t>(frame_rx_want(&c->rx), SERVER_READ_SIZE);
        rc = net_recv(c->peer.connfd, &c->rx, {buf, static_cast<size_t>(want)}, {},
                      c->peer.addr.text, &ctx, server_on_frame);
        if (c->rx.hlen + c->rx.payload.len == held && ctx.frames == frames)
            break; // nothing was there to read
    }
    if (ctx.req != nullptr)
        server_hand_over(s, idx, ctx.req);
    else if (rc != 0 || ctx.refused)
        server_remove_conn(s, idx);
}

// The slot of a connection event, or -1 when the connection it was meant for has gone.
static int64_t server_event_slot(const server *s, uint64_t data) {
    uint64_t idx = (data & 0xFFFFFFFFu) - EV_CONN_BASE;
    if (idx >= s->nslots) {
        LOG_ERROR("No such server client: %lu!", idx);
        return -1;
    }
    const conn &c = s->slots[idx];
    if (c.peer.connfd < 0 || c.gen != static_cast<uint32_t>(data >> 32))
        return -1;
    return static_cast<int64_t>(idx);
}

// One event of the server thread; false when the thread is to end.
static bool server_event(server *s, const epoll_event &ev, uint8_t *buf) {
    const uint64_t data = ev.data.u64;
    const bool is_conn = data >= EV_CONN_BASE;
    const int64_t idx = is_conn ? server_event_slot(s, data) : 0;
    if (idx < 0)
        return true;
    if (ev.events & (EPOLLHUP | EPOLLRDHUP)) {
        if (!is_conn) {
            LOG_INFO("Server stopped.");
            return false;
        }
        LOG_INFO("Connection closed by peer.");
        server_remove_conn(s, static_cast<uint64_t>(idx));
        return true;
    }
    if ((ev.events & EPOLLERR) || !(ev.events & (EPOLLIN | EPOLLOUT))) {
        LOG_ERROR("Server event error [%X] at %lu!", ev.events, data & 0xFFFFFFFFu);
        if (is_conn)
            server_remove_conn(s, static_cast<uint64_t>(idx));
        return true;
    }
    if (!(ev.events & EPOLLIN))
        return true;
    if (data == EV_LISTEN)
        server_accept(s);
    else if (data == EV_TIMER)
        server_tick(s);
    else
        server_read(s, static_cast<uint64_t>(idx), buf);
    return true;
}

static bool server_register(server *s, int fd, uint64_t data, const char *call) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = data;
    if (epoll_ctl(s->kq, EPOLL_CTL_ADD, fd, &event) != 0) {
        log_call_error(call, __LINE__);
        return false;
    }
    return true;
}

// The end of accepting: the listening socket and every connection still waiting for its
// hello are closed.
static void server_close_listening(server *s) {
    if (epoll_ctl(s->kq, EPOLL_CTL_DEL, s->connfd, nullptr) != 0)
        log_call_error("epoll_ctl(server->kq, 2, server->connfd, ((void *)0))", __LINE__);
    close(s->connfd);
    s->connfd = -1;
    for (uint64_t i = 0; i < s->nslots; i++)
        server_remove_conn(s, i);
}

static void *server_loop(void *arg) {
    auto *s = static_cast<server *>(arg);
    uint8_t buf[SERVER_READ_SIZE];
    if (!server_register(s, s->connfd, EV_LISTEN,
                         "epoll_ctl(server->kq, 1, server->connfd, &event)") ||
        !server_register(s, s->timerfd, EV_TIMER,
                         "epoll_ctl(server->kq, 1, server->timerfd, &event)") ||
        !server_register(s, s->wakefd, EV_WAKE, "epoll_ctl(server->kq, 1, server->wakefd, &event)"))
        server_on_loop_error();
    LOG_INFO("Server [%d] started.", sys_thread_id());
    epoll_event events[SERVER_MAX_EVENTS];
    while (s->running) {
        int n = epoll_wait(s->kq, events, SERVER_MAX_EVENTS, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            LOG_FATAL("Server loop error: %s", strerror(errno));
            LOG_INFO("Server stopped.");
            server_on_loop_error();
        }
        for (int i = 0; i < n && s->running; i++) {
            if (events[i].data.u64 != EV_WAKE && !server_event(s, events[i], buf))
                server_on_loop_error();
        }
    }
    server_close_listening(s);
    LOG_INFO("Server stopped.");
    return nullptr;
}

void server_stop_accepting(server *s) {
    if (!s->thread_started)
        return;
    s->running = 0;
    const uint64_t one = 1;
    ssize_t n;
    do
        n = write(s->wakefd, &one, sizeof one);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        LOG_SYSERR("write");
    int rc = pthread_join(s->thread, nullptr);
    if (rc != 0)
        LOG_ERROR("[%s:%d] pthread_join %s", __func__, __LINE__, strerror(rc));
    s->thread_started = false;
}

int server_start(server *s) {
    for (loop *l : {s->mgui, s->mgagent, s->dbui, s->dbagent, s->mgdb}) {
        if (l != nullptr && iol_start(l, server_on_loop_error, server_loop_started, s) != 0)
            return -1;
    }
    // Looked at every 10 ms, reported every second.
    for (unsigned i = 1; s->loops_starting.load() > 0; i++) {
        usleep(10000);
        if (i % 100 == 0)
            LOG_DEBUG("Waiting for IO loops to start...");
    }
    // Joinable: the service's stop waits for it to have closed the listening socket.
    int rc = pthread_create(&s->thread, nullptr, server_loop, s);
    if (rc != 0) {
        LOG_FATAL("Cannot start the server thread: %s", strerror(rc));
        return -1;
    }
    s->thread_started = true;
    return 0;
}
