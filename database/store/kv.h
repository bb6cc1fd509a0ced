// Key/value metric samples. Each agent's collector worker appends its samples, in arrival
// order, to the staging file "storage.db/data/<agent>/kv/stages/stage"; after 501 records
// the file is renamed to "unstage" and handed to the maintainer thread through the agent's
// `unstage_pending` flag. The maintainer sorts the file and appends its samples to the day
// files "storage.db/data/<agent>/kv/<day>.<key>", which the KV METRICS query reads whole.
//
// Moving a staging file into the day files is made repeatable: before the first append the
// sizes of the day files it touches are written to "kv/stages/journal", and a recovery
// that finds the journal beside its (not yet removed) staging file cuts the day files back
// to those sizes before moving the staging file again.
#pragma once

#include <cstddef>
#include <cstdint>

struct dbs;
struct dbs_agent;
struct dbs_agents;

// One staged sample: host byte order.
struct kv_stage_rec {
    uint64_t agent_id;
    uint64_t time; // ms since the epoch, UTC
    uint64_t value;
    uint64_t key; // KEY symbol id
};
static_assert(sizeof(kv_stage_rec) == 32);

// One sample of a day file: big-endian.
struct kv_sample {
    uint64_t time;
    uint64_t value;
};
static_assert(sizeof(kv_sample) == 16);

// The stage is rotated at the first sample after it holds more than this many records
// appended since it was opened.
constexpr uint64_t KV_STAGE_ROTATE = 500;

// The maintainer of an open store passes over all agents at most once per this interval.
constexpr uint32_t KV_MAINTAIN_INTERVAL_MS = 1000;

// Most bytes of one day file handed out by dbs_kv_foreach_bulkday: one sample every five
// seconds of a day.
constexpr size_t KV_BULK_BYTES = 17280 * sizeof(kv_sample);

// Stages one sample of the agent with one write(2), so that a sample handed to the store
// survives a crash of the process. Runs on the agent's collector worker only. 0, or -1 when
// the stage file cannot be opened or written: the sample is dropped, counted and told in
// the agent's loss line.
int dbs_kv_save(dbs_agent *a, uint32_t key, uint64_t time_ms, uint64_t value);

// Closes the agent's stage file, if open, when its collector goes away. The file stays on
// disk and is reopened by the next sample. -1 when the close fails (logged).
int dbs_agent_kv_close(dbs *db, dbs_agent *a);

// Orders staging records by agent id, key id and time, all ascending (qsort form).
int kv_stage_rec_cmp(const void *a, const void *b);

// Sorts the staging file at `path` of agent `aid` and appends its samples to the agent's
// day files, writing the journal first. Records of other agents and a partial record at
// the end are left out. The file and the journal stay in place: whoever consumes the file
// (maintainer or recovery) removes it and then the journal, once the move is complete. 0
// (also for a missing file), or -1 when the file could not be read, no journal could be
// written or some samples could not be appended (logged).
int process_stage_file(uint64_t aid, const char *path);

// Moves every staging file left in the agent directories into the day files and removes
// it ("unstage" before "stage"). Runs at open, before any agent can send. A file that cannot
// be moved whole stays: an "unstage" file is left to the maintainer (its agent's flag in
// `agents`, which may be NULL, is set), a "stage" file to the agent's next rotation. 0, or
// -1 when "storage.db/data" cannot be opened or some samples could not be moved (logged).
int dbs_kv_recover(dbs_agents *agents);

// One pass of the maintainer over the registry: moves and removes the pending "unstage"
// file of every agent whose flag is set, then clears the flag. A file that cannot be moved
// whole keeps its flag and is tried again at the next pass. 0, or -1 when some samples could
// not be moved (logged).
int dbs_kv_maintain_pass(dbs_agents *agents);

struct kv_maintainer;

// Starts the maintainer thread on the registry: one pass every `interval_ms` milliseconds,
// each followed by after_pass(ctx) when it is given. NULL when the thread cannot be started
// (logged).
kv_maintainer *dbs_kv_maintainer_start(dbs_agents *agents, uint32_t interval_ms,
                                       void (*after_pass)(void *ctx) = nullptr,
                                       void *ctx = nullptr);

// Stops the maintainer thread, waits for it and frees it.
void dbs_kv_maintainer_stop(kv_maintainer *m);

// Called with the bytes of one day file: whole big-endian kv_sample records.
using dbs_kv_bulk_cb = int (*)(void *ctx, const uint8_t *data, int64_t n);

// For every day from from_ms / DAY_MS to to_ms / DAY_MS, hands the first KV_BULK_BYTES of
// the key's day file of the agent to fn (missing files are skipped). A non-zero result of
// fn ends the walk with -1. -1 as well without fn or when from_ms > to_ms; otherwise 0.
int dbs_kv_foreach_bulkday(uint64_t aid, uint64_t from_ms, uint64_t to_ms, uint32_t key, void *ctx,
                           dbs_kv_bulk_cb fn);

// Where a bulk read of day files puts each file's bytes: the sink places them and is told
// what arrived.
struct dbs_kv_day_sink {
    // Called before a day file is read, with the n bytes that will be read of it (whole
    // samples, at most KV_BULK_BYTES, known from its size): room for n bytes, or NULL to
    // leave the file unread and end the walk.
    uint8_t *(*place)(void *ctx, uint64_t n);
    // The n bytes of whole samples now at the place, and whether the file held more than
    // KV_BULK_BYTES. A non-zero result ends the walk.
    int (*done)(void *ctx, uint64_t n, bool longer);
};

// Reads the agent's day files of the key for every day from from_ms / DAY_MS to
// to_ms / DAY_MS into the places the sink gives (missing and empty files are skipped). 0
// after the last day, 1 when the sink ended the walk, -1 without a complete sink, when
// from_ms > to_ms, or when a day file (or the agent's "kv" directory, for a range walked
// over its listing) exists but cannot be read; every failure is logged.
int dbs_kv_read_days(uint64_t aid, uint64_t from_ms, uint64_t to_ms, uint32_t key, void *ctx,
                     const dbs_kv_day_sink *sink);

// Adds the sizes of the agent's day files to *total. 0, or -1 when its "kv" directory
// exists but cannot be read.
int dbs_stats_kv(uint64_t aid, uint64_t *total);
