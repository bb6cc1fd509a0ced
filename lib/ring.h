// A fixed-capacity first-in-first-out ring of pointers, without a lock of its own.
//
// One slot always stays empty, so a ring of capacity c holds at most c - 1 items: head equal
// to tail means empty, tail one behind head (modulo capacity) means full. Free slots hold
// zero, which is why a NULL item is never stored. The ring does not own its items.
#pragma once

#include <cstdint>

struct ring {
    void **items;      // capacity slots, zero when free
    uint64_t head;     // oldest item
    uint64_t tail;     // next free slot
    uint64_t count;    // items held
    uint64_t capacity; // slots: one more than the items the ring can hold
};

// A ring that holds n items. Running out of memory stops the process.
void ring_init(ring *r, uint64_t n);
// 0, or -1 when the ring is full or the item is NULL (nothing changes).
int ring_push(ring *r, void *item);
// The oldest item, or NULL when the ring is empty.
void *ring_pop(ring *r);
// Adds n slots, keeping the order of the items. -1 (with an ERROR line) when the new slot
// count would not fit in 64 bits; nothing changes then.
int ring_grow(ring *r, uint64_t n);
// Frees the slot array; the items themselves are left alone.
void ring_free(ring *r);
