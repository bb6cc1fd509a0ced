// Monitoring agents at a Database: the DB-AG loop's role. An agent's hello is checked on the
// loop thread, then handed to the agent's collector worker, which registers the agent in
// the data store (directories and identity file: disk work that must not stall the loop) and
// answers it. Every frame the agent sends is queued whole to that worker; its disconnect is
// told to the worker. The loop has no thread pool: the work on agent data happens on the
// collector's threads.
//
// While the agent's collector worker holds more queued data than its budget, the loop stops
// reading the agent's socket; reading resumes once the worker has caught up. An agent
// sending faster than its data is stored is thus slowed down instead of filling memory.
//
// Each connected agent may hold DBAGENT_DESCRIPTORS descriptors (its socket, its key/value
// stage file and two per open hour of root calls); agents are admitted while that fits in
// the process's descriptor limit less a reserve (dbagent_budget), and refused with a WARN
// beyond.
#pragma once

#include <cstdint>

#include "database/store/agent_state.h"
#include "lib/agent_type.h"
#include "server/ioloop.h"

// The answer to an accepted agent: a zero byte and "MANAGER".
inline constexpr char AUTH_MANAGER[8] = {'\0', 'M', 'A', 'N', 'A', 'G', 'E', 'R'};

// The agent hello body: u64 start time in ms (big-endian), then the 64-byte identity; any
// further bytes are ignored.
constexpr uint32_t DBAGENT_HELLO_LEN = 8 + sizeof(agent_identity);

// Descriptors one agent may hold at once.
constexpr uint64_t DBAGENT_DESCRIPTORS = 2 + 2 * MC_OPEN_HOURS;
// Descriptors kept out of the agents' budget for clients, query files, the store and the
// process itself: this many, or an eighth of the limit when that is more.
constexpr uint64_t DBAGENT_RESERVE_MIN = 256;

struct database_ctx;

// The loop's peer record of an agent: its uid is the agent id.
struct dbagent_peer {
    iol_peer base;
    agent_identity identity; // as received
    database_ctx *ctx;       // the loop's
};

// The number of agents that may be connected at once under a descriptor limit of `nofile`.
uint64_t dbagent_budget(uint64_t nofile);

// The DB-AG loop, without a pool. It serves the store and the collector of `ctx`, both set up
// before it. NULL after a FATAL line.
loop *dbagent_loop_create(database_ctx *ctx);

// Role callbacks of the loop; all run on its thread.
void dbagent_on_auth(auth_request *req);
void dbagent_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len);
void dbagent_on_close(iol_peer *peer);

// Quiescing: refuses further hellos and stops queuing agents' frames, with every agent's
// reading paused on the loop thread. Once it returns (at the latest after `wait_ms`, when
// the loop does not answer), no frame of an agent reaches the collector any more.
void dbagent_stop_reading(database_ctx *ctx, uint32_t wait_ms);
