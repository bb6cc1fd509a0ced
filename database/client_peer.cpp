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

// Hands a reply to the requester's loop. A loop that cannot take it leaves it to be freed
// here; the client's connection is then closed, so that it does not wait for ever for a
// reply that will not come.
static void dbui_send(const peer_ctx &ctx, msg *reply) {
    if (iol_send(ctx.l, IOMessage{reply, IOM_SEND, dbui_peer_id(ctx)}) != 0) {
        free(reply);
        iol_close_peer(ctx.l, dbui_peer_id(ctx));
    }
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
    peer->client = new dbui_client;
    const auto *ctx = static_cast<const database_ctx *>(req->target->ctx);
    peer->online = ctx != nullptr ? ctx->online : nullptr;
    iol_accept_request(req, &peer->base, msg_new(MSG_HELLO, answer, sizeof answer));
}

// Lets go of a client; the last one releases it with the queries still waiting.
static void dbui_client_release(dbui_client *c) {
    if (c->refs.fetch_sub(1) != 1)
        return;
    for (query_task *t : c->waiting)
        free(t);
    delete c;
}

// Runs under the loop's table lock: it must not take the client's lock, which a worker may
// hold while it asks the loop to resume reading. The online service's guard may be taken
// here: its holders never wait for the loop.
void dbui_on_close(iol_peer *peer) {
    auto *p = reinterpret_cast<dbui_peer *>(peer);
    if (p->online != nullptr)
        online_unsubscribe(p->online, PeerId{peer->uid, peer->cid, peer->idx, peer->pt});
    if (p->client != nullptr) {
        p->client->closed = true;
        dbui_client_release(p->client);
    }
    free(p);
}

namespace {

// A frame of one client being walked: its sender and the sender's queries.
struct dbui_frame {
    const peer_ctx *ctx;
    dbui_client *client;
};

} // namespace

void dbui_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len) {
    dbui_frame f{ctx, nullptr};
    iol_with_peer(
        ctx->l, &f,
        [](void *arg, iol_peer *p) {
            static_cast<dbui_frame *>(arg)->client = reinterpret_cast<dbui_peer *>(p)->client;
        },
        dbui_peer_id(*ctx));
    if (f.client != nullptr)
        msg_foreach(len, data, &f, dbui_on_message);
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

// Puts the client's waiting queries on the pool, oldest first, while it has room for them;
// called with the client's lock held. A full pool answers the query it refuses with status 2.
// True when no query waits any more.
static bool dbui_start_waiting(dbui_client *c) {
    while (!c->waiting.empty() && c->running < DBUI_CLIENT_TASKS) {
        query_task *t = c->waiting.front();
        c->waiting.pop_front();
        if (iol_submit_task(t->ctx.l, t, dbui_query_task) == 0) {
            c->running++;
            continue;
        }
        LOG_WARN("Tasks queue full. Task dropped.");
        dbui_send_error(t->ctx, t->rid, t->qid);
        free(t);
        c->refs--; // the caller holds a reference of its own: never the last
    }
    return c->waiting.empty();
}

// Copies the query into a task behind the client's earlier ones. While any waits for room,
// the client's reading is paused.
static void dbui_submit(const dbui_frame &f, query_handler handler, uint64_t rid, uint64_t qid,
                        const uint8_t *args, uint32_t len) {
    dbui_client *c = f.client;
    auto *t = static_cast<query_task *>(krv_malloc(sizeof(query_task) + len));
    *t = query_task{*f.ctx, c, handler, rid, qid, len};
    memcpy(t->args, args, len);
    c->refs++;
    std::lock_guard<std::mutex> lk(c->m);
    c->waiting.push_back(t);
    if (!dbui_start_waiting(c) && !c->paused) {
        c->paused = true;
        iol_pause_reading(f.ctx->l, dbui_peer_id(*f.ctx));
    }
}

int dbui_on_message(void *arg, uint8_t type, uint32_t len, const uint8_t *data) {
    const auto &f = *static_cast<const dbui_frame *>(arg);
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
    if (qid == QID_ONLINE_DATA)
        dbui_online_data(*f.ctx, rid, data + DBQ_HDR_LEN, arg_len);
    else
        dbui_submit(f, dbq_table[qid].handler, rid, qid, data + DBQ_HDR_LEN, arg_len);
    return 0;
}

// A query of the client is done: the next one waiting takes its place, and the client is
// read again once none waits.
static void dbui_query_done(query_task *t) {
    dbui_client *c = t->client;
    const PeerId id = dbui_peer_id(t->ctx);
    loop *l = t->ctx.l;
    free(t);
    {
        std::lock_guard<std::mutex> lk(c->m);
        c->running--;
        if (!c->closed && dbui_start_waiting(c) && c->paused) {
            c->paused = false;
            iol_resume_reading(l, id);
        }
    }
    dbui_client_release(c);
}

void dbui_query_task(void *task) {
    auto *t = static_cast<query_task *>(task);
    auto *ctx = static_cast<database_ctx *>(t->ctx.l->ctx);
    msg *reply = t->handler(ctx, t->rid, t->qid, t->args, t->len);
    if (reply == nullptr)
        reply = qresp_build(QRESP_ERROR, t->rid, t->qid, nullptr, 0);
    dbui_send(t->ctx, reply);
    dbui_query_done(t);
}

loop *dbui_loop_create(database_ctx *ctx, mtp_pool *pool) {
    return iol_create(PT_DB_UI, pool, dbui_on_close, dbui_on_auth, dbui_on_frame, ctx);
}
