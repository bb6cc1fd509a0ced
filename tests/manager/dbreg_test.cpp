#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manager/db_peer.h"
#include "manager/dbreg.h"
#include "mgr_wire.h"

namespace {

const uint8_t *u8(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

// The addresses a login would list, in registry order.
std::vector<std::string> listed(dbreg *reg, uint32_t max = 255) {
    std::vector<uint8_t> out(static_cast<size_t>(max) * NURL_SIZE);
    const uint32_t n = dbreg_copy(reg, out.data(), max);
    std::vector<std::string> seen;
    for (uint32_t i = 0; i < n; i++)
        seen.emplace_back(reinterpret_cast<const char *>(out.data()) + i * NURL_SIZE, NURL_SIZE);
    return seen;
}

const std::string kA = nurl_wire(2, 900, 0x0A000005);
const std::string kB = nurl_wire(2, 901, 0x0A000006);
const std::string kC = nurl_wire(2, 902, 0x0A000007);

TEST(DatabaseRegistry, FreedEntryIsTakenBeforeTheArrayGrows) {
    dbreg reg;
    dbreg_add(&reg, u8(kA));
    dbreg_add(&reg, u8(kB));
    EXPECT_EQ(dbreg_remove(&reg, u8(kA)), 0u);
    EXPECT_EQ(listed(&reg), std::vector<std::string>({kB}));
    dbreg_add(&reg, u8(kC));
    EXPECT_EQ(reg.entries.size(), 2u);
    EXPECT_EQ(listed(&reg), std::vector<std::string>({kC, kB}));
    // A removed entry is all zero.
    dbreg_remove(&reg, u8(kB));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&reg.entries[1]), 21), std::string(21, '\0'));
}

TEST(DatabaseRegistry, AnAddressAnnouncedTwiceIsRegisteredTwiceAndRemovedOnceAtATime) {
    dbreg reg;
    dbreg_add(&reg, u8(kA));
    dbreg_add(&reg, u8(kB));
    dbreg_add(&reg, u8(kA));
    EXPECT_EQ(listed(&reg), std::vector<std::string>({kA, kB, kA}));
    EXPECT_EQ(dbreg_remove(&reg, u8(kA)), 1u);
    EXPECT_EQ(listed(&reg), std::vector<std::string>({kB, kA}));
    EXPECT_EQ(dbreg_remove(&reg, u8(kA)), 0u);
    // An address that is not registered changes nothing.
    EXPECT_EQ(dbreg_remove(&reg, u8(kC)), 0u);
    EXPECT_EQ(listed(&reg), std::vector<std::string>({kB}));
}

TEST(DatabaseRegistry, CopyStopsAtItsBound) {
    dbreg reg;
    for (uint32_t i = 0; i < 300; i++)
        dbreg_add(&reg, u8(nurl_wire(2, static_cast<uint16_t>(1000 + i), 0x0A000000 + i)));
    const std::vector<std::string> first = listed(&reg, 255);
    ASSERT_EQ(first.size(), 255u);
    EXPECT_EQ(first.front(), nurl_wire(2, 1000, 0x0A000000));
    EXPECT_EQ(first.back(), nurl_wire(2, 1254, 0x0A0000FE));
}

// The notice carries family and port little-endian, the address bytes as announced.
TEST(DatabaseNotice, FixedBytes) {
    uint8_t out[DBNOTICE_LEN];
    dbnotice_encode(DBNOTICE_CONNECTED, u8(kA), out);
    const uint8_t connected[DBNOTICE_LEN] = {0x00, 0x01, 0x02, 0x00, 0x84, 0x03, 0x0A, 0x00,
                                             0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), sizeof out),
              std::string(reinterpret_cast<const char *>(connected), sizeof connected));
    const std::string v6 = be(10, 2) + be(0x1234, 2) + std::string("\x20\x01\x0d\xb8", 4) +
                           std::string(11, '\0') + "\x01";
    dbnotice_encode(DBNOTICE_DISCONNECTED, u8(v6), out);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), sizeof out),
              std::string("\x00\x00\x0a\x00\x34\x12", 6) + v6.substr(4));
}

} // namespace
