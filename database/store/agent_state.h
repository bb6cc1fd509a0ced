// The write state the store keeps for each agent, shared by the modules that write an
// agent's files (root calls, key/value samples) and the registry that owns it.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <unordered_map>
#include <vector>

struct cindex_slot;

constexpr uint64_t DAY_MS = 86400000;
constexpr uint64_t HOUR_MS = 3600000;

// Hours of one agent whose files stay open at once. Root calls arrive up to the collector's
// slack (under five hours) late, so an agent may write to several hours in turn; keeping the
// last few open makes a late root call as cheap as one of the current hour. The agent's
// descriptors are bounded by it: two per open hour.
constexpr uint32_t MC_OPEN_HOURS = 3;
// Hour files whose tails this process has checked, remembered per agent with the size they
// had when last closed: reopening one at that size needs no second check.
constexpr uint32_t MC_CHECKED_HOURS = 8;

// The hour of an unused entry below: hour 0 since the epoch is a real hour like any other.
constexpr uint64_t MC_NO_HOUR = UINT64_MAX;

// One open hour of an agent: its root-call file, its extension file (opened with the first
// blob) and the day's calls index, mapped once for all the open hours of that day.
struct dbs_mc_hour {
    uint64_t hour = MC_NO_HOUR; // hours since the epoch; MC_NO_HOUR when the entry is unused
    uint64_t data_size;         // size of the hour file: where the next root call goes
    uint64_t ext_size;          // size of the extension file
    uint64_t used;        // the agent's write count when last written: the oldest one goes first
    cindex_slot *index;   // mapped calls index of the hour's day (shared by that day's hours)
    int32_t data_fd = -1; // -1 when closed
    int32_t ext_fd = -1;  // -1 while the hour has no blob written by this process
    bool dirty;           // written since its files were last synced
};

struct dbs_mc_checked {
    uint64_t hour = MC_NO_HOUR; // hours since the epoch; MC_NO_HOUR when unused
    uint64_t size;
};

// Bytes of root calls and their blobs an agent gathers before they are written: a root call
// that would take a batch past it is written out after the batch, one larger than it on its
// own. It bounds what each agent's batch holds between payloads.
constexpr size_t MC_BATCH_BYTES = size_t{128} << 10;

// The calls-index entry of a gathered root call: where it goes in the hour file and the
// second of the hour of its root.
struct dbs_mc_entry {
    uint64_t offset;
    uint32_t second;
};

// Root calls of one open hour gathered for writing, in file form and in the order they go
// to the files: their RootCalls with their records, their blobs, and their index entries,
// which are put only when the batch is written.
struct dbs_mc_batch {
    uint64_t hour = MC_NO_HOUR; // the open hour they go to; MC_NO_HOUR when empty
    std::vector<uint8_t> data;
    std::vector<uint8_t> ext;
    std::vector<dbs_mc_entry> entries;
};

// Root-call write state of an agent. Used only by the collector worker that serves the
// agent, so it takes no lock.
struct dbs_mc_state {
    dbs_mc_hour open[MC_OPEN_HOURS];
    dbs_mc_batch batch;
    dbs_mc_checked checked[MC_CHECKED_HOURS]; // most recent first
    uint64_t writes;                          // root calls written, the clock of `used`
    uint64_t newest; // the latest hour written so far (hours since the epoch)
};

// Key/value staging state of an agent, shared between its collector worker and the
// maintainer thread through `unstage_pending`.
struct dbs_kv_state {
    int32_t stage_fd;                     // open stage file, -1 when closed
    uint64_t stage_size;                  // its size: whole records
    uint64_t staged;                      // records appended since the stage file was opened
    std::atomic<uint8_t> unstage_pending; // 1 while a rotated "unstage" file waits
};

// What an agent lost since its last loss line: told once per second at most, with the
// count and the last failure, instead of a line per lost root call or sample.
struct dbs_losses {
    uint64_t rcalls;
    uint64_t samples;
    uint64_t last_told_ms; // monotonic; 0 before the first line
    char why[112];         // the last failure: a system call and its file, or a reason
    int err;               // its errno value, 0 for a reason without one
};

// Write state of one agent. Created when the agent is registered or found at open (both
// descriptors of every hour -1, see dbs_agent_init); owned by the store and never freed
// while it is open, so a pointer from dbs_agent_find stays valid without the registry lock.
struct dbs_agent {
    uint64_t id;
    dbs_mc_state mc;
    dbs_kv_state kv;
    dbs_losses losses; // the collector worker's, like mc
};

// Sets up the write state of agent `aid` with nothing open.
void dbs_agent_init(dbs_agent *a, uint64_t aid);

// Counts root calls and samples of the agent that could not be stored, and why: the failed
// call `why` on the file `path` with errno value `err`, or (err 0, path NULL) a reason. The
// losses are told when the last line is a second old or more. Collector worker of the agent
// only.
void dbs_agent_lost(dbs_agent *a, uint64_t rcalls, uint64_t samples, const char *why,
                    const char *path, int err);
// Tells the losses not told yet: at once with `now`, else only once the last line is a
// second old.
void dbs_agent_tell_losses(dbs_agent *a, bool now);

// Every agent known to the store, in registration order (those found at open first), and
// the same agents by id.
struct dbs_agents {
    dbs_agent **items;
    pthread_rwlock_t guard;
    uint64_t count;
    std::unordered_map<uint64_t, dbs_agent *> *by_id; // NULL: look the items through
};
