// Monitoring agents at a Database: the DB-AG loop's role. An agent's hello registers it in
// the data store and is answered; every frame it sends is queued whole to the collector
// worker of the agent; its disconnect is told to that worker. The loop has no thread pool:
// the work on agent data happens on the collector's threads.
//
// While the agent's collector worker holds more queued data than its budget, the loop stops
// reading the agent's socket; reading resumes once the worker has caught up. An agent
// sending faster than its data is stored is thus slowed down instead of filling memory.
#pragma once

#include <cstdint>

#include "lib/agent_type.h"
#include "server/ioloop.h"

// The answer to an accepted agent: a zero byte and "MANAGER".
inline constexpr char AUTH_MANAGER[8] = {'\0', 'M', 'A', 'N', 'A', 'G', 'E', 'R'};

// The agent hello body: u64 start time in ms (big-endian), then the 64-byte identity; any
// further bytes are ignored.
constexpr uint32_t DBAGENT_HELLO_LEN = 8 + sizeof(agent_identity);

struct database_ctx;

// The loop's peer record of an agent: its uid is the agent id.
struct dbagent_peer {
    iol_peer base;
    agent_identity identity; // as received
    database_ctx *ctx;       // the loop's
};

// The DB-AG loop, without a pool. It serves the store and the collector of `ctx`, both set up
// before it. NULL after a FATAL line.
loop *dbagent_loop_create(database_ctx *ctx);

// Role callbacks of the loop; all run on its thread.
void dbagent_on_auth(auth_request *req);
void dbagent_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len);
void dbagent_on_close(iol_peer *peer);
