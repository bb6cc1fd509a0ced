// MurmurHash3 x64 128-bit with seed 0: the ids of agents, users and Databases, and the hashes
// of configurations and symbol names.
#pragma once

#include <cstdint>

// The two 64-bit halves of the 128-bit result.
struct murmur3_128 {
    uint64_t h1;
    uint64_t h2;
};

// Hash of `len` bytes at `data` (which may be NULL when `len` is 0).
murmur3_128 murmur3_x64_128(const void *data, uint32_t len);

// The first half (h1) of murmur3_x64_128; 0 for an empty input.
uint64_t murmur3_hash64(const void *data, uint32_t len);
