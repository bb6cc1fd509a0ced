#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <vector>

#include "lib/bbuf.h"
#include "support/test_support.h"

namespace {

std::vector<uint8_t> bytes_of(const bbuf *b) {
    return std::vector<uint8_t>(bbuf_data(b), bbuf_data(b) + bbuf_position(b));
}

TEST(Bbuf, PutsWriteBigEndianBytes) {
    bbuf *b = bbuf_new(8);
    EXPECT_EQ(b->capacity, 8u);
    EXPECT_EQ(bbuf_limit(b), 8u);
    EXPECT_EQ(bbuf_put_u64(b, 0x0102030405060708), 0);
    EXPECT_EQ(bytes_of(b), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(bbuf_put_u8(b, 9), -1);
    EXPECT_EQ(bbuf_position(b), 8u);
    free(b);

    b = bbuf_new(19);
    EXPECT_EQ(bbuf_put_u8(b, 0xAB), 0);
    EXPECT_EQ(bbuf_put_u16(b, 0xCDEF), 0);
    EXPECT_EQ(bbuf_put_u32(b, 0x89ABCDEF), 0);
    EXPECT_EQ(bbuf_put_u64(b, 0xF0E0D0C0B0A09080), 0);
    EXPECT_EQ(bbuf_put_bytes(b, "xyz", 3), 0);
    EXPECT_EQ(bbuf_put_bytes(b, nullptr, 0), 0);
    const std::vector<uint8_t> want = {0xAB, 0xCD, 0xEF, 0x89, 0xAB, 0xCD, 0xEF, 0xF0, 0xE0,
                                       0xD0, 0xC0, 0xB0, 0xA0, 0x90, 0x80, 'x',  'y',  'z'};
    EXPECT_EQ(bytes_of(b), want);
    EXPECT_EQ(bbuf_remaining(b), 1u);
    free(b);
}

TEST(Bbuf, GetsReadBackWhatPutsWrote) {
    const uint64_t values[] = {0, 1, 0x7F, 0x80, 0xFF, 0x1234, 0xFFFF, 0x80000000, UINT64_MAX};
    for (uint64_t v : values) {
        bbuf *b = bbuf_new(18);
        ASSERT_EQ(bbuf_put_u8(b, static_cast<uint8_t>(v)), 0);
        ASSERT_EQ(bbuf_put_u16(b, static_cast<uint16_t>(v)), 0);
        ASSERT_EQ(bbuf_put_u32(b, static_cast<uint32_t>(v)), 0);
        ASSERT_EQ(bbuf_put_u64(b, v), 0);
        ASSERT_EQ(bbuf_put_bytes(b, "ok!", 3), 0);
        bbuf_flip(b);
        EXPECT_EQ(bbuf_limit(b), 18u);
        uint8_t a;
        uint16_t c;
        uint32_t d;
        uint64_t e;
        char s[3];
        EXPECT_EQ(bbuf_get_u8(b, &a), 0);
        EXPECT_EQ(bbuf_get_u16(b, &c), 0);
        EXPECT_EQ(bbuf_get_u32(b, &d), 0);
        EXPECT_EQ(bbuf_get_u64(b, &e), 0);
        EXPECT_EQ(bbuf_get_bytes(b, s, 3), 0);
        EXPECT_EQ(a, static_cast<uint8_t>(v));
        EXPECT_EQ(c, static_cast<uint16_t>(v));
        EXPECT_EQ(d, static_cast<uint32_t>(v));
        EXPECT_EQ(e, v);
        EXPECT_EQ(std::string(s, 3), "ok!");
        EXPECT_EQ(bbuf_remaining(b), 0u);
        free(b);
    }
}

TEST(Bbuf, GetsReadFixedBytesAndStopAtTheLimit) {
    // 16 bytes allocated, 15 written by hand, then flipped: the last byte is beyond the limit.
    bbuf *b = bbuf_new(16);
    const uint8_t raw[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                           0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    ASSERT_EQ(bbuf_put_bytes(b, raw, sizeof raw), 0);
    bbuf_flip(b);
    uint64_t v64;
    uint32_t v32;
    uint16_t v16;
    uint8_t v8;
    EXPECT_EQ(bbuf_get_u64(b, &v64), 0);
    EXPECT_EQ(v64, 0x0102030405060708u);
    EXPECT_EQ(bbuf_get_u32(b, &v32), 0);
    EXPECT_EQ(v32, 0x090A0B0Cu);
    EXPECT_EQ(bbuf_get_u16(b, &v16), 0);
    EXPECT_EQ(v16, 0x0D0Eu);
    // One byte left before the limit: wider gets refuse and leave everything as it was.
    v16 = 0x5555;
    EXPECT_EQ(bbuf_get_u16(b, &v16), -2);
    EXPECT_EQ(bbuf_get_u32(b, &v32), -2);
    EXPECT_EQ(bbuf_get_u64(b, &v64), -2);
    EXPECT_EQ(bbuf_get_bytes(b, &v16, 2), -2);
    EXPECT_EQ(v16, 0x5555);
    EXPECT_EQ(bbuf_position(b), 14u);
    EXPECT_EQ(bbuf_get_u8(b, &v8), 0);
    EXPECT_EQ(v8, 0x0F);
    EXPECT_EQ(bbuf_get_u8(b, &v8), -2);
    // A length that would carry the position past 64 bits is told apart.
    EXPECT_EQ(bbuf_get_bytes(b, &v8, UINT64_MAX), -1);
    EXPECT_EQ(bbuf_position(b), 15u);
    free(b);
}

TEST(Bbuf, PutsThatDoNotFitChangeNothing) {
    struct Case {
        const char *what;
        int (*put)(bbuf *);
        uint64_t size;
    };
    const Case cases[] = {
        {"u8", [](bbuf *b) { return bbuf_put_u8(b, 0x11); }, 1},
        {"u16", [](bbuf *b) { return bbuf_put_u16(b, 0x1111); }, 2},
        {"u32", [](bbuf *b) { return bbuf_put_u32(b, 0x11111111); }, 4},
        {"u64", [](bbuf *b) { return bbuf_put_u64(b, 0x1111111111111111); }, 8},
        {"bytes", [](bbuf *b) { return bbuf_put_bytes(b, "\x11\x11\x11\x11\x11", 5); }, 5},
    };
    for (const Case &c : cases) {
        // Room for exactly size - 1 bytes before the limit, with the rest of the capacity
        // beyond the limit: the put must respect the limit, not the capacity.
        bbuf *b = bbuf_new(32);
        memset(bbuf_data(b), 0xEE, 32);
        ASSERT_EQ(bbuf_set_position(b, 10), 0);
        bbuf_flip(b);
        ASSERT_EQ(bbuf_set_position(b, 10 - (c.size - 1)), 0);
        EXPECT_EQ(c.put(b), -1) << c.what;
        EXPECT_EQ(bbuf_position(b), 10 - (c.size - 1)) << c.what;
        for (int i = 0; i < 32; i++)
            EXPECT_EQ(bbuf_data(b)[i], 0xEE) << c.what << " byte " << i;
        // With one byte more it fits and ends exactly at the limit.
        ASSERT_EQ(bbuf_set_position(b, 10 - c.size), 0);
        EXPECT_EQ(c.put(b), 0) << c.what;
        EXPECT_EQ(bbuf_remaining(b), 0u) << c.what;
        EXPECT_EQ(bbuf_data(b)[10], 0xEE) << c.what;
        free(b);
    }
}

TEST(Bbuf, PutBytesRefusesLengthsThatWouldWrap) {
    bbuf *b = bbuf_new(16);
    ASSERT_EQ(bbuf_put_u32(b, 7), 0);
    char byte = 0;
    EXPECT_EQ(bbuf_put_bytes(b, &byte, UINT64_MAX), -1);
    EXPECT_EQ(bbuf_put_bytes(b, &byte, UINT64_MAX - 3), -1);
    EXPECT_EQ(bbuf_position(b), 4u);
    free(b);
}

TEST(Bbuf, SetPositionGoesBackToPatchACount) {
    bbuf *b = bbuf_new(7);
    ASSERT_EQ(bbuf_put_u8(b, 0), 0); // count, known only at the end
    ASSERT_EQ(bbuf_put_u16(b, 0xAAAA), 0);
    ASSERT_EQ(bbuf_put_u32(b, 0xBBBBBBBB), 0);
    uint64_t end = bbuf_position(b);
    ASSERT_EQ(end, bbuf_limit(b));
    EXPECT_EQ(bbuf_set_position(b, 0), 0);
    EXPECT_EQ(bbuf_put_u8(b, 2), 0);
    EXPECT_EQ(bbuf_set_position(b, end), 0);
    EXPECT_EQ(bbuf_set_position(b, end + 1), -1);
    EXPECT_EQ(bbuf_position(b), end);
    EXPECT_EQ(bytes_of(b), (std::vector<uint8_t>{2, 0xAA, 0xAA, 0xBB, 0xBB, 0xBB, 0xBB}));
    free(b);
}

TEST(Bbuf, FlipAndClearMoveLimitAndPosition) {
    bbuf *b = bbuf_new(10);
    ASSERT_EQ(bbuf_put_u32(b, 1), 0);
    bbuf_flip(b);
    EXPECT_EQ(bbuf_position(b), 0u);
    EXPECT_EQ(bbuf_limit(b), 4u);
    EXPECT_EQ(bbuf_set_position(b, 5), -1);
    bbuf_clear(b);
    EXPECT_EQ(bbuf_position(b), 0u);
    EXPECT_EQ(bbuf_limit(b), 10u);
    EXPECT_EQ(bbuf_remaining(b), 10u);
    free(b);
}

TEST(Bbuf, EnsureGrowsToRoomPlusTwiceTheCapacity) {
    struct Case {
        const char *what;
        uint64_t cap, pos;
        bool flipped; // limit brought down to the position, position back to `pos`
        uint64_t ask;
        uint64_t want_cap; // 0: unchanged buffer
    };
    const Case cases[] = {
        {"room enough", 100, 60, false, 40, 0},
        {"nothing asked", 100, 100, false, 0, 0},
        {"short by ten", 100, 60, false, 50, 250},
        {"full", 100, 100, false, 1, 201},
        {"empty buffer", 0, 0, false, 5, 5},
        // The room is measured up to the limit, so a flipped buffer grows although its
        // capacity would have sufficed, and its limit goes back to the end.
        {"flipped", 100, 0, true, 20, 220},
    };
    for (const Case &c : cases) {
        bbuf *b = bbuf_new(c.cap);
        for (uint64_t i = 0; i < (c.flipped ? 10 : c.pos); i++)
            ASSERT_EQ(bbuf_put_u8(b, static_cast<uint8_t>(i + 1)), 0);
        if (c.flipped)
            bbuf_flip(b);
        bbuf *g = bbuf_ensure(b, c.ask);
        uint64_t keep = c.flipped ? 10 : c.pos;
        if (c.want_cap == 0) {
            EXPECT_EQ(g, b) << c.what;
            EXPECT_EQ(g->capacity, c.cap) << c.what;
        } else {
            EXPECT_EQ(g->capacity, c.want_cap) << c.what;
            EXPECT_EQ(bbuf_limit(g), c.want_cap) << c.what;
            EXPECT_GE(bbuf_remaining(g), c.ask) << c.what;
        }
        EXPECT_EQ(bbuf_position(g), c.pos) << c.what;
        for (uint64_t i = 0; i < keep; i++)
            EXPECT_EQ(bbuf_data(g)[i], i + 1) << c.what;
        free(g);
    }
}

TEST(Bbuf, NullBufferIsEmpty) {
    EXPECT_EQ(bbuf_ensure(nullptr, 0), nullptr);
    EXPECT_EQ(bbuf_data(static_cast<bbuf *>(nullptr)), nullptr);
    EXPECT_EQ(bbuf_position(nullptr), 0u);
    EXPECT_EQ(bbuf_limit(nullptr), 0u);
    EXPECT_EQ(bbuf_remaining(nullptr), 0u);
    EXPECT_EQ(bbuf_put_u8(nullptr, 1), -1);
    EXPECT_EQ(bbuf_put_bytes(nullptr, "a", 1), -1);
    uint8_t v;
    EXPECT_EQ(bbuf_get_u8(nullptr, &v), -2);
    EXPECT_EQ(bbuf_set_position(nullptr, 0), -1);
    bbuf_flip(nullptr);
    bbuf_clear(nullptr);

    bbuf *b = bbuf_ensure(nullptr, 16);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->capacity, 16u);
    EXPECT_EQ(bbuf_position(b), 0u);
    EXPECT_EQ(bbuf_limit(b), 16u);
    free(b);
}

TEST(Bbuf, SizesBeyondAddressableMemoryStopWithTheOutOfMemoryLine) {
    struct Case {
        const char *what;
        void (*run)();
        const char *size;
    };
    const Case cases[] = {
        {"new", [] { (void)bbuf_new(UINT64_MAX - 8); }, "18446744073709551607"},
        {"growth", [] { (void)bbuf_ensure(bbuf_new(16), UINT64_MAX - 20); },
         "18446744073709551595"},
        {"growth past the header", [] { (void)bbuf_ensure(bbuf_new(16), UINT64_MAX - 40); },
         "18446744073709551607"},
        {"doubling",
         [] {
             // Only the header matters: the capacity is never allocated.
             bbuf *b = bbuf_new(0);
             b->capacity = 1ull << 63;
             (void)bbuf_ensure(b, 1);
         },
         "1"},
    };
    for (const Case &c : cases) {
        RunResult r = run_forked(c.run);
        EXPECT_EQ(r.signal, SIGABRT) << c.what;
        EXPECT_TRUE(std::regex_match(
            r.err, std::regex(std::string("\\d+: Out of memory! \\[") + c.size + "\\]")))
            << c.what << ": " << r.err;
    }
}

} // namespace
