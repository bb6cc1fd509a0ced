// Shared by the query tests: a reply message taken apart, a query body run on request bytes,
// the test-only smaller message limit held for a scope, and descriptors made to run out.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "server/msg.h"
#include "server/reply.h"

// A reply as a client reads it; `present` is false when the body gave NULL (the dispatcher
// then answers with status 2).
struct QueryReply {
    bool present = false;
    uint64_t rid = 0, qid = 0;
    uint16_t status = 0;
    std::string data;
};

inline uint64_t reply_field(const std::string &s, size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = v << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}

// Takes the message apart and frees it; checks that it is a whole type-8 message that one
// message can carry.
inline QueryReply take_reply(msg *m) {
    QueryReply r;
    if (m == nullptr)
        return r;
    const std::string bytes(reinterpret_cast<const char *>(m), msg_size(m));
    free(m);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), MSG_RESPONSE);
    EXPECT_EQ(reply_field(bytes, 1, 4), bytes.size() - MSG_HDR_LEN);
    EXPECT_GE(bytes.size(), MSG_HDR_LEN + QRESP_HDR_LEN);
    EXPECT_LE(bytes.size() - MSG_HDR_LEN - QRESP_HDR_LEN, qresp_max_data());
    r.present = true;
    r.rid = reply_field(bytes, 5, 8);
    r.qid = reply_field(bytes, 13, 8);
    r.status = static_cast<uint16_t>(reply_field(bytes, 21, 2));
    r.data = bytes.substr(MSG_HDR_LEN + QRESP_HDR_LEN);
    return r;
}

using query_body = msg *(*)(struct dbs *, uint64_t, uint64_t, const uint8_t *, uint32_t);

constexpr uint64_t kQueryRid = 0x1122334455667788;

// Runs a query body on an exact-size copy of the request, so that a read past its end shows
// under the address sanitizer.
inline QueryReply run_body(query_body body, struct dbs *db, uint64_t qid,
                           const std::string &request) {
    auto *copy = static_cast<uint8_t *>(malloc(request.empty() ? 1 : request.size()));
    memcpy(copy, request.data(), request.size());
    QueryReply r =
        take_reply(body(db, kQueryRid, qid, copy, static_cast<uint32_t>(request.size())));
    free(copy);
    if (r.present) {
        EXPECT_EQ(r.rid, kQueryRid);
        EXPECT_EQ(r.qid, qid);
    }
    return r;
}

// Replies are built as if a message held at most `max_len` bytes while this lives.
class MessageLimit {
public:
    explicit MessageLimit(uint32_t max_len) { qresp_set_test_msg_limit(max_len); }
    ~MessageLimit() { qresp_set_test_msg_limit(0); }
    MessageLimit(const MessageLimit &) = delete;
    MessageLimit &operator=(const MessageLimit &) = delete;
};

// The limit for replies of `data` data bytes at most.
constexpr uint32_t limit_for_data(uint64_t data) {
    return static_cast<uint32_t>(MSG_HDR_LEN + QRESP_HDR_LEN + data);
}

// While this lives, the process cannot open another descriptor (EMFILE): the soft limit
// is lowered to the lowest free descriptor.
class NoFreeDescriptors {
public:
    NoFreeDescriptors() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
        EXPECT_GE(lowest, 0);
        close(lowest);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(lowest);
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    }
    ~NoFreeDescriptors() { setrlimit(RLIMIT_NOFILE, &saved_); }
    NoFreeDescriptors(const NoFreeDescriptors &) = delete;
    NoFreeDescriptors &operator=(const NoFreeDescriptors &) = delete;

private:
    rlimit saved_{};
};
