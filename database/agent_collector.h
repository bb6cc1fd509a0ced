// Per-agent collector state: the agent's own symbol ids mapped to the store's, key/value
// samples passed on, and calls assembled into root calls.
//
// An agent sends the calls of a root call one by one, each carrying the root call's key
// (whose low 44 bits are the root's start time), the root itself last. Calls in progress
// wait in a slot of one of 60 five-minute time cells, a ring indexed by the UTC window
// number, covering five hours; when the root arrives, the calls get the store's symbol ids
// and the file layout and are saved as one root call. All of it runs on the agent's worker
// thread.
//
// What an agent makes the collector hold (root calls in progress with their calls and
// extension builders, symbol map pages) is counted against its budget and its worker's
// (collector_memory): what would need more than is left is dropped, with a counted WARN.
// The store's buffers of the agent's completed root calls waiting to be written count too;
// past the budgets, they are written and released at once rather than at the payload's end.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "database/collector.h"
#include "database/store/rcall.h"

struct ext_buf;

// Agent-local symbol ids go up to this; larger ones are refused.
constexpr uint32_t AGENT_SYMBOL_ID_MAX = 0xFFFFFF;
// Call bodies hold 36 to 16432 bytes.
constexpr uint16_t CALL_BODY_MIN = 36;
constexpr uint16_t CALL_BODY_MAX = 16432;
// A slot holding this many calls takes no more: its root call is dropped.
constexpr uint32_t RCALL_SLOT_CALLS_MAX = MAX_RCALL_CALLS + 1;
// A slot's calls array of up to this many records is kept for its next root call; a
// larger one is released with its root call.
constexpr uint32_t RCALL_SLOT_KEEP_CALLS = 256;
// Calls older than the newest root time by more than this are dropped, and no root time
// may lie further ahead of the server's clock.
constexpr uint64_t ROOT_TIME_SLACK_MS = 0xFFFFFF;
constexpr uint64_t TIME_CELL_MS = 300000;
constexpr uint32_t TIME_CELLS = 60;
// Root calls one agent may have in progress at once. Each costs a slot and its calls, so
// the cap bounds what an agent that never completes its root calls makes the collector
// hold; it lies far above what a monitored process has in flight. A call that would open
// one more is dropped.
constexpr uint32_t AGENT_OPEN_ROOTS_MAX = 100000;
// Age buckets of the status dump: bucket b counts root calls in progress for b - 1 seconds.
constexpr uint32_t OPEN_AGE_BUCKETS = 100;

// The agent's own ids of one symbol type mapped to the store's ids (0: not mapped). Pages
// of 1024 entries are made only for ids in use, under a fixed two-level directory, so any
// id up to AGENT_SYMBOL_ID_MAX costs the same. `capacity` is the reach the map has been
// grown to (2048 at start, then up to the next multiple of 1024 above the largest id put);
// a lookup beyond it is reported as a missing symbol.
constexpr uint32_t SYMMAP_PAGE_BITS = 10;
constexpr uint32_t SYMMAP_MID_BITS = 6;
constexpr uint32_t SYMMAP_TOP = (AGENT_SYMBOL_ID_MAX + 1) >> (SYMMAP_PAGE_BITS + SYMMAP_MID_BITS);

struct agent_symbol_map {
    uint32_t **top[SYMMAP_TOP]; // each NULL or 64 page pointers, each NULL or 1024 ids
    uint32_t capacity;
    uint32_t type;       // SYM_THREAD .. SYM_KEY
    uint32_t special_id; // SYM_KEY map only: the store's id of the JVM thread-count key
};

// One root call in progress.
struct rcall_slot {
    call_record *calls; // arrival order, host order, agent-local ids
    ext_buf *ext;       // made on the first extension entry, kept across reuse
    uint64_t root_key;
    uint64_t mem;       // bytes of calls and builder counted against the budgets
    uint32_t thread_id; // agent-local, from the root
    uint32_t exception_calls;
    uint32_t count;    // records in calls
    uint32_t reserved; // records allocated
};

// One five-minute window. The slots in use come first: slots[0, open) hold root calls in
// progress, the rest are free; `by_key` finds a root call's slot. `dropped` holds the keys of
// root calls dropped for having too many calls: their later calls, up to the root, are
// dropped too, so that no tail of one is ever stored as a root call of its own.
struct time_cell {
    std::vector<rcall_slot> slots; // its size is the cell's capacity
    std::unordered_map<uint64_t, uint32_t> by_key;
    std::unordered_set<uint64_t> dropped;
    uint64_t start; // window start, ms since the epoch; 0 while never used
    uint32_t open;
};

// A count of drops told in one WARN line per second at most.
struct drop_count {
    uint64_t total;  // since the agent state was made
    uint64_t untold; // since the last line
    uint64_t told_ms; // monotonic time of the last line; 0 before the first
};

struct agent_collector {
    time_cell cells[TIME_CELLS];
    agent_symbol_map maps[4]; // SYM_THREAD, SYM_CLASS, SYM_METHOD, SYM_KEY
    dbs_agent *agent;         // the agent's store state; NULL when the store has none
    collector_callbacks cb;
    collector_memory *memory; // the worker's budget, or `own_memory`
    collector_memory own_memory;
    uint64_t mem_used;  // bytes this agent holds, counted against the budgets
    uint64_t batch_mem; // of those, the store's buffers of its root calls waiting to be written
    uint64_t agent_id;
    uint64_t completed_roots;   // roots that arrived, stored or not
    uint64_t exception_roots;   // of those, roots with an exception call
    uint64_t newest_root_time;  // ms
    uint64_t thread_count_time; // ms of the last JVM thread-count sample
    uint32_t thread_count;      // its value, low 32 bits
    uint32_t open_roots;        // root calls in progress over all cells
    uint64_t overflow_roots;    // root calls dropped for having too many calls
    drop_count over_budget;     // calls, root calls and symbols dropped past the budgets
    // Set between agent_payload_begin and agent_payload_end: the root calls completed are
    // written together at the end, and the server's clock is the one read at the start.
    bool in_payload;
    uint64_t payload_clock_ms;
    // The slot of the last call's root call, looked at before the cell's lookup table:
    // the calls of one root call mostly come one after another.
    time_cell *last_cell;
    uint32_t last_index;
    // A root that arrives with no call before it is assembled here, without opening a slot
    // in its cell.
    rcall_slot lone;
};

// Open root calls by age, for the status dump; bucket 0 is unused.
struct open_age_table {
    struct {
        uint32_t exception_roots;
        uint32_t open_roots;
    } buckets[OPEN_AGE_BUCKETS];
};

// A new state for an agent, with its store state looked up in the callbacks' store. It counts
// what it holds against `memory` (its worker's), or against a budget of its own of
// COLLECTOR_AGENT_MEMORY when that is NULL.
agent_collector *agent_collector_create(const collector_callbacks *cb, uint64_t agent_id,
                                        collector_memory *memory = nullptr);
// Closes the agent's store files and releases the state with everything in progress.
void agent_collector_destroy(agent_collector *ac);

// The map of a symbol record type (AREC_SYM_*).
agent_symbol_map *agent_symbol_map_of(agent_collector *ac, uint8_t record_type);
// Maps a local id to the id symbol_save gives its name in `db`; an id keeps its first
// mapping. 0, or -1 when the id is refused, its map page does not fit the budgets or the name
// could not be saved (logged). `map` is one of ac's maps.
int agent_symbol_map_put(agent_collector *ac, agent_symbol_map *map, uint32_t id, uint16_t len,
                         const char *name,
                         uint32_t (*symbol_save)(dbs *, uint32_t, uint16_t, const char *), dbs *db);
// The store's id of a local id, 0 when not mapped.
uint32_t agent_symbol_map_get(const agent_symbol_map *map, uint32_t id);

// Passes a sample on with the store's key id; remembers the JVM thread count. 0, or -1 when
// the sample was dropped (logged where it failed).
int agent_kv_process(agent_symbol_map *key_map, agent_collector *ac, kv_record *rec,
                     int (*kv_save)(dbs_agent *, const kv_record *));

// Takes one call body; the caller holds the agent's slot lock. `scratch` is the worker's
// COLLECTOR_SCRATCH_SIZE bytes. 0 when the call was taken in (and, for a root, its root call
// handed to the store, written at once outside a payload); -1 when the call, or the root
// call it completes, was dropped (logged where it failed).
int agent_call_process(agent_collector *ac, uint8_t *scratch, const uint8_t *body, uint16_t len);

// Brackets the calls of one payload of the agent: the clock is read once for them all,
// and the root calls they complete are written to their files together at the end (0, or
// -1 when that write failed: counted and told as lost by the store). Outside these, each
// root call is written as it completes.
void agent_payload_begin(agent_collector *ac);
int agent_payload_end(agent_collector *ac);

// Counts the root calls in progress by age at now_ms into t (cleared by the caller).
void agent_collector_cell_stats(uint64_t now_ms, const agent_collector *ac, open_age_table *t);

// ERROR "Missing symbol <id>."; 0.
uint32_t collector_log_missing_symbol(uint32_t id);

void rcall_slot_init(rcall_slot *s);
// Empties a slot for reuse, keeping its extension builder (shrunk back to its first size)
// and a calls array of up to RCALL_SLOT_KEEP_CALLS records. Its bytes left are in s->mem.
void rcall_slot_reset(rcall_slot *s);
void rcall_slot_free(rcall_slot *s);
// Appends a record, growing the calls array when full; *grown gets the bytes it grew by.
void rcall_slot_add_call(rcall_slot *s, const call_record *c, uint64_t *grown);
// Fills rc from the slot; the extension blob may lie in `scratch`.
void rcall_slot_export(rcall_slot *s, uint8_t *scratch, rcall *rc);
// Gives the cell n slots: dropped ones are released, new ones are free.
void time_cell_set_capacity(time_cell *cell, uint32_t n);
