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

// Why an index could not be mapped: the failed call and its errno value, or (call NULL)
// a file of the wrong size.
struct cindex_failure {
    const char *call;
    int err;
    uint64_t size;
};

// Opens the file, checks its size and, when creating, allocates its blocks. The descriptor,
// or -1 with *why filled.
int cindex_open_fd(const char *path, bool create, cindex_failure *why) {
    int fd = open(path, create ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = {"open", errno, 0};
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = {"fstat", errno, 0};
        close(fd);
        return -1;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size != CINDEX_FILE_SIZE && !(create && size == 0)) {
        *why = {nullptr, EINVAL, size};
        close(fd);
        return -1;
    }
    if (create) {
        int err = posix_fallocate(fd, 0, static_cast<off_t>(CINDEX_FILE_SIZE));
        if (err != 0) {
            *why = {"posix_fallocate", err, 0};
            // A new file must not stay half grown: any other size is no index.
            if (size == 0 && ftruncate(fd, 0) != 0)
                LOG_SYSERR_PATH("ftruncate", path);
            close(fd);
            return -1;
        }
    }
    return fd;
}

cindex_slot *cindex_map_path(const char *path, bool create, cindex_failure *why) {
    int fd = cindex_open_fd(path, create, why);
    if (fd < 0)
        return nullptr;
    void *map = mmap(nullptr, CINDEX_FILE_SIZE, create ? PROT_READ | PROT_WRITE : PROT_READ,
                     MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        *why = {"mmap", errno, 0};
    close(fd);
    return map == MAP_FAILED ? nullptr : static_cast<cindex_slot *>(map);
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

void cindex_path(char *buf, uint64_t agent_id, uint32_t day) {
    snprintf(buf, CINDEX_PATH_MAX, "storage.db/data/%016" PRIX64 "/%s/%u.index", agent_id, "mc",
             day);
}

cindex_slot *cindex_open(uint64_t agent_id, uint32_t day, bool create) {
    char path[CINDEX_PATH_MAX];
    cindex_path(path, agent_id, day);
    cindex_failure why{};
    cindex_slot *slots = cindex_map_path(path, create, &why);
    if (slots != nullptr)
        return slots;
    if (why.call == nullptr) {
        LOG_WARN("Calls index [%s] is %" PRIu64 " bytes long instead of %" PRIu64 ": not used.",
                 path, why.size, CINDEX_FILE_SIZE);
    } else if (why.err == ENOENT && !create) {
        LOG_WARN("Calls index [%s] does not exist.", path);
    } else {
        errno = why.err;
        LOG_SYSERR_PATH(why.call, path);
    }
    return nullptr;
}

cindex_slot *cindex_map(uint64_t agent_id, uint32_t day, bool create, int *err, const char **call) {
    char path[CINDEX_PATH_MAX];
    cindex_path(path, agent_id, day);
    cindex_failure why{};
    cindex_slot *slots = cindex_map_path(path, create, &why);
    *err = slots != nullptr ? 0 : why.err;
    *call = why.call;
    return slots;
}

int cindex_sync(cindex_slot *slots) {
    if (slots == nullptr || msync(slots, CINDEX_FILE_SIZE, MS_SYNC) == 0)
        return 0;
    LOG_SYSERR("msync");
    return -1;
}

cindex_slot cindex_get(const cindex_slot *slots, uint64_t hour, uint32_t second) {
    const cindex_slot *s = &slots[hour % 24 * SLOTS_PER_HOUR + second % SLOTS_PER_HOUR];
    return {field_load(&s->offset), field_load(&s->count)};
}

void cindex_set(cindex_slot *slots, uint64_t hour, uint32_t second, cindex_slot value) {
    cindex_slot *s = &slots[hour % 24 * SLOTS_PER_HOUR + second % SLOTS_PER_HOUR];
    field_store(&s->offset, value.offset);
    field_store(&s->count, value.count);
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
