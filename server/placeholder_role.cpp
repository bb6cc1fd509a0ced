#include "server/placeholder_role.h"

#include <cstdlib>
#include <unistd.h>

#include "lib/log.h"

static void placeholder_on_auth(auth_request *req) {
    LOG_WARN("IOL[%s]: Client %s refused: this server does not serve its role yet.",
             req->target->tag, req->peer.addr.text);
    close(req->peer.connfd);
    free(req);
}

// No peer is ever accepted, so these two are never called; a loop needs them all the same.
static void placeholder_on_frame(peer_ctx *, const uint8_t *, uint64_t) {}

static void placeholder_on_close(iol_peer *peer) {
    free(peer);
}

static loop *placeholder_loop(uint32_t pt, mtp_pool *pool) {
    return iol_create(pt, pool, placeholder_on_close, placeholder_on_auth, placeholder_on_frame);
}

loop *dbagent_loop_create() {
    return placeholder_loop(PT_DB_AG, nullptr);
}

loop *dbui_loop_create(mtp_pool *pool) {
    return placeholder_loop(PT_DB_UI, pool);
}

loop *mgagent_loop_create(mtp_pool *pool) {
    return placeholder_loop(PT_MG_AG, pool);
}

loop *mgui_loop_create(mtp_pool *pool) {
    return placeholder_loop(PT_MG_UI, pool);
}

loop *mgdb_loop_create() {
    return placeholder_loop(PT_MG_DB, nullptr);
}

msg *mgagent_build_status_report(loop *) {
    return nullptr;
}
