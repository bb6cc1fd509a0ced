#include "manager/dbreg.h"

#include <cstring>

#include "lib/log.h"
#include "lib/rwlock.h"

namespace {

bool same_address(const dbreg_entry &e, const uint8_t address[NURL_SIZE]) {
    return e.used && memcmp(e.address, address, NURL_SIZE) == 0;
}

} // namespace

int dbreg_add(dbreg *reg, const uint8_t address[NURL_SIZE]) {
    KRV_RWLOCK_GUARD(w, &reg->guard, true);
    dbreg_entry *slot = nullptr;
    for (dbreg_entry &e : reg->entries) {
        if (!e.used) {
            slot = &e;
            break;
        }
    }
    if (slot == nullptr)
        slot = &reg->entries.emplace_back();
    memcpy(slot->address, address, NURL_SIZE);
    slot->used = 1;
    return 0;
}

uint64_t dbreg_remove(dbreg *reg, const uint8_t address[NURL_SIZE]) {
    KRV_RWLOCK_GUARD(w, &reg->guard, true);
    bool removed = false;
    uint64_t left = 0;
    for (dbreg_entry &e : reg->entries) {
        if (!same_address(e, address))
            continue;
        if (removed) {
            left++;
        } else {
            e = dbreg_entry{};
            removed = true;
        }
    }
    return left;
}

uint32_t dbreg_copy(dbreg *reg, uint8_t *out, uint32_t max) {
    KRV_RWLOCK_GUARD(r, &reg->guard, false);
    uint32_t n = 0;
    for (const dbreg_entry &e : reg->entries) {
        if (n == max)
            break;
        if (e.used)
            memcpy(out + static_cast<size_t>(n++) * NURL_SIZE, e.address, NURL_SIZE);
    }
    return n;
}
