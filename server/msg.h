// Protocol messages: a type byte, a big-endian u32 data length and the data, laid out the
// same on the wire and in memory, in one heap block that the holder of the pointer releases
// with free(). A frame body is a run of messages laid end to end.
#pragma once

#include <cstdint>

// The largest message, header included, that the send path accepts.
constexpr uint32_t MSG_MAX_LEN = 0xFFFFFC;
constexpr uint32_t MSG_HDR_LEN = 5;
// The most data a built message may carry so that it can still be sent.
constexpr uint32_t MSG_MAX_DATA = MSG_MAX_LEN - MSG_HDR_LEN;

enum : uint8_t {
    MSG_HELLO = 1,         // first message of a connection, and its answer
    MSG_DB_QUERY = 2,      // client -> Database: data query
    MSG_MGR_QUERY = 3,     // client -> Manager: manager query
    MSG_AGENT_DATA = 4,    // agent data; the Manager's agents status report
    MSG_AGENT_COMMAND = 5, // client or Manager -> agent: command
    MSG_AGENT_QUERY = 6,   // client -> Manager -> agent: relayed query
    MSG_PUSH = 7,          // server -> clients: online data and notices
    MSG_RESPONSE = 8,      // reply to a query
};

// The 5-byte head of a message; the data follows it in the same block.
struct msg {
    uint8_t type;
    uint8_t len[4]; // big-endian
};
static_assert(sizeof(msg) == MSG_HDR_LEN);

// One piece of a message gathered from several buffers.
struct msg_part {
    const void *ptr;
    uint64_t len;
};

// Called for each message of a walk with the data of that message; non-zero ends the walk.
typedef int (*msg_cb)(void *ctx, uint8_t type, uint32_t len, const uint8_t *data);

// A message of the given type holding a copy of data[0, len), or NULL after an ERROR line
// when no receiver would take it: a type outside 1 to 8, more than MSG_MAX_DATA bytes, or
// no data at all.
msg *msg_new(uint8_t type, const void *data, uint64_t len);
// The same with the data gathered from n parts in array order; the same refusals apply to
// the total.
msg *msg_new_iov(uint8_t type, uint16_t n, const msg_part *parts);
// A byte-for-byte copy of m.
msg *msg_dup(const msg *m);
// The whole size of m: header and data.
uint32_t msg_size(const msg *m);
// Walks the messages in body[0, total) and calls cb for each. Trailing bytes too short to
// hold a message are ignored; a bad type or a length of 0 or past the end ends the walk
// with an ERROR line.
void msg_foreach(uint64_t total, const uint8_t *body, void *ctx, msg_cb cb);
