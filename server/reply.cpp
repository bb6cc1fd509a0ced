#include "server/reply.h"

#include <vector>

#include "lib/be_load.h"
#include "lib/log.h"

namespace {

struct qresp_hdr {
    uint8_t bytes[QRESP_HDR_LEN];
};

qresp_hdr qresp_header(uint16_t status, uint64_t rid, uint64_t qid) {
    qresp_hdr h;
    store_be64(h.bytes, rid);
    store_be64(h.bytes + 8, qid);
    store_be16(h.bytes + 16, status);
    return h;
}

msg *qresp_new(const qresp_hdr &h, const void *data, uint64_t len) {
    const msg_part parts[] = {{h.bytes, sizeof h.bytes}, {data, data != nullptr ? len : 0}};
    return msg_new_iov(MSG_RESPONSE, 2, parts);
}

} // namespace

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
    const qresp_hdr h = qresp_header(status, rid, qid);
    std::vector<msg_part> all;
    all.reserve(n + 1u);
    all.push_back({h.bytes, sizeof h.bytes});
    all.insert(all.end(), parts, parts + n);
    return msg_new_iov(MSG_RESPONSE, static_cast<uint16_t>(n + 1), all.data());
}
