// The Database file store under "storage.db": its version word, the open handle with its
// symbol maps, and the registry of agents with their per-agent write state.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <pthread.h>

struct smap;
struct cindex_slot;
struct kv_maintainer;

constexpr uint64_t DAY_MS = 86400000;
constexpr uint64_t HOUR_MS = 3600000;

// The word the store is written with, and the bits another word must share with it.
constexpr uint16_t PROTOCOL_VERSION = 0x3006;
constexpr uint16_t VERSION_MASK = 0xFFC0;

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

// The open store: one per service process with the Database role.
struct dbs {
    smap *smaps[4]; // SYM_THREAD, SYM_CLASS, SYM_METHOD, SYM_KEY in this order
    dbs_agents agents;
    kv_maintainer *kv_maint; // the thread that moves staged key/value samples
};

// 1 when `version` differs from PROTOCOL_VERSION only in its patch bits (the low 6).
int is_version_compatible(uint16_t version);

// Writes `version` big-endian into a new (or truncated) file at `path`, mode 0600. 0 or -1.
int create_dbversion_file(uint16_t version, const char *path);

// Creates an empty store in the working directory: its directories, the version file and
// the four symbol files. 0, or -1 at the first failure (nothing is removed).
int storage_create_db();

// Checks the version and the directories of the store in the working directory, loads the
// symbol maps and the agents registry, moves the key/value staging files left behind into
// the day files and starts the key/value maintainer. NULL on any failure (already reported).
dbs *dbs_open();

// The symbol map of a symbol type 1..4, NULL for any other type.
smap *dbs_smap(dbs *db, uint32_t type);

// Registers an agent: 0 when it is new (its directory and identity file are written), 17
// (EEXIST) when the registry holds it already, another errno value when its directory or
// identity file cannot be written. Every result but the last leaves a registry item.
int dbs_agent_register(dbs *db, const uint8_t identity[64], uint64_t aid);

// The agent's write state, or NULL when it is not registered.
dbs_agent *dbs_agent_find(dbs *db, uint64_t aid);

// Stops the key/value maintainer and frees the handle, its symbol maps and its registry.
// Only when no other thread uses the store any more and the agents' files have been closed
// by their owners.
void dbs_close(dbs *db);
