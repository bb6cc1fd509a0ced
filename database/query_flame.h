// The FLAME GRAPH data query: the call trees of every root call of several agents over a
// time range merged into one tree keyed by (class, method) paths, sent as 54-byte node
// records in depth-first order.
#pragma once

#include <cstdint>

struct dbs;
struct msg;

constexpr uint64_t DBQ_FLAME_GRAPH = 6;

// A request: u64 from, u64 to, then k agent ids (at most 65,535) and nothing else.
constexpr uint32_t FGRAPH_HEAD_LEN = 16;
constexpr uint32_t FGRAPH_MAX_AGENTS = 65535;
// A node record: 8 zero bytes, u32 parent id, u64 sum of AUX, u64 sum of DUR, u32 class,
// u32 method, u32 leaf calls, u32 inner calls, u32 exception calls, u32 node id, u16 depth.
constexpr uint32_t FGRAPH_RECORD_LEN = 54;

// The most nodes a graph holds besides its root: as many as one reply carries (310,687).
uint32_t dbq_flame_graph_max_nodes();

// Runs a request on the store's files (relative to the working directory): status 1 with the
// graph root's record (the sums of all root calls merged) and then every node in pre-order,
// children in the order they were first met; status 1 without data when no root call was
// found. A graph that reaches the node limit keeps adding to the nodes it has but makes no
// more, and is answered with status 4; so is the graph of the root calls read when the walks
// reached the most hour files one request may open (no later agent is then read). Agents
// without an identity file are passed over. NULL
// when the request is refused (logged) or an agent's files could not all be read; the
// dispatcher answers it with status 2.
msg *dbq_flame_graph_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len);
