// The Manager's peers hand each message they receive to the loop's pool: a table indexed
// by message type names the handler, and the message is copied into an iol_task that a
// "ManagerPool" worker runs.
#pragma once

#include <cstdint>

#include "server/ioloop.h"

struct manager_ctx;

// Submits the message as a task of the sending peer for table[type] (iol_peer_submit, within
// the loop's limits per peer). A type outside the table's n entries, or an empty entry, is
// refused with an ERROR line and -1 (which ends the frame's walk); so is a message that takes
// the peer past its limits, which closes it.
int mgr_submit_message(const peer_ctx *ctx, const msg_handler *table, uint32_t n, uint8_t type,
                       uint32_t len, const uint8_t *data);

// The PeerId of the peer that sent a task's message.
inline PeerId mgr_sender(const peer_ctx &ctx) {
    return PeerId{ctx.uid, ctx.cid, ctx.idx, ctx.pt};
}

// Queues a reply to the client connection `to`, through the loop of its peer type (iol_reply:
// a reply the loop cannot take closes that connection, and one for a connection that has
// gone is dropped). m NULL: nothing. 0 when queued, else -1 with m released.
int mgr_send_reply(manager_ctx *ctx, const PeerId &to, msg *m);
