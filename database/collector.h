// The collector: worker threads that turn what agents send into stored data.
//
// Every agent is served by one worker, chosen by agent id modulo the number of workers, so
// one agent's data is handled in arrival order on one thread. The agents' IO loop queues
// each frame payload (and a notice when the agent goes away) to that worker's named queue
// "CQ-<n>". A worker keeps one slot per agent it serves, holding the agent's collector state
// (agent_collector.h), walks the messages of each payload and hands their records to that
// state, which stores through the three operations of `collector_callbacks`. The root calls
// a payload completes reach their files together once the payload has been walked.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <queue>
#include <unordered_map>
#include <vector>

#include "lib/bbuf.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/queue.h"

struct agent_collector;
struct collector;
struct dbs;
struct dbs_agent;
struct rcall;

// Agent data record types (the first byte of each record of a type-4 message).
enum : uint8_t {
    AREC_SYM_KEY = 2,    // u32 local id, u16 length, name
    AREC_SYM_CLASS = 3,  // the same for a class name
    AREC_SYM_METHOD = 4, // the same for a method name
    AREC_SYM_THREAD = 5, // the same for a thread name
    AREC_KV = 6,         // u32 local key id, u64 time ms, u64 value
    AREC_CALL = 7,       // u16 length, call body
};

// One key/value sample: the key id is the agent's own while parsed, the store's when saved.
struct __attribute__((packed)) kv_record {
    uint32_t key;
    uint64_t time; // ms since the epoch
    uint64_t value;
};
static_assert(sizeof(kv_record) == 20);

// The store the collector writes into and its storage operations. The operations run on the
// worker thread of the agent concerned. The results of kv_save and rcall_save are not
// examined; symbol_save gives the store's id of the name, 0 on failure. The agents' write
// state is looked up in `db` (NULL: no agent has any, and nothing of theirs is saved).
struct collector_callbacks {
    dbs *db;
    int (*kv_save)(dbs_agent *agent, const kv_record *rec);
    int (*rcall_save)(dbs_agent *agent, rcall *rc);
    uint32_t (*symbol_save)(dbs *db, uint32_t type, uint16_t len, const char *name);
};

// Work run on an agent's worker in the order of the agent's data: fn(arg, false), or, when
// the worker has stopped before reaching it, fn(arg, true), which only releases arg.
using collector_call_fn = void (*)(void *arg, bool cancelled);

// A queued item: one frame payload of an agent, its disconnect notice (size 0, no fn), or a
// call (fn set). The payload follows the header in the same block.
struct collector_msg {
    uint64_t agent_id;
    uint64_t size;
    collector_call_fn fn;
    void *arg;
};

// What a worker's agents may hold in collector state (root calls in progress with their
// calls and extension builders, time cell slots, symbol map pages): each agent, and all
// of them together. What would need more is dropped, with a counted WARN, and the other
// agents are served on. The agent's figure takes the most calls a root call may have, with
// room to spare; the worker's lets four such agents share it.
constexpr uint64_t COLLECTOR_AGENT_MEMORY = 32ull << 20;
constexpr uint64_t COLLECTOR_WORKER_MEMORY = 128ull << 20;

// A budget and what is counted against it; used on one worker thread only.
struct collector_memory {
    uint64_t used;        // by all agents of the worker
    uint64_t limit;       // of the worker
    uint64_t agent_limit; // of each agent
};

// The bytes a worker lends to the extension builder of its agents for block compression.
constexpr uint32_t COLLECTOR_SCRATCH_SIZE = 65824;

// One agent served by a worker. Slots are made in batches, reused and freed only with the
// collector, so a pointer to one stays valid while the collector lives.
struct agent_slot {
    agent_collector *ac; // NULL when the slot is free
    pthread_mutex_t lock;
    uint64_t agent_id; // 0 when free
    // What the agent's records make the worker log goes through it; the worker's alone.
    log_limiter limiter;
};

// A worker's slot table. Only the worker writes it; it takes `lock` to grow the table and to
// change `active`, which is all the status dump reads under that lock.
struct agent_table {
    std::vector<agent_slot *> items; // table order; 64 at start, grown by 16
    std::vector<std::unique_ptr<agent_slot[]>> batches;
    pthread_mutex_t lock;
    uint32_t active = 0; // slots holding an agent
    // The worker's own lookups, used without the lock: the slot of each agent served, and
    // the free slots, lowest index first (a new agent takes the first free slot).
    std::unordered_map<uint64_t, uint32_t> by_agent;
    std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<>> free_slots;
    agent_slot *last = nullptr; // the slot of the last payload's agent, NULL after it left
};

struct collector_worker {
    agent_table collectors;
    queue q; // of collector_msg pointers
    collector_callbacks cb;
    collector_memory memory{0, COLLECTOR_WORKER_MEMORY, COLLECTOR_AGENT_MEMORY};
    std::unique_ptr<uint8_t[]> scratch; // COLLECTOR_SCRATCH_SIZE bytes
    // How long one pop waits before the run flag is looked at again; tests shorten it.
    std::atomic<uint32_t> wait_ms{QUEUE_WAIT_MS};
    pthread_t thread{};
    bool started = false;
    collector *owner = nullptr;
    // Back-pressure: payload bytes queued and not yet handled, and the agents held because
    // the worker was over its budget when their data arrived. `held` is guarded by
    // `flow_lock`, which is also held while an agent is held or released, so that a release
    // never overtakes the hold it answers.
    std::atomic<uint64_t> queued{0};
    pthread_mutex_t flow_lock;
    std::vector<uint64_t> held;
};

// Payload bytes a worker may hold before the agents it serves are asked to wait.
constexpr uint64_t COLLECTOR_QUEUE_BUDGET = 16ull << 20;
// Test-only: a smaller budget in KiB, so that a test's agent is made to wait after a frame
// or two whatever the machine's load.
constexpr const char *COLLECTOR_BUDGET_ENV = KRV_TEST_HOOK("COLLECTOR_BUDGET_KB");

// Called on a worker thread, under the worker's flow lock, for each agent held by
// collector_hold once its worker has drained to half its budget.
using collector_release_cb = void (*)(void *ctx, uint64_t agent_id);

struct collector {
    uint16_t n;
    collector_worker *workers; // n of them
    std::atomic<bool> running; // the workers serve their queues while it is set
    uint64_t budget;           // COLLECTOR_QUEUE_BUDGET unless a test sets another
    collector_release_cb release;
    void *release_ctx;
};

// The per-message context of a payload walk.
struct collector_msg_ctx {
    agent_slot *slot;
    uint8_t *scratch;
};

// Starts n workers with their queues "CQ-<k>" (k counted over the whole process). NULL after
// a FATAL line when n is 0 or a thread cannot be started.
collector *collector_init(uint16_t n, const collector_callbacks *cb);

// Copies the payload and queues it for the agent's worker. 0, or -1 when the queue cannot
// take it (nothing is queued).
int collector_enqueue(collector *c, uint64_t agent_id, uint64_t size, const uint8_t *data);

// Sets what releases a held agent (see collector_hold); before any agent is held.
void collector_set_release(collector *c, collector_release_cb release, void *ctx);

// Asks, after its data was queued, whether the agent must wait for its worker: when the
// worker holds more than the budget, the agent is recorded as held, hold(arg) runs under the
// worker's flow lock (it stops the agent's data from coming in) and the result is 1; the
// release callback then runs for the agent once the worker has drained to half the budget.
// 0 when the worker is within its budget, or when no release callback is set (nothing could
// let the agent go again).
int collector_hold(collector *c, uint64_t agent_id, void (*hold)(void *arg), void *arg);

// Queues fn(arg, false) to run on the agent's worker after what is queued for the agent so
// far; a worker stopped before it runs fn(arg, true) when the collector closes its agents or
// is freed. 0, or -1 when the queue cannot take it (fn is not called).
int collector_call(collector *c, uint64_t agent_id, collector_call_fn fn, void *arg);

// Queues the agent's disconnect notice to its worker. 0, or -1 when the queue cannot take it
// (logged by the queue): the agent's state then stays until its next connection.
int collector_notify_disconnect(collector *c, uint64_t agent_id);

// Body of a worker thread: serves the queue while the collector's run flag is set and until
// collector_stop.
void collector_worker_main(collector_worker *w);

// Clears the collector's run flag: each worker ends at its next look at the flag (within one
// pop wait), leaving what is still queued.
void collector_request_stop(collector *c);

// Callback of msg_foreach for one message of an agent's payload; ctx is a collector_msg_ctx.
// 0, or -1 when the message is abandoned (the rest of the payload is then dropped).
int collector_process_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data);

// Ends the workers once everything queued before this call has been handled (a stop marker
// goes behind each queue), and waits for them.
void collector_stop(collector *c);

// After collector_stop: what was queued behind the stop is let go (calls cancelled, agent
// data dropped and counted in a WARN line), then every agent's collector state is
// destroyed, which closes (and syncs) its store files. The collector itself stays, so that
// late enqueues from threads still running are taken (and never served).
void collector_close_agents(collector *c);

// Releases a stopped collector: every agent's collector state (closing its store files),
// the messages still queued, the queues and the slots.
void collector_free(collector *c);
