// Growable byte buffer for building replies and pushed messages, with big-endian puts.
//
// One allocation holds the header below and, directly after it, `capacity` data bytes.
// The handle is the header's address; bbuf_ensure may move the buffer and returns the
// handle to use from then on. The creator owns the buffer and releases it with free().
// Every function accepts NULL and treats it as an empty buffer.
#pragma once

#include <cstdint>

struct bbuf {
    uint64_t capacity; // data bytes allocated
    uint64_t position; // where the next put writes (or the next get reads)
    uint64_t limit;    // end of the writable (or readable) part; position <= limit <= capacity
};

// A buffer of n data bytes, position 0 and limit n; the data is not cleared.
bbuf *bbuf_new(uint64_t n);
// A buffer with room for n more bytes between position and limit: b itself when it has it
// (and for n 0, even a NULL b), a new buffer for a NULL b, otherwise b moved to a capacity
// of n + 2 x its old capacity with position and data kept and the limit at the new end.
bbuf *bbuf_ensure(bbuf *b, uint64_t n);

uint8_t *bbuf_data(bbuf *b);
const uint8_t *bbuf_data(const bbuf *b);
uint64_t bbuf_position(const bbuf *b);
uint64_t bbuf_limit(const bbuf *b);
uint64_t bbuf_remaining(const bbuf *b);

// Limit to the position, position to 0: what was written becomes what can be read.
void bbuf_flip(bbuf *b);
// Position 0, limit at the capacity.
void bbuf_clear(bbuf *b);
// Moves the position to p when p <= limit: 0; otherwise -1 and nothing changes.
int bbuf_set_position(bbuf *b, uint64_t p);

// Puts write at the position, most significant byte first, and advance it: 0, or -1 with
// nothing written when the value does not fit before the limit.
int bbuf_put_u8(bbuf *b, uint8_t v);
int bbuf_put_u16(bbuf *b, uint16_t v);
int bbuf_put_u32(bbuf *b, uint32_t v);
int bbuf_put_u64(bbuf *b, uint64_t v);
int bbuf_put_bytes(bbuf *b, const void *src, uint64_t n);

// Gets read big-endian values between position and limit and advance: 0, or -2 with
// nothing read when the value would pass the limit; bbuf_get_bytes gives -1 when
// position + n does not fit in 64 bits.
int bbuf_get_u8(bbuf *b, uint8_t *v);
int bbuf_get_u16(bbuf *b, uint16_t *v);
int bbuf_get_u32(bbuf *b, uint32_t *v);
int bbuf_get_u64(bbuf *b, uint64_t *v);
int bbuf_get_bytes(bbuf *b, void *dst, uint64_t n);
