// The storage statistics listing of the `info` command: per agent directory, how its
// root-call bytes split between call files and parameter (extension) files, its key/value
// bytes and the first and last day it has root calls for, then the totals. It only reads
// files, so it runs beside a running server or without one.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/agent_type.h"
#include "lib/format.h"

// One row of the listing.
struct dbs_stats_row {
    double c_pct;      // call-file bytes x 100 / root-call bytes; 0 without root-call bytes
    double cp_pct;     // extension bytes x 100 / root-call bytes; 0 without root-call bytes
    uint64_t first;    // first day with root-call files as the day's start in seconds since
    uint64_t last;     // the epoch (day x 86400), and the last one; both 0 without files
    fmt_size cp_bytes; // call-file plus extension bytes
    fmt_size kv_bytes; // key/value day files
    char name[64];     // the label: at most 63 bytes, control bytes shown as '?'
    const char *type;  // "JVM" for a JVM agent, "---" for any other type
};

// The rows in walk order and the totals kept while they are built.
struct dbs_stats {
    std::vector<dbs_stats_row> rows;
    uint64_t first;      // smallest non-zero first day; 0 when no agent has one
    uint64_t last;       // largest non-zero last day
    uint64_t data_bytes; // summed call-file bytes
    uint64_t ext_bytes;  // summed extension bytes
    uint64_t kv_bytes;   // summed key/value bytes
};

// Sort keys of the listing; any other key keeps the walk order.
enum : uint32_t {
    DBS_STATS_BY_NAME = 0,     // label, ascending, byte-wise
    DBS_STATS_BY_C_PCT = 1,    // call share, descending
    DBS_STATS_BY_CP_PCT = 2,   // parameter share, descending
    DBS_STATS_BY_CP_BYTES = 3, // root-call bytes, descending
    DBS_STATS_BY_KV_BYTES = 4, // key/value bytes, descending
};

// The agent walk's callback (`ctx` is a dbs_stats): appends the agent's row and adds it to
// the totals. Always 0.
int dbs_stats_agent_row(void *ctx, agent_entry *agent);

// qsort comparators over dbs_stats_row for the keys 0 to 4.
int dbs_stats_cmp_agent(const void *a, const void *b);
int dbs_stats_cmp_c_pct(const void *a, const void *b);
int dbs_stats_cmp_cp_pct(const void *a, const void *b);
int dbs_stats_cmp_cp_bytes(const void *a, const void *b);
int dbs_stats_cmp_kv_bytes(const void *a, const void *b);

// Prints the table of the store in the working directory on standard output, its rows in
// the order of `sort_key`. 0, or -1 (nothing printed) when the agent directories cannot be
// walked.
int dbs_print_data_stats(uint32_t sort_key);
