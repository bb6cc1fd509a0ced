#include "manager/client_peer.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "lib/be_load.h"
#include "lib/log.h"
#include "manager/agent_peer.h"
#include "manager/agentcmd.h"
#include "manager/login.h"
#include "manager/manager_ctx.h"
#include "manager/peer_tasks.h"
#include "server/reply.h"
#include "server/server.h"

namespace {

// The MG-UI table, indexed by message type.
const msg_handler MGUI_TABLE[MGUI_TYPES] = {
    nullptr, nullptr, nullptr, mgui_on_manager_query, nullptr, mgui_on_agent_command,
    mgui_on_agent_query, nullptr, nullptr, nullptr,
};

manager_ctx *mgui_ctx(const loop *l) {
    return static_cast<manager_ctx *>(l->ctx);
}

} // namespace

static void mgui_refuse_login(auth_request *req) {
    close(req->peer.connfd);
    free(req);
}

// The pool task of a login: its lines go through the limiter of the loop's hellos.
static void mgui_login_task(void *arg) {
    loop *l = static_cast<auth_request *>(arg)->target;
    {
        log_scope scope(&l->auth_limiter);
        uauth_authenticate(arg);
    }
    mgui_ctx(l)->logins.fetch_sub(1);
}

void mgui_on_auth(auth_request *req) {
    manager_ctx *ctx = mgui_ctx(req->target);
    // Only this thread counts logins up, so the count read here is never passed.
    if (ctx->logins.load() >= MGUI_LOGIN_TASKS) {
        LOG_WARN("Login from %s refused: %u logins are being checked.", req->peer.addr.text,
                 MGUI_LOGIN_TASKS);
        mgui_refuse_login(req);
        return;
    }
    ctx->logins.fetch_add(1);
    // The password check hashes: it runs on the pool, not on the loop thread.
    if (iol_submit_task(req->target, req, mgui_login_task) != 0) {
        ctx->logins.fetch_sub(1);
        LOG_ERROR("Cannot enqueue auth request. Queue full.");
        mgui_refuse_login(req);
    }
}

void mgui_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len) {
    msg_foreach(len, data, ctx, mgui_on_message);
}

int mgui_on_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data) {
    return mgr_submit_message(static_cast<const peer_ctx *>(ctx), MGUI_TABLE, MGUI_TYPES, type,
                              len, data);
}

void mgui_on_close(iol_peer *peer) {
    auto *p = reinterpret_cast<mgui_peer *>(peer);
    if (p->relay != nullptr)
        relay_client_gone(p->relay, relay_conn{peer->uid, peer->cid});
    free(p);
}

void mgui_on_agent_command(iol_task *t) {
    LOG_DEBUG("Handling agent command ...");
    if (t->len < MGUI_COMMAND_HDR_LEN) {
        LOG_ERROR("Incorrect agent command size: %u!", t->len);
        return;
    }
    const uint64_t command = load_be64(t->data);
    const uint64_t aid = load_be64(t->data + 8);
    if (command >= AGENT_CMD_COUNT) {
        LOG_ERROR("Incorrect command id: %lu.", command);
        return;
    }
    // The agent gets the command id and the arguments; the agent id has done its work.
    const msg_part parts[] = {{t->data, AGENT_CMD_ID_LEN},
                              {t->data + MGUI_COMMAND_HDR_LEN, t->len - MGUI_COMMAND_HDR_LEN}};
    if (agentcmd_send(mgui_ctx(t->ctx.l), agentcmd_peer(aid),
                      msg_new_iov(MSG_AGENT_COMMAND, 2, parts)) == 0)
        LOG_DEBUG("Command forwarded to agent.");
}

// Answers a JVM properties query from the text the agent gave before: true when there was one.
static bool mgui_cached_jvmprops(const iol_task *t, loop *agents, uint64_t rid, uint64_t aid) {
    char *text = mgagent_get_jvmprops(agents, aid);
    if (text == nullptr)
        return false;
    LOG_DEBUG("JVM properties get from cache.");
    msg *reply = qresp_build(QRESP_OK, rid, AGENT_QUERY_JVM_PROPERTIES, text,
                             static_cast<uint32_t>(strlen(text)));
    free(text);
    mgr_send_reply(mgui_ctx(t->ctx.l), mgr_sender(t->ctx), reply);
    return true;
}

static void mgui_client_present(void *arg, iol_peer *) {
    *static_cast<bool *>(arg) = true;
}

// Remembers the query before it is forwarded, so that the answer finds its record however soon
// it comes. The record is kept only while both connections are there: each of them forgets
// its records when it closes, and was seen connected after the record was made. -1 when the
// client has as many queries waiting as it may (the record is not made); 0 otherwise, with
// `kept` telling whether the record stayed.
static int mgui_remember(const iol_task *t, loop *agents, PeerId agent, const relay_query &q,
                         bool *kept) {
    manager_ctx *ctx = mgui_ctx(t->ctx.l);
    const relay_conn client{t->ctx.uid, t->ctx.cid};
    if (relay_add(&ctx->relay, client, q) != 0)
        return -1;
    bool present = false;
    iol_with_peer(t->ctx.l, &present, mgui_client_present, mgr_sender(t->ctx));
    *kept = present && mgagent_watch_relay(agents, agent, &ctx->relay);
    if (!*kept)
        relay_remove(&ctx->relay, client, q);
    return 0;
}

// The status-2 reply a client gets for an agent query that is not forwarded.
static void mgui_refuse_query(const iol_task *t, uint64_t rid, uint64_t qid) {
    mgr_send_reply(mgui_ctx(t->ctx.l), mgr_sender(t->ctx),
              qresp_build(QRESP_ERROR, rid, qid, nullptr, 0));
}

void mgui_on_agent_query(iol_task *t) {
    if (t->len < MGUI_QUERY_HDR_LEN) {
        LOG_ERROR("Incorrect agent query size: %u!", t->len);
        return;
    }
    const uint64_t rid = load_be64(t->data);
    const uint64_t qid = load_be64(t->data + 8);
    const uint64_t aid = load_be64(t->data + 16);
    LOG_DEBUG("Agent query QUERY[RID=%lu, QID=%lu, AID=%016lX]", rid, qid, aid);
    manager_ctx *ctx = mgui_ctx(t->ctx.l);
    loop *agents = server_get_loop(ctx->srv, PT_MG_AG);
    if (agents == nullptr)
        return;
    if (qid == AGENT_QUERY_JVM_PROPERTIES && mgui_cached_jvmprops(t, agents, rid, aid))
        return;
    if (t->len > MSG_MAX_DATA - AGENT_QUERY_HEAD_LEN) {
        LOG_WARN("Agent query [RID=%lu] of %u bytes is too large to forward.", rid, t->len);
        mgui_refuse_query(t, rid, qid);
        return;
    }
    // The query goes to the agent's current connection, and only that one may answer it.
    PeerId agent;
    iol_get_peer_id(&agent, agents, aid);
    if (agent.uid == 0)
        return;
    const relay_query q{relay_conn{agent.uid, agent.cid}, rid, qid};
    bool kept = false;
    if (mgui_remember(t, agents, agent, q, &kept) != 0) {
        LOG_WARN("Client [UID=%016lX] has %u agent queries waiting: query [RID=%lu] refused.",
                 t->ctx.uid, RELAY_PER_CLIENT, rid);
        mgui_refuse_query(t, rid, qid);
        return;
    }
    if (!kept)
        return;
    // The agent echoes the requester's PeerId in its answer, which finds the client by it.
    uint8_t head[AGENT_QUERY_HEAD_LEN] = {0, sizeof(PeerId)};
    const PeerId requester = mgr_sender(t->ctx);
    memcpy(head + 2, &requester, sizeof requester);
    const msg_part parts[] = {{head, sizeof head}, {t->data, t->len}};
    if (agentcmd_send(ctx, agent, msg_new_iov(MSG_AGENT_QUERY, 2, parts)) != 0) {
        relay_remove(&ctx->relay, relay_conn{t->ctx.uid, t->ctx.cid}, q);
        mgui_refuse_query(t, rid, qid);
    }
}

loop *mgui_loop_create(manager_ctx *ctx, mtp_pool *pool) {
    loop *l = iol_create(PT_MG_UI, pool, mgui_on_close, mgui_on_auth, mgui_on_frame, ctx);
    if (l != nullptr)
        iol_set_limits(
            l, iol_limits{MGUI_CLIENT_TASKS, MGUI_CLIENT_WAITING, MGUI_CLIENT_WAITING_BYTES});
    return l;
}
