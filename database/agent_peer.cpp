#include "database/agent_peer.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "database/collector.h"
#include "database/database_ctx.h"
#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "lib/be_load.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/xalloc.h"

namespace {

// A hello waiting for its registration on the agent's collector worker.
struct dbagent_hello {
    auth_request *req;
    database_ctx *ctx;
    agent_identity identity;
    uint64_t aid;
};

database_ctx *dbagent_ctx(const loop *l) {
    return static_cast<database_ctx *>(l->ctx);
}

void dbagent_refuse(auth_request *req) {
    close(req->peer.connfd);
    free(req);
}

// The soft descriptor limit of the process, 0 when it cannot be read.
uint64_t nofile_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        LOG_SYSERR("getrlimit");
        return 0;
    }
    return lim.rlim_cur == RLIM_INFINITY ? UINT64_MAX : lim.rlim_cur;
}

// Counts the agent in when the descriptor budget has room for it. False (logged) when not.
bool dbagent_admit(database_ctx *ctx, uint64_t aid) {
    const uint64_t limit = nofile_limit();
    const uint64_t budget = dbagent_budget(limit);
    uint64_t n = ctx->agents.load();
    while (n < budget && !ctx->agents.compare_exchange_weak(n, n + 1)) {
    }
    if (n < budget)
        return true;
    LOG_WARN("Agent [%016lX] refused: %lu agents are connected, as many as a descriptor limit of "
             "%lu allows (%lu each, %lu kept for clients, files and the store).",
             aid, n, limit, DBAGENT_DESCRIPTORS, limit - budget * DBAGENT_DESCRIPTORS);
    return false;
}

// Registers the agent in the store; an agent registered before is accepted like a new one.
bool dbagent_register(dbs *db, const agent_identity *identity, uint64_t aid) {
    const int rc = dbs_agent_register(db, reinterpret_cast<const uint8_t *>(identity), aid);
    return rc == 0 || rc == EEXIST;
}

// Hands the connection to the loop as the agent's peer, answered with AUTH_MANAGER first.
// False when the loop cannot take it (the loop has logged why; nothing is left over).
bool dbagent_accept(dbagent_hello *h) {
    auth_request *req = h->req;
    auto *peer = static_cast<dbagent_peer *>(krv_calloc(1, sizeof(dbagent_peer)));
    peer->base.uid = h->aid;
    peer->identity = h->identity;
    peer->ctx = h->ctx;
    auto *a = static_cast<ioma *>(krv_malloc(sizeof(ioma)));
    *a = ioma{msg_new(MSG_HELLO, AUTH_MANAGER, sizeof AUTH_MANAGER), req->peer, &peer->base};
    if (iol_send(req->target, IOMessage{a, IOM_ACCEPT, PeerId{h->aid, 0, 0, 0}}) == 0)
        return true;
    free(a->response);
    free(a);
    free(peer);
    return false;
}

// On the agent's collector worker: the registration and the answer, or the refusal.
void dbagent_register_task(void *arg, bool cancelled) {
    auto *h = static_cast<dbagent_hello *>(arg);
    database_ctx *ctx = h->ctx;
    bool admitted = false;
    bool accepted = false;
    if (cancelled || !ctx->accepting.load()) {
        LOG_INFO("Agent [%016lX] refused: the Database is stopping.", h->aid);
    } else if ((admitted = dbagent_admit(ctx, h->aid))) {
        if (!dbagent_register(ctx->db, &h->identity, h->aid))
            LOG_ERROR("Unable to add agent to the database!");
        else
            accepted = dbagent_accept(h);
    }
    if (accepted) {
        free(h->req);
    } else {
        if (admitted)
            ctx->agents.fetch_sub(1);
        dbagent_refuse(h->req);
    }
    free(h);
}

// Stops reading from the agent that sent the frame; runs under its worker's flow lock.
void dbagent_hold(void *arg) {
    const auto *ctx = static_cast<const peer_ctx *>(arg);
    LOG_DEBUG("Agent [%016lX] waits for its collector worker.", ctx->uid);
    iol_pause_reading(ctx->l, PeerId{ctx->uid, ctx->cid, ctx->idx, ctx->pt});
}

// The agent's worker has caught up: reading from the agent's current connection resumes,
// unless the Database is stopping.
void dbagent_release(void *arg, uint64_t agent_id) {
    auto *l = static_cast<loop *>(arg);
    PeerId id;
    if (!dbagent_ctx(l)->reading.load() || iol_get_peer_id(&id, l, agent_id)->uid == 0)
        return;
    LOG_DEBUG("Agent [%016lX] resumes sending.", agent_id);
    iol_resume_reading(l, id);
}

// What the quiescing thread waits for: the loop thread's word that it reads no agent any
// more. Shared by both, as the wait may give up before the loop answers.
struct stop_barrier {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
};

int dbagent_collect_peer(void *arg, const netaddr *, iol_peer *p) {
    static_cast<std::vector<PeerId> *>(arg)->push_back(PeerId{p->uid, p->cid, p->idx, p->pt});
    return 0;
}

// On the loop thread: every agent's reading is paused and no frame is queued from now on.
void dbagent_stop_on_loop(loop *l, void *arg) {
    auto *barrier = static_cast<std::shared_ptr<stop_barrier> *>(arg);
    std::vector<PeerId> ids;
    iol_foreach_peer(l, &ids, dbagent_collect_peer);
    for (const PeerId &id : ids)
        (void)iol_pause_reading(l, id);
    dbagent_ctx(l)->reading.store(false);
    {
        std::lock_guard<std::mutex> lk((*barrier)->m);
        (*barrier)->done = true;
    }
    (*barrier)->cv.notify_all();
    delete barrier;
}

} // namespace

uint64_t dbagent_budget(uint64_t nofile) {
    const uint64_t reserve = std::max(DBAGENT_RESERVE_MIN, nofile / 8);
    return nofile > reserve ? (nofile - reserve) / DBAGENT_DESCRIPTORS : 0;
}

void dbagent_on_auth(auth_request *req) {
    LOG_DEBUG("Authenticating agent to database...");
    if (req->len < DBAGENT_HELLO_LEN) {
        LOG_ERROR("Incorrect agent hello size.");
        dbagent_refuse(req);
        return;
    }
    const uint64_t started_ms = load_be64(req->body);
    agent_identity identity;
    memcpy(&identity, req->body + 8, sizeof identity);
    const uint64_t aid = agent_id_of(req->body + 8);
    char started[32];
    fmt_time(started, static_cast<time_t>(started_ms / 1000));
    LOG_INFO("Authenticating agent [%016lX: %.*s] started at [%s]...", aid,
             static_cast<int>(strnlen(identity.label, sizeof identity.label)), identity.label,
             started);
    database_ctx *ctx = dbagent_ctx(req->target);
    if (!ctx->accepting.load()) {
        LOG_INFO("Agent [%016lX] refused: the Database is stopping.", aid);
        dbagent_refuse(req);
        return;
    }
    auto *h = static_cast<dbagent_hello *>(krv_malloc(sizeof(dbagent_hello)));
    *h = dbagent_hello{req, ctx, identity, aid};
    // Registration writes to the disk: the agent's worker does it, in the order of the
    // agent's other work, and answers the hello from there.
    if (collector_call(ctx->collector, aid, dbagent_register_task, h) != 0) {
        LOG_ERROR("Unable to add agent to the database!");
        free(h);
        dbagent_refuse(req);
    }
}

void dbagent_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len) {
    database_ctx *dctx = dbagent_ctx(ctx->l);
    if (!dctx->reading.load()) {
        dctx->frames_dropped.fetch_add(1);
        return;
    }
    collector *c = dctx->collector;
    // A frame the queue cannot take is lost; the queue has logged why.
    (void)collector_enqueue(c, ctx->uid, len, data);
    collector_hold(c, ctx->uid, dbagent_hold, ctx);
}

void dbagent_on_close(iol_peer *peer) {
    database_ctx *ctx = reinterpret_cast<dbagent_peer *>(peer)->ctx;
    ctx->agents.fetch_sub(1);
    (void)collector_notify_disconnect(ctx->collector, peer->uid);
    free(peer);
}

void dbagent_stop_reading(database_ctx *ctx, uint32_t wait_ms) {
    ctx->accepting.store(false);
    if (ctx->agents_loop == nullptr) {
        ctx->reading.store(false);
        return;
    }
    auto barrier = std::make_shared<stop_barrier>();
    auto *held = new std::shared_ptr<stop_barrier>(barrier);
    auto *call = static_cast<iol_call *>(krv_malloc(sizeof(iol_call)));
    *call = iol_call{held, dbagent_stop_on_loop};
    bool answered = false;
    if (iol_send(ctx->agents_loop, IOMessage{call, IOM_CALL, PeerId{}}) == 0) {
        std::unique_lock<std::mutex> lk(barrier->m);
        answered = barrier->cv.wait_for(lk, std::chrono::milliseconds(wait_ms),
                                        [&] { return barrier->done; });
    } else {
        free(call);
        delete held;
    }
    if (!answered) {
        // Frames the loop still queues land behind the collector's stop and are counted there.
        LOG_WARN("The agents' loop did not pause its agents within %u ms.", wait_ms);
        ctx->reading.store(false);
    }
}

loop *dbagent_loop_create(database_ctx *ctx) {
    loop *l =
        iol_create(PT_DB_AG, nullptr, dbagent_on_close, dbagent_on_auth, dbagent_on_frame, ctx);
    if (l != nullptr) {
        collector_set_release(ctx->collector, dbagent_release, l);
        ctx->agents_loop = l;
    }
    return l;
}
