// Big-endian loads and stores on byte buffers of any alignment (wire and file fields).
#pragma once

#include <cstdint>
#include <cstring>
#include <endian.h>

inline uint16_t load_be16(const uint8_t *p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return be16toh(v);
}

inline uint32_t load_be32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return be32toh(v);
}

inline uint64_t load_be64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return be64toh(v);
}

// The 3 bytes at `p` as an unsigned 24-bit value.
inline uint32_t load_be24(const uint8_t *p) {
    return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
}

// The 6 bytes at `p` as an unsigned 48-bit value.
inline uint64_t load_be48(const uint8_t *p) {
    return uint64_t{load_be16(p)} << 32 | load_be32(p + 2);
}

inline void store_be16(uint8_t *p, uint16_t v) {
    v = htobe16(v);
    memcpy(p, &v, sizeof v);
}

inline void store_be32(uint8_t *p, uint32_t v) {
    v = htobe32(v);
    memcpy(p, &v, sizeof v);
}

inline void store_be64(uint8_t *p, uint64_t v) {
    v = htobe64(v);
    memcpy(p, &v, sizeof v);
}
