#include "database/store/cindex.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/log.h"

static_assert(CINDEX_SLOTS * sizeof(cindex_slot) <= CINDEX_FILE_SIZE);

namespace {

constexpr uint64_t SLOTS_PER_HOUR = 3600;
constexpr size_t CINDEX_PATH_MAX = 64;

void cindex_path(char *buf, uint64_t agent_id, uint32_t day) {
    snprintf(buf, CINDEX_PATH_MAX, "storage.db/data/%016" PRIX64 "/%s/%u.index", agent_id, "mc",
             day);
}

// Slot fields are shared with other threads through the mapping: whole loads and stores.
uint64_t field_load(const uint64_t *p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
void field_store(uint64_t *p, uint64_t v) {
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}

cindex_slot *slot_at(cindex_slot *slots, uint64_t hour, uint64_t minute, uint64_t second) {
    return &slots[hour % 24 * SLOTS_PER_HOUR + minute % 60 * 60 + second % 60];
}

// Opens the file, checks its size and, when creating, allocates its blocks. The descriptor,
// or -1 (logged).
int cindex_open_fd(const char *path, bool create) {
    int fd = open(path, create ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == ENOENT)
            LOG_WARN("Calls index [%s] does not exist.", path);
        else
            LOG_SYSERR_PATH("open", path);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG_SYSERR_PATH("fstat", path);
        close(fd);
        return -1;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size != CINDEX_FILE_SIZE && !(create && size == 0)) {
        LOG_WARN("Calls index [%s] is %" PRIu64 " bytes long instead of %" PRIu64 ": not used.",
                 path, size, CINDEX_FILE_SIZE);
        close(fd);
        return -1;
    }
    if (create) {
        int err = posix_fallocate(fd, 0, static_cast<off_t>(CINDEX_FILE_SIZE));
        if (err != 0) {
            errno = err;
            LOG_SYSERR_PATH("posix_fallocate", path);
            // A new file must not stay half grown: any other size is no index.
            if (size == 0 && ftruncate(fd, 0) != 0)
                LOG_SYSERR_PATH("ftruncate", path);
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Calls `fn(slots)` on the read-only map of the index; -1 when there is none.
template <typename Fn> int cindex_read(uint64_t agent_id, uint32_t day, Fn fn) {
    cindex_slot *slots = cindex_open(agent_id, day, false);
    if (slots == nullptr)
        return -1;
    fn(slots);
    return cindex_close(slots);
}

} // namespace

cindex_slot *cindex_open(uint64_t agent_id, uint32_t day, bool create) {
    char path[CINDEX_PATH_MAX];
    cindex_path(path, agent_id, day);
    int fd = cindex_open_fd(path, create);
    if (fd < 0)
        return nullptr;
    void *map = mmap(nullptr, CINDEX_FILE_SIZE, create ? PROT_READ | PROT_WRITE : PROT_READ,
                     MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        LOG_SYSERR_PATH("mmap", path);
    close(fd);
    return map == MAP_FAILED ? nullptr : static_cast<cindex_slot *>(map);
}

int cindex_close(cindex_slot *slots) {
    if (slots == nullptr || munmap(slots, CINDEX_FILE_SIZE) == 0)
        return 0;
    LOG_SYSERR("munmap");
    return -1;
}

void cindex_put(cindex_slot *slots, uint64_t offset, uint64_t hour, uint64_t minute,
                uint64_t second) {
    if (slots == nullptr)
        return;
    cindex_slot *s = slot_at(slots, hour, minute, second);
    const uint64_t count = field_load(&s->count);
    if (count == 0)
        field_store(&s->offset, offset);
    field_store(&s->count, count + 1);
}

void cindex_unput(cindex_slot *slots, uint64_t offset, uint64_t hour, uint64_t minute,
                  uint64_t second) {
    if (slots == nullptr)
        return;
    cindex_slot *s = slot_at(slots, hour, minute, second);
    const uint64_t count = field_load(&s->count);
    if (count == 0)
        return;
    field_store(&s->count, count - 1);
    if (count == 1 && field_load(&s->offset) == offset)
        field_store(&s->offset, 0);
}

void cindex_clear_hour(cindex_slot *slots, uint64_t hour) {
    if (slots == nullptr)
        return;
    cindex_slot *first = slot_at(slots, hour, 0, 0);
    for (uint64_t i = 0; i < SLOTS_PER_HOUR; i++) {
        field_store(&first[i].count, 0);
        field_store(&first[i].offset, 0);
    }
}

int cindex_first_offset(uint64_t *offset, uint64_t agent_id, uint32_t day, uint64_t hour,
                        uint64_t minute, uint64_t second) {
    uint64_t best = UINT64_MAX;
    int rc = cindex_read(agent_id, day, [&](cindex_slot *slots) {
        cindex_slot *s = slot_at(slots, hour, minute, second);
        cindex_slot *end = slot_at(slots, hour, 0, 0) + SLOTS_PER_HOUR;
        for (; s < end; s++) {
            const uint64_t at = field_load(&s->offset);
            if (field_load(&s->count) != 0 && at < best)
                best = at;
        }
    });
    *offset = rc == 0 && best != UINT64_MAX ? best : 0;
    return rc;
}

int cindex_count(uint64_t *count, uint64_t agent_id, uint32_t day, uint64_t hour, uint32_t first,
                 uint32_t last) {
    *count = 0;
    return cindex_read(agent_id, day, [&](cindex_slot *slots) {
        const cindex_slot *s = slot_at(slots, hour, 0, 0);
        for (uint64_t i = first; i <= last && i < SLOTS_PER_HOUR; i++)
            *count += field_load(&s[i].count);
    });
}
