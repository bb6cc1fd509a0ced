#include "server/msg.h"

#include <cstring>

#include "lib/be_load.h"
#include "lib/log.h"
#include "lib/xalloc.h"

static bool msg_type_valid(uint8_t type) {
    return type >= MSG_HELLO && type <= MSG_RESPONSE;
}

static uint8_t *msg_data(msg *m) {
    return reinterpret_cast<uint8_t *>(m) + MSG_HDR_LEN;
}

// A block for a message of len data bytes with its header written, or NULL when the
// message could not be delivered: a walk refuses a bad type and an empty message, and the
// send path refuses one longer than MSG_MAX_LEN.
static msg *msg_alloc(uint8_t type, uint64_t len) {
    if (!msg_type_valid(type)) {
        LOG_ERROR("Invalid message type!");
        return nullptr;
    }
    if (len > MSG_MAX_DATA) {
        LOG_ERROR("Message size too big!");
        return nullptr;
    }
    if (len == 0) {
        LOG_ERROR("Message has no data!");
        return nullptr;
    }
    msg *m = static_cast<msg *>(krv_malloc(MSG_HDR_LEN + len));
    m->type = type;
    store_be32(m->len, static_cast<uint32_t>(len));
    return m;
}

msg *msg_new(uint8_t type, const void *data, uint64_t len) {
    msg *m = msg_alloc(type, len);
    if (m != nullptr)
        memcpy(msg_data(m), data, len);
    return m;
}

msg *msg_new_iov(uint8_t type, uint16_t n, const msg_part *parts) {
    // Summed with a bound so that huge parts cannot wrap the total around.
    uint64_t total = 0;
    for (uint16_t i = 0; i < n; i++) {
        if (parts[i].len > MSG_MAX_DATA - total) {
            total = UINT64_MAX;
            break;
        }
        total += parts[i].len;
    }
    msg *m = msg_alloc(type, total);
    if (m == nullptr)
        return nullptr;
    uint8_t *p = msg_data(m);
    for (uint16_t i = 0; i < n; i++) {
        if (parts[i].len == 0)
            continue;
        memcpy(p, parts[i].ptr, parts[i].len);
        p += parts[i].len;
    }
    return m;
}

uint32_t msg_size(const msg *m) {
    return MSG_HDR_LEN + load_be32(m->len);
}

msg *msg_dup(const msg *m) {
    uint32_t size = msg_size(m);
    msg *copy = static_cast<msg *>(krv_malloc(size));
    memcpy(copy, m, size);
    return copy;
}

void msg_foreach(uint64_t total, const uint8_t *body, void *ctx, msg_cb cb) {
    uint64_t pos = 0;
    // A message needs its header and at least one data byte; anything shorter at the end
    // is left over from the frame and ignored.
    while (total - pos > MSG_HDR_LEN) {
        const uint8_t *p = body + pos;
        uint8_t type = p[0];
        if (!msg_type_valid(type)) {
            LOG_ERROR("Invalid message type!");
            return;
        }
        uint32_t len = load_be32(p + 1);
        if (len == 0 || len > total - pos - MSG_HDR_LEN) {
            LOG_ERROR("Corrupted message detected. Message size: %u", len);
            return;
        }
        if (cb(ctx, type, len, p + MSG_HDR_LEN) != 0)
            return;
        pos += MSG_HDR_LEN + len;
    }
}
