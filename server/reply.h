// Query replies: the type-8 message that answers every query of a graphical client. Its data
// starts with an 18-byte header (request id, query id, status; big-endian) that the query's
// own data follows.
#pragma once

#include <cstdint>

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

// Each builder returns a new reply that belongs to the caller and copies what it is given.
// NULL (after the message layer's ERROR line) when the data exceeds QRESP_MAX_DATA.

// The header and len bytes of data; with data NULL the header alone.
msg *qresp_build(uint16_t status, uint64_t rid, uint64_t qid, const void *data, uint32_t len);
// The header and the bytes written into buf, from its start to its position; with buf NULL
// the header alone.
msg *qresp_build_from_buffer(uint16_t status, uint64_t rid, uint64_t qid, const bbuf *buf);
// The header and the n parts in array order (n at most 65534).
msg *qresp_build_parts(uint16_t status, uint64_t rid, uint64_t qid, const msg_part *parts,
                       uint16_t n);
