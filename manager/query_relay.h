// The agent queries the Manager has forwarded and whose answers it still waits for. A client's
// agent query is remembered (the client's connection, its request and query ids, the agent's
// connection) before it goes to the agent; an agent's answer is relayed only when it comes
// from that agent connection for a query remembered for the client it names, and only once.
// Anything else an agent sends as an answer matches nothing and is dropped.
//
// What a client may have waiting is bounded; its records go when the client's connection goes
// or when the agent's does. The table is shared by the pool workers and the loop threads'
// close callbacks under its own mutex, which is never held while a loop is called.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

// Agent queries one client connection may have forwarded and not yet answered. A further
// one is answered at once with status 2.
inline constexpr uint32_t RELAY_PER_CLIENT = 64;

// One connection: the peer's uid (user id or agent id) and its connection id.
struct relay_conn {
    uint64_t uid;
    uint64_t cid;
    auto operator<=>(const relay_conn &) const = default;
};

// One forwarded query: the agent connection it went to and the ids the answer must carry.
struct relay_query {
    relay_conn agent;
    uint64_t rid;
    uint64_t qid;
    bool operator==(const relay_query &) const = default;
};

struct query_relay {
    std::mutex m;
    std::map<relay_conn, std::vector<relay_query>> by_client; // under m
};

// Remembers q for the client: 0, or -1 when the client already has RELAY_PER_CLIENT waiting.
int relay_add(query_relay *r, relay_conn client, const relay_query &q);
// Forgets one record equal to q (a query that was not sent after all).
void relay_remove(query_relay *r, relay_conn client, const relay_query &q);
// Takes the record that an answer of q.agent with these ids for this client matches: true
// when there was one (it is gone now), false when the answer matches nothing.
bool relay_take(query_relay *r, relay_conn client, const relay_query &q);
// The client's or the agent's connection has gone: its records go with it.
void relay_client_gone(query_relay *r, relay_conn client);
void relay_agent_gone(query_relay *r, relay_conn agent);
// The number of records waiting for the client.
size_t relay_waiting(query_relay *r, relay_conn client);
