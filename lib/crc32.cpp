#include "lib/crc32.h"

#include <array>

#include "lib/le_load.h"

namespace {

constexpr uint32_t kCrcPoly = 0xEDB88320u;

// Independent register chains run side by side over long buffers, each taking every
// kCrcLanes-th block, so that the table lookups of one chain overlap the others' latency.
constexpr size_t kCrcLanes = 5;

using crc_tables = std::array<std::array<uint32_t, 256>, 8>;

// Table 0 is the plain byte table of the polynomial; table k advances an entry of table k-1
// through one more zero byte, so table k gives the effect of a byte followed by k others.
constexpr crc_tables crc32_make_tables() {
    crc_tables t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; bit++)
            r = (r >> 1) ^ ((r & 1u) ? kCrcPoly : 0u);
        t[0][i] = r;
    }
    for (size_t k = 1; k < t.size(); k++) {
        for (size_t i = 0; i < 256; i++)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
    }
    return t;
}

constexpr crc_tables kCrcTables = crc32_make_tables();
static_assert(kCrcTables[0][1] == 0x77073096u && kCrcTables[0][255] == 0x2D02EF8Du);

// One whole block: the swapped register meets the first four bytes, then all eight bytes are
// pushed through at once, each looked up in the table of its distance from the block's end.
// `w` holds the block's bytes as a little-endian value.
constexpr uint32_t crc32_block(const crc_tables &t, uint32_t r, uint64_t w) {
    const uint32_t x = __builtin_bswap32(r) ^ static_cast<uint32_t>(w);
    const uint32_t w1 = static_cast<uint32_t>(w >> 32);
    return t[7][x & 0xFFu] ^ t[6][(x >> 8) & 0xFFu] ^ t[5][(x >> 16) & 0xFFu] ^ t[4][x >> 24] ^
           t[3][w1 & 0xFFu] ^ t[2][(w1 >> 8) & 0xFFu] ^ t[1][(w1 >> 16) & 0xFFu] ^ t[0][w1 >> 24];
}

// Lane tables: the block step followed by kCrcLanes - 1 blocks of zeros (the blocks of the
// other lanes, whose own contributions those lanes carry). Since the step is linear, the
// register of the whole buffer is the XOR of the lanes' registers brought to the same place.
constexpr crc_tables crc32_make_lane_tables(const crc_tables &t) {
    crc_tables u{};
    for (size_t k = 0; k < t.size(); k++) {
        for (size_t i = 0; i < 256; i++) {
            uint32_t r = t[k][i];
            for (size_t n = 1; n < kCrcLanes; n++)
                r = crc32_block(t, r, 0);
            u[k][i] = r;
        }
    }
    return u;
}

constexpr crc_tables kCrcLaneTables = crc32_make_lane_tables(kCrcTables);

// Runs the lanes over `rounds` rounds of kCrcLanes blocks at `p`. Lane j starts
// just before block j (lane 0 with the register, the others empty) and after each of its
// blocks jumps to just before its next one. The last round is run as one chain, each lane's
// register joining it just before that lane's block.
uint32_t crc32_lanes(uint32_t r, const unsigned char *p, uint64_t rounds) {
    std::array<uint32_t, kCrcLanes> lane{};
    lane[0] = r;
    for (; rounds > 1; rounds--, p += 8 * kCrcLanes) {
        // Unrolled so that the lane registers live in machine registers, not on the stack.
#pragma GCC unroll 8
        for (size_t j = 0; j < kCrcLanes; j++)
            lane[j] = crc32_block(kCrcLaneTables, lane[j], load_le64(p + 8 * j));
    }
    r = 0;
    for (size_t j = 0; j < kCrcLanes; j++)
        r = crc32_block(kCrcTables, r ^ lane[j], load_le64(p + 8 * j));
    return r;
}

} // namespace

uint32_t crc32_calc_seed(const void *data, uint64_t len, uint32_t seed) {
    const auto *p = static_cast<const unsigned char *>(data);
    uint32_t r = ~seed;
    // The lanes pay off once at least one round runs interleaved before the last one.
    const uint64_t rounds = len / (8 * kCrcLanes);
    if (rounds >= 2) {
        r = crc32_lanes(r, p, rounds);
        p += rounds * 8 * kCrcLanes;
        len -= rounds * 8 * kCrcLanes;
    }
    for (; len >= 8; p += 8, len -= 8)
        r = crc32_block(kCrcTables, r, load_le64(p));
    for (; len > 0; p++, len--)
        r = (r >> 8) ^ kCrcTables[0][(r ^ *p) & 0xFFu];
    return ~r;
}

uint32_t crc32_calc(const void *data, uint64_t len) {
    return crc32_calc_seed(data, len, 0);
}
