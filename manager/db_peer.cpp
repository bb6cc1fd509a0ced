#include "manager/db_peer.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "lib/be_load.h"
#include "lib/log.h"
#include "lib/murmur3.h"
#include "lib/xalloc.h"
#include "manager/dbreg.h"
#include "manager/manager_ctx.h"
#include "server/server.h"

void dbnotice_encode(uint8_t kind, const uint8_t address[NURL_SIZE], uint8_t out[DBNOTICE_LEN]) {
    out[0] = 0;
    out[1] = kind;
    // Family and port go out little-endian, unlike everywhere else on the wire.
    const uint16_t family = load_be16(address);
    const uint16_t port = load_be16(address + 2);
    out[2] = static_cast<uint8_t>(family);
    out[3] = static_cast<uint8_t>(family >> 8);
    out[4] = static_cast<uint8_t>(port);
    out[5] = static_cast<uint8_t>(port >> 8);
    memcpy(out + 6, address + 4, NURL_SIZE - 4);
}

// Tells every connected client; a notice the client loop cannot take is dropped.
static void mgdb_notify(manager_ctx *ctx, uint8_t kind, const uint8_t address[NURL_SIZE]) {
    uint8_t notice[DBNOTICE_LEN];
    dbnotice_encode(kind, address, notice);
    msg *m = msg_new(MSG_PUSH, notice, sizeof notice);
    if (m != nullptr && server_send(ctx->srv, IOMessage{m, IOM_BROADCAST, PeerId{0, 0, 0, PT_MG_UI}}) != 0)
        free(m);
}

void mgdb_on_auth(auth_request *req) {
    if (req->len != MGDB_HELLO_LEN) {
        LOG_ERROR("Incorrect auth message size!");
        close(req->peer.connfd);
        free(req);
        return;
    }
    manager_ctx *ctx = static_cast<manager_ctx *>(req->target->ctx);
    char from[sizeof req->peer.addr.text];
    memcpy(from, req->peer.addr.text, sizeof from);
    LOG_INFO("Database connection attempt from %s.", from);
    // Registered before the accept: a client logging in meanwhile already lists it.
    dbreg_add(&ctx->dbreg, req->body);
    auto *peer = static_cast<mgdb_peer *>(krv_calloc(1, sizeof(mgdb_peer)));
    peer->base.uid = murmur3_hash64(req->body, MGDB_HELLO_LEN);
    peer->ctx = ctx;
    memcpy(peer->address, req->body, MGDB_HELLO_LEN);
    uint8_t address[NURL_SIZE];
    memcpy(address, req->body, sizeof address);
    msg *answer = msg_new(MSG_HELLO, MGR_HELLO_ANSWER, sizeof MGR_HELLO_ANSWER);
    if (iol_accept_request(req, &peer->base, answer) != 0) {
        dbreg_remove(&ctx->dbreg, address);
        return;
    }
    mgdb_notify(ctx, DBNOTICE_CONNECTED, address);
    LOG_INFO("New database connection accepted from %s.", from);
}

static int mgdb_on_message(void *, uint8_t, uint32_t, const uint8_t *) {
    return 0;
}

void mgdb_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len) {
    msg_foreach(len, data, ctx, mgdb_on_message);
}

void mgdb_on_close(iol_peer *peer) {
    auto *p = reinterpret_cast<mgdb_peer *>(peer);
    // A connection replaced by a newer one announcing the same address leaves that
    // registration: the Database is still there.
    if (dbreg_remove(&p->ctx->dbreg, p->address) == 0)
        mgdb_notify(p->ctx, DBNOTICE_DISCONNECTED, p->address);
    free(p);
}

loop *mgdb_loop_create(manager_ctx *ctx) {
    return iol_create(PT_MG_DB, nullptr, mgdb_on_close, mgdb_on_auth, mgdb_on_frame, ctx);
}
