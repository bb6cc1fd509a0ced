// Growable bitmap indexed by 32-bit numbers (symbol ids matched by a query's patterns).
//
// One allocation: the byte count n followed by n bytes. Bit i is bit i % 8 (least
// significant first) of byte i / 8; bytes past the end read as zero. Released with
// bitset_free.
#pragma once

#include <cstdint>

struct bitset {
    uint32_t n; // bytes that follow
};

// A bitmap of n zero bytes.
bitset *bitset_new(uint32_t n);
// Sets bit i, growing the bitmap to i / 8 + 1 bytes when it is shorter (a NULL bitmap
// counts as empty). Returns the bitmap, which has moved when it grew.
bitset *bitset_set(bitset *bs, uint32_t i);
// 1 when bit i is set, 0 otherwise (also past the end and for NULL).
int bitset_test(const bitset *bs, uint32_t i);
void bitset_free(bitset *bs);
