#include "lib/murmur3.h"

#include <bit>

#include "lib/le_load.h"

namespace {

constexpr uint64_t kMurmurC1 = 0x87C37B91114253D5ull;
constexpr uint64_t kMurmurC2 = 0x4CF5AD432745937Full;

// Up to 8 bytes at `p` as a little-endian value, missing high bytes zero.
inline uint64_t murmur3_load_tail(const unsigned char *p, uint32_t n) {
    uint64_t v = 0;
    for (uint32_t i = n; i > 0; i--)
        v = (v << 8) | p[i - 1];
    return v;
}

inline uint64_t murmur3_mix_k1(uint64_t k1) {
    return std::rotl(k1 * kMurmurC1, 31) * kMurmurC2;
}

inline uint64_t murmur3_mix_k2(uint64_t k2) {
    return std::rotl(k2 * kMurmurC2, 33) * kMurmurC1;
}

inline uint64_t murmur3_fmix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xFF51AFD7ED558CCDull;
    k ^= k >> 33;
    k *= 0xC4CEB9FE1A85EC53ull;
    k ^= k >> 33;
    return k;
}

} // namespace

murmur3_128 murmur3_x64_128(const void *data, uint32_t len) {
    const auto *p = static_cast<const unsigned char *>(data);
    uint64_t h1 = 0;
    uint64_t h2 = 0;
    for (uint32_t n = len / 16; n > 0; n--, p += 16) {
        h1 ^= murmur3_mix_k1(load_le64(p));
        h1 = (std::rotl(h1, 27) + h2) * 5 + 0x52DCE729u;
        h2 ^= murmur3_mix_k2(load_le64(p + 8));
        h2 = (std::rotl(h2, 31) + h1) * 5 + 0x38495AB5u;
    }
    // The tail of 0 to 15 bytes: the first eight into k1, the rest into k2.
    const uint32_t tail = len % 16;
    if (tail > 8)
        h2 ^= murmur3_mix_k2(murmur3_load_tail(p + 8, tail - 8));
    if (tail > 0)
        h1 ^= murmur3_mix_k1(murmur3_load_tail(p, tail < 8 ? tail : 8));
    h1 ^= len;
    h2 ^= len;
    h1 += h2;
    h2 += h1;
    h1 = murmur3_fmix64(h1);
    h2 = murmur3_fmix64(h2);
    h1 += h2;
    h2 += h1;
    return {h1, h2};
}

uint64_t murmur3_hash64(const void *data, uint32_t len) {
    return murmur3_x64_128(data, len).h1;
}
