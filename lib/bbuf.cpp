#include "lib/bbuf.h"

#include <cstring>

#include "lib/be_load.h"
#include "lib/cursor.h"
#include "lib/xalloc.h"

// Size of the allocation for `cap` data bytes; a capacity whose allocation size cannot be
// expressed is an allocation failure like any other.
static size_t bbuf_alloc_size(uint64_t cap, int line) {
    if (cap > SIZE_MAX - sizeof(bbuf))
        xalloc_fail(line, cap);
    return sizeof(bbuf) + cap;
}

bbuf *bbuf_new(uint64_t n) {
    bbuf *b = static_cast<bbuf *>(krv_malloc(bbuf_alloc_size(n, __LINE__)));
    b->capacity = n;
    b->position = 0;
    b->limit = n;
    return b;
}

bbuf *bbuf_ensure(bbuf *b, uint64_t n) {
    if (n == 0)
        return b;
    if (b == nullptr)
        return bbuf_new(n);
    if (n <= b->limit - b->position)
        return b;
    if (b->capacity > (UINT64_MAX - n) / 2)
        xalloc_fail(__LINE__, n);
    uint64_t cap = n + 2 * b->capacity;
    b = static_cast<bbuf *>(krv_realloc(b, bbuf_alloc_size(cap, __LINE__)));
    b->capacity = cap;
    b->limit = cap;
    return b;
}

uint8_t *bbuf_data(bbuf *b) {
    return b ? reinterpret_cast<uint8_t *>(b + 1) : nullptr;
}

const uint8_t *bbuf_data(const bbuf *b) {
    return b ? reinterpret_cast<const uint8_t *>(b + 1) : nullptr;
}

uint64_t bbuf_position(const bbuf *b) {
    return b ? b->position : 0;
}

uint64_t bbuf_limit(const bbuf *b) {
    return b ? b->limit : 0;
}

uint64_t bbuf_remaining(const bbuf *b) {
    return b ? b->limit - b->position : 0;
}

void bbuf_flip(bbuf *b) {
    if (b == nullptr)
        return;
    b->limit = b->position;
    b->position = 0;
}

void bbuf_clear(bbuf *b) {
    if (b == nullptr)
        return;
    b->position = 0;
    b->limit = b->capacity;
}

int bbuf_set_position(bbuf *b, uint64_t p) {
    if (b == nullptr || p > b->limit)
        return -1;
    b->position = p;
    return 0;
}

// The n bytes at the position when they lie before the limit, then the position is moved
// past them; NULL (and nothing moved) otherwise.
static uint8_t *bbuf_take(bbuf *b, uint64_t n) {
    if (b == nullptr || n > b->limit - b->position)
        return nullptr;
    uint8_t *p = bbuf_data(b) + b->position;
    b->position += n;
    return p;
}

// Stores v big-endian in the next sizeof v bytes.
static void put_be(uint8_t *p, uint8_t v) {
    *p = v;
}
static void put_be(uint8_t *p, uint16_t v) {
    store_be16(p, v);
}
static void put_be(uint8_t *p, uint32_t v) {
    store_be32(p, v);
}
static void put_be(uint8_t *p, uint64_t v) {
    store_be64(p, v);
}

template <typename T> static int bbuf_put_be(bbuf *b, T v) {
    uint8_t *p = bbuf_take(b, sizeof(T));
    if (p == nullptr)
        return -1;
    put_be(p, v);
    return 0;
}

int bbuf_put_u8(bbuf *b, uint8_t v) {
    return bbuf_put_be(b, v);
}

int bbuf_put_u16(bbuf *b, uint16_t v) {
    return bbuf_put_be(b, v);
}

int bbuf_put_u32(bbuf *b, uint32_t v) {
    return bbuf_put_be(b, v);
}

int bbuf_put_u64(bbuf *b, uint64_t v) {
    return bbuf_put_be(b, v);
}

int bbuf_put_bytes(bbuf *b, const void *src, uint64_t n) {
    uint8_t *p = bbuf_take(b, n);
    if (p == nullptr)
        return -1;
    if (n > 0)
        memcpy(p, src, n);
    return 0;
}

template <typename T> static int bbuf_get_be(bbuf *b, T *v) {
    const uint8_t *p = bbuf_take(b, sizeof(T));
    if (p == nullptr)
        return -2;
    be_cursor c{p, sizeof(T), 0};
    c.get(v);
    return 0;
}

int bbuf_get_u8(bbuf *b, uint8_t *v) {
    return bbuf_get_be(b, v);
}

int bbuf_get_u16(bbuf *b, uint16_t *v) {
    return bbuf_get_be(b, v);
}

int bbuf_get_u32(bbuf *b, uint32_t *v) {
    return bbuf_get_be(b, v);
}

int bbuf_get_u64(bbuf *b, uint64_t *v) {
    return bbuf_get_be(b, v);
}

int bbuf_get_bytes(bbuf *b, void *dst, uint64_t n) {
    if (b != nullptr && n > UINT64_MAX - b->position)
        return -1;
    const uint8_t *p = bbuf_take(b, n);
    if (p == nullptr)
        return -2;
    if (n > 0)
        memcpy(dst, p, n);
    return 0;
}
