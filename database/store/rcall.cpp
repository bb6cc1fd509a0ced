#include "database/store/rcall.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "database/store/agent_state.h"
#include "database/store/cindex.h"
#include "lib/io.h"
#include "lib/log.h"

namespace {

constexpr uint64_t RECORD = sizeof(call_record);
constexpr uint64_t HEADER = sizeof(RootCall);
constexpr uint64_t MINUTE_MS = 60000;
// Read size of the walk that looks for an incomplete root call at the end of an hour file.
constexpr size_t TAIL_CHUNK = size_t{1} << 20;

uint64_t rootcall_length(uint16_t n) {
    return HEADER + RECORD * n;
}

bool rootcall_magic_ok(const RootCall *h) {
    return memcmp(h->magic, ROOTCALL_MAGIC, sizeof h->magic) == 0;
}

bool rootcall_valid(const RootCall *h) {
    return rootcall_magic_ok(h) && be16toh(h->n) <= MAX_RCALL_CALLS;
}

// Reads the RootCall at `offset` and up to n of its calls: bytes read, 0 when the offset
// cannot start a record, -1 on a read error (errno set).
ssize_t read_rcall_at(int fd, uint64_t offset, RootCall *header, call_record *calls, uint16_t n) {
    if (offset % RECORD != 0)
        return 0;
    iovec iov[2] = {{header, HEADER}, {calls, RECORD * n}};
    return io_preadv_full(fd, iov, n != 0 ? 2 : 1, offset);
}

// Cuts a file back to `size` after a failed append.
void cut_back(int fd, uint64_t size) {
    if (ftruncate(fd, static_cast<off_t>(size)) != 0)
        LOG_SYSERR("ftruncate");
}

// Whether a root of time t lies in the seconds the range touches, which is what the calls
// index counts for it.
bool in_range_seconds(uint64_t t, const uint64_t range[2]) {
    return t / 1000 >= range[0] / 1000 && t / 1000 <= range[1] / 1000;
}

struct scan_state {
    uint64_t offset; // file offset of the buffer's first byte
    uint32_t file_id;
    const uint64_t *range;
    void *ctx;
    csp_scan_cb cb;
    uint64_t expected;
    uint64_t seen;
};

enum class scan_step { more, done, failed };

// Hands the whole record at `rec` (file offset `at`) to the callback when its root lies in
// the range. True when the scan ends with it.
bool scan_record(scan_state &s, uint8_t *rec, uint64_t at) {
    RootCall h;
    memcpy(&h, rec, HEADER);
    const uint64_t ext_offset = be64toh(h.ext_offset);
    const uint16_t n = be16toh(h.n);
    call_record root = h.root;
    call_record_place(&root, ext_offset, s.file_id);
    if (root.TSTAMP >= s.range[0] && root.TSTAMP <= s.range[1]) {
        call_record *calls = n != 0 ? reinterpret_cast<call_record *>(rec + HEADER) : nullptr;
        for (uint16_t i = 0; i < n; i++)
            call_record_place(&calls[i], ext_offset, s.file_id);
        rcall rc{calls, &root, nullptr, 0, be32toh(h.thread), be16toh(h.exceptions), n};
        if (s.cb(s.ctx, at, ext_offset, be32toh(h.ext_length), &rc) == 1)
            return true;
    }
    return in_range_seconds(root.TSTAMP, s.range) && ++s.seen >= s.expected;
}

// Walks the whole records among the `got` bytes read into buf and moves the scan's offset
// past them.
scan_step scan_buffer(scan_state &s, uint8_t *buf, uint64_t got, uint32_t buffer_size) {
    uint64_t pos = 0;
    while (got - pos >= HEADER) {
        const auto *h = reinterpret_cast<const RootCall *>(buf + pos);
        if (!rootcall_magic_ok(h)) {
            LOG_ERROR("Invalid RootCall record!");
            return scan_step::done;
        }
        const uint16_t n = be16toh(h->n);
        if (n > MAX_RCALL_CALLS) {
            LOG_ERROR("RootCall data corrupted. Invalid calls count: %u", n);
            return scan_step::done;
        }
        if (got - pos < rootcall_length(n))
            break;
        if (scan_record(s, buf + pos, s.offset + pos))
            return scan_step::done;
        pos += rootcall_length(n);
    }
    if (pos == 0 && got == buffer_size) {
        LOG_ERROR("RootCall record at offset %" PRIu64 " does not fit a scan buffer of %u bytes.",
                  s.offset, buffer_size);
        return scan_step::failed;
    }
    if (pos == 0) // the file ends inside this record, or here
        return scan_step::done;
    s.offset += pos;
    return scan_step::more;
}

// Opens (creating) a file of the hour for appending and takes its size. 0 or -1 (logged).
int mc_open(const char *path, int access, int32_t *fd, uint64_t *size) {
    int f = open(path, access | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (f < 0) {
        LOG_SYSERR_PATH("open", path);
        return -1;
    }
    off_t end = lseek(f, 0, SEEK_END);
    if (end < 0) {
        LOG_SYSERR_PATH("lseek", path);
        close(f);
        return -1;
    }
    *fd = f;
    *size = static_cast<uint64_t>(end);
    return 0;
}

// Walks the stored root calls of an hour file of *size bytes and cuts off an incomplete
// one at its end (a partial header, or a header whose calls the file does not hold), left
// by a process that died while appending. A damaged record is reported and left alone.
// 0, or -1 when reading or truncating fails (logged).
int mc_trim_tail(int fd, const char *path, uint64_t *size) {
    std::vector<uint8_t> buf(TAIL_CHUNK);
    uint64_t pos = 0;      // start of the next record
    uint64_t chunk_at = 0; // file offset of buf
    uint64_t chunk_len = 0;
    while (pos < *size) {
        if (pos + HEADER > chunk_at + chunk_len) {
            ssize_t got =
                io_pread_full(fd, buf.data(), std::min<uint64_t>(TAIL_CHUNK, *size - pos), pos);
            if (got < 0) {
                LOG_SYSERR_PATH("pread", path);
                return -1;
            }
            chunk_at = pos;
            chunk_len = static_cast<uint64_t>(got);
            if (chunk_len < HEADER)
                break;
        }
        RootCall h;
        memcpy(&h, buf.data() + (pos - chunk_at), HEADER);
        if (!rootcall_valid(&h)) {
            LOG_ERROR("Hour file %s is damaged at offset %" PRIu64 ".", path, pos);
            return 0;
        }
        if (*size - pos < rootcall_length(be16toh(h.n)))
            break;
        pos += rootcall_length(be16toh(h.n));
    }
    if (pos == *size)
        return 0;
    LOG_WARN("Hour file %s ends inside a root call: cut from %" PRIu64 " to %" PRIu64 " bytes.",
             path, *size, pos);
    if (ftruncate(fd, static_cast<off_t>(pos)) != 0) {
        LOG_SYSERR_PATH("ftruncate", path);
        return -1;
    }
    *size = pos;
    return 0;
}

bool mc_is_checked(const dbs_agent *a, uint64_t hour, uint64_t size) {
    return std::any_of(std::begin(a->mc_checked), std::end(a->mc_checked),
                       [&](const dbs_mc_checked &c) { return c.hour == hour && c.size == size; });
}

void mc_remember(dbs_agent *a, uint64_t hour, uint64_t size) {
    if (a->mc_checked[0].hour != hour)
        a->mc_checked[1] = a->mc_checked[0];
    a->mc_checked[0] = {hour, size};
}

void mc_forget(dbs_agent *a, uint64_t hour) {
    for (dbs_mc_checked &c : a->mc_checked)
        if (c.hour == hour)
            c = {};
}

// Opens the files of another hour, `hour_n` hours since the epoch.
int mc_switch(dbs_agent *a, uint64_t hour_n, uint32_t day, uint32_t hour) {
    dbs_mc_state *mc = &a->mc;
    // A failed close of the previous hour's files is logged; the new hour opens all the same.
    (void)dbs_agent_mc_close(mc);
    char path[RCALL_PATH_MAX];
    rcall_path(path, a->id, day, hour, "");
    if (mc_open(path, O_RDWR, &mc->data_fd, &mc->data_size) != 0)
        return -1;
    if (!mc_is_checked(a, hour_n, mc->data_size) &&
        mc_trim_tail(mc->data_fd, path, &mc->data_size) != 0) {
        (void)dbs_agent_mc_close(mc);
        return -1;
    }
    rcall_path(path, a->id, day, hour, ".x");
    if (mc_open(path, O_WRONLY, &mc->ext_fd, &mc->ext_size) != 0) {
        (void)dbs_agent_mc_close(mc);
        return -1;
    }
    mc->index = cindex_open(a->id, day, true);
    if (mc->data_size == 0)
        cindex_clear_hour(mc->index, hour);
    mc->hour = hour_n;
    mc_remember(a, hour_n, mc->data_size);
    return 0;
}

} // namespace

void call_record_swap(call_record *c) {
    c->TSTAMP = be64toh(c->TSTAMP);
    c->ext = be64toh(c->ext);
    c->file_id = be32toh(c->file_id);
    c->CLASS = be32toh(c->CLASS);
    c->METHOD = be32toh(c->METHOD);
    c->EXCEPTION = be32toh(c->EXCEPTION);
    c->CORDER = be32toh(c->CORDER);
    c->AUX = be32toh(c->AUX);
    c->DUR = be32toh(c->DUR);
    c->SDEPTH = be16toh(c->SDEPTH);
    c->flags = be16toh(c->flags);
}

void call_record_place(call_record *c, uint64_t ext_offset, uint32_t file_id) {
    call_record_swap(c);
    c->ext = (c->ext & ~EXT_BLOCK_MASK) | ((c->ext + ext_offset) & EXT_BLOCK_MASK);
    c->file_id = file_id;
}

void rcall_path(char *buf, uint64_t agent_id, uint32_t day, uint32_t hour, const char *suffix) {
    snprintf(buf, RCALL_PATH_MAX, "storage.db/data/%016" PRIX64 "/mc/%u.%u%s", agent_id, day, hour,
             suffix);
}

int dbs_agent_mc_close(dbs_mc_state *mc) {
    int rc = 0;
    for (int32_t fd : {mc->data_fd, mc->ext_fd}) {
        if (fd >= 0 && close(fd) != 0) {
            LOG_SYSERR("close");
            rc = -1;
        }
    }
    if (cindex_close(mc->index) != 0)
        rc = -1;
    mc->data_fd = -1;
    mc->ext_fd = -1;
    mc->index = nullptr;
    mc->hour = 0;
    mc->data_size = 0;
    mc->ext_size = 0;
    return rc;
}

int dbs_rcall_save(dbs_agent *agent, const rcall *rc) {
    if (rc->count == 0 || rc->root == nullptr || rc->count - 1u > MAX_RCALL_CALLS ||
        (rc->count > 1 && rc->calls == nullptr)) {
        LOG_ERROR("Root call of %u calls not stored: 1 to %u calls expected.", rc->count,
                  MAX_RCALL_CALLS + 1);
        return -1;
    }
    const uint64_t t = be64toh(rc->root->TSTAMP);
    if (t / DAY_MS > RCALL_MAX_DAY) {
        LOG_ERROR("Root call not stored: time stamp %" PRIu64 " out of range.", t);
        return -1;
    }
    const uint64_t hour_n = t / HOUR_MS;
    const auto day = static_cast<uint32_t>(t / DAY_MS);
    const auto hour = static_cast<uint32_t>(t % DAY_MS / HOUR_MS);
    const uint64_t minute = t % HOUR_MS / MINUTE_MS;
    const uint64_t second = t % MINUTE_MS / 1000;
    dbs_mc_state *mc = &agent->mc;
    if ((mc->hour != hour_n || mc->data_fd < 0) && mc_switch(agent, hour_n, day, hour) != 0)
        return -1;
    const uint64_t at = mc->data_size;
    const auto n = static_cast<uint16_t>(rc->count - 1);
    // Counted before it is written: the index may count a root call that never made it to
    // the file (a reader then scans on to the end), but never misses one that did.
    cindex_put(mc->index, at, hour, minute, second);
    if (csp_save_rcall(&mc->data_size, &mc->ext_size, mc->data_fd, mc->ext_fd, rc->root, rc->thread,
                       rc->exceptions, n, rc->calls, rc->ext_length, rc->ext) != 0) {
        cindex_unput(mc->index, at, hour, minute, second);
        // The cut back may have failed too: the next root call reopens and checks the file.
        mc_forget(agent, hour_n);
        (void)dbs_agent_mc_close(mc);
        return -1;
    }
    mc_remember(agent, hour_n, mc->data_size);
    return 0;
}

int csp_save_rcall(uint64_t *data_size, uint64_t *ext_size, int32_t data_fd, int32_t ext_fd,
                   const call_record *root, uint32_t thread_id, uint16_t exception_count,
                   uint16_t n, const call_record *calls, uint32_t ext_len, const void *ext_blob) {
    const bool has_blob = ext_blob != nullptr && ext_len != 0;
    if (has_blob) {
        iovec blob{const_cast<void *>(ext_blob), ext_len};
        if (io_writev_all(ext_fd, &blob, 1) != 0) {
            LOG_SYSERR("write");
            cut_back(ext_fd, *ext_size);
            return -1;
        }
        LOG_DEBUG("Extension data stored.");
    }
    RootCall h{};
    h.root = *root;
    h.ext_offset = htobe64(has_blob ? *ext_size : 0);
    h.ext_length = htobe32(has_blob ? ext_len : 0);
    h.thread = htobe32(thread_id);
    h.exceptions = htobe16(exception_count);
    h.n = htobe16(n);
    memcpy(h.magic, ROOTCALL_MAGIC, sizeof h.magic);
    iovec iov[2] = {{&h, HEADER}, {const_cast<call_record *>(calls), RECORD * n}};
    if (io_writev_all(data_fd, iov, n != 0 ? 2 : 1) != 0) {
        LOG_SYSERR("writev");
        cut_back(data_fd, *data_size);
        if (has_blob)
            cut_back(ext_fd, *ext_size);
        return -1;
    }
    if (has_blob)
        *ext_size += ext_len;
    *data_size += rootcall_length(n);
    return 0;
}

int csp_get_rcall_stack(int32_t fd, uint64_t offset, uint16_t n, RootCall *header,
                        call_record *calls) {
    ssize_t got = read_rcall_at(fd, offset, header, calls, n);
    if (got < 0) {
        LOG_SYSERR("preadv");
        return -1;
    }
    if (static_cast<uint64_t>(got) < HEADER || !rootcall_valid(header)) {
        LOG_WARN("No RootCall record at offset %" PRIu64 ".", offset);
        return -1;
    }
    if (be16toh(header->n) != n) {
        LOG_WARN("Invalid calls count: %u != %u.", n, be16toh(header->n));
        return -1;
    }
    if (static_cast<uint64_t>(got) < rootcall_length(n)) {
        LOG_WARN("RootCall record at offset %" PRIu64 " is cut short.", offset);
        return -1;
    }
    return 0;
}

int csp_rcall_present(uint64_t agent_id, uint32_t day, uint32_t hour, uint64_t offset) {
    char path[RCALL_PATH_MAX];
    rcall_path(path, agent_id, day, hour, "");
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    RootCall h;
    ssize_t got = read_rcall_at(fd, offset, &h, nullptr, 0);
    close(fd);
    return got == static_cast<ssize_t>(HEADER) && rootcall_valid(&h);
}

int cindex_find(uint64_t *offset, uint64_t agent_id, uint32_t day, uint64_t hour, uint64_t minute,
                uint64_t second) {
    uint64_t best = 0;
    const int rc = cindex_first_offset(&best, agent_id, day, hour, minute, second);
    *offset = 0;
    if (rc != 0 || best == 0)
        return rc;
    if (!csp_rcall_present(agent_id, day, static_cast<uint32_t>(hour % 24), best)) {
        LOG_WARN("Invalid scall record offset.");
        return -1;
    }
    *offset = best;
    return 0;
}

int csp_scan_rcall_stack(int32_t fd, uint64_t offset, uint32_t file_id, const uint64_t range[2],
                         uint32_t buffer_size, void *buffer, void *ctx, csp_scan_cb cb,
                         uint64_t expected) {
    auto *buf = static_cast<uint8_t *>(buffer);
    scan_state s{offset, file_id, range, ctx, cb, expected, 0};
    while (s.seen < s.expected) {
        ssize_t got = io_pread_full(fd, buf, buffer_size, s.offset);
        if (got < 0) {
            LOG_SYSERR("pread");
            return -1;
        }
        scan_step step = scan_buffer(s, buf, static_cast<uint64_t>(got), buffer_size);
        if (step != scan_step::more)
            return step == scan_step::failed ? -1 : 0;
    }
    return 0;
}

uint64_t csp_scan_expected(uint64_t agent_id, uint32_t file_id, const uint64_t range[2]) {
    const uint32_t day = file_id >> 5;
    const uint32_t hour = file_id & 31;
    const uint64_t start = day * DAY_MS + hour * HOUR_MS;
    // A range that runs to the end of the hour leaves no record of the file past it.
    if (hour > 23 || range[1] >= start + HOUR_MS - 1)
        return CSP_SCAN_ALL;
    const uint64_t from = std::max(range[0], start);
    if (range[1] < from)
        return 0;
    uint64_t count;
    if (cindex_count(&count, agent_id, day, hour, static_cast<uint32_t>((from - start) / 1000),
                     static_cast<uint32_t>((range[1] - start) / 1000)) != 0)
        return CSP_SCAN_ALL;
    return count;
}
