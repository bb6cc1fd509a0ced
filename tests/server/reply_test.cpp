// Query replies against bytes written out by hand, and read back field by field.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <memory>
#include <string>
#include <vector>

#include "lib/log_capture.h"
#include "server/reply.h"

namespace {

using Bytes = std::string;

struct msg_free {
    void operator()(msg *m) const { free(m); }
};
using msg_ptr = std::unique_ptr<msg, msg_free>;

Bytes bytes_of(const msg *m) {
    return Bytes(reinterpret_cast<const char *>(m), msg_size(m));
}

const uint64_t kRid = 0x0102030405060708;
const uint64_t kQid = 0x1112131415161718;
// Type 8, then the length of the data, then RID and QID as written above.
const Bytes kIds("\x01\x02\x03\x04\x05\x06\x07\x08\x11\x12\x13\x14\x15\x16\x17\x18", 16);

Bytes head(uint32_t data_len) {
    const char h[] = {8, static_cast<char>(data_len >> 24), static_cast<char>(data_len >> 16),
                      static_cast<char>(data_len >> 8), static_cast<char>(data_len)};
    return Bytes(h, sizeof h);
}

TEST(QueryReply, HeaderAloneCarriesEachStatus) {
    const struct {
        uint16_t status;
        Bytes wire;
    } cases[] = {
        {QRESP_OK, Bytes("\x00\x01", 2)},        {QRESP_ERROR, Bytes("\x00\x02", 2)},
        {QRESP_NOT_FOUND, Bytes("\x00\x03", 2)}, {QRESP_PARTIAL, Bytes("\x00\x04", 2)},
        {0xABCD, Bytes("\xAB\xCD", 2)}, // written unchanged
    };
    for (const auto &c : cases) {
        const Bytes want = head(18) + kIds + c.wire;
        EXPECT_EQ(bytes_of(msg_ptr(qresp_build(c.status, kRid, kQid, nullptr, 0)).get()), want);
        EXPECT_EQ(bytes_of(msg_ptr(qresp_build(c.status, kRid, kQid, nullptr, 7)).get()), want);
        EXPECT_EQ(bytes_of(msg_ptr(qresp_build_from_buffer(c.status, kRid, kQid, nullptr)).get()),
                  want);
        EXPECT_EQ(bytes_of(msg_ptr(qresp_build_parts(c.status, kRid, kQid, nullptr, 0)).get()),
                  want);
    }
    EXPECT_EQ(msg_size(msg_ptr(qresp_build(QRESP_ERROR, kRid, kQid, nullptr, 0)).get()), 23u);
}

TEST(QueryReply, DataFollowsTheHeader) {
    msg_ptr m(qresp_build(QRESP_OK, kRid, kQid, "abc", 3));
    EXPECT_EQ(bytes_of(m.get()), head(21) + kIds + Bytes("\x00\x01", 2) + "abc");
}

TEST(QueryReply, BufferGivesWhatWasWrittenNotItsCapacity) {
    bbuf *b = bbuf_new(100);
    for (uint8_t i = 0; i < 40; i++)
        ASSERT_EQ(bbuf_put_u8(b, i), 0);
    msg_ptr m(qresp_build_from_buffer(QRESP_PARTIAL, kRid, kQid, b));
    Bytes data;
    for (char i = 0; i < 40; i++)
        data += i;
    EXPECT_EQ(bytes_of(m.get()), head(58) + kIds + Bytes("\x00\x04", 2) + data);
    free(b);
}

TEST(QueryReply, PartsAreJoinedInOrder) {
    const msg_part parts[] = {{"ab", 2}, {"zz", 0}, {"cde", 3}};
    msg_ptr m(qresp_build_parts(QRESP_OK, kRid, kQid, parts, 3));
    EXPECT_EQ(bytes_of(m.get()), head(23) + kIds + Bytes("\x00\x01", 2) + "abcde");
}

TEST(QueryReply, DataUpToTheSendLimit) {
    // The whole message, header included, may not exceed MSG_MAX_LEN.
    std::string big(QRESP_MAX_DATA + 1, 'x');
    msg_ptr fits(qresp_build(QRESP_OK, kRid, kQid, big.data(), QRESP_MAX_DATA));
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(msg_size(fits.get()), MSG_MAX_LEN);
    EXPECT_EQ(qresp_build(QRESP_OK, kRid, kQid, big.data(), QRESP_MAX_DATA + 1), nullptr);
    const msg_part halves[] = {{big.data(), QRESP_MAX_DATA / 2},
                               {big.data(), QRESP_MAX_DATA / 2 + 2}};
    EXPECT_EQ(qresp_build_parts(QRESP_OK, kRid, kQid, halves, 2), nullptr);
    std::vector<msg_part> too_many(UINT16_MAX, msg_part{"a", 1});
    EXPECT_EQ(qresp_build_parts(QRESP_OK, kRid, kQid, too_many.data(), UINT16_MAX), nullptr);
    EXPECT_NE(msg_ptr(qresp_build_parts(QRESP_OK, kRid, kQid, too_many.data(), UINT16_MAX - 1)),
              nullptr);
}

// Reads a reply back the way a client does: one type-8 message, then the header fields.
TEST(QueryReply, RoundTrip) {
    struct Read {
        uint64_t rid = 0, qid = 0;
        uint16_t status = 0;
        Bytes data;
        int messages = 0;
    } got;
    const Bytes data = "payload \x01\x02 bytes";
    msg_ptr m(qresp_build(QRESP_NOT_FOUND, 0xFEDCBA9876543210, 42, data.data(),
                          static_cast<uint32_t>(data.size())));
    const Bytes wire = bytes_of(m.get());
    msg_foreach(wire.size(), reinterpret_cast<const uint8_t *>(wire.data()), &got,
                [](void *ctx, uint8_t type, uint32_t len, const uint8_t *p) {
                    auto *r = static_cast<Read *>(ctx);
                    r->messages++;
                    EXPECT_EQ(type, MSG_RESPONSE);
                    EXPECT_GE(len, QRESP_HDR_LEN);
                    memcpy(&r->rid, p, 8);
                    memcpy(&r->qid, p + 8, 8);
                    memcpy(&r->status, p + 16, 2);
                    r->data.assign(reinterpret_cast<const char *>(p) + QRESP_HDR_LEN,
                                   len - QRESP_HDR_LEN);
                    return 0;
                });
    EXPECT_EQ(got.messages, 1);
    EXPECT_EQ(be64toh(got.rid), 0xFEDCBA9876543210u);
    EXPECT_EQ(be64toh(got.qid), 42u);
    EXPECT_EQ(be16toh(got.status), QRESP_NOT_FOUND);
    EXPECT_EQ(got.data, data);
}

// ---- replies written in place under the limit -------------------------------------------

struct TestMessageLimit {
    explicit TestMessageLimit(uint32_t max_len) { qresp_set_test_msg_limit(max_len); }
    ~TestMessageLimit() { qresp_set_test_msg_limit(0); }
};

TEST(QueryReply, WrittenInPlaceHandWrittenBytes) {
    qresp_out o;
    ASSERT_TRUE(qresp_out_open(&o, 15));
    qresp_out_u8(&o, 0xA1);
    qresp_out_u16(&o, 0xB1B2);
    qresp_out_u32(&o, 0xC1C2C3C4);
    qresp_out_u64(&o, 0xD1D2D3D4D5D6D7D8);
    ASSERT_TRUE(qresp_out_open(&o, 5));
    qresp_out_bytes(&o, "xy", 2);
    memcpy(qresp_out_tail(&o), "abc", 3);
    qresp_out_skip(&o, 3);
    msg_ptr m(qresp_out_finish(&o, QRESP_OK, kRid, kQid));
    EXPECT_EQ(bytes_of(m.get()),
              head(38) + kIds + Bytes("\x00\x01", 2) +
                  Bytes("\xA1\xB1\xB2\xC1\xC2\xC3\xC4\xD1\xD2\xD3\xD4\xD5\xD6\xD7\xD8", 15) +
                  "xyabc");
    EXPECT_EQ(o.m, nullptr);
    // Without any item: the header alone.
    qresp_out none;
    EXPECT_EQ(bytes_of(msg_ptr(qresp_out_finish(&none, QRESP_PARTIAL, kRid, kQid)).get()),
              head(18) + kIds + Bytes("\x00\x04", 2));
}

TEST(QueryReply, WrittenInPlaceGrowsPastWhatWasReserved) {
    qresp_out o;
    qresp_out_reserve(&o, 10);
    Bytes want;
    for (uint32_t i = 0; i < 5000; i++) {
        ASSERT_TRUE(qresp_out_open(&o, 4));
        qresp_out_u32(&o, i);
        want += Bytes{static_cast<char>(i >> 24), static_cast<char>(i >> 16),
                      static_cast<char>(i >> 8), static_cast<char>(i)};
    }
    msg_ptr m(qresp_out_finish(&o, QRESP_OK, kRid, kQid));
    EXPECT_EQ(bytes_of(m.get()), head(18 + 20000) + kIds + Bytes("\x00\x01", 2) + want);
}

// Items are whole: the first one that would pass the limit cuts the reply, which warns once;
// a smaller item still joins.
TEST(QueryReply, LimitKeepsWholeItemsAndWarnsOnce) {
    Logged l = run_logged([] {
        TestMessageLimit limit(23 + 10);
        qresp_out o;
        const bool fit = qresp_out_open(&o, 6);
        qresp_out_bytes(&o, "abcdef", 6);
        const bool over = qresp_out_open(&o, 5);
        const bool again = qresp_out_open(&o, 7);
        const bool small = qresp_out_open(&o, 4);
        qresp_out_bytes(&o, "ghij", 4);
        const bool full = qresp_out_open(&o, 1);
        printf("%d%d%d%d%d %u %lu ", fit, over, again, small, full, o.limit.status,
               static_cast<unsigned long>(qresp_out_left(&o)));
        msg_ptr m(qresp_out_finish(&o, o.limit.status, 1, 2));
        printf("%u", msg_size(m.get()));
    });
    EXPECT_EQ(l.out, "10010 4 0 33");
    EXPECT_EQ(l.lines, "WARN   Payload limit reached.\n");
}

TEST(QueryReply, LimitCountsTheBytesWritten) {
    qresp_limit l;
    EXPECT_TRUE(qresp_limit_fits(&l, 0, QRESP_MAX_DATA));
    EXPECT_TRUE(qresp_limit_fits(&l, QRESP_MAX_DATA - 1, 1));
    EXPECT_EQ(l.status, QRESP_OK);
    EXPECT_FALSE(qresp_limit_fits(&l, QRESP_MAX_DATA, 1));
    EXPECT_FALSE(qresp_limit_fits(&l, 1, UINT64_MAX));
    EXPECT_TRUE(l.cut);
    EXPECT_EQ(l.status, QRESP_PARTIAL);
}

// A lowered limit applies to every builder, as the real one does; 0 restores it.
TEST(QueryReply, TestOnlyLimitAppliesToTheBuilders) {
    {
        TestMessageLimit limit(23 + 3);
        EXPECT_EQ(qresp_max_data(), 3u);
        EXPECT_NE(msg_ptr(qresp_build(QRESP_OK, kRid, kQid, "abc", 3)), nullptr);
        EXPECT_EQ(qresp_build(QRESP_OK, kRid, kQid, "abcd", 4), nullptr);
        const msg_part parts[] = {{"ab", 2}, {"cd", 2}};
        EXPECT_EQ(qresp_build_parts(QRESP_OK, kRid, kQid, parts, 2), nullptr);
        bbuf *b = bbuf_new(8);
        bbuf_put_u32(b, 7);
        EXPECT_EQ(qresp_build_from_buffer(QRESP_OK, kRid, kQid, b), nullptr);
        free(b);
    }
    EXPECT_EQ(qresp_max_data(), QRESP_MAX_DATA);
    qresp_set_test_msg_limit(1);
    EXPECT_EQ(qresp_max_data(), 0u) << "the heads always fit";
    qresp_set_test_msg_limit(0);
    EXPECT_EQ(qresp_max_data(), QRESP_MAX_DATA);
}

} // namespace
