#include "server/ioloop.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "lib/clock.h"
#include "lib/log.h"
#include "lib/rwlock.h"
#include "lib/thread.h"
#include "lib/xalloc.h"

const char *iol_tag(uint32_t pt) {
    static const char *const tags[] = {nullptr, "DB-AG", "MG-AG", "MG-DB", "DB-UI", "MG-UI"};
    return pt >= PT_DB_AG && pt <= PT_MG_UI ? tags[pt] : nullptr;
}

// The lock calls are written against a variable named `loop` so that a failure is logged
// with the expression every other part of the system logs for it.
static void iomq_lock(struct loop *loop) {
    KRV_LOCKCALL(pthread_mutex_lock(&(&loop->iomq)->guard));
}

static void iomq_unlock(struct loop *loop) {
    KRV_LOCKCALL(pthread_mutex_unlock(&(&loop->iomq)->guard));
}

namespace {

// Holds the peer table for reading or writing for the life of the object.
class peers_lock {
public:
    peers_lock(struct loop *loop, bool write)
        : g_(&loop->peers.guard, write, "&loop->peers.guard", __LINE__) {}

private:
    rwlock_guard g_;
};

class iomq_guard {
public:
    explicit iomq_guard(loop *l) : l_(l) { iomq_lock(l); }
    ~iomq_guard() { iomq_unlock(l_); }
    iomq_guard(const iomq_guard &) = delete;
    iomq_guard &operator=(const iomq_guard &) = delete;

private:
    loop *l_;
};

} // namespace

loop *iol_create(uint32_t pt, mtp_pool *pool, iol_close_cb on_close, iol_auth_cb on_auth,
                 iol_frame_cb on_frame, void *ctx) {
    const char *tag = iol_tag(pt);
    if (tag == nullptr) {
        LOG_FATAL("Invalid peer type!");
        return nullptr;
    }
    int kq = epoll_create1(EPOLL_CLOEXEC);
    if (kq < 0) {
        LOG_FATAL("Cannot create the loop [%s]: %s", tag, strerror(errno));
        return nullptr;
    }
    int evfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (evfd < 0) {
        LOG_FATAL("IOL[%s]: Cannot create eventfd: %s", tag, strerror(errno));
        close(kq);
        return nullptr;
    }
    loop *l = new loop{};
    pthread_rwlock_init(&l->peers.guard, nullptr);
    pthread_mutex_init(&l->iomq.guard, nullptr);
    if (int rc = cond_init_monotonic(&l->iomq.room); rc != 0) {
        LOG_FATAL("IOL[%s]: Cannot create the ring's condition: %s", tag, strerror(rc));
        close(evfd);
        close(kq);
        delete l;
        return nullptr;
    }
    l->iomq.capacity = IOL_RING_SLOTS;
    l->pool = pool;
    l->ctx = ctx;
    l->kq = kq;
    l->evfd = evfd;
    l->pt = pt;
    l->tag = tag;
    l->on_auth = on_auth;
    l->on_frame = on_frame;
    l->on_close = on_close;
    l->area = static_cast<uint8_t *>(krv_calloc(1, SOCK_BLOCK_SIZE));
    l->out_soft = IOL_OUT_SOFT;
    l->peer_hard = IOL_PEER_HARD;
    l->stall_ms = IOL_STALL_MS;
    l->limits = IOL_NO_LIMITS;
    l->log_first = LOG_LIMIT_FIRST;
    l->log_interval_ms = LOG_LIMIT_INTERVAL_MS;
    char who[32];
    snprintf(who, sizeof who, "IOL[%s]: Hellos", tag);
    log_limiter_init(&l->auth_limiter, who, LOG_LIMIT_FIRST, LOG_LIMIT_INTERVAL_MS,
                     LOG_LIMIT_RENEW | LOG_LIMIT_ERRORS);
    return l;
}

void iol_set_limits(loop *l, const iol_limits &lim) {
    l->limits = lim;
}

// Wakes the loop thread; a failed write leaves whatever was queued for the next wake-up.
static void iol_notify(loop *l) {
    const uint64_t one = 1;
    ssize_t n;
    do
        n = write(l->evfd, &one, sizeof one);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN)
            LOG_DEBUG("IOL[%s]: Notification queue full.", l->tag);
        else
            LOG_ERROR("IOL[%s]: Cannot send iom: %s", l->tag, strerror(errno));
    } else if (n != sizeof one) {
        LOG_WARN("IOL[%s]: Incomplete write.", l->tag);
    }
}

// Stores m at the ring's tail unless the ring is full. The caller holds the guard.
static bool iol_ring_put(iol_ring &q, const IOMessage &m) {
    if ((q.tail + 1) % q.capacity == q.head)
        return false;
    q.items[q.tail] = m;
    q.tail = (q.tail + 1) % q.capacity;
    q.count++;
    return true;
}

int iol_send(loop *l, IOMessage m) {
    LOG_DEBUG("IOL[%s]: Sending iomessage...", l->tag);
    bool queued;
    {
        iomq_guard g(l);
        queued = iol_ring_put(l->iomq, m);
    }
    if (!queued) {
        LOG_WARN("IOL[%s] queue full! IOMessage %d dropped.", l->tag, static_cast<int>(m.type));
        return -1;
    }
    iol_notify(l);
    return 0;
}

int iol_send_wait(loop *l, IOMessage m, uint32_t wait_ms) {
    // The loop thread alone takes commands out: waiting there would only wait for itself.
    if (wait_ms == 0 || pthread_equal(pthread_self(), l->thread))
        return iol_send(l, m);
    LOG_DEBUG("IOL[%s]: Sending iomessage...", l->tag);
    bool queued;
    {
        iomq_guard g(l);
        iol_ring &q = l->iomq;
        const timespec deadline = monotonic_deadline(wait_ms);
        while (!(queued = iol_ring_put(q, m))) {
            q.waiting++;
            const int rc = pthread_cond_timedwait(&q.room, &q.guard, &deadline);
            q.waiting--;
            if (rc != 0 && rc != EINTR) {
                queued = iol_ring_put(q, m);
                break;
            }
        }
    }
    if (!queued) {
        LOG_WARN("IOL[%s] queue full! IOMessage %d dropped.", l->tag, static_cast<int>(m.type));
        return -1;
    }
    iol_notify(l);
    return 0;
}

int iol_stop(loop *l) {
    return iol_send(l, IOMessage{nullptr, IOM_STOP, PeerId{}});
}

int iol_submit_task(loop *l, void *arg, void (*fn)(void *)) {
    if (l->pool == nullptr)
        return -1;
    return mtp_submit(l->pool, fn, arg);
}

int iol_accept_request(auth_request *req, iol_peer *peer, msg *answer) {
    auto *a = static_cast<ioma *>(krv_malloc(sizeof(ioma)));
    *a = ioma{answer, req->peer, peer};
    int rc = iol_send(req->target, IOMessage{a, IOM_ACCEPT, PeerId{peer->uid, 0, 0, 0}});
    if (rc != 0) {
        free(answer);
        free(a);
        free(peer);
        close(req->peer.connfd);
    }
    free(req);
    return rc;
}

void iol_task_run(void *task) {
    auto *t = static_cast<iol_task *>(task);
    t->handler(t);
    free(t);
}

// Calls fn(peer) for each peer in slot order, no further than the last counted one, until
// fn returns true; that peer is the result (NULL when none).
template <class F> static iol_peer *iol_scan(const loop *l, F fn) {
    uint64_t seen = 0;
    for (uint64_t i = 0; i < l->peers.size && seen < l->peers.count; i++) {
        if (l->peers.slots[i].uid == 0)
            continue;
        seen++;
        if (fn(l->peers.slots[i].peer))
            return l->peers.slots[i].peer;
    }
    return nullptr;
}

// The slot of the first peer with this uid; -1 when there is none. Logs like every lookup
// by uid.
static int64_t iol_find_uid(const loop *l, uint64_t uid) {
    if (uid == 0) {
        LOG_ERROR("Empty peer uid!");
        return -1;
    }
    if (const iol_peer *p = iol_scan(l, [uid](const iol_peer *q) { return q->uid == uid; }))
        return static_cast<int64_t>(p->idx);
    LOG_WARN("Peer not found: uid= %016lX", uid);
    return -1;
}

// The slot named by a PeerId: the slot hint when it holds that very connection, otherwise
// the first peer with the uid. -1 when there is none.
static int64_t iol_peer_find(const loop *l, uint64_t uid, uint64_t cid, uint64_t idx) {
    if (idx >= l->peers.size) {
        LOG_ERROR("Invalid peer index: %lu", idx);
        return -1;
    }
    const iol_slot &hint = l->peers.slots[idx];
    if (uid != 0 && hint.uid == uid && cid != 0 && hint.peer->cid == cid)
        return static_cast<int64_t>(idx);
    return iol_find_uid(l, uid);
}

// The peer connected with exactly this uid and connection id, or NULL; the slot hint first.
// Quiet: a connection that has gone is an everyday event.
static iol_peer *iol_peer_exact(const loop *l, const PeerId &id) {
    if (id.uid == 0 || id.cid == 0)
        return nullptr;
    if (id.idx < l->peers.size) {
        const iol_slot &hint = l->peers.slots[id.idx];
        if (hint.uid == id.uid && hint.peer->cid == id.cid)
            return hint.peer;
    }
    return iol_scan(l, [&id](const iol_peer *q) { return q->uid == id.uid && q->cid == id.cid; });
}

static void iol_peer_log(const char *what, const iol_peer *p) {
    LOG_DEBUG("%s PEER [PT=%X, CID=%lX, UID=%lX IDX=%lu]", what, p->pt, p->cid, p->uid, p->idx);
}

static bool iol_reading_off(const iol_peer *p) {
    return p->paused || p->out_held || p->tasks_held;
}

// The peer's socket is read: its reading is on and no backlog waits to be fed first.
static bool iol_reads_socket(const iol_peer *p) {
    return !iol_reading_off(p) && p->backlog == nullptr;
}

// Epoll interest of a peer: readable while its socket is read, writable while it has
// something to send. Every change of either goes through here, so neither is ever lost.
static void iol_update_events(loop *l, iol_peer *p) {
    epoll_event event{};
    event.events = (iol_reads_socket(p) ? static_cast<uint32_t>(EPOLLIN) : 0u) |
                   (p->writing ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    event.data.ptr = p;
    if (epoll_ctl(l->kq, EPOLL_CTL_MOD, p->s.fd, &event) != 0)
        log_call_error("epoll_ctl(kq, 3, fd , &event)", __LINE__);
}

static void iol_set_writing(loop *l, iol_peer *p, bool on) {
    if (p->writing == on)
        return;
    p->writing = on;
    iol_update_events(l, p);
}

// ---- tasks of a peer ----

static iol_share *iol_share_new(loop *l, const iol_peer *p) {
    auto *sh = new iol_share;
    sh->l = l;
    sh->uid = p->uid;
    char who[64];
    snprintf(who, sizeof who, "IOL[%s]: Client [UID=%016lX]", l->tag, p->uid);
    log_limiter_init(&sh->limiter, who, l->log_first, l->log_interval_ms, 0);
    return sh;
}

// Lets go of a share; the last one tells what its limiter suppressed and frees it.
static void iol_share_unref(iol_share *sh) {
    if (sh->refs.fetch_sub(1) != 1)
        return;
    log_limiter_end(&sh->limiter);
    delete sh;
}

// The peer has gone: its waiting tasks are released unrun, its running ones finish.
static void iol_share_close(iol_share *sh) {
    if (sh == nullptr)
        return;
    std::deque<iol_peer_task *> unrun;
    {
        std::lock_guard<std::mutex> lk(sh->m);
        sh->closed = true;
        unrun.swap(sh->waiting);
        sh->waiting_bytes = 0;
    }
    for (iol_peer_task *t : unrun) {
        t->release(t->arg);
        delete t;
    }
    iol_share_unref(sh);
}

static void iol_peer_task_run(void *arg);

// Puts a share's waiting tasks on the pool, oldest first, while the peer has room there;
// the caller holds the share's lock. A refused task stays first in line and marks the loop
// starved. The reference of each task is taken before the pool may run it.
static void iol_share_start(iol_share *sh) {
    loop *l = sh->l;
    while (!sh->closed && !sh->waiting.empty() && sh->running < l->limits.running) {
        // Once on the pool the task is the worker's, which may free it at once.
        iol_peer_task *t = sh->waiting.front();
        const uint32_t bytes = t->bytes;
        sh->running++;
        sh->refs++;
        if (mtp_submit(l->pool, iol_peer_task_run, t) != 0) {
            sh->running--;
            sh->refs--;
            l->starved.store(true);
            LOG_DEBUG("IOL[%s]: Pool full: a task of Client [UID=%016lX] waits.", l->tag, sh->uid);
            return;
        }
        sh->waiting.pop_front();
        sh->waiting_bytes -= bytes;
    }
}

// Wakes the loop so that it looks at the peers' tasks and pauses (iol_apply_flow).
static void iol_flow_wake(loop *l) {
    l->flow_pending.store(true);
    iol_notify(l);
}

// A task of a peer has ended: the next waiting one takes its place; once none waits (or
// another peer waits for the pool) the loop is woken to resume reading.
static void iol_task_done(iol_share *sh) {
    loop *l = sh->l;
    bool wake;
    {
        std::lock_guard<std::mutex> lk(sh->m);
        sh->running--;
        iol_share_start(sh);
        wake = sh->held && sh->waiting.empty();
    }
    if (wake || l->starved.load())
        iol_flow_wake(l);
}

static void iol_peer_task_run(void *arg) {
    auto *t = static_cast<iol_peer_task *>(arg);
    iol_share *sh = t->share;
    {
        log_scope scope(&sh->limiter);
        t->fn(t->arg);
    }
    delete t;
    iol_task_done(sh);
    iol_share_unref(sh);
}

// Loop thread: brings the peer's reading in line with its waiting tasks, after offering them
// to the pool again.
static void iol_share_sync(loop *l, iol_peer *p) {
    iol_share *sh = p->share;
    if (sh == nullptr)
        return;
    bool hold;
    {
        std::lock_guard<std::mutex> lk(sh->m);
        iol_share_start(sh);
        hold = !sh->waiting.empty();
        sh->held = hold;
    }
    if (p->tasks_held != hold) {
        p->tasks_held = hold;
        if (!hold)
            p->rx_seen_ms = monotonic_ms();
        iol_update_events(l, p);
    }
}

int iol_peer_submit(const peer_ctx *ctx, void (*fn)(void *arg), void *arg,
                    void (*release)(void *arg), uint32_t bytes) {
    loop *l = ctx->l;
    iol_peer *p = iol_peer_exact(l, PeerId{ctx->uid, ctx->cid, ctx->idx, ctx->pt});
    if (p == nullptr || p->s.fd < 0 || p->closing || p->share == nullptr || l->pool == nullptr) {
        release(arg);
        return -1;
    }
    iol_share *sh = p->share;
    auto *t = new iol_peer_task{fn, arg, release, bytes, sh};
    bool hold;
    {
        std::lock_guard<std::mutex> lk(sh->m);
        const iol_limits &lim = l->limits;
        // A task behind others, or beyond the peer's room on the pool, waits: within limits.
        if (!sh->waiting.empty() || sh->running >= lim.running) {
            // The first waiting task may be of any size: one message, which its frame bounds.
            if (sh->waiting.size() >= lim.waiting ||
                (!sh->waiting.empty() && sh->waiting_bytes + bytes > lim.waiting_bytes)) {
                // Once per connection, and the reason it ends: past any limiter.
                log_scope unlimited(nullptr);
                LOG_WARN("IOL[%s]: Client [UID=%016lX] sent more requests than may wait (%zu "
                         "waiting, %lu bytes): closed.",
                         l->tag, p->uid, sh->waiting.size(), sh->waiting_bytes);
                p->closing = 1;
                delete t;
                release(arg);
                return -1;
            }
        }
        sh->waiting.push_back(t);
        sh->waiting_bytes += bytes;
        iol_share_start(sh);
        hold = !sh->waiting.empty();
        sh->held = sh->held || hold;
    }
    if (hold && !p->tasks_held) {
        p->tasks_held = 1;
        iol_update_events(l, p);
    }
    return 0;
}

int iol_reply(loop *l, const PeerId &to, msg *m) {
    if (iol_send(l, IOMessage{m, IOM_SEND, to}) == 0)
        return 0;
    free(m);
    iol_close_peer(l, to);
    return -1;
}

static void iol_free_backlog(loop *l, iol_peer *p) {
    if (p->backlog == nullptr)
        return;
    free(p->backlog);
    p->backlog = nullptr;
    p->backlog_size = 0;
    p->backlog_at = 0;
    std::erase(l->backlogged, p);
}

// Closes the peer's socket and releases what it queued. Its on_close runs once the current
// batch of events is done (iol_bury). The closed socket (fd -1) marks it as gone meanwhile.
static void iol_peer_release(loop *l, iol_peer *p) {
    sock_close(&p->s);
    LOG_DEBUG("Dropping peer messages...");
    while (void *m = ring_pop(&p->queue)) {
        LOG_DEBUG("Dropping peer message %p", m);
        free(m);
    }
    ring_free(&p->queue);
    p->queue = ring{};
    free(p->pending);
    p->pending = nullptr;
    p->last_push = nullptr;
    p->queued_bytes = 0;
    iol_free_backlog(l, p);
    iol_share_close(p->share);
    p->share = nullptr;
    iol_peer_log("Peer dropped!", p);
    LOG_INFO("IOL[%s]: Client [UID=%016lX] destroyed.", l->tag, p->uid);
    l->buried.push_back(p);
}

static void iol_peer_destroy(loop *l, iol_peer *p) {
    int connfd = p->s.fd;
    if (epoll_ctl(l->kq, EPOLL_CTL_DEL, connfd, nullptr) != 0)
        log_call_error("epoll_ctl(loop->kq, 2, connfd, ((void *)0))", __LINE__);
    iol_peer_release(l, p);
}

// Takes the peer out of its slot; the table must be held for writing.
static iol_peer *iol_slot_clear(loop *l, uint64_t slot) {
    iol_peer *p = l->peers.slots[slot].peer;
    l->peers.slots[slot] = iol_slot{0, nullptr};
    l->peers.count--;
    return p;
}

// Drops a peer the loop thread holds: a failed read or send, a hang-up, an error event.
static void iol_drop(loop *l, iol_peer *p) {
    LOG_DEBUG("IOL[%s]: Dropping peer [UID=%016lX]", l->tag, p->uid);
    peers_lock w(l, true);
    iol_peer_destroy(l, iol_slot_clear(l, p->idx));
}

// IOM_DROP. A command meant for an earlier connection of the peer (a non-zero cid that is no
// longer the peer's) leaves the current connection alone.
static void iol_peer_drop(loop *l, const PeerId &id) {
    LOG_DEBUG("IOL[%s]: Dropping peer [UID=%016lX]", l->tag, id.uid);
    peers_lock w(l, true);
    int64_t slot = iol_peer_find(l, id.uid, id.cid, id.idx);
    if (slot < 0)
        return;
    if (id.cid != 0 && l->peers.slots[slot].peer->cid != id.cid) {
        LOG_ERROR("IOL[%s]: Mismatch CID!", l->tag);
        return;
    }
    iol_peer_destroy(l, iol_slot_clear(l, static_cast<uint64_t>(slot)));
}

// Runs on_close for the peers unlinked during the batch just handled.
static void iol_bury(loop *l) {
    if (l->buried.empty())
        return;
    peers_lock w(l, true);
    for (iol_peer *p : l->buried)
        l->on_close(p);
    l->buried.clear();
}

// A slot for a new peer with this uid: the slot of a connected peer with the same uid (that
// peer is destroyed), else the first free slot, else the first of 32 new ones. The table
// must be held for writing.
static uint64_t iol_take_slot(loop *l, uint64_t uid) {
    iol_peers &t = l->peers;
    uint64_t free_slot = t.size;
    for (uint64_t i = 0; i < t.size; i++) {
        if (t.slots[i].uid == uid) {
            LOG_WARN("IOL[%s]: Client already connected. The existing connection will be dropped.",
                     l->tag);
            iol_peer_destroy(l, iol_slot_clear(l, i));
            return i;
        }
        if (t.slots[i].uid == 0 && free_slot == t.size)
            free_slot = i;
    }
    if (free_slot < t.size)
        return free_slot;
    t.slots =
        static_cast<iol_slot *>(krv_realloc(t.slots, (t.size + IOL_TABLE_STEP) * sizeof(iol_slot)));
    memset(t.slots + t.size, 0, IOL_TABLE_STEP * sizeof(iol_slot));
    t.size += IOL_TABLE_STEP;
    return free_slot;
}

// IOM_ACCEPT: the new peer takes a slot and its socket, and its first message is queued.
static void iol_accept(loop *l, ioma *a, uint64_t uid) {
    LOG_DEBUG("Accepting peer...");
    iol_peer *p = a->peer;
    if (uid == 0 || p == nullptr) {
        // A peer without identity would sit in a slot that looks free.
        LOG_ERROR("Empty peer uid!");
        close(a->client.connfd);
        free(a->response);
        if (p != nullptr)
            l->buried.push_back(p);
        return;
    }
    {
        peers_lock w(l, true);
        uint64_t slot = iol_take_slot(l, uid);
        sock_init(&p->s, a->client.connfd, reinterpret_cast<const sockaddr *>(&a->client.addr),
                  SOCK_RECV_AREA, l->area, SOCK_BLOCK_SIZE);
        p->uid = uid;
        p->idx = slot;
        p->pt = l->pt;
        p->cid = p->s.cid;
        p->pending = nullptr;
        p->pending_size = 0;
        p->paused = 0;
        p->out_held = 0;
        p->want_paused = 0;
        p->want_close = 0;
        p->queued_bytes = 0;
        p->rx_seen_ms = monotonic_ms();
        p->last_push = nullptr;
        p->tasks_held = 0;
        p->closing = 0;
        p->backlog = nullptr;
        p->backlog_size = 0;
        p->backlog_at = 0;
        p->share = iol_share_new(l, p);
        ring_init(&p->queue, IOL_PEER_QUEUE);
        l->peers.slots[slot] = iol_slot{uid, p};
        l->peers.count++;
        p->writing = a->response != nullptr && ring_push(&p->queue, a->response) == 0;
        if (p->writing)
            p->queued_bytes = msg_size(a->response);
        LOG_INFO("IOL[%s] Client #%lu accepted.", l->tag, l->peers.count);
    }
    epoll_event event{};
    event.events = EPOLLIN | (p->writing ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    event.data.ptr = p;
    if (epoll_ctl(l->kq, EPOLL_CTL_ADD, p->s.fd, &event) != 0) {
        log_call_error("epoll_ctl(loop->kq, 1, ioma->client.connfd ,&event)", __LINE__);
        // A peer the loop cannot watch would never be read nor dropped.
        peers_lock w(l, true);
        iol_peer_release(l, iol_slot_clear(l, p->idx));
        return;
    }
    iol_peer_log("Peer accepted!", p);
}

// What the peer makes the loop hold for its output: the messages queued for it and its
// frame, gathered or in flight.
static uint64_t iol_out_bytes(const iol_peer *p) {
    return p->queued_bytes + p->s.used + p->s.pending;
}

// What the peer makes the loop hold for its input: its partial frame and its backlog.
static uint64_t iol_in_bytes(const iol_peer *p) {
    return p->s.rx.payload.len + p->backlog_size;
}

// True when the peer holds more than its hard limit, output and input together; the caller
// drops it. The WARN line says so.
static bool iol_over_budget(const loop *l, const iol_peer *p) {
    const uint64_t held = iol_out_bytes(p) + iol_in_bytes(p);
    if (held <= l->peer_hard)
        return false;
    LOG_WARN("IOL[%s]: Client [UID=%016lX] holds %lu bytes, over its limit of %lu: closed.", l->tag,
             p->uid, held, l->peer_hard);
    return true;
}

// Pauses the peer's reading while its output is over the soft limit, and resumes it once the
// output has come down to half of it.
static void iol_check_output(loop *l, iol_peer *p) {
    const uint64_t out = iol_out_bytes(p);
    if (!p->out_held && out > l->out_soft) {
        LOG_DEBUG("IOL[%s]: Client [UID=%016lX] has %lu bytes to take: reading paused.", l->tag,
                  p->uid, out);
        p->out_held = 1;
        iol_update_events(l, p);
    } else if (p->out_held && out <= l->out_soft / 2) {
        LOG_DEBUG("IOL[%s]: Client [UID=%016lX] output drained: reading resumed.", l->tag, p->uid);
        p->out_held = 0;
        p->rx_seen_ms = monotonic_ms();
        iol_update_events(l, p);
    }
}

// Queues msg to one peer, making it writable; the queue grows as needed, the peer's budget
// bounds it. False when the peer is now over its hard limit: the caller drops it (the message
// goes with its queue).
static bool iol_enqueue(loop *l, iol_peer *p, msg *m) {
    if (ring_push(&p->queue, m) != 0) {
        ring_grow(&p->queue, IOL_PEER_QUEUE);
        ring_push(&p->queue, m);
    }
    p->queued_bytes += msg_size(m);
    iol_set_writing(l, p, true);
    if (iol_over_budget(l, p))
        return false;
    iol_check_output(l, p);
    return true;
}

// The peer a send names: with a connection id, that very connection (a message for one that
// has gone is dropped and counted, never handed to a later connection of the same uid, where
// it could match a request of another session); without, the peer with the uid.
static iol_peer *iol_send_target(loop *l, const PeerId &id) {
    if (id.cid != 0) {
        iol_peer *p = iol_peer_exact(l, id);
        if (p == nullptr) {
            l->gone.fetch_add(1);
            LOG_DEBUG("IOL[%s]: Peer [UID=%016lX, CID=%lX] gone: message dropped.", l->tag, id.uid,
                      id.cid);
        }
        return p;
    }
    int64_t slot = iol_peer_find(l, id.uid, id.cid, id.idx);
    if (slot < 0) {
        LOG_WARN("IOL[%s]: No such peer [UID=%016lX] found.", l->tag, id.uid);
        return nullptr;
    }
    return l->peers.slots[slot].peer;
}

static void iol_do_send(loop *l, msg *m, const PeerId &id) {
    if (m == nullptr)
        return;
    iol_peer *p = iol_send_target(l, id);
    if (p == nullptr) {
        free(m);
        return;
    }
    if (!iol_enqueue(l, p, m)) {
        iol_drop(l, p);
        return;
    }
    LOG_DEBUG("IOL[%s]: Peer has some data to send.", l->tag);
}

static void iol_do_broadcast(loop *l, msg *m) {
    if (m == nullptr)
        return;
    if (l->peers.count == 0)
        LOG_DEBUG("No UI clients to broadcast to.");
    // Peers over their budget are dropped after the walk, which must not see the table change.
    std::vector<iol_peer *> over;
    iol_scan(l, [l, m, &over](iol_peer *p) {
        if (!iol_enqueue(l, p, msg_dup(m)))
            over.push_back(p);
        return false;
    });
    for (iol_peer *p : over)
        iol_drop(l, p);
    free(m);
}

// Whether a push of `size` bytes is to pass the peer by; says why in a DEBUG line. A peer with
// no output waiting always takes it, however large, so that no push is too big for everyone.
static bool iol_push_skipped(const loop *l, const iol_peer *p, uint64_t size) {
    if (p->last_push != nullptr) {
        LOG_DEBUG("IOL[%s]: Client [UID=%016lX] has not taken its last push: push skipped.", l->tag,
                  p->uid);
        return true;
    }
    const uint64_t out = iol_out_bytes(p);
    if ((out > 0 && out + size > l->out_soft) || out + size + iol_in_bytes(p) > l->peer_hard) {
        LOG_DEBUG("IOL[%s]: Client [UID=%016lX] has %lu bytes to take: push skipped.", l->tag,
                  p->uid, out);
        return true;
    }
    return false;
}

iol_fanout_result iol_fan_out(loop *l, msg *const *parts, uint32_t n, const PeerId *ids,
                              size_t count) {
    iol_fanout_result r{};
    uint64_t size = 0;
    for (uint32_t i = 0; i < n; i++)
        size += msg_size(parts[i]);
    for (size_t k = 0; k < count && n > 0; k++) {
        iol_peer *p = iol_peer_exact(l, ids[k]);
        if (p == nullptr || p->s.fd < 0) {
            r.gone++;
            continue;
        }
        if (iol_push_skipped(l, p, size)) {
            r.skipped++;
            continue;
        }
        // The skip rule keeps the peer within its hard limit, so no enqueue here fails.
        for (uint32_t i = 0; i < n; i++) {
            msg *copy = msg_dup(parts[i]);
            (void)iol_enqueue(l, p, copy);
            p->last_push = copy;
        }
        r.sent++;
    }
    return r;
}

// Runs one command; false when the loop is to end.
static bool iol_execute(loop *l, const IOMessage &m) {
    const PeerId id = m.peer;
    switch (m.type) {
    case IOM_DROP:
        iol_peer_drop(l, id);
        free(m.data);
        break;
    case IOM_ACCEPT:
        if (m.data != nullptr)
            iol_accept(l, static_cast<ioma *>(m.data), id.uid);
        free(m.data);
        break;
    case IOM_AUTH:
        LOG_DEBUG("PeerId: [PT=%X, CID=%lX, UID=%lX IDX=%lu]", id.pt, id.cid, id.uid, id.idx);
        if (m.data != nullptr) {
            log_scope scope(&l->auth_limiter);
            l->on_auth(static_cast<auth_request *>(m.data));
        }
        break;
    case IOM_SEND:
        iol_do_send(l, static_cast<msg *>(m.data), id);
        break;
    case IOM_BROADCAST:
        iol_do_broadcast(l, static_cast<msg *>(m.data));
        break;
    case IOM_CALL:
        if (auto *c = static_cast<iol_call *>(m.data))
            c->fn(l, c->arg);
        free(m.data);
        break;
    case IOM_STOP:
        LOG_INFO("IOL[%s] stopped.", l->tag);
        return false;
    default:
        LOG_ERROR("IOL[%s]: Incorrect IO message type: %x", l->tag, m.type);
        free(m.data);
        break;
    }
    return true;
}

// Copies the oldest command out of the ring; false when it is empty.
static bool iol_ring_take(loop *l, IOMessage *out) {
    iomq_guard g(l);
    iol_ring &q = l->iomq;
    if (q.head == q.tail)
        return false;
    *out = q.items[q.head];
    q.items[q.head] = IOMessage{};
    q.head = (q.head + 1) % q.capacity;
    q.count--;
    if (q.waiting > 0)
        pthread_cond_signal(&q.room);
    return true;
}

// Brings every peer's registration in line with its pause wish, and closes the peers that
// other threads asked to close.
static void iol_apply_flow(loop *l) {
    std::vector<iol_peer *> closing;
    l->starved.store(false);
    {
        peers_lock r(l, false);
        iol_scan(l, [l, &closing](iol_peer *p) {
            if (p->want_close) {
                closing.push_back(p);
                return false;
            }
            if (p->paused != p->want_paused) {
                p->paused = p->want_paused;
                if (!p->paused)
                    p->rx_seen_ms = monotonic_ms();
                iol_update_events(l, p);
            }
            iol_share_sync(l, p);
            return false;
        });
    }
    for (iol_peer *p : closing) {
        LOG_WARN("IOL[%s]: Client [UID=%016lX] closed: a message for it could not be queued.",
                 l->tag, p->uid);
        iol_drop(l, p);
    }
}

// Records another thread's wish for a peer under the table's lock, then wakes the loop.
template <class F> static int iol_wish(loop *l, const PeerId &id, F set) {
    {
        peers_lock w(l, true);
        iol_peer *p = iol_peer_exact(l, id);
        if (p == nullptr)
            return -1;
        set(p);
    }
    // Set after the wish and before the wake-up: the loop reads it only once woken, so a
    // change cannot slip between its look at the flag and its look at the peers.
    l->flow_pending.store(true);
    iol_notify(l);
    return 0;
}

int iol_pause_reading(loop *l, PeerId id) {
    return iol_wish(l, id, [](iol_peer *p) { p->want_paused = 1; });
}

int iol_resume_reading(loop *l, PeerId id) {
    return iol_wish(l, id, [](iol_peer *p) { p->want_paused = 0; });
}

int iol_close_peer(loop *l, PeerId id) {
    return iol_wish(l, id, [](iol_peer *p) { p->want_close = 1; });
}

// The eventfd is readable: takes the wake-up count and runs as many commands. False when
// the loop is to end.
static bool iol_channel(loop *l) {
    uint64_t counter = 0;
    ssize_t n;
    do
        n = read(l->evfd, &counter, sizeof counter);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN)
            LOG_ERROR("IOL[%s]: Cannot read from the channel socket.", l->tag);
        return true;
    }
    if (n == 0) {
        LOG_WARN("IOL[%s]: Channel closed.", l->tag);
        LOG_INFO("IOL[%s] stopped.", l->tag);
        return false;
    }
    LOG_DEBUG("IOL[%s]: Channel notified.", l->tag);
    LOG_DEBUG("IOL[%s]: Channel read: %lu", l->tag, counter);
    if (l->flow_pending.exchange(false))
        iol_apply_flow(l);
    IOMessage m;
    for (uint64_t i = 0; i < counter && iol_ring_take(l, &m); i++) {
        LOG_DEBUG("IOL[%s]: Notification received: %d.", l->tag, static_cast<int>(m.type));
        if (!iol_execute(l, m))
            return false;
    }
    return true;
}

// What a feed of a peer's bytes hands its callbacks.
struct iol_feed {
    peer_ctx ctx; // the sender, as on_frame gets it
    iol_peer *peer;
};

static void iol_deliver(void *ctx, uint8_t *body, uint64_t len) {
    auto *f = static_cast<iol_feed *>(ctx);
    f->ctx.l->on_frame(&f->ctx, body, len);
}

// Whether the peer is to take no further frame now: its reading is paused, another thread has
// asked for that or for its close (a wish the loop has not applied yet), or it is closing.
static bool iol_held(loop *l, const iol_peer *p) {
    if (iol_reading_off(p) || p->closing)
        return true;
    if (!l->flow_pending.load())
        return false;
    peers_lock r(l, false);
    return p->want_paused || p->want_close;
}

static bool iol_feed_held(void *ctx) {
    const auto *f = static_cast<const iol_feed *>(ctx);
    return iol_held(f->ctx.l, f->peer);
}

// Keeps the bytes of a read that a held frame left unfed; the socket is not read until they
// have been fed.
static void iol_keep_backlog(loop *l, iol_peer *p, std::span<const uint8_t> rest) {
    p->backlog = static_cast<uint8_t *>(krv_malloc(rest.size()));
    memcpy(p->backlog, rest.data(), rest.size());
    p->backlog_size = static_cast<uint32_t>(rest.size());
    p->backlog_at = 0;
    l->backlogged.push_back(p);
    iol_update_events(l, p);
}

// Feeds the peer's backlog until a frame holds it again; fed to its end, the backlog is freed
// and the socket is read again.
static void iol_feed_backlog(loop *l, iol_peer *p) {
    iol_feed f{{l, p->uid, p->cid, p->idx, p->pt}, p};
    const std::span<uint8_t> rest{p->backlog + p->backlog_at,
                                  static_cast<size_t>(p->backlog_size - p->backlog_at)};
    uint64_t used = 0;
    int rc;
    {
        log_scope scope(&p->share->limiter);
        rc = frame_rx_feed(&p->s.rx, rest, {p->s.zarea, static_cast<size_t>(p->s.zsize)}, &f,
                           iol_deliver, iol_feed_held, &used);
    }
    if (rc != 0 || p->closing) {
        iol_drop(l, p);
        return;
    }
    p->backlog_at += static_cast<uint32_t>(used);
    p->rx_seen_ms = monotonic_ms();
    if (p->backlog_at == p->backlog_size) {
        iol_free_backlog(l, p);
        iol_update_events(l, p);
    }
    if (iol_over_budget(l, p))
        iol_drop(l, p);
}

// Feeds the backlogs of the peers whose reading is on again, however it resumed: no readable
// event may come for bytes the loop already holds.
static void iol_feed_backlogs(loop *l) {
    if (l->backlogged.empty())
        return;
    // A peer dropped meanwhile leaves the list; its block lives until the batch's end.
    const std::vector<iol_peer *> due = l->backlogged;
    for (iol_peer *p : due)
        if (p->s.fd >= 0 && p->backlog != nullptr && !iol_held(l, p))
            iol_feed_backlog(l, p);
}

// A writable peer: everything queued joins the open frame, then the frame is sent. A frame
// still in flight keeps the rest waiting for the next writable event.
static void iol_send_step(loop *l, iol_peer *p) {
    for (;;) {
        if (p->pending == nullptr) {
            p->pending = static_cast<msg *>(ring_pop(&p->queue));
            if (p->pending != nullptr) {
                p->pending_size = msg_size(p->pending);
                LOG_DEBUG("IOL[%s]: Peer output data %p of size %u", l->tag,
                          static_cast<void *>(p->pending), p->pending_size);
            }
        }
        const auto *bytes = reinterpret_cast<const uint8_t *>(p->pending);
        int rc = sock_send(&p->s, bytes, bytes != nullptr ? p->pending_size : 0);
        switch (rc) {
        case E2BIG:
            LOG_ERROR("Message size too big!");
            break;
        case EAGAIN:
            LOG_DEBUG("IOL[%s]: Message enqueued to send.", l->tag);
            break;
        case ENOSPC:
            iol_check_output(l, p);
            return;
        case 0:
            LOG_DEBUG("IOL[%s]: All messages sent.", l->tag);
            iol_set_writing(l, p, false);
            iol_check_output(l, p);
            return;
        default:
            LOG_ERROR("IOL[%s]: Socket write error: %s", l->tag, strerror(rc));
            iol_drop(l, p);
            return;
        }
        if (p->pending != nullptr)
            p->queued_bytes -= p->pending_size;
        if (p->pending == p->last_push)
            p->last_push = nullptr;
        free(p->pending);
        p->pending = nullptr;
    }
}

// One event of a peer. The peer may have been unlinked by an earlier event of the same batch;
// its block is then still alive (its on_close waits for the batch's end) and its socket shows
// it is gone.
static void iol_peer_event(loop *l, iol_peer *p, uint32_t events) {
    if (p->s.fd < 0)
        return;
    if (events & (EPOLLHUP | EPOLLRDHUP)) {
        LOG_WARN("IOL[%s]: %s => %u", l->tag, "Connection closed by peer.", events);
        iol_drop(l, p);
        return;
    }
    if ((events & EPOLLERR) || !(events & (EPOLLIN | EPOLLOUT))) {
        LOG_WARN("IOL[%s]: %s => %u", l->tag, "Event error", events);
        iol_drop(l, p);
        return;
    }
    if ((events & EPOLLIN) && iol_reads_socket(p)) {
        iol_feed f{{l, p->uid, p->cid, p->idx, p->pt}, p};
        LOG_DEBUG("IOL[%s]: Reading from socket...", l->tag);
        std::span<uint8_t> rest;
        int rc;
        {
            log_scope scope(&p->share->limiter);
            rc = sock_recv(&p->s, &f, iol_deliver, iol_feed_held, &rest);
        }
        if (rc != 0 || p->closing) {
            iol_drop(l, p);
            return;
        }
        // The rest lies in the loop's receive area, which the next read overwrites.
        if (!rest.empty())
            iol_keep_backlog(l, p, rest);
        if (iol_over_budget(l, p)) {
            iol_drop(l, p);
            return;
        }
        p->rx_seen_ms = monotonic_ms();
    }
    if (events & EPOLLOUT)
        iol_send_step(l, p);
}

// How often the loop looks for stalled frames: a tenth of the stall time, at most a second.
static uint32_t iol_scan_period(const loop *l) {
    uint32_t period = l->stall_ms / 10;
    return period < 10 ? 10 : period > 1000 ? 1000 : period;
}

// The loop's periodic look. Closes the peers that hold part of a frame and have sent nothing
// for the stall time while they were read (a peer whose reading is paused is waiting for us,
// not stalling), and those over their task limits; and lets the limiters tell what they
// suppressed in an interval that is over, so that a peer gone quiet still has its count told.
static void iol_close_stalled(loop *l) {
    const uint64_t now = monotonic_ms();
    if (now - l->stall_scan_ms < iol_scan_period(l))
        return;
    l->stall_scan_ms = now;
    std::vector<iol_peer *> stalled;
    std::vector<iol_peer *> closing;
    iol_scan(l, [l, now, &stalled, &closing](iol_peer *p) {
        log_limiter_tick(&p->share->limiter);
        if (p->closing) {
            closing.push_back(p);
            return false;
        }
        const bool partial = p->s.rx.hlen != 0 || p->s.rx.expect != 0;
        if (partial && iol_reads_socket(p) && now - p->rx_seen_ms >= l->stall_ms)
            stalled.push_back(p);
        return false;
    });
    log_limiter_tick(&l->auth_limiter);
    for (iol_peer *p : stalled) {
        LOG_WARN("IOL[%s]: Client [UID=%016lX] sent no byte of its frame for %g seconds: "
                 "closed.",
                 l->tag, p->uid, l->stall_ms / 1000.0);
        iol_drop(l, p);
    }
    // Over their task limits outside a read (their WARN line is written).
    for (iol_peer *p : closing)
        iol_drop(l, p);
}

// Ends the loop thread after a failure of its own: the owner decides what that means.
static void *iol_fail(loop *l) {
    LOG_INFO("IOL[%s] stopped.", l->tag);
    iol_bury(l);
    if (l->on_error != nullptr)
        l->on_error();
    return nullptr;
}

static void *iol_main(void *arg) {
    auto *l = static_cast<loop *>(arg);
    thread_mark_loop();
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr; // peers carry their record, never NULL
    if (epoll_ctl(l->kq, EPOLL_CTL_ADD, l->evfd, &event) != 0) {
        log_call_error("epoll_ctl(loop->kq, 1, loop->evfd ,&event)", __LINE__);
        return iol_fail(l);
    }
    LOG_INFO("IOL[%s]: TID=%d started.", l->tag, sys_thread_id());
    if (l->on_started != nullptr)
        l->on_started(l->started_ctx);
    epoll_event events[IOL_MAX_EVENTS];
    l->stall_scan_ms = monotonic_ms();
    for (;;) {
        int n = epoll_wait(l->kq, events, IOL_MAX_EVENTS, static_cast<int>(iol_scan_period(l)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            LOG_FATAL("IOL[%s]: Server error: %s", l->tag, strerror(errno));
            return iol_fail(l);
        }
        for (int i = 0; i < n; i++) {
            const uint32_t bits = events[i].events;
            auto *p = static_cast<iol_peer *>(events[i].data.ptr);
            if (p != nullptr) {
                iol_peer_event(l, p, bits);
                continue;
            }
            if ((bits & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) || !(bits & EPOLLIN))
                return iol_fail(l);
            if (!iol_channel(l)) {
                iol_bury(l);
                return nullptr;
            }
        }
        if (l->starved.load())
            iol_apply_flow(l);
        iol_feed_backlogs(l);
        iol_close_stalled(l);
        iol_bury(l);
    }
}

int iol_start(loop *l, iol_error_cb on_error, iol_started_cb on_started, void *started_ctx) {
    l->on_error = on_error;
    l->on_started = on_started;
    l->started_ctx = started_ctx;
    int rc = start_detached(&l->thread, iol_main, l);
    if (rc != 0) {
        LOG_FATAL("IOL[%s]: Cannot start the thread: %s", l->tag, strerror(rc));
        return -1;
    }
    return 0;
}

void iol_foreach_peer(loop *l, void *arg, int (*fn)(void *arg, const netaddr *addr, iol_peer *p)) {
    peers_lock r(l, false);
    iol_scan(l, [arg, fn](iol_peer *p) { return fn(arg, &p->s.addr, p) != 0; });
}

PeerId *iol_get_peer_id(PeerId *out, loop *l, uint64_t uid) {
    *out = PeerId{};
    peers_lock r(l, false);
    int64_t slot = iol_find_uid(l, uid);
    if (slot >= 0) {
        const iol_peer *p = l->peers.slots[slot].peer;
        *out = PeerId{p->uid, p->cid, p->idx, p->pt};
    }
    return out;
}

void iol_with_peer(loop *l, void *arg, void (*fn)(void *arg, iol_peer *p), PeerId id) {
    peers_lock w(l, true);
    if (iol_peer *p = iol_peer_exact(l, id))
        fn(arg, p);
}

uint64_t iol_peer_count(loop *l) {
    peers_lock r(l, false);
    return l->peers.count;
}
