// The TOP EXCEPTIONS and EXCEPTIONS OCCURRENCES data queries: the exception classes counted
// most often at each of several agents over a time range, and the timeline of one exception
// class at one agent as runs of {second, count}.
#pragma once

#include <cstdint>

struct dbs;
struct msg;

constexpr uint64_t DBQ_TOP_EXCEPTIONS = 1;
constexpr uint64_t DBQ_EXCEPTIONS_OCCURRENCES = 7;

// A TOP EXCEPTIONS request: u16 mode, u64 from, u64 to, u32 minimum and u32 maximum root
// duration (0 = none), u16 n, then n agent ids; bytes after them are ignored. Mode 0 counts
// every exception call whose own time lies in the range; any other mode counts where each
// exception arises in the call trees of the root calls in the range and duration bounds.
constexpr uint32_t TOPX_HEAD_LEN = 28;
constexpr uint16_t TOPX_MODE_CALLS = 0;
// Items an agent contributes at most, each {u64 agent, u32 class, u32 count, u32 root count}.
constexpr uint32_t TOPX_ITEMS = 30;
constexpr uint32_t TOPX_ITEM_LEN = 20;

// An OCCURRENCES request: u64 from, u64 to, u64 agent id, u32 exception class; bytes after
// them are ignored. A reply run: u64 start of its second (ms), u32 occurrences.
constexpr uint32_t EXCQ_REQUEST_LEN = 28;
constexpr uint32_t EXCQ_RUN_LEN = 12;

// Runs a TOP EXCEPTIONS request on the store's files (relative to the working directory):
// status 1 with each agent's items in request order, largest count first (ties go to the
// class whose id mod 10 is lower, then to the lower id); 4 when an agent's items no longer
// fit in the reply, or agents are left when not even one more item would, which then ends
// without that agent or any after it (they are not read); 4 too when the walks reached the
// most hour files one request may open (DBS_WALK_FILES_MAX): the agent they stopped in
// gives the items of what was read, and no later agent is read. NULL when the request is
// refused (logged) or an agent's files could not all be read; the dispatcher answers it with
// status 2.
msg *dbq_top_exceptions_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len);

// Runs an OCCURRENCES request: status 1 with the runs of occurrences in walk order (root
// calls as stored, the root before its calls), a new run wherever the second changes; 4 when
// the reply was cut at its size limit (no later hour file is then opened) or the walk
// reached the most hour files one request may open, with the runs of what was read. NULL
// when the request is refused (logged) or the agent's files could not all be read.
msg *dbq_exceptions_occurrences_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args,
                                    uint32_t len);
