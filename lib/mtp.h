// Self-sizing thread pool: workers run queued tasks; a managing thread adds workers while
// tasks wait and stops idle ones while workers wait. A pool is created and started once
// and lives until the process ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

// One queued task. The function owns its argument: the pool never frees or reads it.
struct mtp_task {
    void (*fn)(void *arg);
    void *arg;
    uint64_t reserved; // always 0
};

// The task ring (one slot always empty) and what guards it.
struct mtp_tasks {
    mtp_task *items;
    uint32_t head;
    uint32_t tail;
    uint32_t capacity; // tasks the pool accepts + 1
    uint32_t count;
    pthread_mutex_t mtx; // guards every field of this record
    pthread_cond_t cond; // broadcast on every submit and every take
    uint32_t pending;    // tasks queued and not yet taken
    uint8_t waiting;     // workers inside the waiting section
};

enum : uint32_t { MTP_STOPPED = 1, MTP_WAITING = 2, MTP_RUNNING = 3 };

struct mtp_pool;

// One worker slot. state is written by the worker and read by the managing thread; run is
// cleared by the managing thread (under the tasks' mutex) and read by the worker.
struct mtp_worker {
    pthread_t thread;
    mtp_pool *pool;
    mtp_tasks *tasks;
    std::atomic<uint32_t> state; // MTP_STOPPED, MTP_WAITING or MTP_RUNNING
    std::atomic<uint32_t> run;   // 1 while the worker is to keep going
    bool joinable;               // a thread was started here and not yet joined
    // Told to leave by stop_worker and no longer counted in cur; joined once it has stopped.
    std::atomic<bool> retiring;
};

// The managing thread's growth and shrink rule, fed one reading per wake-up. Kept apart
// from the threads so that it can be driven by a feed of readings.
struct mtp_rule {
    int64_t samples[5]; // pending - waiting at the first five wake-ups of a cycle
    uint8_t wakeups;    // wake-ups so far in the current cycle
    uint8_t skip;       // the last decision was a shrink attempt: skip the next shrink
};

enum mtp_action : uint8_t { MTP_KEEP, MTP_GROW, MTP_SHRINK };

// What a decision asks for: start or stop up to `count` workers.
struct mtp_plan {
    mtp_action action;
    uint8_t count;
};

struct mtp_pool {
    char name[32];
    mtp_tasks tasks;
    pthread_t mthread;
    std::atomic<uint32_t> running; // the managing thread ends when it reads 0
    uint8_t max;
    std::atomic<uint8_t> cur; // workers started and not yet stopped
    uint8_t min;
    mtp_worker *workers; // max slots
    // Pace of the pool: the managing thread wakes every tick_ms, a waiting worker looks at
    // its run flag at least every wait_ms. Tests shorten them before mtp_start.
    uint32_t tick_ms;
    uint32_t wait_ms;
};

// A pool of min to max workers (min 0 becomes 1, max 0 or above 128 becomes 128) with room
// for qsize queued tasks (0 becomes 1024), named `name` ("Generic" for NULL, at most 31
// characters kept). No thread runs yet. NULL, after a FATAL line, when min exceeds max.
mtp_pool *mtp_create(uint8_t min, uint8_t max, uint16_t qsize, const char *name);
// Starts min workers and the managing thread: 0, or -1 when a thread cannot be created.
int mtp_start(mtp_pool *pool);
// Queues fn(arg): 0, or -1 when the ring is full (the caller keeps arg).
int mtp_submit(mtp_pool *pool, void (*fn)(void *), void *arg);

// Starts a worker thread in a stopped slot: 0, or -1 after an ERROR line.
int start_worker(mtp_worker *slot);
// Tells the slot's worker to leave: clears its run flag and wakes it. It returns at once; the
// worker leaves before it takes another task (one it is running ends first) and is joined
// later by the managing thread, once it has stopped.
void stop_worker(mtp_worker *slot);
// Thread body of a worker; `slot` is its mtp_worker.
void *worker_main(void *slot);
// Thread body of the managing thread; `pool` is its mtp_pool.
void *mtp_manage(void *pool);

// Feeds one wake-up's reading to the rule. Returns MTP_KEEP on the first five wake-ups of
// a cycle; the sixth decides from the sum of the five samples, given the worker counts.
mtp_plan mtp_rule_step(mtp_rule *rule, uint32_t pending, uint32_t waiting, uint8_t cur, uint8_t min,
                       uint8_t max);
