#include "server/reply.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "lib/be_load.h"
#include "lib/log.h"
#include "lib/xalloc.h"

namespace {

// The whole-message limit the builders apply: MSG_MAX_LEN unless a test lowered it.
std::atomic<uint32_t> qresp_msg_limit{MSG_MAX_LEN};

// Smallest room a reply written in place starts with.
constexpr uint64_t QRESP_OUT_MIN_ROOM = 4096;
constexpr uint32_t QRESP_HEADS_LEN = MSG_HDR_LEN + QRESP_HDR_LEN;

struct qresp_hdr {
    uint8_t bytes[QRESP_HDR_LEN];
};

void qresp_header_write(uint8_t *out, uint16_t status, uint64_t rid, uint64_t qid) {
    store_be64(out, rid);
    store_be64(out + 8, qid);
    store_be16(out + 16, status);
}

qresp_hdr qresp_header(uint16_t status, uint64_t rid, uint64_t qid) {
    qresp_hdr h;
    qresp_header_write(h.bytes, status, rid, qid);
    return h;
}

// The message layer refuses more than MSG_MAX_DATA on its own; a lowered limit is applied
// here with the same line.
bool qresp_data_allowed(uint64_t len) {
    if (len <= qresp_max_data())
        return true;
    LOG_ERROR("Message size too big!");
    return false;
}

msg *qresp_new(const qresp_hdr &h, const void *data, uint64_t len) {
    const uint64_t n = data != nullptr ? len : 0;
    if (!qresp_data_allowed(n))
        return nullptr;
    const msg_part parts[] = {{h.bytes, sizeof h.bytes}, {data, n}};
    return msg_new_iov(MSG_RESPONSE, 2, parts);
}

uint8_t *qresp_out_data(qresp_out *o) {
    return reinterpret_cast<uint8_t *>(o->m) + QRESP_HEADS_LEN;
}

// Moves the block to `room` data bytes (the data written is kept).
void qresp_out_resize(qresp_out *o, uint64_t room) {
    o->m = static_cast<msg *>(krv_realloc(o->m, QRESP_HEADS_LEN + room));
    o->room = room;
}

} // namespace

uint32_t qresp_max_data() {
    return qresp_msg_limit.load(std::memory_order_relaxed) - MSG_HDR_LEN - QRESP_HDR_LEN;
}

void qresp_set_test_msg_limit(uint32_t max_len) {
    if (max_len == 0 || max_len > MSG_MAX_LEN)
        max_len = MSG_MAX_LEN;
    qresp_msg_limit.store(std::max(max_len, QRESP_HEADS_LEN), std::memory_order_relaxed);
}

msg *qresp_build(uint16_t status, uint64_t rid, uint64_t qid, const void *data, uint32_t len) {
    return qresp_new(qresp_header(status, rid, qid), data, len);
}

msg *qresp_build_from_buffer(uint16_t status, uint64_t rid, uint64_t qid, const bbuf *buf) {
    return qresp_new(qresp_header(status, rid, qid), bbuf_data(buf), bbuf_position(buf));
}

msg *qresp_build_parts(uint16_t status, uint64_t rid, uint64_t qid, const msg_part *parts,
                       uint16_t n) {
    if (n == UINT16_MAX) {
        LOG_ERROR("Too many reply parts: %u", n);
        return nullptr;
    }
    // Summed with a bound so that huge parts cannot wrap the total around.
    uint64_t total = 0;
    for (uint16_t i = 0; i < n && total <= QRESP_MAX_DATA; i++)
        total += std::min<uint64_t>(parts[i].len, uint64_t{QRESP_MAX_DATA} + 1);
    if (!qresp_data_allowed(total))
        return nullptr;
    const qresp_hdr h = qresp_header(status, rid, qid);
    std::vector<msg_part> all;
    all.reserve(n + 1u);
    all.push_back({h.bytes, sizeof h.bytes});
    all.insert(all.end(), parts, parts + n);
    return msg_new_iov(MSG_RESPONSE, static_cast<uint16_t>(n + 1), all.data());
}

bool qresp_limit_fits(qresp_limit *l, uint64_t written, uint64_t n) {
    const uint64_t max = qresp_max_data();
    if (written <= max && n <= max - written)
        return true;
    if (!l->cut)
        LOG_WARN("Payload limit reached.");
    l->cut = true;
    l->status = QRESP_PARTIAL;
    return false;
}

bool qresp_out_open(qresp_out *o, uint64_t n) {
    if (!qresp_limit_fits(&o->limit, o->used, n))
        return false;
    if (o->m == nullptr || n > o->room - o->used) {
        // Grown by doubling, up to the limit, which the item is known to fit under.
        const uint64_t want = std::max({o->used + n, 2 * o->room, QRESP_OUT_MIN_ROOM});
        qresp_out_resize(o, std::min<uint64_t>(want, qresp_max_data()));
    }
    return true;
}

void qresp_out_reserve(qresp_out *o, uint64_t n) {
    n = std::min<uint64_t>(n, qresp_max_data());
    if (o->m == nullptr || n > o->room)
        qresp_out_resize(o, std::max(n, o->used));
}

uint64_t qresp_out_left(const qresp_out *o) {
    const uint64_t max = qresp_max_data();
    return o->used < max ? max - o->used : 0;
}

void qresp_out_bytes(qresp_out *o, const void *src, uint64_t n) {
    if (n == 0)
        return;
    memcpy(qresp_out_data(o) + o->used, src, n);
    o->used += n;
}

void qresp_out_u8(qresp_out *o, uint8_t v) {
    qresp_out_bytes(o, &v, sizeof v);
}

void qresp_out_u16(qresp_out *o, uint16_t v) {
    store_be16(qresp_out_tail(o), v);
    o->used += sizeof v;
}

void qresp_out_u32(qresp_out *o, uint32_t v) {
    store_be32(qresp_out_tail(o), v);
    o->used += sizeof v;
}

void qresp_out_u64(qresp_out *o, uint64_t v) {
    store_be64(qresp_out_tail(o), v);
    o->used += sizeof v;
}

uint8_t *qresp_out_tail(qresp_out *o) {
    return qresp_out_data(o) + o->used;
}

void qresp_out_skip(qresp_out *o, uint64_t n) {
    o->used += n;
}

msg *qresp_out_finish(qresp_out *o, uint16_t status, uint64_t rid, uint64_t qid) {
    if (o->m == nullptr)
        return qresp_build(status, rid, qid, nullptr, 0);
    if (o->room > o->used)
        qresp_out_resize(o, o->used);
    msg *m = o->m;
    const uint64_t len = QRESP_HDR_LEN + o->used;
    m->type = MSG_RESPONSE;
    store_be32(m->len, static_cast<uint32_t>(len));
    qresp_header_write(reinterpret_cast<uint8_t *>(m) + MSG_HDR_LEN, status, rid, qid);
    o->m = nullptr;
    o->used = o->room = 0;
    o->limit = {};
    return m;
}
