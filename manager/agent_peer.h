// Monitoring agents at the Manager: the MG-AG loop's role. An agent's hello registers it in
// the agents cache and is answered; then the agent is sent its configuration when it runs
// none or another version, and its Database when it reports another one. The agent's status
// reports and its answers to the queries clients relay to it are handled on "ManagerPool"
// workers; every 5 seconds the service broadcasts the status of all connected agents to the
// clients.
#pragma once

#include <cstdint>
#include <span>

#include "lib/agent_type.h"
#include "lib/mtp.h"
#include "lib/netaddr.h"
#include "manager/query_relay.h"
#include "server/ioloop.h"
#include "server/msg.h"

struct manager_ctx;

// The hello body: u64 start time in ms, the 64-byte identity, the configuration the agent
// runs (u64 id1, u64 id2, u64 data hash) and the nurl of its Database, all big-endian.
// Bytes past these are ignored.
inline constexpr uint32_t MGAGENT_HELLO_LEN = 116;

// Hellos that may wait for registration beside the one being registered; one more is
// refused by closing its connection. Room for the agents of a large site reconnecting at
// once after the Manager restarts.
inline constexpr uint32_t MGAGENT_HELLOS_WAITING = 4096;
// Test-only: another number of waiting hellos (1 to 65535), read when the loop is made.
inline constexpr const char *MGAGENT_HELLOS_ENV = KRV_TEST_HOOK("AGENT_HELLOS_WAITING");

// Agent data: a data id byte, then the data. Status data is exactly one AgentStatus.
inline constexpr uint8_t AGENT_DATA_STATUS = 1;
inline constexpr uint32_t AGENT_STATUS_LEN = 188;

// One record of the status report: 1, the agent's remote address (nurl, big-endian), its
// start time and its status, back to back for every connected agent.
inline constexpr uint32_t AGENT_REPORT_REC_LEN = 1 + NURL_SIZE + 8 + AGENT_STATUS_LEN;
static_assert(AGENT_REPORT_REC_LEN == 217);

// An agent's answer to a relayed query: request id, query id, status, the PeerId of the
// client that asked (host order, as the Manager put it in the query), then the data.
inline constexpr uint32_t AGENT_ANSWER_HDR_LEN = 18 + sizeof(PeerId);
static_assert(AGENT_ANSWER_HDR_LEN == 46);
inline constexpr uint64_t AGENT_QUERY_JVM_PROPERTIES = 6;
// The most JVM properties (their bytes as relayed, the closing NUL included) an agent's peer
// keeps; a larger answer is relayed but not kept.
inline constexpr uint32_t MGAGENT_JVMPROPS_MAX = 64 * 1024;
// Answers matching no forwarded query are told of in one WARN line per agent connection and
// interval, with their count.
inline constexpr uint32_t MGAGENT_UNMATCHED_INTERVAL_MS = 60000;

// The messages of one agent on the pool at once (one: its status and answers are handled in
// the order it sent them), and those that may wait behind it, with the agent's reading paused
// while any wait. An agent that sends more at once is closed.
inline constexpr uint32_t MGAGENT_TASKS = 1;
inline constexpr uint32_t MGAGENT_WAITING = 256;
inline constexpr uint64_t MGAGENT_WAITING_BYTES = 16ull << 20;

// Message types 0 to 11 index the MG-AG table.
inline constexpr uint32_t MGAGENT_TYPES = 12;

// The status an agent reports, host order. Only the two memory figures mean something to the
// Manager; the other fields are stored and relayed as they came.
struct __attribute__((packed)) AgentStatus {
    uint64_t u64_0;
    uint16_t u16_8;
    uint64_t values[10];
    uint16_t u16_90;
    uint16_t u16_92;
    uint8_t raw_94[16];
    uint16_t u16_110;
    uint64_t mem_total;
    uint64_t mem_free;
    uint8_t raw_128[60];
};
static_assert(sizeof(AgentStatus) == AGENT_STATUS_LEN);

void agent_status_from_wire(std::span<const uint8_t, AGENT_STATUS_LEN> wire, AgentStatus *out);
void agent_status_to_wire(const AgentStatus *status, std::span<uint8_t, AGENT_STATUS_LEN> out);

// The loop's peer record of an agent: its uid is the agent id.
struct mgagent_peer {
    iol_peer base;
    agent_identity identity; // as cached
    uint64_t start_ms;       // the agent's start time
    AgentStatus status;      // the last one received; zero until then
    char *jvmprops;          // owned: the first JVM properties the agent answered, or NULL
    // Set when a client's query is first forwarded to this connection: its records are
    // forgotten when it closes.
    query_relay *relay;
    // Answers of this connection that matched no forwarded query since the last line that
    // told of them, and the monotonic time of that line (0: none yet).
    uint64_t unmatched;
    uint64_t unmatched_ms;
};

// The MG-AG loop on `pool`. NULL after a FATAL line.
loop *mgagent_loop_create(manager_ctx *ctx, mtp_pool *pool);

// Role callbacks of the loop; all run on its thread. The hello callback only queues the
// hello: a pool worker registers the agent and answers it (mgagent_register).
void mgagent_on_auth(auth_request *req);
void mgagent_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len);
void mgagent_on_close(iol_peer *peer);
// One message of an agent's frame (ctx is its peer_ctx): 0, or -1 to end the frame's walk.
int mgagent_on_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data);

// On a pool worker: registers the agent of a hello in the agents cache, answers it and
// queues its configuration and Database commands behind the answer; or refuses it.
// Owns and frees the request.
void mgagent_register(manager_ctx *ctx, auth_request *req);

// Handlers of the MG-AG table, on pool workers.
void mgagent_on_agent_data(iol_task *t);
void mgagent_on_query_response(iol_task *t);

// The status report of the loop's agents as one type-4 message, or NULL when no agent is
// connected.
msg *mgagent_build_status_report(loop *l);

// A copy of the JVM properties the connected agent `aid` answered with, or NULL; the caller
// frees it.
char *mgagent_get_jvmprops(loop *l, uint64_t aid);
// Keeps a copy of `text` in the peer named by id, unless it holds one already.
void mgagent_cache_jvmprops(loop *l, const char *text, PeerId id);
// Makes the agent connection `id` forget its forwarded queries in `r` when it closes: true
// when it is connected (it will), false when it has gone.
bool mgagent_watch_relay(loop *l, PeerId id, query_relay *r);
