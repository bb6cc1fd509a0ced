// Graphical clients at a Database: the DB-UI loop's role. A client is accepted on its hello
// without a login and answered with the Database's name and version word. Each query message
// names its query by id: ONLINE DATA is answered on the loop thread, every other query is
// copied into a task that a "DatabasePool" worker runs with the query's handler, and the
// handler's reply goes back to the client through the loop.
#pragma once

#include <cstdint>

#include "lib/mtp.h"
#include "server/ioloop.h"
#include "server/msg.h"

// The answer to a client's hello: these 8 characters, the version word (big-endian) and a
// zero byte.
inline constexpr char AUTH_DATABASE[8] = {'D', 'A', 'T', 'A', 'B', 'A', 'S', 'E'};
constexpr uint32_t DBUI_ANSWER_LEN = 11;
// Bytes of the hello body that make the client's uid; a shorter body is padded with zeros.
constexpr uint32_t DBUI_UID_BYTES = 16;

// A query message: u64 request id, u64 query id, then the query's arguments.
constexpr uint32_t DBQ_HDR_LEN = 16;
constexpr uint64_t DBQ_COUNT = 13; // query ids 0 to 12
constexpr uint64_t QID_ONLINE_DATA = 3;
// The ONLINE DATA argument: u32, not 0 to subscribe, 0 to unsubscribe.
constexpr uint32_t DBQ_ONLINE_ARG_LEN = 4;

struct database_ctx;

// Runs a query on a pool worker over the Database's context: a complete type-8 reply
// carrying rid, qid and a status, or NULL when the query failed (the client then gets status
// 2). It owns nothing of its input.
typedef msg *(*query_handler)(database_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                              uint32_t len);

// One entry of the query table; ids without a query have neither name nor handler, and
// ONLINE DATA has a name but no handler (the loop answers it).
struct dbq_entry {
    const char *name;
    query_handler handler;
};

// Indexed by query id.
extern const dbq_entry dbq_table[DBQ_COUNT];

// The queries one client may have on the pool at once, queued or running. Its further
// queries wait behind them in the order they came, with the client's reading paused while
// any wait, so one client cannot hold every worker of the pool. At most DBUI_CLIENT_WAITING
// queries of DBUI_CLIENT_WAITING_BYTES bytes together wait; a client that sends more at
// once (one frame may inflate to millions of tiny queries) is closed.
constexpr uint32_t DBUI_CLIENT_TASKS = 4;
constexpr uint32_t DBUI_CLIENT_WAITING = 64;
constexpr uint64_t DBUI_CLIENT_WAITING_BYTES = 1ull << 20;

struct odb;

// The loop's peer record of a client.
struct dbui_peer {
    iol_peer base;
    odb *online; // the online service whose subscription its close ends; may be NULL
};

// One query on its way to the pool; dbui_query_task owns it and frees it.
struct query_task {
    peer_ctx ctx; // the requester
    query_handler handler;
    uint64_t rid;
    uint64_t qid;
    uint32_t len;
    uint8_t args[];
};

// The DB-UI loop on `pool`, its queries run over `ctx`. NULL after a FATAL line.
loop *dbui_loop_create(database_ctx *ctx, mtp_pool *pool);

// Role callbacks of the loop; all run on its thread.
void dbui_on_auth(auth_request *req);
void dbui_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len);
void dbui_on_close(iol_peer *peer);

// One message of a client's frame (ctx: the frame's sender, a peer_ctx): 0, or -1 to drop
// the rest of the frame.
int dbui_on_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data);

// Pool function of a query: runs its handler and sends the reply to the requester.
void dbui_query_task(void *task);
