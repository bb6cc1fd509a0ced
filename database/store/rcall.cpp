#include "database/store/rcall.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
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
constexpr uint32_t SECONDS_PER_HOUR = 3600;
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

// What stands at a place of an hour file, as the scans and the writer's check of a file
// both see it, so that they agree on which root calls a file holds (the calls index counts
// what the check finds; a scan trusts its counts).
//
// Root calls follow each other; damaged bytes (a bad header, or a record whose count does
// not match what follows it) are skipped up to the next 48-aligned place that holds a
// header with zero padding, the stricter test a place met while searching must pass, so
// that call records are not taken for headers. A record whose count makes it run past the
// end of the file, or past garbage, while a header stands inside it, is damaged too.
struct rc_step {
    enum kind_t { record, skip, more, end } kind;
    uint64_t length;         // record: its length; skip: bytes to skip; more: bytes needed
    bool damaged = false;    // end: the bytes left are damaged, not a root call being appended
    bool next_valid = false; // record: the header behind it has been found valid
};

bool rootcall_strict_ok(const uint8_t *p) {
    const auto *h = reinterpret_cast<const RootCall *>(p);
    return rootcall_valid(h) &&
           std::all_of(std::begin(h->zero), std::end(h->zero), [](uint8_t b) { return b == 0; });
}

// The first place c in [from, to) of the `len` bytes at p (file offset `at`), 48-aligned in
// the file, where a whole header passes the strict test; 0 when there is none.
uint64_t rc_find_header(const uint8_t *p, uint64_t len, uint64_t at, uint64_t from, uint64_t to) {
    for (uint64_t c = from + (RECORD - (at + from) % RECORD) % RECORD; c < to && c + HEADER <= len;
         c += RECORD)
        if (rootcall_strict_ok(p + c))
            return c;
    return 0;
}

// Classifies the `len` bytes read at file offset `at` (`at_end`: they run to the end of the
// file). `searching`: the place is one a search for the next header reached. `max_len`
// bounds what may be asked for to see the header behind a record. `valid`: the header at p
// has been found valid already (as the one behind the record before it).
[[gnu::always_inline]] inline rc_step rc_next(const uint8_t *p, uint64_t len, uint64_t at,
                                              bool at_end, bool searching, uint64_t max_len,
                                              bool valid = false) {
    if (len < HEADER)
        return {at_end ? rc_step::end : rc_step::more, HEADER};
    const auto *h = reinterpret_cast<const RootCall *>(p);
    if (!valid && (searching ? !rootcall_strict_ok(p) : !rootcall_valid(h))) {
        if (uint64_t q = rc_find_header(p, len, at, RECORD, UINT64_MAX))
            return {rc_step::skip, q};
        if (at_end)
            return {rc_step::end, len, true};
        // Not found among the bytes read: the search goes on from the first place not tried.
        const uint64_t c = std::max(RECORD, len - HEADER + 1);
        return {rc_step::skip, c + (RECORD - (at + c) % RECORD) % RECORD};
    }
    const uint64_t length = rootcall_length(be16toh(h->n));
    if (len < length) {
        if (!at_end)
            return {rc_step::more, length};
        // The file ends inside it: a record being appended, unless a header stands inside.
        if (uint64_t q = rc_find_header(p, len, at, RECORD, len))
            return {rc_step::skip, q};
        return {rc_step::end, len};
    }
    if (len - length >= HEADER) {
        if (rootcall_valid(reinterpret_cast<const RootCall *>(p + length)))
            return {rc_step::record, length, false, true};
        if (uint64_t q = rc_find_header(p, len, at, RECORD, length))
            return {rc_step::skip, q};
    } else if (!at_end && length + HEADER <= max_len) {
        return {rc_step::more, length + HEADER};
    }
    return {rc_step::record, length};
}

// Whether a root of time t lies in the seconds the range touches, which is what the calls
// index counts for it.
bool in_range_seconds(uint64_t t, const uint64_t range[2]) {
    return t / 1000 >= range[0] / 1000 && t / 1000 <= range[1] / 1000;
}

// Bytes of an hour file a scan reads first. A scan that ends early (a record limit, a range
// that ends within the hour) then reads little more than it hands out; every further read
// doubles, up to SCAN_READ_MAX: larger reads save no time, and the part of the buffer they
// would touch no longer stays in the processor's cache. Only a record longer than that is
// read whole at once.
constexpr uint64_t SCAN_FIRST_READ = 64 * 1024;
constexpr uint64_t SCAN_READ_MAX = 256 * 1024;

struct scan_state {
    uint64_t offset; // file offset of the buffer's first byte
    uint32_t file_id;
    const uint64_t *range;
    void *ctx;
    csp_scan_cb cb;
    uint64_t expected;
    uint64_t seen;
    bool place_calls;
    uint32_t buffer_size;
    bool searching; // skipping damaged bytes, from damage_at on
    uint64_t damage_at;
};

// `stalled`: no whole record at the scan's offset among the bytes read.
enum class scan_step { more, stalled, done };

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
        for (uint16_t i = 0; s.place_calls && i < n; i++)
            call_record_place(&calls[i], ext_offset, s.file_id);
        rcall rc{calls, &root, nullptr, 0, be32toh(h.thread), be16toh(h.exceptions), n};
        if (s.cb(s.ctx, at, ext_offset, be32toh(h.ext_length), &rc) == 1)
            return true;
    }
    return in_range_seconds(root.TSTAMP, s.range) && ++s.seen >= s.expected;
}

// Walks the whole records among the `got` bytes read into buf (`at_end`: the read met the
// end of the file) and moves the scan's offset past them and past damaged bytes; *need is
// what must be read from the new offset on to go further.
scan_step scan_buffer(scan_state &s, uint8_t *buf, uint64_t got, bool at_end, uint64_t *need) {
    uint64_t pos = 0;
    *need = HEADER;
    bool valid = false;
    for (;;) {
        const uint64_t at = s.offset + pos;
        const rc_step st =
            rc_next(buf + pos, got - pos, at, at_end, s.searching, s.buffer_size, valid);
        valid = st.next_valid;
        if (st.kind == rc_step::more) {
            *need = st.length;
            break;
        }
        if (st.kind == rc_step::end) {
            if (st.damaged && !s.searching)
                s.damage_at = at;
            if (s.searching || st.damaged)
                LOG_DEBUG("Damaged bytes of an hour file from offset %" PRIu64
                          " to its end (%" PRIu64 " bytes) skipped.",
                          s.damage_at, at + st.length - s.damage_at);
            return scan_step::done;
        }
        if (st.kind == rc_step::skip) {
            if (!s.searching)
                s.damage_at = at;
            s.searching = true;
            pos += st.length;
            continue;
        }
        if (s.searching)
            LOG_DEBUG("Damaged bytes of an hour file at offset %" PRIu64 " (%" PRIu64
                      " bytes) skipped.",
                      s.damage_at, at - s.damage_at);
        s.searching = false;
        if (scan_record(s, buf + pos, at))
            return scan_step::done;
        pos += st.length;
    }
    s.offset += pos;
    return pos == 0 ? scan_step::stalled : scan_step::more;
}

// Where a write of a root call failed: the call, the file and the errno value, told in the
// agent's loss line.
struct mc_failure {
    const char *call = nullptr;
    char path[RCALL_PATH_MAX] = {};
    int err = 0;

    // Records the failed call with the current errno; -1.
    int set(const char *failed, const char *file) {
        return set_err(failed, file, errno);
    }
    int set_err(const char *failed, const char *file, int e) {
        call = failed;
        snprintf(path, sizeof path, "%s", file != nullptr ? file : "");
        err = e;
        return -1;
    }
};

// Opens (creating) a file of the hour for appending and takes its size. 0 or -1.
int mc_open(const char *path, int access, int32_t *fd, uint64_t *size, mc_failure *fail) {
    int f = open(path, access | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (f < 0)
        return fail->set("open", path);
    off_t end = lseek(f, 0, SEEK_END);
    if (end < 0) {
        fail->set("lseek", path);
        close(f);
        return -1;
    }
    *fd = f;
    *size = static_cast<uint64_t>(end);
    return 0;
}

// What the walk of an hour file found in each second of its hour: the first root call
// stored for it and how many were stored, as the calls index should say.
using hour_slots = std::vector<cindex_slot>;

// Brings the index of the hour in line with what the file holds; logged when it differed.
void mc_index_align(cindex_slot *index, uint32_t hour, const hour_slots &found, const char *path) {
    uint64_t counted = 0, held = 0;
    bool differs = false;
    for (uint32_t s = 0; s < SECONDS_PER_HOUR; s++) {
        const cindex_slot have = cindex_get(index, hour, s);
        counted += have.count;
        held += found[s].count;
        differs = differs || have.count != found[s].count ||
                  (found[s].count != 0 && have.offset != found[s].offset);
    }
    if (!differs)
        return;
    LOG_WARN("Calls index of %s rebuilt: it counted %" PRIu64 " root calls, the file holds %" PRIu64
             ".",
             path, counted, held);
    for (uint32_t s = 0; s < SECONDS_PER_HOUR; s++)
        cindex_set(index, hour, s, found[s]);
}

// Reads the hour file from `pos` into buf: at least `need` bytes when the file holds them.
// The number of bytes read, or -1.
ssize_t mc_check_read(int fd, std::vector<uint8_t> &buf, uint64_t pos, uint64_t size,
                      uint64_t need) {
    const uint64_t want = std::min<uint64_t>(std::max<uint64_t>(TAIL_CHUNK, need), size - pos);
    if (buf.size() < want)
        buf.resize(want);
    return io_pread_full(fd, buf.data(), want, pos);
}

// Appends zero bytes to an hour file of *size bytes up to the next multiple of a record's
// size, so that what is appended behind damaged bytes starts where a scan looks for it.
int mc_pad(int fd, const char *path, uint64_t *size, mc_failure *fail) {
    const uint64_t pad = (RECORD - *size % RECORD) % RECORD;
    const uint8_t zeros[RECORD] = {};
    if (pad != 0 && io_write_all(fd, zeros, pad) != 0)
        return fail->set("write", path);
    *size += pad;
    return 0;
}

// Walks the stored root calls of an hour file of *size bytes, opened for this process's first
// append to it (`repair`), or read to make a calls index anew. Damaged bytes stay where they
// are: scans skip them as this walk does, so the root calls behind them stay readable, and
// the repair tells them once, with where they lie. With `repair`, an incomplete root call at
// the end (left by a process that died while appending) is cut off, and a file that ends in
// damaged bytes is padded to a record boundary, so that what is appended next is reached.
// The day's index is then made to count exactly the root calls a scan finds. 0, or -1 when
// reading or writing fails.
int mc_check_file(int fd, const char *path, uint64_t *size, uint32_t hour, cindex_slot *index,
                  mc_failure *fail, bool repair = true) {
    std::vector<uint8_t> buf;
    hour_slots found(SECONDS_PER_HOUR, cindex_slot{0, 0});
    uint64_t pos = 0;      // where the walk stands
    uint64_t chunk_at = 0; // file offset of buf
    uint64_t chunk_len = 0;
    uint64_t need = HEADER;
    bool searching = false;
    uint64_t damage_at = 0;
    for (;;) {
        if (pos < chunk_at || pos + need > chunk_at + chunk_len) {
            const ssize_t got = mc_check_read(fd, buf, pos, *size, need);
            if (got < 0)
                return fail->set("pread", path);
            chunk_at = pos;
            chunk_len = static_cast<uint64_t>(got);
        }
        const uint64_t in = pos - chunk_at;
        const rc_step st = rc_next(buf.data() + in, chunk_len - in, pos,
                                   chunk_at + chunk_len >= *size, searching, CSP_SCAN_BUFFER_SIZE);
        need = HEADER;
        if (st.kind == rc_step::end) {
            if (st.damaged && !searching)
                damage_at = pos;
            searching = searching || st.damaged;
            break;
        }
        if (st.kind == rc_step::more) {
            need = st.length;
            chunk_len = 0; // read again from pos
            continue;
        }
        if (st.kind == rc_step::skip) {
            if (!searching)
                damage_at = pos;
            searching = true;
            pos += st.length;
            continue;
        }
        if (searching && repair)
            LOG_ERROR("Hour file %s: %" PRIu64 " damaged bytes at offset %" PRIu64
                      " skipped; the root calls behind them are kept.",
                      path, pos - damage_at, damage_at);
        searching = false;
        RootCall h;
        memcpy(&h, buf.data() + in, HEADER);
        const uint64_t t = be64toh(h.root.TSTAMP);
        if (t / HOUR_MS % 24 == hour) {
            cindex_slot &f = found[t % HOUR_MS / 1000];
            if (f.count++ == 0)
                f.offset = pos;
        }
        pos += st.length;
    }
    if (repair && searching) {
        LOG_ERROR("Hour file %s: %" PRIu64 " damaged bytes at offset %" PRIu64
                  " skipped, up to its end.",
                  path, *size - damage_at, damage_at);
        if (mc_pad(fd, path, size, fail) != 0)
            return -1;
    } else if (repair && pos < *size) {
        LOG_WARN("Hour file %s ends inside a root call: cut from %" PRIu64 " to %" PRIu64 " bytes.",
                 path, *size, pos);
        if (ftruncate(fd, static_cast<off_t>(pos)) != 0)
            return fail->set("ftruncate", path);
        *size = pos;
    }
    mc_index_align(index, hour, found, path);
    return 0;
}

bool mc_is_checked(const dbs_mc_state *mc, uint64_t hour, uint64_t size) {
    return std::any_of(std::begin(mc->checked), std::end(mc->checked),
                       [&](const dbs_mc_checked &c) { return c.hour == hour && c.size == size; });
}

// Remembers that the hour file holds `size` bytes of whole root calls, counted by the index.
void mc_remember(dbs_mc_state *mc, uint64_t hour, uint64_t size) {
    auto *end = std::end(mc->checked) - 1;
    auto *it = std::find_if(std::begin(mc->checked), end,
                            [&](const dbs_mc_checked &c) { return c.hour == hour; });
    std::move_backward(std::begin(mc->checked), it, it + 1);
    mc->checked[0] = {hour, size};
}

void mc_forget(dbs_mc_state *mc, uint64_t hour) {
    for (dbs_mc_checked &c : mc->checked)
        if (c.hour == hour)
            c = {};
}

// The index map another open hour of the same day holds, or NULL.
cindex_slot *mc_day_index(const dbs_mc_state *mc, uint64_t day, const dbs_mc_hour *except) {
    for (const dbs_mc_hour &o : mc->open)
        if (&o != except && o.hour != MC_NO_HOUR && o.hour / 24 == day && o.index != nullptr)
            return o.index;
    return nullptr;
}

// Makes a new calls index for the day in place of a file of the wrong size, which no reader
// uses: the hour files of the day that exist are walked for it. NULL when that fails.
cindex_slot *mc_index_remake(dbs_agent *a, uint32_t day, mc_failure *fail) {
    char path[CINDEX_PATH_MAX];
    cindex_path(path, a->id, day);
    LOG_WARN("Calls index %s is not %" PRIu64 " bytes long: made anew from the day's hour files.",
             path, CINDEX_FILE_SIZE);
    if (unlink(path) != 0 && errno != ENOENT) {
        fail->set("unlink", path);
        return nullptr;
    }
    int err;
    const char *call;
    cindex_slot *index = cindex_map(a->id, day, true, &err, &call);
    if (index == nullptr) {
        fail->set_err(call != nullptr ? call : "size check of", path, err);
        return nullptr;
    }
    for (uint32_t hour = 0; hour < 24; hour++) {
        char hour_path[RCALL_PATH_MAX];
        rcall_path(hour_path, a->id, day, hour, "");
        fd_owner fd(open(hour_path, O_RDONLY | O_CLOEXEC));
        struct stat st;
        if (!fd.valid() || fstat(fd.get(), &st) != 0)
            continue;
        auto size = static_cast<uint64_t>(st.st_size);
        if (mc_check_file(fd.get(), hour_path, &size, hour, index, fail, false) != 0) {
            (void)cindex_close(index);
            return nullptr;
        }
    }
    return index;
}

// Maps the day's calls index for writing; one of the wrong size is made anew. NULL when it
// cannot be mapped.
cindex_slot *mc_index_map(dbs_agent *a, uint32_t day, mc_failure *fail) {
    int err;
    const char *call;
    cindex_slot *index = cindex_map(a->id, day, true, &err, &call);
    if (index != nullptr)
        return index;
    if (call == nullptr)
        return mc_index_remake(a, day, fail);
    char path[CINDEX_PATH_MAX];
    cindex_path(path, a->id, day);
    fail->set_err(call, path, err);
    return nullptr;
}

// Makes what was written to an open hour durable: its files' data and its index.
int mc_hour_sync(dbs_mc_hour *h) {
    if (!h->dirty)
        return 0;
    int rc = 0;
    for (int32_t fd : {h->data_fd, h->ext_fd}) {
        if (fd >= 0 && fdatasync(fd) != 0) {
            LOG_SYSERR("fdatasync");
            rc = -1;
        }
    }
    if (cindex_sync(h->index) != 0)
        rc = -1;
    h->dirty = rc != 0;
    return rc;
}

// Closes an open hour, first syncing it with `sync`. One whose last append failed
// (`trusted` false) is not remembered as checked, so its next opening checks it again.
int mc_hour_close(dbs_mc_state *mc, dbs_mc_hour *h, bool sync, bool trusted) {
    if (h->hour == MC_NO_HOUR)
        return 0;
    int rc = sync ? mc_hour_sync(h) : 0;
    if (h->data_fd >= 0 && trusted)
        mc_remember(mc, h->hour, h->data_size);
    else
        mc_forget(mc, h->hour);
    for (int32_t fd : {h->data_fd, h->ext_fd}) {
        if (fd >= 0 && close(fd) != 0) {
            LOG_SYSERR("close");
            rc = -1;
        }
    }
    if (mc_day_index(mc, h->hour / 24, h) == nullptr && cindex_close(h->index) != 0)
        rc = -1;
    *h = {};
    return rc;
}

// The open hour `hour_n`, or NULL.
dbs_mc_hour *mc_hour_find(dbs_mc_state *mc, uint64_t hour_n) {
    for (dbs_mc_hour &h : mc->open)
        if (h.hour == hour_n)
            return &h;
    return nullptr;
}

// An entry for a new open hour: a free one, or the one written least recently, closed.
dbs_mc_hour *mc_hour_take(dbs_mc_state *mc) {
    dbs_mc_hour *pick = &mc->open[0];
    for (dbs_mc_hour &h : mc->open) {
        if (h.hour == MC_NO_HOUR)
            return &h;
        if (h.used < pick->used)
            pick = &h;
    }
    // A failed sync or close has been logged; the entry is taken all the same.
    (void)mc_hour_close(mc, pick, true, true);
    return pick;
}

// Opens the files of hour `hour_n` into h: the hour file (checked unless this process left
// it at its present size), its extension file and the day's calls index. 0, or -1 with h
// left unused.
int mc_hour_open(dbs_agent *a, dbs_mc_hour *h, uint64_t hour_n, mc_failure *fail) {
    dbs_mc_state *mc = &a->mc;
    const auto day = static_cast<uint32_t>(hour_n / 24);
    const auto hour = static_cast<uint32_t>(hour_n % 24);
    char path[RCALL_PATH_MAX];
    rcall_path(path, a->id, day, hour, "");
    if (mc_open(path, O_RDWR, &h->data_fd, &h->data_size, fail) != 0)
        return -1;
    h->hour = hour_n;
    char ext_path[RCALL_PATH_MAX];
    rcall_path(ext_path, a->id, day, hour, ".x");
    if (mc_open(ext_path, O_WRONLY, &h->ext_fd, &h->ext_size, fail) != 0) {
        (void)mc_hour_close(mc, h, false, false);
        return -1;
    }
    h->index = mc_day_index(mc, day, h);
    if (h->index == nullptr && (h->index = mc_index_map(a, day, fail)) == nullptr) {
        (void)mc_hour_close(mc, h, false, false);
        return -1;
    }
    // A new file: slots left by an earlier file of the same name (removed since) are void.
    if (h->data_size == 0)
        cindex_clear_hour(h->index, hour);
    else if (!mc_is_checked(mc, hour_n, h->data_size) &&
             mc_check_file(h->data_fd, path, &h->data_size, hour, h->index, fail) != 0) {
        (void)mc_hour_close(mc, h, false, false);
        return -1;
    }
    return 0;
}

// The open hour of hour_n, opened when needed. A root call of a later hour than any before
// first makes the hours written so far durable: the agent has moved on to a new hour.
dbs_mc_hour *mc_hour_for(dbs_agent *a, uint64_t hour_n, mc_failure *fail) {
    dbs_mc_state *mc = &a->mc;
    if (hour_n > mc->newest) {
        if (mc->newest != 0)
            for (dbs_mc_hour &h : mc->open)
                (void)mc_hour_sync(&h); // logged; the next switch or close tries again
        mc->newest = hour_n;
    }
    if (dbs_mc_hour *h = mc_hour_find(mc, hour_n))
        return h;
    dbs_mc_hour *h = mc_hour_take(mc);
    return mc_hour_open(a, h, hour_n, fail) == 0 ? h : nullptr;
}

// The RootCall of a root call whose blob (when it has one) goes to ext_offset of the
// extension file.
void rootcall_make(RootCall *h, const call_record *root, uint32_t thread_id,
                   uint16_t exception_count, uint16_t n, uint64_t ext_offset, uint32_t ext_len) {
    *h = {};
    h->root = *root;
    h->ext_offset = htobe64(ext_len != 0 ? ext_offset : 0);
    h->ext_length = htobe32(ext_len);
    h->thread = htobe32(thread_id);
    h->exceptions = htobe16(exception_count);
    h->n = htobe16(n);
    memcpy(h->magic, ROOTCALL_MAGIC, sizeof h->magic);
}

// Appends one stored root call: the blob (when given) to ext_fd, then the RootCall and the
// n records to data_fd with one gathered write. On a failure both files are cut back and
// the name of the failed call is returned (errno set); NULL on success.
const char *csp_append(uint64_t *data_size, uint64_t *ext_size, int32_t data_fd, int32_t ext_fd,
                       const call_record *root, uint32_t thread_id, uint16_t exception_count,
                       uint16_t n, const call_record *calls, uint32_t ext_len,
                       const void *ext_blob) {
    const bool has_blob = ext_blob != nullptr && ext_len != 0;
    if (has_blob) {
        iovec blob{const_cast<void *>(ext_blob), ext_len};
        if (io_writev_all(ext_fd, &blob, 1) != 0) {
            const int e = errno;
            cut_back(ext_fd, *ext_size);
            errno = e;
            return "write";
        }
        LOG_DEBUG("Extension data stored.");
    }
    RootCall h;
    rootcall_make(&h, root, thread_id, exception_count, n, *ext_size, has_blob ? ext_len : 0);
    iovec iov[2] = {{&h, HEADER}, {const_cast<call_record *>(calls), RECORD * n}};
    if (io_writev_all(data_fd, iov, n != 0 ? 2 : 1) != 0) {
        const int e = errno;
        cut_back(data_fd, *data_size);
        if (has_blob)
            cut_back(ext_fd, *ext_size);
        errno = e;
        return "writev";
    }
    if (has_blob)
        *ext_size += ext_len;
    *data_size += rootcall_length(n);
    return nullptr;
}

// The bytes a root call takes in its hour file.
uint64_t rcall_length(const rcall *rc) {
    return rootcall_length(static_cast<uint16_t>(rc->count - 1));
}

uint32_t rcall_blob_length(const rcall *rc) {
    return rc->ext != nullptr ? rc->ext_length : 0;
}

// The second of the hour of a root time.
uint32_t second_of_hour(uint64_t t) {
    return static_cast<uint32_t>(t % HOUR_MS / 1000);
}

void index_put(cindex_slot *index, uint64_t offset, uint64_t hour_n, uint32_t second) {
    cindex_put(index, offset, hour_n % 24, second / 60, second % 60);
}

void index_unput(cindex_slot *index, uint64_t offset, uint64_t hour_n, uint32_t second) {
    cindex_unput(index, offset, hour_n % 24, second / 60, second % 60);
}

// An append to an open hour failed (the call `failed` on its extension file when `ext`, else
// on its hour file) and was cut back: the hour is closed unchecked (the cut back may have
// failed too, so its next opening checks the file) and the loss counted.
void mc_append_failed(dbs_agent *a, dbs_mc_hour *h, uint64_t roots, const char *failed, bool ext,
                      int err) {
    char path[RCALL_PATH_MAX];
    rcall_path(path, a->id, static_cast<uint32_t>(h->hour / 24),
               static_cast<uint32_t>(h->hour % 24), ext ? ".x" : "");
    (void)mc_hour_close(&a->mc, h, false, false);
    dbs_agent_lost(a, roots, 0, failed, path, err);
}

// Writes the root call to the open hour at once, its index entry put first and taken back
// when it does not reach the file.
int mc_append_now(dbs_agent *a, dbs_mc_hour *h, const rcall *rc, uint64_t t) {
    const uint64_t at = h->data_size;
    const uint32_t second = second_of_hour(t);
    // The index is mapped, so its entry cannot fail.
    index_put(h->index, at, h->hour, second);
    const char *failed = csp_append(
        &h->data_size, &h->ext_size, h->data_fd, h->ext_fd, rc->root, rc->thread, rc->exceptions,
        static_cast<uint16_t>(rc->count - 1), rc->calls, rc->ext_length, rc->ext);
    if (failed != nullptr) {
        const int e = errno;
        index_unput(h->index, at, h->hour, second);
        mc_append_failed(a, h, 1, failed, strcmp(failed, "write") == 0, e);
        return -1;
    }
    h->used = ++a->mc.writes;
    h->dirty = true;
    return 0;
}

// Adds the root call to the batch of the open hour h (the batch is empty or h's).
void mc_batch_add(dbs_mc_batch *b, const dbs_mc_hour *h, const rcall *rc, uint64_t t) {
    const uint32_t blob = rcall_blob_length(rc);
    const uint16_t n = static_cast<uint16_t>(rc->count - 1);
    b->hour = h->hour;
    b->entries.push_back({h->data_size + b->data.size(), second_of_hour(t)});
    RootCall head;
    rootcall_make(&head, rc->root, rc->thread, rc->exceptions, n, h->ext_size + b->ext.size(),
                  blob);
    const auto *hp = reinterpret_cast<const uint8_t *>(&head);
    b->data.insert(b->data.end(), hp, hp + HEADER);
    const auto *cp = reinterpret_cast<const uint8_t *>(rc->calls);
    if (n != 0)
        b->data.insert(b->data.end(), cp, cp + RECORD * n);
    if (blob != 0) {
        const auto *ep = static_cast<const uint8_t *>(rc->ext);
        b->ext.insert(b->ext.end(), ep, ep + blob);
    }
}

void mc_batch_clear(dbs_mc_batch *b) {
    b->hour = MC_NO_HOUR;
    b->data.clear();
    b->ext.clear();
    b->entries.clear();
}

// Writes the batch to the files of its open hour h: the blobs with one write, then the
// root calls with one. 0 with the sizes advanced, or -1 (errno set, *ext_failed telling
// which file failed) with both files cut back.
int mc_batch_write(dbs_mc_hour *h, const dbs_mc_batch *b, bool *ext_failed) {
    *ext_failed = !b->ext.empty() && io_write_all(h->ext_fd, b->ext.data(), b->ext.size()) != 0;
    if (*ext_failed || io_write_all(h->data_fd, b->data.data(), b->data.size()) != 0) {
        const int e = errno;
        if (!*ext_failed)
            cut_back(h->data_fd, h->data_size);
        if (!b->ext.empty())
            cut_back(h->ext_fd, h->ext_size);
        errno = e;
        return -1;
    }
    h->ext_size += b->ext.size();
    h->data_size += b->data.size();
    return 0;
}

// Writes the agent's batch out. Its index entries are put just before, so that the index
// never misses a root call the file holds (it may count one too many after a crash), and
// taken back when the write fails: then the hour is closed and its root calls are lost.
int mc_flush(dbs_agent *a) {
    dbs_mc_batch *b = &a->mc.batch;
    if (b->hour == MC_NO_HOUR)
        return 0;
    // The batch's hour stays open while the batch holds anything: hours are closed or
    // taken over only after a flush.
    dbs_mc_hour *h = mc_hour_find(&a->mc, b->hour);
    if (h == nullptr) {
        // Cannot happen while hours close only after a flush; counted rather than dropped
        // silently should that ever change.
        dbs_agent_lost(a, b->entries.size(), 0, "flush of a closed hour", nullptr, 0);
        mc_batch_clear(b);
        return -1;
    }
    for (const dbs_mc_entry &e : b->entries)
        index_put(h->index, e.offset, h->hour, e.second);
    bool ext_failed;
    const int rc = mc_batch_write(h, b, &ext_failed);
    if (rc != 0) {
        const int e = errno;
        for (auto it = b->entries.rbegin(); it != b->entries.rend(); ++it)
            index_unput(h->index, it->offset, h->hour, it->second);
        mc_append_failed(a, h, b->entries.size(), "write", ext_failed, e);
    } else {
        a->mc.writes += b->entries.size();
        h->used = a->mc.writes;
        h->dirty = true;
    }
    mc_batch_clear(b);
    return rc;
}

// The root time of a root call from the collector, or -1 when it cannot be stored (logged
// or counted as a loss).
int rcall_check(dbs_agent *agent, const rcall *rc, uint64_t *t) {
    if (rc->count == 0 || rc->root == nullptr || rc->count - 1u > MAX_RCALL_CALLS ||
        (rc->count > 1 && rc->calls == nullptr)) {
        LOG_ERROR("Root call of %u calls not stored: 1 to %u calls expected.", rc->count,
                  MAX_RCALL_CALLS + 1);
        return -1;
    }
    *t = be64toh(rc->root->TSTAMP);
    if (*t / DAY_MS > RCALL_MAX_DAY) {
        dbs_agent_lost(agent, 1, 0, "time stamp out of range", nullptr, 0);
        return -1;
    }
    dbs_agent_tell_losses(agent, false);
    return 0;
}

// The open hour of a root call of time t, opened when needed; NULL (the loss counted) when
// it cannot be.
dbs_mc_hour *mc_hour_of(dbs_agent *agent, uint64_t t) {
    mc_failure fail;
    dbs_mc_hour *h = mc_hour_for(agent, t / HOUR_MS, &fail);
    if (h == nullptr)
        dbs_agent_lost(agent, 1, 0, fail.call, fail.path, fail.err);
    return h;
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

int dbs_agent_mc_close(dbs_agent *a) {
    int rc = mc_flush(a);
    for (dbs_mc_hour &h : a->mc.open)
        if (mc_hour_close(&a->mc, &h, true, true) != 0)
            rc = -1;
    a->mc.newest = 0;
    // An agent that went away keeps no batch memory.
    a->mc.batch = {};
    return rc;
}

int dbs_agent_mc_sync(dbs_agent *a) {
    int rc = mc_flush(a);
    for (dbs_mc_hour &h : a->mc.open)
        if (mc_hour_sync(&h) != 0)
            rc = -1;
    return rc;
}

int dbs_agent_mc_flush(dbs_agent *a) {
    return mc_flush(a);
}

uint64_t dbs_agent_mc_batch_bytes(const dbs_agent *a) {
    // Each buffer in use is one allocation, with the allocator's bookkeeping.
    constexpr uint64_t ALLOC = 16;
    const dbs_mc_batch &b = a->mc.batch;
    uint64_t n = 0;
    for (uint64_t bytes : {uint64_t{b.data.capacity()}, uint64_t{b.ext.capacity()},
                           uint64_t{b.entries.capacity() * sizeof(dbs_mc_entry)}})
        n += bytes != 0 ? bytes + ALLOC : 0;
    return n;
}

int dbs_agent_mc_batch_release(dbs_agent *a) {
    const int rc = mc_flush(a);
    a->mc.batch = {};
    return rc;
}

uint32_t dbs_agent_mc_open_hours(const dbs_agent *a) {
    uint32_t n = 0;
    for (const dbs_mc_hour &h : a->mc.open)
        n += h.hour != MC_NO_HOUR;
    return n;
}

int dbs_rcall_save(dbs_agent *agent, const rcall *rc) {
    uint64_t t;
    if (rcall_check(agent, rc, &t) != 0)
        return -1;
    // Root calls gathered before this one go first.
    (void)mc_flush(agent); // a failure is counted and told with the agent's losses
    dbs_mc_hour *h = mc_hour_of(agent, t);
    return h != nullptr ? mc_append_now(agent, h, rc, t) : -1;
}

int dbs_rcall_stage(dbs_agent *agent, const rcall *rc) {
    uint64_t t;
    if (rcall_check(agent, rc, &t) != 0)
        return -1;
    dbs_mc_batch *b = &agent->mc.batch;
    const uint64_t length = rcall_length(rc) + rcall_blob_length(rc);
    // The batch is written when the agent moves to another hour, and before it would grow
    // past its bound.
    if (b->hour != MC_NO_HOUR &&
        (b->hour != t / HOUR_MS || b->data.size() + b->ext.size() + length > MC_BATCH_BYTES))
        (void)mc_flush(agent); // a failure is counted and told with the agent's losses
    dbs_mc_hour *h = mc_hour_of(agent, t);
    if (h == nullptr)
        return -1;
    if (length > MC_BATCH_BYTES)
        return mc_append_now(agent, h, rc, t);
    mc_batch_add(b, h, rc, t);
    return 0;
}

int csp_save_rcall(uint64_t *data_size, uint64_t *ext_size, int32_t data_fd, int32_t ext_fd,
                   const call_record *root, uint32_t thread_id, uint16_t exception_count,
                   uint16_t n, const call_record *calls, uint32_t ext_len, const void *ext_blob) {
    const char *failed = csp_append(data_size, ext_size, data_fd, ext_fd, root, thread_id,
                                    exception_count, n, calls, ext_len, ext_blob);
    if (failed == nullptr)
        return 0;
    LOG_SYSERR(failed);
    return -1;
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
                         uint64_t expected, bool place_calls) {
    auto *buf = static_cast<uint8_t *>(buffer);
    scan_state s{offset, file_id, range, ctx, cb, expected, 0, place_calls, buffer_size, false, 0};
    uint64_t want = std::min<uint64_t>(SCAN_FIRST_READ, buffer_size);
    while (s.seen < s.expected) {
        const ssize_t got = io_pread_full(fd, buf, want, s.offset);
        if (got < 0) {
            LOG_SYSERR("pread");
            return -1;
        }
        uint64_t need;
        // A short read met the end of the file: what follows the whole records is an
        // incomplete one (being appended, or cut off), damaged bytes, or nothing.
        const bool at_end = static_cast<uint64_t>(got) < want;
        const scan_step step = scan_buffer(s, buf, static_cast<uint64_t>(got), at_end, &need);
        if (step == scan_step::done || at_end)
            return 0;
        if (step == scan_step::stalled && need > buffer_size) {
            LOG_ERROR("RootCall record at offset %" PRIu64
                      " does not fit a scan buffer of %u bytes.",
                      s.offset, buffer_size);
            return -1;
        }
        want = std::min<uint64_t>(std::max(std::min(want * 2, SCAN_READ_MAX), need), buffer_size);
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
