#include "cli/selection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "database/store/agents.h"
#include "lib/format.h"
#include "manager/acache.h"

const char *selection_label(const agent_entry *entry, char out[SELECTION_LABEL_SIZE]) {
    str_printable(out, entry->identity.label, sizeof entry->identity.label);
    return out;
}

// Keeps a copy of the agent when its type and label pass the selection's filters.
static void selection_offer(selection *sel, const agent_entry *entry) {
    if (sel->type != AGENT_TYPE_ANY && sel->type != entry->identity.type)
        return;
    char label[SELECTION_LABEL_SIZE];
    if (sel->filter != nullptr && pattern_match(sel->filter, selection_label(entry, label)) != 0)
        return;
    sel->entries.push_back(*entry);
}

int cli_collect_db_agent(void *ctx, agent_entry *entry) {
    selection_offer(static_cast<selection *>(ctx), entry);
    return 0;
}

int cli_collect_mgr_agent(void *ctx, const mgr_agent *slot) {
    agent_entry entry;
    entry.identity = slot->identity;
    entry.id = slot->aid;
    selection_offer(static_cast<selection *>(ctx), &entry);
    return 0;
}

int cli_cmp_selected(const void *a, const void *b) {
    char x[SELECTION_LABEL_SIZE], y[SELECTION_LABEL_SIZE];
    return strcmp(selection_label(static_cast<const agent_entry *>(a), x),
                  selection_label(static_cast<const agent_entry *>(b), y));
}

int cli_select_agents(const char *pattern_text, selection *sel, mgr_storage *storage) {
    sel->filter = nullptr;
    if (pattern_text != nullptr) {
        sel->filter = pattern_create(pattern_text, PATTERN_REGEX);
        if (sel->filter == nullptr)
            return -1;
    }
    if (storage != nullptr)
        acache_foreach(storage, sel, cli_collect_mgr_agent);
    else
        dbs_foreach_agent(sel, cli_collect_db_agent);
    if (sel->entries.size() > 1)
        qsort(sel->entries.data(), sel->entries.size(), sizeof(agent_entry), cli_cmp_selected);
    pattern_free(sel->filter);
    sel->filter = nullptr;
    return 0;
}

int cli_select_db_agents(const char *pattern_text, selection *sel) {
    return cli_select_agents(pattern_text, sel, nullptr);
}

void cli_pattern_error_exit() {
    printf("\033[91mError! Incorrect expression for the agents pattern.\033[0m\n");
    exit(1);
}
