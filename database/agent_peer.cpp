#include "database/agent_peer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "database/collector.h"
#include "database/database_ctx.h"
#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "lib/be_load.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/xalloc.h"

static void dbagent_refuse(auth_request *req) {
    close(req->peer.connfd);
    free(req);
}

static database_ctx *dbagent_ctx(const loop *l) {
    return static_cast<database_ctx *>(l->ctx);
}

// Registers the agent in the store; an agent registered before is accepted like a new one.
static bool dbagent_register(dbs *db, const agent_identity *identity, uint64_t aid) {
    const int rc = dbs_agent_register(db, reinterpret_cast<const uint8_t *>(identity), aid);
    return rc == 0 || rc == EEXIST;
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
             static_cast<int>(sizeof identity.label), identity.label, started);
    database_ctx *ctx = dbagent_ctx(req->target);
    if (!dbagent_register(ctx->db, &identity, aid)) {
        LOG_ERROR("Unable to add agent to the database!");
        dbagent_refuse(req);
        return;
    }

    auto *peer = static_cast<dbagent_peer *>(krv_calloc(1, sizeof(dbagent_peer)));
    peer->base.uid = aid;
    peer->identity = identity;
    peer->ctx = ctx;
    iol_accept_request(req, &peer->base, msg_new(MSG_HELLO, AUTH_MANAGER, sizeof AUTH_MANAGER));
}

// Stops reading from the agent that sent the frame; runs under its worker's flow lock.
static void dbagent_hold(void *arg) {
    const auto *ctx = static_cast<const peer_ctx *>(arg);
    LOG_DEBUG("Agent [%016lX] waits for its collector worker.", ctx->uid);
    iol_pause_reading(ctx->l, PeerId{ctx->uid, ctx->cid, ctx->idx, ctx->pt});
}

// The agent's worker has caught up: reading from the agent's current connection resumes.
static void dbagent_release(void *arg, uint64_t agent_id) {
    auto *l = static_cast<loop *>(arg);
    PeerId id;
    if (iol_get_peer_id(&id, l, agent_id)->uid == 0)
        return;
    LOG_DEBUG("Agent [%016lX] resumes sending.", agent_id);
    iol_resume_reading(l, id);
}

void dbagent_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len) {
    collector *c = dbagent_ctx(ctx->l)->collector;
    // A frame the queue cannot take is lost; the queue has logged why.
    (void)collector_enqueue(c, ctx->uid, len, data);
    collector_hold(c, ctx->uid, dbagent_hold, ctx);
}

void dbagent_on_close(iol_peer *peer) {
    (void)collector_notify_disconnect(reinterpret_cast<dbagent_peer *>(peer)->ctx->collector,
                                      peer->uid);
    free(peer);
}

loop *dbagent_loop_create(database_ctx *ctx) {
    loop *l =
        iol_create(PT_DB_AG, nullptr, dbagent_on_close, dbagent_on_auth, dbagent_on_frame, ctx);
    if (l != nullptr)
        collector_set_release(ctx->collector, dbagent_release, l);
    return l;
}
