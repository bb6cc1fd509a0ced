#include <gtest/gtest.h>

#include <set>

#include "lib/bitset.h"

namespace {

TEST(Bitset, NewBitmapIsClear) {
    bitset *bs = bitset_new(4);
    EXPECT_EQ(bs->n, 4u);
    for (uint32_t i = 0; i < 40; i++)
        EXPECT_EQ(bitset_test(bs, i), 0) << i;
    bitset_free(bs);
}

TEST(Bitset, BitsAroundByteAndWordBoundaries) {
    const std::set<uint32_t> bits = {0, 7, 8, 15, 16, 31, 32, 63, 64, 127, 255};
    bitset *bs = bitset_new(0);
    for (uint32_t i : bits)
        bs = bitset_set(bs, i);
    EXPECT_EQ(bs->n, 32u);
    for (uint32_t i = 0; i < 300; i++)
        EXPECT_EQ(bitset_test(bs, i), bits.count(i) ? 1 : 0) << i;
    // Bit i lives in bit i % 8 of byte i / 8, least significant first.
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(bs + 1);
    EXPECT_EQ(bytes[0], 0x81);
    EXPECT_EQ(bytes[1], 0x81);
    EXPECT_EQ(bytes[2], 0x01);
    EXPECT_EQ(bytes[3], 0x80);
    EXPECT_EQ(bytes[31], 0x80);
    bitset_free(bs);
}

TEST(Bitset, GrowsToTheByteOfTheBitAndClearsTheNewBytes) {
    bitset *bs = bitset_new(1);
    bs = bitset_set(bs, 3);
    bs = bitset_set(bs, 100);
    EXPECT_EQ(bs->n, 13u);
    EXPECT_EQ(bitset_test(bs, 99), 0);
    EXPECT_EQ(bitset_test(bs, 100), 1);
    EXPECT_EQ(bitset_test(bs, 5000), 0);
    EXPECT_EQ(bs->n, 13u);
    for (uint32_t i = 0; i < 104; i++)
        EXPECT_EQ(bitset_test(bs, i), i == 3 || i == 100 ? 1 : 0) << i;

    // Setting a bit inside the bitmap neither moves nor grows it.
    bitset *same = bitset_set(bs, 50);
    EXPECT_EQ(same, bs);
    EXPECT_EQ(same->n, 13u);
    EXPECT_EQ(bitset_test(same, 50), 1);
    bitset_free(same);
}

TEST(Bitset, NullBitmapIsEmpty) {
    EXPECT_EQ(bitset_test(nullptr, 0), 0);
    bitset *bs = bitset_set(nullptr, 9);
    EXPECT_EQ(bs->n, 2u);
    EXPECT_EQ(bitset_test(bs, 9), 1);
    EXPECT_EQ(bitset_test(bs, 8), 0);
    bitset_free(bs);
}

} // namespace
