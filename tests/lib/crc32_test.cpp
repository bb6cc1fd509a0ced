#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib/crc32.h"

namespace {

// Reflected CRC update of one byte, bit by bit, without tables.
uint32_t ref_update(uint32_t r, unsigned char b) {
    r ^= b;
    for (int bit = 0; bit < 8; bit++)
        r = (r >> 1) ^ ((r & 1u) ? 0xEDB88320u : 0u);
    return r;
}

uint32_t ref_swap(uint32_t r) {
    return (r >> 24) | ((r >> 8) & 0xFF00u) | ((r << 8) & 0xFF0000u) | (r << 24);
}

// The checksum byte by byte: before each whole 8-byte block the register is byte-swapped,
// the trailing bytes are not.
uint32_t ref_variant(const unsigned char *p, size_t len, uint32_t seed = 0) {
    uint32_t r = ~seed;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        r = ref_swap(r);
        for (size_t k = 0; k < 8; k++)
            r = ref_update(r, p[i + k]);
    }
    for (; i < len; i++)
        r = ref_update(r, p[i]);
    return ~r;
}

// The standard CRC-32 (IEEE 802.3, reflected, initial value and final XOR all ones).
uint32_t ref_standard(const unsigned char *p, size_t len) {
    uint32_t r = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; i++)
        r = ref_update(r, p[i]);
    return ~r;
}

const unsigned char *bytes(const std::string &s) {
    return reinterpret_cast<const unsigned char *>(s.data());
}

std::vector<unsigned char> random_bytes(std::mt19937 &gen, size_t n) {
    std::vector<unsigned char> v(n);
    for (auto &b : v)
        b = static_cast<unsigned char>(gen());
    return v;
}

TEST(Crc32, CheckValues) {
    const struct {
        std::string input;
        uint32_t variant;
        uint32_t standard;
    } cases[] = {
        {"", 0x00000000u, 0x00000000u},
        {"abc", 0x352441C2u, 0x352441C2u},
        {"123456789", 0xCBF43926u, 0xCBF43926u},
        {"123456789012345", 0x5155AF82u, 0x5155AF82u},
        {"1234567890123456", 0x1341798Fu, 0x1E5FCDB7u},
        {"abcdefghijklmnopqrstuvwxyz", 0x7BE26DFDu, 0x4C2750BDu},
        {"The quick brown fox jumps over the lazy dog", 0x90FD7AF1u, 0x414FA339u},
    };
    for (const auto &c : cases) {
        const size_t n = c.input.size();
        EXPECT_EQ(crc32_calc(c.input.data(), n), c.variant) << c.input;
        EXPECT_EQ(ref_variant(bytes(c.input), n), c.variant) << c.input;
        EXPECT_EQ(ref_standard(bytes(c.input), n), c.standard) << c.input;
    }
    EXPECT_EQ(crc32_calc(nullptr, 0), 0u);
}

TEST(Crc32, StandardBelowSixteenBytesVariantFromSixteenOn) {
    std::mt19937 gen(1);
    const std::vector<unsigned char> buf = random_bytes(gen, 64);
    for (size_t n = 0; n < buf.size(); n++) {
        const uint32_t std_crc = ref_standard(buf.data(), n);
        if (n < 16)
            EXPECT_EQ(crc32_calc(buf.data(), n), std_crc) << n;
        else
            EXPECT_NE(crc32_calc(buf.data(), n), std_crc) << n;
    }
}

TEST(Crc32, ResultDoesNotDependOnAddress) {
    std::mt19937 gen(2);
    const std::vector<unsigned char> src = random_bytes(gen, 1000);
    // Lengths below, at and past one block and one round of the interleaved fast path.
    const size_t lengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 39, 40, 79, 80, 81, 121, 1000};
    std::vector<unsigned char> shifted(src.size() + 16);
    for (size_t n : lengths) {
        const uint32_t want = crc32_calc(src.data(), n);
        for (size_t off = 1; off <= 7; off++) {
            memcpy(shifted.data() + off, src.data(), n);
            EXPECT_EQ(crc32_calc(shifted.data() + off, n), want) << "len " << n << " off " << off;
        }
    }
}

TEST(Crc32, MatchesBytewiseReferenceOnRandomBuffers) {
    std::mt19937 gen(20240601);
    std::uniform_int_distribution<size_t> short_len(0, 200);
    std::uniform_int_distribution<size_t> long_len(0, 6000);
    for (int i = 0; i < 400; i++) {
        const size_t n = (i % 4 == 0) ? long_len(gen) : short_len(gen);
        const std::vector<unsigned char> buf = random_bytes(gen, n);
        ASSERT_EQ(crc32_calc(buf.data(), n), ref_variant(buf.data(), n)) << "len " << n;
        const uint32_t seed = static_cast<uint32_t>(gen());
        ASSERT_EQ(crc32_calc_seed(buf.data(), n, seed), ref_variant(buf.data(), n, seed))
            << "len " << n << " seed " << seed;
    }
    const std::vector<unsigned char> big = random_bytes(gen, (64 << 10) + 13);
    EXPECT_EQ(crc32_calc(big.data(), big.size()), ref_variant(big.data(), big.size()));
}

TEST(Crc32, SeedStartsFromAPreviousResult) {
    // Below one whole block no swap happens, so a seed continues the standard CRC.
    const uint32_t first = crc32_calc("1234", 4);
    EXPECT_EQ(crc32_calc_seed("56789", 5, first), 0xCBF43926u);
    EXPECT_EQ(crc32_calc_seed("abcdefghijklmnopqrstuvwxyz", 26, 0), 0x7BE26DFDu);
}

} // namespace
