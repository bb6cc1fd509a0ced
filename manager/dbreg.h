// The registry of the Databases connected to a Manager that has no Database role: the
// address each one announced in its hello, kept exactly as received (family and port
// big-endian). Clients learn it at login and through the connected and disconnected
// notices.
#pragma once

#include <cstdint>
#include <pthread.h>
#include <vector>

#include "lib/netaddr.h"

// One registration, 21 bytes: the announced address and whether the entry is in use. A free
// entry is all zero.
struct __attribute__((packed)) dbreg_entry {
    uint8_t address[NURL_SIZE];
    uint8_t used;
};
static_assert(sizeof(dbreg_entry) == 21);

// The entries grow one at a time and never shrink; a free entry is taken again before the
// array grows. An address announced twice is registered twice.
struct dbreg {
    pthread_rwlock_t guard = PTHREAD_RWLOCK_INITIALIZER;
    std::vector<dbreg_entry> entries;
};

// Registers an address in the first free entry, else in a new one. 0.
int dbreg_add(dbreg *reg, const uint8_t address[NURL_SIZE]);

// Frees the first entry in use that holds this address. How many registrations of the
// address remain afterwards.
uint64_t dbreg_remove(dbreg *reg, const uint8_t address[NURL_SIZE]);

// Copies the addresses of at most `max` entries in use, in registry order, to `out`
// (room for max x NURL_SIZE bytes). How many were copied.
uint32_t dbreg_copy(dbreg *reg, uint8_t *out, uint32_t max);
