// Agent selection of the administration commands: the agents of the data store, or of a
// Manager storage's agents cache, whose labels match an extended regular expression and
// whose type passes a filter, in label byte order.
//
// Labels come from agents that never proved anything: 63 bytes, maybe without a terminator,
// maybe with control bytes. A selection matches, sorts and prints each one from a terminated
// copy with its control bytes shown as '?' (`selection_label`), never from the field itself.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/agent_type.h"
#include "lib/pattern.h"

struct mgr_storage;
struct mgr_agent;

struct selection {
    std::vector<agent_entry> entries; // the chosen agents, grown one record at a time
    pattern *filter;                  // the label expression during a walk; NULL keeps every label
    uint8_t type;                     // AGENT_TYPE_ANY, or the only type kept
};

// Room for a label as a selection shows it: the 63 bytes of the field and a terminator.
constexpr size_t SELECTION_LABEL_SIZE = 64;

// The label of an entry as a selection matches, sorts and prints it, written into `out`.
// Returns `out`.
const char *selection_label(const agent_entry *entry, char out[SELECTION_LABEL_SIZE]);

// Appends to `sel` the agents whose label matches `pattern_text` (NULL: every agent) and
// whose type passes `sel->type`, read from the agents cache of `storage`, or from the agent
// directories of the data store in the working directory when `storage` is NULL; then sorts
// the entries by label. 0, or -1 when the expression does not compile (nothing is selected;
// the caller releases what it holds and calls cli_pattern_error_exit). A store whose agent
// directories cannot be walked selects nothing.
int cli_select_agents(const char *pattern_text, selection *sel, mgr_storage *storage);
// The same from the data store.
int cli_select_db_agents(const char *pattern_text, selection *sel);

// Walk callbacks over the data store (`dbs_foreach_agent`) and the agents cache
// (`acache_foreach`); `ctx` is the selection. They keep a copy of every agent that passes
// the selection's filters. 0.
int cli_collect_db_agent(void *ctx, agent_entry *entry);
int cli_collect_mgr_agent(void *ctx, const mgr_agent *slot);

// qsort comparator over agent_entry records: their selection labels in byte order.
int cli_cmp_selected(const void *a, const void *b);

// "Error! Incorrect expression for the agents pattern." and exit status 1.
[[noreturn]] void cli_pattern_error_exit();
