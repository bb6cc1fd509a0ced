#include "database/client_peer.h"

#include <cstdlib>
#include <cstring>

#include "database/database_ctx.h"
#include "database/online.h"
#include "database/query_exceptions.h"
#include "database/query_flame.h"
#include "database/query_index.h"
#include "database/query_rootcalls.h"
#include "database/query_stack.h"
#include "database/query_symbols.h"
#include "lib/be_load.h"
#include "lib/log.h"
#include "lib/murmur3.h"
#include "lib/version.h"
#include "lib/xalloc.h"
#include "server/reply.h"

// The query bodies read the role's store; without one (a loop made without the role), the
// client gets status 2.
static dbs *dbq_store(const database_ctx *ctx) {
    return ctx != nullptr ? ctx->db : nullptr;
}

static msg *dbq_symbols(database_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                        uint32_t len) {
    dbs *db = dbq_store(ctx);
    return db != nullptr ? dbq_symbols_run(db, rid, qid, args, len) : nullptr;
}

static msg *dbq_kv_metrics(database_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                           uint32_t len) {
    dbs *db = dbq_store(ctx);
    return db != nullptr ? dbq_kv_metrics_run(db, rid, qid, args, len) : nullptr;
}

static msg *dbq_rcall_execution_stack(database_ctx *ctx, uint64_t rid, uint64_t qid,
                                      const uint8_t *args, uint32_t len) {
    dbs *db = dbq_store(ctx);
    return db != nullptr ? dbq_rcall_execution_stack_run(db, rid, qid, args, len) : nullptr;
}

static msg *dbq_extensions(database_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                           uint32_t len) {
    dbs *db = dbq_store(ctx);
    return db != nullptr ? dbq_extensions_run(db, rid, qid, args, len) : nullptr;
}

static msg *dbq_top_exceptions(database_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                               uint32_t len) {
    dbs *db = dbq_store(ctx);
    return db != nullptr ? dbq_top_exceptions_run(db, rid, qid, args, len) : nullptr;
}

static msg *dbq_flame_graph(database_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                            uint32_t len) {
    dbs *db = dbq_store(ctx);
    return db != nullptr ? dbq_flame_graph_run(db, rid, qid, args, len) : nullptr;
}

static msg *dbq_exceptions_occurrences(database_ctx *ctx, uint64_t rid, uint64_t qid,
                                       const uint8_t *args, uint32_t len) {
    dbs *db = dbq_store(ctx);
    return db != nullptr ? dbq_exceptions_occurrences_run(db, rid, qid, args, len) : nullptr;
}

static msg *dbq_index(database_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                      uint32_t len) {
    dbs *db = dbq_store(ctx);
    return db != nullptr ? dbq_index_run(db, rid, qid, args, len) : nullptr;
}

static msg *dbq_calls_grid(database_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                           uint32_t len) {
    dbs *db = dbq_store(ctx);
    return db != nullptr ? dbq_calls_grid_run(db, rid, qid, args, len) : nullptr;
}

const dbq_entry dbq_table[DBQ_COUNT] = {
    {nullptr, nullptr},
    {"TOP EXCEPTIONS", dbq_top_exceptions},
    {"SYMBOLS", dbq_symbols},
    {"ONLINE DATA", nullptr},
    {nullptr, nullptr},
    {"KV METRICS", dbq_kv_metrics},
    {"FLAME GRAPH", dbq_flame_graph},
    {"EXCEPTIONS OCCURRENCES", dbq_exceptions_occurrences},
    {"ROOT CALLS", dbq_root_calls},
    {"ROOT CALL EXECUTION STACK", dbq_rcall_execution_stack},
    {"EXTENSIONS", dbq_extensions},
    {"INDEX", dbq_index},
    {"CALLS GRID", dbq_calls_grid},
};

static PeerId dbui_peer_id(const peer_ctx &ctx) {
    return PeerId{ctx.uid, ctx.cid, ctx.idx, ctx.pt};
}

// Hands a reply to the requester's connection. A loop that cannot take it frees it and closes
// that connection, so that the client does not wait for ever for a reply that will not come.
static void dbui_send(const peer_ctx &ctx, msg *reply) {
    (void)iol_reply(ctx.l, dbui_peer_id(ctx), reply);
}

static void dbui_send_error(const peer_ctx &ctx, uint64_t rid, uint64_t qid) {
    dbui_send(ctx, qresp_build(QRESP_ERROR, rid, qid, nullptr, 0));
}

void dbui_on_auth(auth_request *req) {
    LOG_DEBUG("Database connection authentication attempt.");
    // The uid covers 16 bytes; a shorter body counts as if padded with zeros.
    uint8_t head[DBUI_UID_BYTES] = {};
    memcpy(head, req->body, req->len < DBUI_UID_BYTES ? req->len : DBUI_UID_BYTES);
    const uint64_t uid = murmur3_hash64(head, DBUI_UID_BYTES);

    uint8_t answer[DBUI_ANSWER_LEN] = {};
    memcpy(answer, AUTH_DATABASE, sizeof AUTH_DATABASE);
    store_be16(answer + 8, PROTOCOL_VERSION);
    auto *peer = static_cast<dbui_peer *>(krv_calloc(1, sizeof(dbui_peer)));
    peer->base.uid = uid;
    const auto *ctx = static_cast<const database_ctx *>(req->target->ctx);
    peer->online = ctx != nullptr ? ctx->online : nullptr;
    iol_accept_request(req, &peer->base, msg_new(MSG_HELLO, answer, sizeof answer));
}

// Runs under the loop's table lock. The online service's guard may be taken here: its
// holders never wait for the loop.
void dbui_on_close(iol_peer *peer) {
    auto *p = reinterpret_cast<dbui_peer *>(peer);
    if (p->online != nullptr)
        online_unsubscribe(p->online, PeerId{peer->uid, peer->cid, peer->idx, peer->pt});
    free(p);
}

void dbui_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len) {
    msg_foreach(len, data, ctx, dbui_on_message);
}

// ONLINE DATA, answered on the loop thread: a non-zero argument subscribes the requester, 0
// unsubscribes it. The reply carries the request id whatever the outcome (a client already
// subscribed is told the same); status 2 without the argument or without an online service.
static void dbui_online_data(const peer_ctx &ctx, uint64_t rid, const uint8_t *args,
                             uint32_t arg_len) {
    const auto *db = static_cast<const database_ctx *>(ctx.l->ctx);
    odb *online = db != nullptr ? db->online : nullptr;
    if (arg_len < DBQ_ONLINE_ARG_LEN || online == nullptr) {
        if (arg_len < DBQ_ONLINE_ARG_LEN)
            LOG_ERROR("Incorrect online data argument size: %u!", arg_len);
        else
            LOG_ERROR("Unsupported push data!");
        dbui_send_error(ctx, rid, QID_ONLINE_DATA);
        return;
    }
    if (load_be32(args) != 0)
        (void)online_subscribe(online, rid, dbui_peer_id(ctx)); // a refusal is logged there
    else
        online_unsubscribe(online, dbui_peer_id(ctx));
    uint8_t data[8];
    store_be64(data, rid);
    dbui_send(ctx, qresp_build(QRESP_OK, rid, QID_ONLINE_DATA, data, sizeof data));
}

// Copies the query into a task of the client. -1 when the client is over its limits and is
// being closed: the rest of its frame is not read.
static int dbui_submit(const peer_ctx &ctx, query_handler handler, uint64_t rid, uint64_t qid,
                       const uint8_t *args, uint32_t len) {
    const uint32_t size = static_cast<uint32_t>(sizeof(query_task)) + len;
    auto *t = static_cast<query_task *>(krv_malloc(size));
    *t = query_task{ctx, handler, rid, qid, len};
    memcpy(t->args, args, len);
    return iol_peer_submit(&ctx, dbui_query_task, t, free, size);
}

int dbui_on_message(void *arg, uint8_t type, uint32_t len, const uint8_t *data) {
    const auto &ctx = *static_cast<const peer_ctx *>(arg);
    if (type != MSG_DB_QUERY) {
        LOG_ERROR("Incorrect message type.");
        return -1;
    }
    if (len < DBQ_HDR_LEN) {
        LOG_ERROR("Incorrect query size: %u!", len);
        return -1;
    }
    const uint64_t rid = load_be64(data);
    const uint64_t qid = load_be64(data + 8);
    // The id indexes the table only once it is known to lie inside it.
    if (qid >= DBQ_COUNT || (dbq_table[qid].handler == nullptr && qid != QID_ONLINE_DATA)) {
        LOG_ERROR("Unsupported query id: %lX.", qid);
        return -1;
    }
    LOG_DEBUG("Database query [RID=%lu, QID=%lu, DESC=(%s)]", rid, qid, dbq_table[qid].name);
    const uint32_t arg_len = len - DBQ_HDR_LEN;
    if (qid == QID_ONLINE_DATA) {
        dbui_online_data(ctx, rid, data + DBQ_HDR_LEN, arg_len);
        return 0;
    }
    return dbui_submit(ctx, dbq_table[qid].handler, rid, qid, data + DBQ_HDR_LEN, arg_len);
}

void dbui_query_task(void *task) {
    auto *t = static_cast<query_task *>(task);
    auto *ctx = static_cast<database_ctx *>(t->ctx.l->ctx);
    msg *reply = t->handler(ctx, t->rid, t->qid, t->args, t->len);
    if (reply == nullptr)
        reply = qresp_build(QRESP_ERROR, t->rid, t->qid, nullptr, 0);
    dbui_send(t->ctx, reply);
    free(t);
}

loop *dbui_loop_create(database_ctx *ctx, mtp_pool *pool) {
    loop *l = iol_create(PT_DB_UI, pool, dbui_on_close, dbui_on_auth, dbui_on_frame, ctx);
    if (l != nullptr)
        iol_set_limits(l, iol_limits{DBUI_CLIENT_TASKS, DBUI_CLIENT_WAITING,
                                     DBUI_CLIENT_WAITING_BYTES});
    return l;
}
