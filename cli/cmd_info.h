// The info command: lists what the storage of an environment holds. For the Database role
// the symbol counts and the per-agent data statistics of the store, for the Manager role
// the registered agents with their configuration (and Database, at a Manager without the
// Database role) and the stored configurations. It reads the files directly, so it may run
// beside a running server.
#pragma once

#include <cstdint>

#include "manager/acache.h"
#include "manager/configs.h"

struct runtime;

// info [--storage] [--verbose] DIR. Without `storage` it prints nothing. Ends the process.
int32_t cmd_info(int argc, char **argv, struct runtime *rt);

// A stored configuration as the listing collects it.
struct cli_config_row {
    ConfigurationInfo info;
    uint64_t lastupdate; // activation time in seconds, 0 when never activated
};

// Agents-cache walk callback: appends a copy of the slot to the std::vector<mgr_agent> at
// `ctx`. 0.
int cli_collect_agent_row(void *ctx, const mgr_agent *slot);
// Configuration walk callback: appends the summary and its activation time to the
// std::vector<cli_config_row> at `ctx`. 0.
int cli_collect_config(void *ctx, const ConfigurationInfo *info, uint64_t lastupdate);

// qsort comparators: agents by label in byte order, configurations by label without regard
// to case.
int cli_cmp_agent_name(const void *a, const void *b);
int cli_cmp_config_label(const void *a, const void *b);
