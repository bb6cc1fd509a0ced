// Query replies: the type-8 message that answers every query of a graphical client. Its data
// starts with an 18-byte header (request id, query id, status; big-endian) that the query's
// own data follows.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "lib/bbuf.h"
#include "server/msg.h"

enum : uint16_t {
    QRESP_OK = 1,        // success
    QRESP_ERROR = 2,     // bad request or failure
    QRESP_NOT_FOUND = 3, // the thing asked for does not exist
    QRESP_PARTIAL = 4,   // a limit was reached; the data is cut
};

constexpr uint32_t QRESP_HDR_LEN = 18;
// The most data one reply can carry and still be sent.
constexpr uint32_t QRESP_MAX_DATA = MSG_MAX_DATA - QRESP_HDR_LEN;

// The most data a reply may carry now: QRESP_MAX_DATA, or less while a test has lowered the
// message limit.
uint32_t qresp_max_data();
// Test-only: replies are built as if a message could hold at most `max_len` bytes, its
// 5-byte head included (at least the 23 bytes of both heads); 0 restores MSG_MAX_LEN.
void qresp_set_test_msg_limit(uint32_t max_len);

// Each builder returns a new reply that belongs to the caller and copies what it is given.
// NULL (after the message layer's ERROR line) when the data exceeds qresp_max_data().

// The header and len bytes of data; with data NULL the header alone.
msg *qresp_build(uint16_t status, uint64_t rid, uint64_t qid, const void *data, uint32_t len);
// The header and the bytes written into buf, from its start to its position; with buf NULL
// the header alone.
msg *qresp_build_from_buffer(uint16_t status, uint64_t rid, uint64_t qid, const bbuf *buf);
// The header and the n parts in array order (n at most 65534).
msg *qresp_build_parts(uint16_t status, uint64_t rid, uint64_t qid, const msg_part *parts,
                       uint16_t n);

// Where a reply that is built item by item stands against the limit. Items are whole: one
// that would take the data past qresp_max_data() is refused, and the reply is cut.
struct qresp_limit {
    uint16_t status = QRESP_OK; // QRESP_PARTIAL once an item has been refused
    bool cut = false;
};

// Whether an item of n bytes fits behind `written` bytes of data. When it does not, the
// reply is cut: status QRESP_PARTIAL and, the first time, WARN "Payload limit reached.".
bool qresp_limit_fits(qresp_limit *l, uint64_t written, uint64_t n);

// A reply written in place: its data goes straight into the block that becomes the message,
// behind room for both heads, so that finishing it copies nothing. An item is opened with
// the room it needs (refused under the limit), then written with the puts, which advance
// through that room in order.
struct qresp_out {
    msg *m = nullptr;  // message head, reply head, data; NULL until room is first made
    uint64_t used = 0; // data bytes written
    uint64_t room = 0; // data bytes allocated
    qresp_limit limit;

    qresp_out() = default;
    qresp_out(const qresp_out &) = delete;
    qresp_out &operator=(const qresp_out &) = delete;
    ~qresp_out() { free(m); }
};

// Makes room for an item of n bytes: true, or false when it would pass the limit (the reply
// is then cut, see qresp_limit_fits).
bool qresp_out_open(qresp_out *o, uint64_t n);
// Allocates room for n data bytes in all at once (never past the limit), for a writer that
// knows how much it is likely to write. Writing more still works.
void qresp_out_reserve(qresp_out *o, uint64_t n);
// Data bytes that can still be opened before the limit.
uint64_t qresp_out_left(const qresp_out *o);

// Big-endian puts into the room of the open item.
void qresp_out_u8(qresp_out *o, uint8_t v);
void qresp_out_u16(qresp_out *o, uint16_t v);
void qresp_out_u32(qresp_out *o, uint32_t v);
void qresp_out_u64(qresp_out *o, uint64_t v);
void qresp_out_bytes(qresp_out *o, const void *src, uint64_t n);
// Where the next byte of data goes, for a writer that fills the open room itself (a read
// straight into the reply); qresp_out_skip then counts the bytes it wrote there.
uint8_t *qresp_out_tail(qresp_out *o);
void qresp_out_skip(qresp_out *o, uint64_t n);

// The reply: both heads with `status` and the data written. The block passes to the caller
// and `o` is left empty.
msg *qresp_out_finish(qresp_out *o, uint16_t status, uint64_t rid, uint64_t qid);
