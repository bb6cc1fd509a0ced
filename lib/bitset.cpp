#include "lib/bitset.h"

#include <cstdlib>
#include <cstring>

#include "lib/xalloc.h"

static uint8_t *bitset_bytes(bitset *bs) {
    return reinterpret_cast<uint8_t *>(bs + 1);
}

static const uint8_t *bitset_bytes(const bitset *bs) {
    return reinterpret_cast<const uint8_t *>(bs + 1);
}

bitset *bitset_new(uint32_t n) {
    bitset *bs = static_cast<bitset *>(krv_calloc(1, sizeof(bitset) + n));
    bs->n = n;
    return bs;
}

bitset *bitset_set(bitset *bs, uint32_t i) {
    uint32_t k = i / 8;
    uint32_t n = bs ? bs->n : 0;
    if (k >= n) {
        bs = static_cast<bitset *>(krv_realloc(bs, sizeof(bitset) + k + 1));
        memset(bitset_bytes(bs) + n, 0, k + 1 - n);
        bs->n = k + 1;
    }
    bitset_bytes(bs)[k] |= static_cast<uint8_t>(1u << (i % 8));
    return bs;
}

int bitset_test(const bitset *bs, uint32_t i) {
    if (bs == nullptr || i / 8 >= bs->n)
        return 0;
    return (bitset_bytes(bs)[i / 8] >> (i % 8)) & 1;
}

void bitset_free(bitset *bs) {
    free(bs);
}
