#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "lib/murmur3.h"

namespace {

TEST(Murmur3, CheckValues) {
    const struct {
        std::string input;
        uint64_t h1;
        uint64_t h2;
    } cases[] = {
        {"", 0, 0},
        {"abc", 0xB4963F3F3FAD7867ull, 0x3BA2744126CA2D52ull},
        {"hello", 0xCBD8A7B341BD9B02ull, 0x5B1E906A48AE1D19ull},
        {"The quick brown fox jumps over the lazy dog", 0xE34BBC7BBC071B6Cull,
         0x7A433CA9C49A9347ull},
    };
    for (const auto &c : cases) {
        const auto n = static_cast<uint32_t>(c.input.size());
        const murmur3_128 h = murmur3_x64_128(c.input.data(), n);
        EXPECT_EQ(h.h1, c.h1) << c.input;
        EXPECT_EQ(h.h2, c.h2) << c.input;
        EXPECT_EQ(murmur3_hash64(c.input.data(), n), c.h1) << c.input;
    }
    EXPECT_EQ(murmur3_hash64(nullptr, 0), 0u);
}

// Every tail length from 0 to 15 after zero, one and two whole blocks. The values come from
// a separate implementation of the algorithm written for this purpose.
TEST(Murmur3, EveryTailLength) {
    const std::string text = "The quick brown fox jumps over the lazy dog";
    const struct {
        uint32_t len;
        uint64_t h1;
        uint64_t h2;
    } cases[] = {
        {1, 0x8C03777E9184689Aull, 0x3AB5D6B4BA293E79ull},
        {2, 0xD7DD0BEAEE68E3B9ull, 0xA56FB69099026B97ull},
        {3, 0x304F2652DCD66D9Aull, 0xEF385E5D15EABF42ull},
        {4, 0xBD4301BEABA07D9Cull, 0xDFAE3C4B8026DD1Cull},
        {5, 0x6F7AAC75205270FEull, 0x76F5EBD390DAC61Full},
        {6, 0x796E1100F3F66746ull, 0xB2A07E0B1665AB1Full},
        {7, 0xF0D3843A5ABCD5C9ull, 0x9394B7F9C86D6073ull},
        {8, 0x644BAAE4AD5B71CDull, 0x8EEEF997E2881CDFull},
        {9, 0x37A06404B2A8F155ull, 0xADBCC8FF3D6ECCC0ull},
        {10, 0x420E44DF457484B8ull, 0x9CABADD477515FE9ull},
        {11, 0x87C320550739A882ull, 0xFA91E8A5D66E7B9Full},
        {12, 0x61D6A1372F90F9CBull, 0xB66353EA7C002529ull},
        {13, 0x3C600C93F99BFD3Bull, 0xC3E13319056F26F4ull},
        {14, 0xDCD216A95D6E6007ull, 0x84C1EEB85C46C838ull},
        {15, 0x48137CB864E39216ull, 0xFD7BAF64397AD64Bull},
        {16, 0x9D1244F4AF9B32C4ull, 0x3D153C8B2C2A3AA6ull},
        {17, 0x91F96376E757E9AEull, 0x9B44E58DAE83EB0Cull},
        {31, 0x9B28B5DDD9C4C509ull, 0x0D3C1CB80FE2F964ull},
        {32, 0xDF6AF91BB29BDACFull, 0x91A341C58DF1F3A6ull},
        {33, 0x68D135CDAB7BB3DDull, 0xE617F8470728BB01ull},
    };
    for (const auto &c : cases) {
        const murmur3_128 h = murmur3_x64_128(text.data(), c.len);
        EXPECT_EQ(h.h1, c.h1) << c.len;
        EXPECT_EQ(h.h2, c.h2) << c.len;
    }
}

TEST(Murmur3, ResultDoesNotDependOnAddress) {
    std::vector<unsigned char> src(100);
    for (size_t i = 0; i < src.size(); i++)
        src[i] = static_cast<unsigned char>(i * 37 + 11);
    std::vector<unsigned char> shifted(src.size() + 16);
    for (uint32_t n = 0; n <= src.size(); n++) {
        const murmur3_128 want = murmur3_x64_128(src.data(), n);
        for (size_t off = 1; off <= 7; off++) {
            memcpy(shifted.data() + off, src.data(), n);
            const murmur3_128 got = murmur3_x64_128(shifted.data() + off, n);
            EXPECT_EQ(got.h1, want.h1) << "len " << n << " off " << off;
            EXPECT_EQ(got.h2, want.h2) << "len " << n << " off " << off;
        }
    }
}

TEST(Murmur3, IdentityRecordsDifferingInOneByteGetDistinctIds) {
    unsigned char record[64] = {};
    const uint64_t zero_id = murmur3_hash64(record, sizeof record);
    EXPECT_EQ(zero_id, 0x5C8DEC0343B965DBull);
    std::set<uint64_t> ids = {zero_id};
    for (size_t i = 0; i < sizeof record; i++) {
        record[i] = 1;
        ids.insert(murmur3_hash64(record, sizeof record));
        record[i] = 0;
    }
    EXPECT_EQ(ids.size(), sizeof record + 1);
}

} // namespace
