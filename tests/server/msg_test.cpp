#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/log.h"
#include "server/msg.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string as_string(const msg *m) {
    return std::string(reinterpret_cast<const char *>(m), msg_size(m));
}

// The log text after the time stamp, "" when nothing was logged.
std::string logged(const RunResult &res) {
    return res.err.empty() ? "" : res.err.substr(18);
}

// ---- Walking received bytes ----

struct WalkCase {
    const char *name;
    Bytes body;
    int stop_after;        // the callback ends the walk after this many messages; 0 never
    const char *delivered; // "type:len:hex data" per delivered message, one per line
    const char *log;       // the ERROR line after its time stamp, or ""
};

// Prints each delivered message on standard output.
struct WalkCtx {
    int seen;
    int stop_after;
};

int print_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data) {
    auto *c = static_cast<WalkCtx *>(ctx);
    printf("%u:%u:", type, len);
    for (uint32_t i = 0; i < len; i++)
        printf("%02x", data[i]);
    printf("\n");
    c->seen++;
    return c->stop_after != 0 && c->seen == c->stop_after;
}

void PrintTo(const WalkCase &c, std::ostream *os) {
    *os << c.name;
}

class MsgWalkTest : public testing::TestWithParam<WalkCase> {};

TEST_P(MsgWalkTest, DeliversWhatFitsAndStopsAtTheFirstBadMessage) {
    const WalkCase &c = GetParam();
    RunResult res = run_forked([&c] {
        log_level.store(1);
        // An exact-size copy, so that any read past the end is caught by the sanitizer.
        auto *body = static_cast<uint8_t *>(malloc(c.body.size()));
        std::copy(c.body.begin(), c.body.end(), body);
        WalkCtx ctx{0, c.stop_after};
        msg_foreach(c.body.size(), body, &ctx, print_message);
        free(body);
        fflush(stdout);
    });
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out, c.delivered);
    EXPECT_EQ(logged(res), c.log);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MsgWalkTest,
    testing::Values(
        WalkCase{"SixBytesOneDataByte", {1, 0, 0, 0, 1, 0xAA}, 0, "1:1:aa\n", ""},
        WalkCase{"FiveBytesNothing", {1, 0, 0, 0, 1}, 0, "", ""},
        WalkCase{"EmptyBody", {}, 0, "", ""},
        WalkCase{"LengthZero",
                 {2, 0, 0, 0, 0, 0xAA},
                 0,
                 "",
                 "ERROR  Corrupted message detected. Message size: 0\n"},
        WalkCase{"LengthPastTheEnd",
                 {3, 0, 0, 1, 0, 1, 2, 3, 4},
                 0,
                 "",
                 "ERROR  Corrupted message detected. Message size: 256\n"},
        // The data alone would fit in the body; with its header it does not.
        WalkCase{"HeaderPushesPastTheEnd",
                 {4, 0, 0, 0, 1, 0xEE, 5, 0, 0, 0, 7, 1, 2},
                 0,
                 "4:1:ee\n",
                 "ERROR  Corrupted message detected. Message size: 7\n"},
        // 5 + length would wrap around in 32 bits.
        WalkCase{"LengthNearTwoToThe32",
                 {6, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5},
                 0,
                 "",
                 "ERROR  Corrupted message detected. Message size: 4294967295\n"},
        WalkCase{"TwoMessagesAndFourStrayBytes",
                 {5, 0, 0, 0, 2, 0x01, 0x02, 8, 0, 0, 0, 1, 0x03, 9, 9, 9, 9},
                 0,
                 "5:2:0102\n8:1:03\n",
                 ""},
        WalkCase{"StrayHeaderWithoutData", {7, 0, 0, 0, 1, 0x42, 7, 0, 0, 0, 1}, 0, "7:1:42\n", ""},
        WalkCase{"TypeZeroAfterAGoodMessage",
                 {1, 0, 0, 0, 1, 0x10, 0, 0, 0, 0, 1, 0x11},
                 0,
                 "1:1:10\n",
                 "ERROR  Invalid message type!\n"},
        WalkCase{"TypeNine", {9, 0, 0, 0, 1, 0x11}, 0, "", "ERROR  Invalid message type!\n"},
        WalkCase{"EveryValidType",
                 {1, 0, 0, 0, 1, 1, 2, 0, 0, 0, 1, 2, 3, 0, 0, 0, 1, 3, 4, 0, 0, 0, 1, 4,
                  5, 0, 0, 0, 1, 5, 6, 0, 0, 0, 1, 6, 7, 0, 0, 0, 1, 7, 8, 0, 0, 0, 1, 8},
                 0,
                 "1:1:01\n2:1:02\n3:1:03\n4:1:04\n5:1:05\n6:1:06\n7:1:07\n8:1:08\n",
                 ""},
        WalkCase{"CallbackEndsTheWalk",
                 {1, 0, 0, 0, 1, 0x10, 2, 0, 0, 0, 1, 0x20, 0, 0},
                 1,
                 "1:1:10\n",
                 ""}),
    [](const testing::TestParamInfo<WalkCase> &i) { return std::string(i.param.name); });

// ---- Building ----

struct BuildCase {
    const char *name;
    uint8_t type;
    bool iov;
    std::vector<uint64_t> parts; // lengths; msg_new takes exactly one
    const char *log;             // "" when the message is built
};

void PrintTo(const BuildCase &c, std::ostream *os) {
    *os << c.name;
}

class MsgBuildTest : public testing::TestWithParam<BuildCase> {};

TEST_P(MsgBuildTest, RefusesWhatNoReceiverTakes) {
    const BuildCase &c = GetParam();
    RunResult res = run_forked([&c] {
        log_level.store(1);
        // Parts longer than this buffer are refused before any byte is read.
        std::vector<uint8_t> src(MSG_MAX_LEN + 1, 0x5A);
        std::vector<msg_part> parts;
        uint64_t total = 0;
        for (uint64_t len : c.parts) {
            parts.push_back(msg_part{src.data(), len});
            total += len;
        }
        msg *m = c.iov ? msg_new_iov(c.type, static_cast<uint16_t>(parts.size()), parts.data())
                       : msg_new(c.type, src.data(), c.parts.at(0));
        if (m != nullptr)
            printf("%u\n", msg_size(m) == MSG_HDR_LEN + total ? 1 : 0);
        free(m);
    });
    EXPECT_EQ(res.exit_code, 0);
    if (c.log[0] == '\0') {
        EXPECT_EQ(res.out, "1\n");
        EXPECT_EQ(res.err, "");
    } else {
        EXPECT_EQ(res.out, "");
        EXPECT_EQ(logged(res), c.log);
    }
}

constexpr uint64_t kHuge = uint64_t{1} << 63;

INSTANTIATE_TEST_SUITE_P(
    Cases, MsgBuildTest,
    testing::Values(
        BuildCase{"LargestSendable", MSG_AGENT_DATA, false, {MSG_MAX_DATA}, ""},
        BuildCase{
            "OneMore", MSG_AGENT_DATA, false, {MSG_MAX_DATA + 1}, "ERROR  Message size too big!\n"},
        BuildCase{"MaxLen", MSG_PUSH, false, {MSG_MAX_LEN}, "ERROR  Message size too big!\n"},
        BuildCase{
            "MaxLenPlusOne", MSG_PUSH, false, {MSG_MAX_LEN + 1}, "ERROR  Message size too big!\n"},
        BuildCase{"NoData", MSG_HELLO, false, {0}, "ERROR  Message has no data!\n"},
        BuildCase{"TypeZero", 0, false, {1}, "ERROR  Invalid message type!\n"},
        BuildCase{"TypeNine", 9, false, {1}, "ERROR  Invalid message type!\n"},
        BuildCase{"IovLargestSendable", MSG_RESPONSE, true, {18, MSG_MAX_DATA - 18}, ""},
        BuildCase{"IovOneMore",
                  MSG_RESPONSE,
                  true,
                  {18, MSG_MAX_DATA - 17},
                  "ERROR  Message size too big!\n"},
        // Lengths whose sum wraps around 64 bits must not look small.
        BuildCase{
            "IovSumWraps", MSG_RESPONSE, true, {kHuge, kHuge, 4}, "ERROR  Message size too big!\n"},
        BuildCase{"IovNoParts", MSG_RESPONSE, true, {}, "ERROR  Message has no data!\n"},
        BuildCase{"IovOnlyEmptyParts", MSG_RESPONSE, true, {0, 0}, "ERROR  Message has no data!\n"},
        BuildCase{"IovTypeNine", 9, true, {1}, "ERROR  Invalid message type!\n"}),
    [](const testing::TestParamInfo<BuildCase> &i) { return std::string(i.param.name); });

TEST(MsgBytes, BuiltMessagesMatchHandWrittenBytes) {
    msg *m = msg_new(MSG_PUSH, "abc", 3);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(as_string(m), std::string("\x07\x00\x00\x00\x03"
                                        "abc",
                                        8));
    EXPECT_EQ(msg_size(m), 8u);
    free(m);

    const msg_part parts[] = {{"\x01\x02", 2}, {nullptr, 0}, {"xyz", 3}};
    m = msg_new_iov(MSG_RESPONSE, 3, parts);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(as_string(m), std::string("\x08\x00\x00\x00\x05\x01\x02xyz", 10));
    free(m);

    // Every length byte in its big-endian place.
    std::string data(0x010203, 'q');
    m = msg_new(MSG_HELLO, data.data(), data.size());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(as_string(m), std::string("\x01\x00\x01\x02\x03", 5) + data);
    EXPECT_EQ(msg_size(m), 5u + 0x010203);
    free(m);
}

TEST(MsgBytes, DuplicateIsAnIndependentCopy) {
    msg *m = msg_new(MSG_AGENT_COMMAND, "cmd!", 4);
    ASSERT_NE(m, nullptr);
    msg *d = msg_dup(m);
    ASSERT_NE(d, m);
    EXPECT_EQ(as_string(d), as_string(m));
    free(m);
    EXPECT_EQ(as_string(d), std::string("\x05\x00\x00\x00\x04"
                                        "cmd!",
                                        9));
    free(d);
}

struct Delivered {
    uint8_t type;
    std::string data;
    const uint8_t *where;
};

int collect(void *ctx, uint8_t type, uint32_t len, const uint8_t *data) {
    static_cast<std::vector<Delivered> *>(ctx)->push_back(
        Delivered{type, std::string(reinterpret_cast<const char *>(data), len), data});
    return 0;
}

TEST(MsgRoundTrip, BuiltMessagesWalkBackUnchangedAndInPlace) {
    std::string big(70000, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>(i * 31);
    const msg_part parts[] = {{"head", 4}, {big.data(), 300}, {"!", 1}};
    std::vector<msg *> built = {
        msg_new(MSG_HELLO, "h", 1),
        msg_new(MSG_DB_QUERY, big.data(), big.size()),
        msg_new_iov(MSG_RESPONSE, 3, parts),
    };
    built.push_back(msg_dup(built[0]));

    std::string body;
    for (msg *m : built) {
        ASSERT_NE(m, nullptr);
        body += as_string(m);
    }
    std::vector<Delivered> got;
    const auto *bytes = reinterpret_cast<const uint8_t *>(body.data());
    msg_foreach(body.size(), bytes, &got, collect);

    ASSERT_EQ(got.size(), 4u);
    const std::string expect[] = {"h", big, "head" + big.substr(0, 300) + "!", "h"};
    const uint8_t types[] = {MSG_HELLO, MSG_DB_QUERY, MSG_RESPONSE, MSG_HELLO};
    size_t offset = 0;
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].type, types[i]) << i;
        EXPECT_EQ(got[i].data, expect[i]) << i;
        // The walk hands out pointers into the body, just behind each header.
        EXPECT_EQ(got[i].where, bytes + offset + MSG_HDR_LEN) << i;
        offset += msg_size(built[i]);
    }
    for (msg *m : built)
        free(m);
}

} // namespace
