#include "database/database_role.h"

#include <cstdio>

#include "database/agent_peer.h"
#include "database/client_peer.h"
#include "database/collector.h"
#include "database/collector_store.h"
#include "database/store/dbs.h"
#include "lib/log.h"
#include "server/runtime.h"

namespace {

// Collector worker threads of a service.
constexpr uint16_t DATABASE_COLLECTORS = 4;

int database_init() {
    printf("\tCreating the Database structure ...\n");
    return storage_create_db();
}

int database_open(role *, struct runtime *rt) {
    rt->db = dbs_open();
    if (rt->db == nullptr) {
        LOG_FATAL("Unable to open the database!");
        return -1;
    }
    const collector_callbacks callbacks{collector_kv_cb, collector_rcall_cb, collector_symbol_cb};
    rt->collector = collector_init(DATABASE_COLLECTORS, &callbacks);
    if (rt->collector == nullptr) {
        LOG_FATAL("Unable to start collector subsystem!");
        return -1;
    }
    return 0;
}

int database_serve(role *, struct runtime *) {
    LOG_DEBUG("Database role: online subscriptions are not in this build.");
    return 0;
}

// A Database without the Manager role in its process links to its Manager.
void database_started(role *, struct runtime *rt) {
    if (rt->mode == MODE_DATABASE)
        LOG_DEBUG("Database role: the Manager link is not in this build.");
}

loop *database_client_loop(void *, mtp_pool *pool) {
    return dbui_loop_create(pool);
}

loop *database_agent_loop(void *, mtp_pool *) {
    return dbagent_loop_create();
}

} // namespace

const role database_role = {
    "Database",
    MODE_DATABASE,
    {"DatabasePool", 1, 30, 100},
    {{PT_DB_UI, true, 0, database_client_loop}, {PT_DB_AG, false, 0, database_agent_loop}},
    database_init,
    database_open,
    database_serve,
    database_started,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};
