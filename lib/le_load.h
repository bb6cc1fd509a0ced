// Little-endian loads from byte buffers of any alignment, the same on every host order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// The 8 bytes at `p` as a little-endian value.
inline uint64_t load_le64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    return v;
}
