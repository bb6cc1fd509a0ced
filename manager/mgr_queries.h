// Manager queries: the type-3 messages of logged-in graphical clients, run on "ManagerPool"
// workers. A query is a big-endian u64 request id (RID), u64 query id (QID) and the query's
// arguments; the QID picks the handler from the table, and every query the table knows gets
// exactly one type-8 reply (server/reply.h), also on failure. Clients list the agents and
// manage configurations with them; changes that concern connected agents are pushed to them
// as agent commands (manager/agentcmd.h) at once.
#pragma once

#include <cstdint>

#include "server/ioloop.h"
#include "server/msg.h"

struct manager_ctx;

// Query ids; the table has MQ_COUNT entries, entry 0 empty.
enum : uint64_t {
    MQ_AGENTS_LIST = 1,
    MQ_AGENTS_SINGLE = 2,
    MQ_CONFS_INFO = 3,
    MQ_CONF_SAVE = 4,
    MQ_CONF_READ = 5,
    MQ_CONF_LABEL_UPDATE = 6,
    MQ_CONF_ACTIVATE = 7,
    MQ_CONF_DELETE = 8,
    MQ_CONF_ATTACH = 9,
    MQ_CONF_DETACH = 10,
};
inline constexpr uint64_t MQ_COUNT = 11;

// RID and QID before the arguments.
inline constexpr uint32_t MQ_HDR_LEN = 16;
// One agent of AGENTS LIST: identity (64), Database nurl (20, family and port big-endian),
// u64 cid1, u64 cid2.
inline constexpr uint32_t MQ_AGENT_RECORD_LEN = 100;

// A handler gets the arguments (len bytes behind the 16-byte head, at least the entry's
// minimum) and returns the reply; NULL is answered with status 2 by the dispatcher.
typedef msg *(*mq_handler)(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                           uint32_t len);

struct mq_entry {
    const char *name;   // shown in the DEBUG line of each query
    mq_handler handler; // NULL for an id no query has
    uint32_t min_args;  // shorter arguments are answered "Incorrect request size.", status 2
};

extern const mq_entry mq_table[MQ_COUNT];

// The reply to one query message of the client `from` (its whole data, len bytes), or NULL
// when the query gets none: shorter than its head, or a QID the table does not hold (both
// logged).
msg *mq_answer(manager_ctx *ctx, const PeerId &from, const uint8_t *data, uint32_t len);
