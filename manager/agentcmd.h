// Commands the Manager sends agents (type-5 messages: a big-endian u64 command id, then its
// data) and the addressing of agents by their id alone: the MG-AG loop finds the agent's
// current connection by uid. A message for an agent that is not connected is dropped by the
// loop; one the loop cannot take is released here. A configuration query learns how many of
// its commands were not taken (manager/mgr_queries.cpp); a client's own command gets no answer.
#pragma once

#include <cstdint>

#include "lib/netaddr.h"
#include "server/ioloop.h"
#include "server/msg.h"

struct manager_ctx;
struct mgr_config;

inline constexpr uint64_t AGENT_CMD_CONFIG_UPLOAD = 4; // u64 hash, then the active data
inline constexpr uint64_t AGENT_CMD_SET_DATABASE = 5;  // the Database's nurl, big-endian
inline constexpr uint64_t AGENT_CMD_CONFIG_DETACH = 7; // u64 id1, u64 id2
// Clients may send agents the commands below this id.
inline constexpr uint64_t AGENT_CMD_COUNT = 8;
inline constexpr uint32_t AGENT_CMD_ID_LEN = 8;

// The agent with this id on whatever connection it has now.
inline PeerId agentcmd_peer(uint64_t aid) {
    return PeerId{aid, 0, 0, PT_MG_AG};
}

// Queues m to the peer `to` through the loop of its peer type. 0, or -1 with m released and
// the drop logged with the peer's uid (an agent's id).
int agentcmd_send(manager_ctx *ctx, PeerId to, msg *m);

// How long a pool worker that queues commands to many agents waits for room, per command.
// The loop makes room as it takes each command; one that takes none for this long is stuck
// (a loop thread may wait seconds on the storage in a hello), not merely busy.
inline constexpr uint32_t AGENTCMD_WAIT_MS = 30000;
// Test-only: another such wait in milliseconds (1 to 65535), read from the environment.
inline constexpr const char *AGENTCMD_WAIT_ENV = KRV_TEST_HOOK("AGENTCMD_WAIT_MS");
// As agentcmd_send, waiting up to wait_ms while the loop's ring is full (never on a loop
// thread, see iol_send_wait).
int agentcmd_send_wait(manager_ctx *ctx, PeerId to, msg *m, uint32_t wait_ms);

// Command 4 with the configuration's hash and bytes (none, and hash 0, without active data),
// waiting up to wait_ms for room. 0 when queued, else -1.
int agentcmd_upload_config(manager_ctx *ctx, uint64_t aid, const mgr_config *config,
                           uint32_t wait_ms = 0);
// Reads the active data of id1.id2 and uploads it; sends nothing when the configuration
// cannot be read or does not exist.
void agentcmd_prepare_config_upload(manager_ctx *ctx, uint64_t aid, uint64_t id1, uint64_t id2);
// Command 5 with the address (host order in memory, big-endian on the wire).
void agentcmd_set_database(manager_ctx *ctx, uint64_t aid, const nurl *address);
// Command 7 for id1.id2 to the peer named by the whole PeerId, waiting up to wait_ms for
// room. 0 when queued, else -1.
int agentcmd_detach_config(manager_ctx *ctx, uint64_t id1, uint64_t id2, PeerId to,
                           uint32_t wait_ms = 0);
