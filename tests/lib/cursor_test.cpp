#include <gtest/gtest.h>

#include <string>

#include "lib/be_load.h"
#include "lib/cursor.h"

namespace {

std::string bytes(const uint8_t *p, size_t n) {
    return std::string(reinterpret_cast<const char *>(p), n);
}

TEST(BigEndian, StoresAgainstFixedBytes) {
    uint8_t b[8] = {};
    store_be16(b, 0x3006);
    EXPECT_EQ(bytes(b, 2), std::string("\x30\x06", 2));
    store_be32(b, 0x01020304);
    EXPECT_EQ(bytes(b, 4), std::string("\x01\x02\x03\x04", 4));
    store_be64(b, 0x8000000000000A0Bull);
    EXPECT_EQ(bytes(b, 8), std::string("\x80\0\0\0\0\0\x0A\x0B", 8));
}

TEST(BigEndian, LoadsUndoStoresAtAnyAlignment) {
    uint8_t b[16] = {};
    for (size_t at = 0; at < 8; at++) {
        store_be64(b + at, 0xF1E2D3C4B5A69788ull);
        EXPECT_EQ(load_be64(b + at), 0xF1E2D3C4B5A69788ull) << at;
        store_be32(b + at, 0xDEADBEEF);
        EXPECT_EQ(load_be32(b + at), 0xDEADBEEFu) << at;
        store_be16(b + at, 0xFFFE);
        EXPECT_EQ(load_be16(b + at), 0xFFFEu) << at;
    }
}

TEST(Cursor, ReadsFieldsInOrder) {
    const std::string data("\x07\x30\x06\x00\x00\x01\x00"
                           "\x00\x00\x00\x00\x00\x00\x00\x2A"
                           "tail",
                           19);
    be_cursor c{reinterpret_cast<const uint8_t *>(data.data()), 19, 0};
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    ASSERT_TRUE(c.get(&u8) && c.get(&u16) && c.get(&u32) && c.get(&u64));
    EXPECT_EQ(u8, 7u);
    EXPECT_EQ(u16, 0x3006u);
    EXPECT_EQ(u32, 0x100u);
    EXPECT_EQ(u64, 42u);
    const uint8_t *rest = nullptr;
    ASSERT_TRUE(c.take(4, &rest));
    EXPECT_EQ(bytes(rest, 4), "tail");
    EXPECT_EQ(c.remaining(), 0u);
}

// A field that does not fit is refused and the cursor stays where it was, so nothing past
// the end is ever read.
TEST(Cursor, RefusesWhatDoesNotFit) {
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    be_cursor c{data, 5, 0};
    uint64_t u64 = 9;
    EXPECT_FALSE(c.get(&u64));
    EXPECT_EQ(u64, 9u);
    EXPECT_EQ(c.offset, 0u);
    uint32_t u32 = 0;
    ASSERT_TRUE(c.get(&u32));
    EXPECT_EQ(u32, 0x01020304u);
    uint16_t u16 = 9;
    EXPECT_FALSE(c.get(&u16));
    EXPECT_EQ(u16, 9u);
    const uint8_t *p = nullptr;
    EXPECT_FALSE(c.take(2, &p));
    EXPECT_EQ(p, nullptr);
    EXPECT_FALSE(c.skip(2));
    EXPECT_EQ(c.offset, 4u);
    EXPECT_TRUE(c.skip(1));
    EXPECT_EQ(c.remaining(), 0u);
    EXPECT_TRUE(c.skip(0));
}

} // namespace
