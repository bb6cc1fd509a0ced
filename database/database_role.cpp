#include "database/database_role.h"

#include <cstdio>

#include "database/agent_peer.h"
#include "database/client_peer.h"
#include "database/collector.h"
#include "database/collector_store.h"
#include "database/database_ctx.h"
#include "database/store/archive.h"
#include "database/store/dbs.h"
#include "lib/log.h"
#include "server/config.h"
#include "server/mgrconn.h"
#include "server/runtime.h"

namespace {

// Collector worker threads of a service.
constexpr uint16_t DATABASE_COLLECTORS = 4;

int database_init() {
    printf("\tCreating the Database structure ...\n");
    if (storage_create_db() == 0)
        return 0;
    printf("\033[91mKorvane environment initialization failed.\033[0m\n");
    return -1;
}

database_ctx *database_of(role *self) {
    return static_cast<database_ctx *>(self->ctx);
}

// The context lives as long as the process: the threads that use it are never joined.
int database_open(role *self, struct runtime *) {
    auto *ctx = new database_ctx{};
    self->ctx = ctx;
    ctx->db = dbs_open();
    if (ctx->db == nullptr) {
        LOG_FATAL("Unable to open the database!");
        return -1;
    }
    const collector_callbacks callbacks{ctx->db, collector_kv_cb, collector_rcall_cb,
                                        collector_symbol_cb};
    ctx->collector = collector_init(DATABASE_COLLECTORS, &callbacks);
    if (ctx->collector == nullptr) {
        LOG_FATAL("Unable to start collector subsystem!");
        return -1;
    }
    return 0;
}

int database_serve(role *, struct runtime *) {
    LOG_DEBUG("Database role: online subscriptions are not in this build.");
    return 0;
}

// A Database without the Manager role in its process links to its Manager. The link runs
// on its own and reports its own failures, so its result decides nothing here.
void database_started(role *, struct runtime *rt) {
    if (rt->mode == MODE_DATABASE)
        (void)mgrconn_start(config.manager, &rt->server.addr.address, config.redirect, &running);
}

// The collector's workers end; what is still queued stays unhandled.
void database_quiesce(role *self, struct runtime *) {
    collector_request_stop(database_of(self)->collector);
}

int database_archive(role *, uint64_t launch_time_s, uint16_t retention_hours, bool purge) {
    return dbs_archive(launch_time_s, retention_hours, purge ? 1 : 0);
}

loop *database_client_loop(void *ctx, mtp_pool *pool) {
    return dbui_loop_create(static_cast<database_ctx *>(ctx), pool);
}

loop *database_agent_loop(void *ctx, mtp_pool *) {
    return dbagent_loop_create(static_cast<database_ctx *>(ctx));
}

} // namespace

const role database_role = {
    .name = "Database",
    .mode = MODE_DATABASE,
    .pool = {"DatabasePool", 1, 30, 100},
    .loops = {{PT_DB_UI, true, 0, database_client_loop}, {PT_DB_AG, false, 0, database_agent_loop}},
    .init = database_init,
    .open = database_open,
    .serve = database_serve,
    .started = database_started,
    .tick = nullptr,
    .quiesce = database_quiesce,
    .close = nullptr,
    .archive = database_archive,
    .ctx = nullptr,
};
