#include "manager/peer_tasks.h"

#include <cstdlib>
#include <cstring>

#include "lib/log.h"
#include "lib/xalloc.h"
#include "manager/manager_ctx.h"
#include "server/server.h"

int mgr_submit_message(const peer_ctx *ctx, const msg_handler *table, uint32_t n, uint8_t type,
                       uint32_t len, const uint8_t *data) {
    // The type indexes the table only once it is known to lie inside it.
    if (type >= n || table[type] == nullptr) {
        LOG_ERROR("Unsupported message type: %x.", type);
        return -1;
    }
    auto *t = static_cast<iol_task *>(krv_malloc(sizeof(iol_task) + len));
    t->ctx = *ctx;
    t->handler = table[type];
    t->len = len;
    memcpy(t->data, data, len);
    return iol_peer_submit(ctx, iol_task_run, t, free, len) == 0 ? 0 : -1;
}

int mgr_send_reply(manager_ctx *ctx, const PeerId &to, msg *m) {
    if (m == nullptr)
        return -1;
    loop *l = server_get_loop(ctx->srv, to.pt);
    if (l == nullptr) {
        free(m);
        return -1;
    }
    return iol_reply(l, to, m);
}
