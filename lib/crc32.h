// The checksum of every checksummed record on the wire and on disk: CRC-32 over the reflected
// IEEE polynomial, eight bytes per step, the running value byte-swapped before each whole
// 8-byte block (counted from the buffer's first byte). Below 16 bytes the result equals the
// standard CRC-32; from 16 bytes on it generally differs, and peers rely on exactly this.
#pragma once

#include <cstdint>

// Checksum of `len` bytes at `data` (which may be NULL when `len` is 0).
uint32_t crc32_calc(const void *data, uint64_t len);

// The same with the register starting at the complement of `seed`; seed 0 is `crc32_calc`.
uint32_t crc32_calc_seed(const void *data, uint64_t len, uint32_t seed);
