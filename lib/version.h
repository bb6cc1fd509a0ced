// The protocol and storage version word, written into frame headers, answers to clients,
// the data store's version file and archives: major 3 in the top 4 bits, minor 0 in the next
// 6, patch 6 in the low 6.
#pragma once

#include <cstdint>

constexpr uint16_t KRV_VERSION_WORD = 0x3006;
constexpr const char *KRV_VERSION_TEXT = "3.0.6";
// The word frames and the data store are written with, and the bits another word must share
// with it to be compatible (all but the patch).
constexpr uint16_t PROTOCOL_VERSION = KRV_VERSION_WORD;
constexpr uint16_t VERSION_MASK = 0xFFC0;

// 1 when `version` differs from PROTOCOL_VERSION only in its patch bits.
constexpr int is_version_compatible(uint16_t version) {
    return ((version ^ PROTOCOL_VERSION) & VERSION_MASK) == 0;
}
