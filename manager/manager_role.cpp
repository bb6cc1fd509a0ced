#include "manager/manager_role.h"

#include "manager/acache.h"
#include "manager/agent_peer.h"
#include "manager/agentcmd.h"
#include "manager/client_peer.h"
#include "manager/db_peer.h"
#include "manager/manager_ctx.h"
#include "manager/mgr_init.h"
#include "manager/mgr_storage.h"
#include "server/plugins.h"
#include "server/runtime.h"
#include "server/server.h"

namespace {

manager_ctx *manager_of(role *self) {
    return static_cast<manager_ctx *>(self->ctx);
}

int manager_reroute_store(void *ctx, const nurl *address, uint64_t n, const uint64_t *aids) {
    return acache_set_db(static_cast<manager_ctx *>(ctx)->mgrdb, address, n, aids);
}

// Before the loops run, an agent learns its new Database at its next hello.
void manager_reroute_tell(void *ctx, uint64_t aid, const nurl *address) {
    auto *m = static_cast<manager_ctx *>(ctx);
    if (m->serving.load(std::memory_order_acquire))
        agentcmd_set_database(m, aid, address);
}

int manager_ctl_server_start(manager_ctx *ctx) {
    ctx->ctl.mode = ctx->mode;
    ctx->ctl.reroute = {manager_reroute_store, manager_reroute_tell, ctx};
    return ctl_server_start(&ctx->ctl);
}

// The context lives as long as the process: the threads that use it are never joined.
int manager_open(role *self, struct runtime *rt) {
    auto *ctx = new manager_ctx{};
    self->ctx = ctx;
    ctx->srv = &rt->server;
    ctx->mode = rt->mode;
    if (plugins_init() != 0)
        return -1;
    ctx->mgrdb = mgr_storage_open();
    if (ctx->mgrdb == nullptr)
        return -1;
    return manager_ctl_server_start(ctx);
}

void manager_started(role *self, struct runtime *) {
    manager_of(self)->serving.store(true, std::memory_order_release);
}

msg *manager_report(void *, loop *agents) {
    return mgagent_build_status_report(agents);
}

void manager_tick(role *self, struct runtime *rt) {
    server_report_agents(&rt->server, manager_report, manager_of(self));
}

// Threads that still run (none is joined) meet a closed storage from here on: their
// statements fail, they never reach a closed connection.
void manager_quiesce(role *self, struct runtime *) {
    mgr_storage_disconnect(manager_of(self)->mgrdb);
}

// The cache is emptied, the handle stays until the process exits.
void manager_close(role *self, struct runtime *) {
    if (mgr_storage *s = manager_of(self)->mgrdb)
        acache_free(&s->acache);
}

loop *manager_client_loop(void *ctx, mtp_pool *pool) {
    return mgui_loop_create(static_cast<manager_ctx *>(ctx), pool);
}

loop *manager_agent_loop(void *ctx, mtp_pool *pool) {
    return mgagent_loop_create(static_cast<manager_ctx *>(ctx), pool);
}

loop *manager_database_loop(void *ctx, mtp_pool *) {
    return mgdb_loop_create(static_cast<manager_ctx *>(ctx));
}

} // namespace

const role manager_role = {
    .name = "Manager",
    .mode = MODE_MANAGER,
    // Two workers at least: one may be registering agents while a hello waits for another
    // process's lock on the storage, and client commands and agent messages keep the other.
    .pool = {"ManagerPool", 2, 20, 100},
    .loops = {{PT_MG_UI, true, 0, manager_client_loop},
              {PT_MG_AG, true, 0, manager_agent_loop},
              {PT_MG_DB, false, MODE_DATABASE, manager_database_loop}},
    .init = mgr_init_environment,
    .open = manager_open,
    .serve = nullptr,
    .started = manager_started,
    .tick = manager_tick,
    .quiesce = manager_quiesce,
    .close = manager_close,
    .archive = nullptr,
    .ctx = nullptr,
};
