#include "database/database_role.h"

#include <cstdio>
#include <cstdlib>

#include "database/agent_peer.h"
#include "database/client_peer.h"
#include "database/collector.h"
#include "database/collector_store.h"
#include "database/database_ctx.h"
#include "database/online.h"
#include "database/store/archive.h"
#include "database/store/dbs.h"
#include "lib/format.h"
#include "lib/log.h"
#include "server/config.h"
#include "server/mgrconn.h"
#include "server/runtime.h"
#include "server/server.h"

namespace {

// Collector worker threads of a service.
constexpr uint16_t DATABASE_COLLECTORS = 4;
// The pool keeps a worker beyond what one client may hold, so that a client busy with costly
// queries never leaves another one waiting for a worker to be added.
constexpr uint8_t DATABASE_POOL_MIN = DBUI_CLIENT_TASKS + 1;

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
    const uint32_t kib = test_setting_ms(COLLECTOR_BUDGET_ENV, 0);
    if (kib > 0)
        ctx->collector->budget = uint64_t{kib} << 10;
    return 0;
}

// The online service starts once the DB-UI loop exists, before the loops run; without it
// the service ends at once.
int database_serve(role *self, struct runtime *rt) {
    database_ctx *ctx = database_of(self);
    odb *o = online_create();
    o->period_ms = test_setting_ms(ONLINE_PERIOD_ENV, ONLINE_PERIOD_MS);
    o->max_data = test_setting_ms(ONLINE_MSG_MAX_ENV, MSG_MAX_DATA);
    ctx->online = o;
    if (online_start(o, server_get_loop(&rt->server, PT_DB_UI), ctx->collector) != 0) {
        LOG_FATAL("Unable to start online subscription subsystem!");
        return -1;
    }
    return 0;
}

// A Database without the Manager role in its process links to its Manager. The link runs
// on its own and reports its own failures, so its result decides nothing here.
void database_started(role *, struct runtime *rt) {
    if (rt->mode == MODE_DATABASE)
        (void)mgrconn_start(config.manager, &rt->server.addr.address, config.redirect, &running);
}

// How long the stop waits for the agents' loop to pause its agents.
constexpr uint32_t DATABASE_PAUSE_WAIT_MS = 5000;

// A clean stop keeps what was accepted, in this order: no new agents, no more frames read
// from the connected ones, every frame queued before that stored (a stop marker behind each
// worker's queue, then the workers joined), and every agent's state closed, which syncs and
// closes its files.
void database_quiesce(role *self, struct runtime *) {
    mgrconn_shutdown();
    database_ctx *ctx = database_of(self);
    if (ctx == nullptr || ctx->collector == nullptr)
        return;
    // No push reads the collector once its agents are closed.
    if (ctx->online != nullptr)
        online_stop(ctx->online);
    dbagent_stop_reading(ctx, DATABASE_PAUSE_WAIT_MS);
    collector_stop(ctx->collector);
    collector_close_agents(ctx->collector);
    const uint64_t dropped = ctx->frames_dropped.load();
    if (dropped != 0)
        LOG_WARN("%lu frames of agents arrived while the Database was stopping: not stored.",
                 dropped);
    LOG_INFO("Database quiesced: agents' data stored and their files closed.");
}

// Closes the store: its maintainer thread ends and its symbol files are synced. Nothing is
// freed: the threads of the loops and of the pool are not joined and may reach the context
// until the process ends.
void database_close(role *self, struct runtime *) {
    database_ctx *ctx = database_of(self);
    if (ctx != nullptr && ctx->db != nullptr)
        (void)dbs_quiesce(ctx->db); // logged where it failed
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
    .pool = {"DatabasePool", DATABASE_POOL_MIN, 30, 100},
    .loops = {{PT_DB_UI, true, 0, database_client_loop}, {PT_DB_AG, false, 0, database_agent_loop}},
    .init = database_init,
    .open = database_open,
    .serve = database_serve,
    .started = database_started,
    .tick = nullptr,
    .quiesce = database_quiesce,
    .close = database_close,
    .archive = database_archive,
    .ctx = nullptr,
};
