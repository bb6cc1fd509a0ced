#include "lib/ring.h"

#include <cstdlib>

#include "lib/log.h"
#include "lib/xalloc.h"

void ring_init(ring *r, uint64_t n) {
    // n + 1 slots would wrap to 0: such a ring could never be allocated anyway.
    if (n == UINT64_MAX)
        xalloc_fail(__LINE__, sizeof(void *));
    r->head = 0;
    r->tail = 0;
    r->count = 0;
    r->capacity = n + 1;
    r->items = static_cast<void **>(krv_calloc(r->capacity, sizeof(void *)));
}

int ring_push(ring *r, void *item) {
    if (item == nullptr)
        return -1;
    uint64_t next = r->tail + 1;
    if (next % r->capacity == r->head)
        return -1;
    r->items[r->tail] = item;
    r->tail = next == r->capacity ? 0 : next;
    r->count++;
    return 0;
}

void *ring_pop(ring *r) {
    if (r->head == r->tail)
        return nullptr;
    void *item = r->items[r->head];
    r->items[r->head] = nullptr;
    r->head = r->head + 1 == r->capacity ? 0 : r->head + 1;
    r->count--;
    return item;
}

int ring_grow(ring *r, uint64_t n) {
    if (n > UINT64_MAX - r->capacity) {
        LOG_ERROR("Queue cannot grow.");
        return -1;
    }
    uint64_t capacity = r->capacity + n;
    void **items = static_cast<void **>(krv_calloc(capacity, sizeof(void *)));
    uint64_t moved = 0;
    for (void *item = ring_pop(r); item != nullptr; item = ring_pop(r))
        items[moved++] = item;
    free(r->items);
    r->items = items;
    r->head = 0;
    r->tail = moved;
    r->count = moved;
    r->capacity = capacity;
    return 0;
}

void ring_free(ring *r) {
    free(r->items);
    *r = ring{};
}
