// Graphical clients at the Manager: the MG-UI loop's role. A client logs in with its hello
// (manager/login.h); afterwards it sends manager queries, commands for agents and queries
// for agents. Commands and agent queries are forwarded to the agent they name; the agent's
// answer to a query comes back through the agent's loop (manager/agent_peer.h).
#pragma once

#include <cstdint>

#include "lib/mtp.h"
#include "manager/query_relay.h"
#include "server/ioloop.h"

struct manager_ctx;

// Message types 0 to 9 index the MG-UI table.
inline constexpr uint32_t MGUI_TYPES = 10;
// A client command: u64 command id, u64 agent id, then its arguments.
inline constexpr uint32_t MGUI_COMMAND_HDR_LEN = 16;
// A client's agent query: u64 request id, u64 query id, u64 agent id, then its arguments.
inline constexpr uint32_t MGUI_QUERY_HDR_LEN = 24;
// The head of a query forwarded to an agent: 0, the PeerId's length (28), then the PeerId of
// the client (host order); the client's whole query follows.
inline constexpr uint32_t AGENT_QUERY_HEAD_LEN = 2 + sizeof(PeerId);

// The loop's peer record of a client: its uid is the user id.
struct mgui_peer {
    iol_peer base;
    query_relay *relay; // forgets the client's forwarded queries when it closes
};

// The requests one client may have on the pool at once, queued or running. Its further
// requests wait behind them in the order they came, with the client's reading paused while
// any wait; a client that sends more at once than MGUI_CLIENT_WAITING requests, or
// MGUI_CLIENT_WAITING_BYTES bytes of them, is closed. The bytes leave room for configurations
// as large as a message.
inline constexpr uint32_t MGUI_CLIENT_TASKS = 4;
inline constexpr uint32_t MGUI_CLIENT_WAITING = 64;
inline constexpr uint64_t MGUI_CLIENT_WAITING_BYTES = 16ull << 20;
// Logins of connections that have not logged in yet on the pool at once (of its 20 workers);
// a further one is refused by closing its connection, so that a storm of them never holds
// back the requests of logged-in clients.
inline constexpr uint32_t MGUI_LOGIN_TASKS = 8;

// The MG-UI loop on `pool`. NULL after a FATAL line.
loop *mgui_loop_create(manager_ctx *ctx, mtp_pool *pool);

// Role callbacks of the loop; all run on its thread.
void mgui_on_auth(auth_request *req);
void mgui_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len);
void mgui_on_close(iol_peer *peer);
// One message of a client's frame (ctx is its peer_ctx): 0, or -1 to end the frame's walk.
int mgui_on_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data);

// Handlers of the MG-UI table, on pool workers; the manager queries are in
// manager/mgr_queries.cpp.
void mgui_on_manager_query(iol_task *t);
void mgui_on_agent_command(iol_task *t);
void mgui_on_agent_query(iol_task *t);
