// A bounded reader of big-endian fields: it walks a byte range of a request, a message or a
// record and never reads past its end. A field that does not fit is refused and leaves the
// cursor where it stands.
#pragma once

#include <cstdint>

#include "lib/be_load.h"

struct be_cursor {
    const uint8_t *data;
    uint32_t length;
    uint32_t offset;

    uint32_t remaining() const { return length - offset; }
    // The bytes not read yet.
    const uint8_t *here() const { return data + offset; }

    // Reads a u8, u16, u32 or u64 field into *v; false when fewer bytes remain.
    template <typename T> bool get(T *v) {
        static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
        if (remaining() < sizeof(T))
            return false;
        const uint8_t *p = here();
        if constexpr (sizeof(T) == 1)
            *v = static_cast<T>(*p);
        else if constexpr (sizeof(T) == 2)
            *v = static_cast<T>(load_be16(p));
        else if constexpr (sizeof(T) == 4)
            *v = static_cast<T>(load_be32(p));
        else
            *v = static_cast<T>(load_be64(p));
        offset += sizeof(T);
        return true;
    }
    // Takes the next n bytes: *out points at them; false when fewer remain.
    bool take(uint32_t n, const uint8_t **out) {
        if (remaining() < n)
            return false;
        *out = here();
        offset += n;
        return true;
    }
    // Passes over n bytes; false when fewer remain.
    bool skip(uint32_t n) {
        if (remaining() < n)
            return false;
        offset += n;
        return true;
    }
};
