// The write state the store keeps for each agent, shared by the modules that write an
// agent's files (root calls, key/value samples) and the registry that owns it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <pthread.h>

struct cindex_slot;

constexpr uint64_t DAY_MS = 86400000;
constexpr uint64_t HOUR_MS = 3600000;

// An hour file whose tail this process has checked for an incomplete root call, with the
// size it had then (kept up to date by the appends). Reopening it at that size needs no
// second check. A zero entry matches only an empty file, which needs no check either.
struct dbs_mc_checked {
    uint64_t hour; // hours since the epoch
    uint64_t size;
};

// Root-call write state of an agent: the open hour file, its extension file and the day's
// calls index. Used only by the collector worker that serves the agent, so it takes no lock.
struct dbs_mc_state {
    uint64_t hour;      // hours since the epoch whose files are open; 0 when none
    uint64_t data_size; // size of the open hour file: where the next root call goes
    uint64_t ext_size;  // size of the open extension file
    cindex_slot *index; // mapped calls index of the current day, or NULL
    int32_t data_fd;    // -1 when closed
    int32_t ext_fd;     // -1 when closed
};

// Key/value staging state of an agent, shared between its collector worker and the
// maintainer thread through `unstage_pending`.
struct dbs_kv_state {
    FILE *stage;                          // open stage file, NULL when closed
    uint64_t staged;                      // records appended since the stage file was opened
    std::atomic<uint8_t> unstage_pending; // 1 while a rotated "unstage" file waits
};

// Write state of one agent. Created zero-filled (both descriptors -1) when the agent is
// registered or found at open; owned by the store and never freed while it is open, so a
// pointer from dbs_agent_find stays valid without the registry lock.
struct dbs_agent {
    uint64_t id;
    dbs_mc_state mc;
    // The two hour files checked last, most recent first: roots that alternate around an
    // hour boundary switch between two files without walking either again.
    dbs_mc_checked mc_checked[2];
    dbs_kv_state kv;
};

// Every agent known to the store, in registration order (those found at open first).
struct dbs_agents {
    dbs_agent **items;
    pthread_rwlock_t guard;
    uint64_t count;
};
