#include "manager/dbreg.h"

#include <cstring>

#include "lib/log.h"

namespace {

class reg_writer {
public:
    explicit reg_writer(dbreg *reg) : reg(reg) { KRV_LOCKCALL(pthread_rwlock_wrlock(&reg->guard)); }
    ~reg_writer() { KRV_LOCKCALL(pthread_rwlock_unlock(&reg->guard)); }
    reg_writer(const reg_writer &) = delete;
    reg_writer &operator=(const reg_writer &) = delete;

private:
    dbreg *reg;
};

class reg_reader {
public:
    explicit reg_reader(dbreg *reg) : reg(reg) { KRV_LOCKCALL(pthread_rwlock_rdlock(&reg->guard)); }
    ~reg_reader() { KRV_LOCKCALL(pthread_rwlock_unlock(&reg->guard)); }
    reg_reader(const reg_reader &) = delete;
    reg_reader &operator=(const reg_reader &) = delete;

private:
    dbreg *reg;
};

bool same_address(const dbreg_entry &e, const uint8_t address[NURL_SIZE]) {
    return e.used && memcmp(e.address, address, NURL_SIZE) == 0;
}

} // namespace

int dbreg_add(dbreg *reg, const uint8_t address[NURL_SIZE]) {
    reg_writer w(reg);
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
    reg_writer w(reg);
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
    reg_reader r(reg);
    uint32_t n = 0;
    for (const dbreg_entry &e : reg->entries) {
        if (n == max)
            break;
        if (e.used)
            memcpy(out + static_cast<size_t>(n++) * NURL_SIZE, e.address, NURL_SIZE);
    }
    return n;
}
