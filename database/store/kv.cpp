#include "database/store/kv.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <endian.h>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <span>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/store/agent_state.h"
#include "lib/files.h"
#include "lib/clock.h"
#include "lib/format.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/xalloc.h"

namespace {

constexpr const char *AGENTS_DIR = "storage.db/data";
constexpr const char *STAGE = "/stages/stage";
constexpr const char *UNSTAGE = "/stages/unstage";
constexpr const char *JOURNAL = "/stages/journal";

// A range of more days than this is walked over the day files that exist rather than day
// by day, so that a request for a huge range costs one directory listing.
constexpr uint64_t KV_DAY_WALK_MAX = 4096;

// "storage.db/data/<agent>/kv<suffix>"; every suffix used here fits.
struct kv_path {
    char text[96];
    kv_path(uint64_t aid, const char *suffix) {
        snprintf(text, sizeof text, "%s/%016lX/kv%s", AGENTS_DIR, aid, suffix);
    }
};

// "storage.db/data/<agent>/kv/<day>.<key>".
struct kv_day_path {
    char text[96];
    kv_day_path(uint64_t aid, uint32_t day, uint32_t key) {
        snprintf(text, sizeof text, "%s/%016lX/kv/%u.%u", AGENTS_DIR, aid, day, key);
    }
};

// Head of the journal written while a staging file is moved: which staging file (its
// inode and size) the day file sizes that follow belong to. Host byte order.
struct kv_journal_head {
    uint64_t stage_ino;
    uint64_t stage_size;
};
static_assert(sizeof(kv_journal_head) == 16);

// A day file's size before the move began. Host byte order.
struct kv_journal_entry {
    uint32_t day;
    uint32_t key;
    uint64_t size;
};
static_assert(sizeof(kv_journal_entry) == 16);

// The staging records that go to one day file: same key, same day.
struct kv_group {
    uint32_t day;
    uint32_t key;
    size_t begin;
    size_t end;
};

uint32_t kv_day_of(uint64_t time_ms) {
    return static_cast<uint32_t>(time_ms / DAY_MS);
}

// True when `name` is a day file name "<day>.<key>".
bool kv_parse_day_name(const char *name, uint32_t *day, uint32_t *key) {
    return parse_u32_prefix(&name, day) && *name++ == '.' && parse_u32_prefix(&name, key) &&
           *name == '\0';
}

// Cuts a partial record off the end of the file open as fd, left by an interrupted or
// failed write, so that the next append starts on a record boundary. The size kept, or -1
// when the file cannot be measured or cut (logged).
int64_t trim_to_records(int fd, const char *path, uint64_t record) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG_SYSERR_PATH("fstat", path);
        return -1;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    const uint64_t whole = size - size % record;
    if (whole == size)
        return static_cast<int64_t>(size);
    LOG_WARN("%s ends inside a record: cut from %" PRIu64 " to %" PRIu64 " bytes.", path, size,
             whole);
    if (ftruncate(fd, static_cast<off_t>(whole)) != 0) {
        LOG_SYSERR_PATH("ftruncate", path);
        return -1;
    }
    return static_cast<int64_t>(whole);
}

// ---- staging ------------------------------------------------------------------------------

// Closes the open stage file. -1 when the close fails (logged).
int kv_stage_close(dbs_kv_state *kv) {
    int rc = 0;
    if (kv->stage_fd >= 0 && close(kv->stage_fd) != 0) {
        LOG_SYSERR("close");
        rc = -1;
    }
    kv->stage_fd = -1;
    kv->stage_size = 0;
    kv->staged = 0;
    return rc;
}

// Opens the agent's stage file for appending, cut to whole records. 0, or -1 with the
// failed call in *call (errno set).
int kv_stage_open(dbs_agent *a, const char **call) {
    kv_path path(a->id, STAGE);
    int fd = open(path.text, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *call = "open";
        return -1;
    }
    const int64_t size = trim_to_records(fd, path.text, sizeof(kv_stage_rec));
    if (size < 0) {
        const int e = errno;
        close(fd);
        errno = e;
        *call = "ftruncate";
        return -1;
    }
    a->kv.stage_fd = fd;
    a->kv.stage_size = static_cast<uint64_t>(size);
    a->kv.staged = 0;
    return 0;
}

// Hands the full stage to the maintainer as "unstage", unless the previous one is still
// there. 0 when it was handed over; -1 (logged) when it could not be, and the samples go on
// to whichever stage is open.
int kv_stage_rotate(dbs_agent *a) {
    kv_path unstage(a->id, UNSTAGE);
    struct stat st;
    if (stat(unstage.text, &st) == 0) {
        LOG_WARN("Unstage file still exists!");
        return -1;
    }
    if (errno != ENOENT) {
        LOG_SYSERR("stat");
        return -1;
    }
    int rc = kv_stage_close(&a->kv);
    kv_path stage(a->id, STAGE);
    if (rename(stage.text, unstage.text) != 0) {
        LOG_ERROR("Stage file rename error: %s", strerror(errno));
        rc = -1;
    }
    // The store is sequentially consistent: everything above is visible to the maintainer
    // once it sees the flag.
    a->kv.unstage_pending.store(1);
    return rc;
}

// ---- moving a staging file into the day files -----------------------------------------

// Moves the records of agent `aid` to the front and returns them; the others are dropped.
std::span<kv_stage_rec> kv_keep_agent(std::span<kv_stage_rec> recs, uint64_t aid,
                                      const char *path) {
    auto kept = std::remove_if(recs.begin(), recs.end(),
                               [aid](const kv_stage_rec &r) { return r.agent_id != aid; });
    const auto n = static_cast<size_t>(kept - recs.begin());
    if (n != recs.size())
        LOG_WARN("Stage file %s: %zu records of other agents dropped.", path, recs.size() - n);
    return recs.first(n);
}

// Splits sorted records of one agent into their day files.
std::vector<kv_group> kv_groups(std::span<const kv_stage_rec> recs) {
    std::vector<kv_group> groups;
    for (size_t i = 0; i < recs.size(); i++) {
        const uint32_t day = kv_day_of(recs[i].time);
        const auto key = static_cast<uint32_t>(recs[i].key);
        if (groups.empty() || groups.back().day != day || groups.back().key != key)
            groups.push_back({day, key, i, i});
        groups.back().end = i + 1;
    }
    return groups;
}

// Writes the journal of a move: the staging file's identity and the sizes the day files
// have before it, synced to the disk before any day file grows. -1 (logged) when it cannot
// be written; it is then removed, and the move waits for a later pass.
int kv_journal_write(uint64_t aid, const struct stat &stage, std::span<const kv_group> groups) {
    std::vector<uint8_t> bytes(sizeof(kv_journal_head));
    const kv_journal_head head{static_cast<uint64_t>(stage.st_ino),
                               static_cast<uint64_t>(stage.st_size)};
    memcpy(bytes.data(), &head, sizeof head);
    for (const kv_group &g : groups) {
        kv_day_path day(aid, g.day, g.key);
        struct stat st;
        kv_journal_entry e{g.day, g.key, 0};
        if (stat(day.text, &st) == 0)
            e.size = static_cast<uint64_t>(st.st_size) / sizeof(kv_sample) * sizeof(kv_sample);
        else if (errno != ENOENT)
            continue; // its append will fail as well
        const auto *p = reinterpret_cast<const uint8_t *>(&e);
        bytes.insert(bytes.end(), p, p + sizeof e);
    }
    kv_path path(aid, JOURNAL);
    fd_owner fd(open(path.text, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        LOG_SYSERR_PATH("open", path.text);
        return -1;
    }
    if (io_write_all(fd.get(), bytes.data(), bytes.size()) != 0 || fdatasync(fd.get()) != 0) {
        LOG_SYSERR_PATH("write", path.text);
        fd.reset();
        unlink(path.text);
        return -1;
    }
    return 0;
}

// Appends the samples of one group to its day file, all or none. -1 (logged) when they
// could not be appended.
int kv_append_group(uint64_t aid, const kv_group &g, std::span<const kv_stage_rec> recs,
                    std::vector<kv_sample> &buf) {
    kv_day_path path(aid, g.day, g.key);
    fd_owner fd(open(path.text, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        LOG_SYSERR_PATH("open", path.text);
        return -1;
    }
    const int64_t size = trim_to_records(fd.get(), path.text, sizeof(kv_sample));
    buf.clear();
    for (size_t i = g.begin; i < g.end; i++)
        buf.push_back({htobe64(recs[i].time), htobe64(recs[i].value)});
    if (io_write_all(fd.get(), buf.data(), buf.size() * sizeof(kv_sample)) != 0) {
        LOG_SYSERR_PATH("write", path.text);
        if (size >= 0 && ftruncate(fd.get(), size) != 0)
            LOG_SYSERR_PATH("ftruncate", path.text);
        return -1;
    }
    return 0;
}

// Moves the records into their day files: -1 when some of them could not be appended (or
// no journal could be written, and none were).
int kv_move_records(uint64_t aid, const struct stat &stage, std::span<kv_stage_rec> recs) {
    qsort(recs.data(), recs.size(), sizeof(kv_stage_rec), kv_stage_rec_cmp);
    const std::vector<kv_group> groups = kv_groups(recs);
    // Without a journal a move that fails half way could not be taken back before it is
    // repeated.
    if (kv_journal_write(aid, stage, groups) != 0)
        return -1;
    std::vector<kv_sample> buf;
    int rc = 0;
    for (const kv_group &g : groups) {
        if (kv_append_group(aid, g, recs, buf) != 0)
            rc = -1;
    }
    return rc;
}

// True when the staging file at `path` is the one the journal head names.
bool kv_journal_names(const kv_journal_head &head, const char *path) {
    struct stat st;
    return lstat(path, &st) == 0 && static_cast<uint64_t>(st.st_ino) == head.stage_ino &&
           static_cast<uint64_t>(st.st_size) == head.stage_size;
}

// Reads the agent's journal. False when there is none or it has no whole head.
bool kv_journal_read(const char *path, std::vector<uint8_t> *bytes) {
    fd_owner fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno != ENOENT)
            LOG_SYSERR_PATH("open", path);
        return false;
    }
    uint8_t chunk[4096];
    ssize_t n;
    while ((n = io_read_full(fd.get(), chunk, sizeof chunk)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + n);
    if (n < 0)
        LOG_SYSERR_PATH("read", path);
    return n == 0 && bytes->size() >= sizeof(kv_journal_head);
}

void kv_journal_remove(uint64_t aid) {
    kv_path path(aid, JOURNAL);
    if (unlink(path.text) != 0 && errno != ENOENT)
        LOG_SYSERR_PATH("unlink", path.text);
}

// A move that failed or was interrupted before its staging file was removed (a complete move
// removes the file before the journal): the day files go back to the sizes they had before
// it, so that moving the file again adds nothing twice. A journal that names no staging
// file left is stale and only removed. 0, or -1 when a day file could not be cut back (the
// journal then stays for the next try).
int kv_journal_rollback(uint64_t aid) {
    kv_path path(aid, JOURNAL);
    std::vector<uint8_t> bytes;
    if (!kv_journal_read(path.text, &bytes)) {
        kv_journal_remove(aid);
        return 0;
    }
    kv_journal_head head;
    memcpy(&head, bytes.data(), sizeof head);
    kv_path stage(aid, STAGE), unstage(aid, UNSTAGE);
    if (kv_journal_names(head, unstage.text) || kv_journal_names(head, stage.text)) {
        for (size_t at = sizeof head; bytes.size() - at >= sizeof(kv_journal_entry);
             at += sizeof(kv_journal_entry)) {
            kv_journal_entry e;
            memcpy(&e, bytes.data() + at, sizeof e);
            kv_day_path day(aid, e.day, e.key);
            struct stat st;
            if (stat(day.text, &st) != 0 || static_cast<uint64_t>(st.st_size) <= e.size)
                continue;
            LOG_WARN("Day file %s cut back from %" PRIu64 " to %" PRIu64
                     " bytes: its staging file is moved again.",
                     day.text, static_cast<uint64_t>(st.st_size), e.size);
            if (truncate(day.text, static_cast<off_t>(e.size)) != 0) {
                LOG_SYSERR_PATH("truncate", day.text);
                return -1;
            }
        }
    }
    kv_journal_remove(aid);
    return 0;
}

// Moves the agent's staging file `suffix` into the day files and removes it, then its
// journal, once every sample has been appended. When some could not be, the file and its
// journal stay: the next try takes back what this one appended and moves the file again.
// -1 when the file is still there (logged).
int kv_stage_consume(uint64_t aid, const char *suffix) {
    kv_path path(aid, suffix);
    if (kv_journal_rollback(aid) != 0 || process_stage_file(aid, path.text) != 0) {
        LOG_ERROR("Stage file %s kept: its samples are moved at the next pass.", path.text);
        return -1;
    }
    if (unlink(path.text) != 0 && errno != ENOENT) {
        LOG_SYSERR_PATH("unlink", path.text);
        return -1;
    }
    kv_journal_remove(aid);
    return 0;
}

// ---- maintainer -----------------------------------------------------------------------

// Moves the agent's pending "unstage" file. One that could not be moved whole stays pending,
// so the next pass tries again and the worker does not rotate over it.
int kv_unstage(dbs_agent *a) {
    kv_path path(a->id, UNSTAGE);
    LOG_DEBUG("Stage file eligible to unstage: %s", path.text);
    if (kv_stage_consume(a->id, UNSTAGE) != 0)
        return -1;
    // Sequentially consistent: the removal is done before the worker can see 0.
    a->kv.unstage_pending.store(0);
    return 0;
}

// ---- reading day files ----------------------------------------------------------------

// The days from `first` to `last` (clamped to day numbers that name files) whose day file
// of the key may exist, ascending.
std::vector<uint32_t> kv_bulk_days(uint64_t aid, uint32_t key, uint64_t first, uint64_t last,
                                   bool *failed = nullptr) {
    std::vector<uint32_t> days;
    last = std::min<uint64_t>(last, UINT32_MAX);
    if (first > last)
        return days;
    if (last - first < KV_DAY_WALK_MAX) {
        for (uint64_t d = first; d <= last; d++)
            days.push_back(static_cast<uint32_t>(d));
        return days;
    }
    kv_path path(aid, "");
    dir_ptr dir(opendir(path.text));
    if (!dir) {
        if (errno != ENOENT) {
            LOG_SYSERR_PATH("opendir", path.text);
            if (failed != nullptr)
                *failed = true;
        }
        return days;
    }
    while (const dirent *e = sys_next_visible(dir.get())) {
        uint32_t day, k;
        if (kv_parse_day_name(e->d_name, &day, &k) && k == key && day >= first && day <= last)
            days.push_back(day);
    }
    if (errno != 0) {
        LOG_SYSERR_PATH("readdir", path.text);
        if (failed != nullptr)
            *failed = true;
    }
    dir.reset();
    std::sort(days.begin(), days.end());
    return days;
}

// Reads the first bytes of a day file into buf, at most KV_BULK_BYTES: the number of
// bytes of whole samples read, or -1 when the file is missing or unreadable.
int64_t kv_read_day(const char *path, uint8_t *buf) {
    fd_owner fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT)
            LOG_DEBUG("No such file %s.", path);
        else
            LOG_SYSERR_PATH("open", path);
        return -1;
    }
    const ssize_t got = io_read_full(fd.get(), buf, KV_BULK_BYTES);
    if (got < 0) {
        LOG_SYSERR_PATH("read", path);
        return -1;
    }
    return got - got % static_cast<ssize_t>(sizeof(kv_sample));
}

// The registry item of an agent, or NULL (also without a registry).
dbs_agent *kv_agent_of(dbs_agents *agents, uint64_t aid) {
    if (agents == nullptr)
        return nullptr;
    for (uint64_t i = 0; i < agents->count; i++)
        if (agents->items[i]->id == aid)
            return agents->items[i];
    return nullptr;
}

// Hands one day file to the sink: 0 when it was delivered or is missing or empty, 1 when the
// sink ended the walk, -1 when the file exists but cannot be read (logged).
int kv_day_to_sink(const char *path, void *ctx, const dbs_kv_day_sink *sink) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            LOG_DEBUG("No such file %s.", path);
            return 0;
        }
        LOG_SYSERR_PATH("open", path);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG_SYSERR_PATH("fstat", path);
        close(fd);
        return -1;
    }
    // Samples appended after the fstat are left for the next reader.
    const auto size = static_cast<uint64_t>(st.st_size);
    const uint64_t want =
        std::min<uint64_t>(size, KV_BULK_BYTES) / sizeof(kv_sample) * sizeof(kv_sample);
    if (want == 0) {
        close(fd);
        return 0;
    }
    uint8_t *dst = sink->place(ctx, want);
    if (dst == nullptr) {
        close(fd);
        return 1;
    }
    uint64_t got = 0;
    while (got < want) {
        ssize_t n = read(fd, dst + got, want - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            LOG_SYSERR_PATH("read", path);
            close(fd);
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<uint64_t>(n);
    }
    close(fd);
    got -= got % sizeof(kv_sample);
    return sink->done(ctx, got, size > KV_BULK_BYTES) != 0 ? 1 : 0;
}

} // namespace

int kv_stage_rec_cmp(const void *a, const void *b) {
    const auto *x = static_cast<const kv_stage_rec *>(a);
    const auto *y = static_cast<const kv_stage_rec *>(b);
    if (x->agent_id != y->agent_id)
        return x->agent_id < y->agent_id ? -1 : 1;
    if (x->key != y->key)
        return x->key < y->key ? -1 : 1;
    if (x->time != y->time)
        return x->time < y->time ? -1 : 1;
    return 0;
}

int dbs_kv_save(dbs_agent *a, uint32_t key, uint64_t time_ms, uint64_t value) {
    dbs_kv_state *kv = &a->kv;
    // A stage that cannot be handed over yet takes the sample all the same.
    if (kv->staged > KV_STAGE_ROTATE && kv->unstage_pending.load() == 0)
        (void)kv_stage_rotate(a);
    const char *call = "write";
    if (kv->stage_fd < 0 && kv_stage_open(a, &call) != 0) {
        kv_path path(a->id, STAGE);
        dbs_agent_lost(a, 0, 1, call, path.text, errno);
        return -1;
    }
    const kv_stage_rec rec{a->id, time_ms, value, key};
    // One write(2) per sample: a sample handed to the store survives a crash of the process.
    if (io_write_all(kv->stage_fd, &rec, sizeof rec) == 0) {
        kv->stage_size += sizeof rec;
        kv->staged++;
        if (a->losses.samples != 0 || a->losses.rcalls != 0)
            dbs_agent_tell_losses(a, false);
        return 0;
    }
    const int e = errno;
    kv_path path(a->id, STAGE);
    // A part of the record may have been written: the file goes back to whole records.
    if (ftruncate(kv->stage_fd, static_cast<off_t>(kv->stage_size)) != 0) {
        LOG_SYSERR_PATH("ftruncate", path.text);
        (void)kv_stage_close(kv);
    }
    dbs_agent_lost(a, 0, 1, "write", path.text, e);
    return -1;
}

int dbs_agent_kv_close(dbs *, dbs_agent *a) {
    return kv_stage_close(&a->kv);
}

int process_stage_file(uint64_t aid, const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno == ENOENT)
            return 0;
        LOG_ERROR("Cannot process %s stage file : %s", path, strerror(errno));
        return -1;
    }
    fd_owner fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        LOG_ERROR("Cannot open %s stage file : %s", path, strerror(errno));
        return -1;
    }
    // The size to map is taken from the open file itself.
    if (fstat(fd.get(), &st) != 0) {
        LOG_ERROR("Cannot process %s stage file : %s", path, strerror(errno));
        return -1;
    }
    const size_t count = static_cast<uint64_t>(st.st_size) / sizeof(kv_stage_rec);
    const size_t length = count * sizeof(kv_stage_rec);
    // A private writable mapping: the sort reorders the records in memory only.
    void *map = count != 0 ? mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd.get(), 0)
                           : nullptr;
    fd.reset();
    if (map == MAP_FAILED) {
        LOG_SYSERR("mmap");
        return -1;
    }
    int rc = 0;
    if (map != nullptr) {
        std::span<kv_stage_rec> recs(static_cast<kv_stage_rec *>(map), count);
        rc = kv_move_records(aid, st, kv_keep_agent(recs, aid, path));
        munmap(map, length);
    }
    LOG_DEBUG("Stage file [%s] processed!", path);
    return rc;
}

int dbs_kv_recover(dbs_agents *agents) {
    dir_ptr dir(opendir(AGENTS_DIR));
    if (!dir) {
        LOG_ERROR("opendir: %s %s.", AGENTS_DIR, strerror(errno));
        return -1;
    }
    int rc = 0;
    while (const dirent *e = sys_next_visible(dir.get())) {
        uint64_t aid;
        if (!parse_agent_id(e->d_name, &aid))
            continue;
        if (kv_stage_consume(aid, UNSTAGE) != 0) {
            rc = -1;
            // The maintainer tries again; until then the agent's stage does not rotate.
            if (dbs_agent *a = kv_agent_of(agents, aid))
                a->kv.unstage_pending.store(1);
        }
        if (kv_stage_consume(aid, STAGE) != 0) {
            rc = -1;
            // The agent's next samples are appended to this stage, which its journal would
            // then no longer name: what the failed move appended is taken back now.
            (void)kv_journal_rollback(aid);
        }
    }
    return rc;
}

int dbs_kv_maintain_pass(dbs_agents *repo) {
    int rc = 0;
    for (uint64_t p = 0;; p++) {
        KRV_LOCKCALL(pthread_rwlock_rdlock(&repo->guard));
        dbs_agent *a = p < repo->count ? repo->items[p] : nullptr;
        KRV_LOCKCALL(pthread_rwlock_unlock(&repo->guard));
        if (a == nullptr)
            return rc;
        if (a->kv.unstage_pending.load() == 1 && kv_unstage(a) != 0)
            rc = -1;
    }
}

struct kv_maintainer {
    dbs_agents *agents;
    void (*after_pass)(void *ctx);
    void *after_pass_ctx;
    uint32_t interval_ms;
    bool stop; // under lock
    pthread_mutex_t lock;
    pthread_cond_t wake; // on CLOCK_MONOTONIC
    pthread_t thread;
};

// Waits one interval. False once the maintainer is told to stop.
static bool kv_maintainer_wait(kv_maintainer *m) {
    const timespec deadline = monotonic_deadline(m->interval_ms);
    KRV_LOCKCALL(pthread_mutex_lock(&m->lock));
    int rc = 0;
    while (!m->stop && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&m->wake, &m->lock, &deadline);
    const bool go_on = !m->stop;
    KRV_LOCKCALL(pthread_mutex_unlock(&m->lock));
    return go_on;
}

static void *dbs_kv_maintainer(void *arg) {
    auto *m = static_cast<kv_maintainer *>(arg);
    LOG_DEBUG("Started KV maintainer.");
    // A failed move has been logged where it failed; the next pass goes on with the rest.
    while (kv_maintainer_wait(m)) {
        (void)dbs_kv_maintain_pass(m->agents);
        if (m->after_pass != nullptr)
            m->after_pass(m->after_pass_ctx);
    }
    return nullptr;
}

static void kv_maintainer_free(kv_maintainer *m) {
    pthread_cond_destroy(&m->wake);
    pthread_mutex_destroy(&m->lock);
    free(m);
}

kv_maintainer *dbs_kv_maintainer_start(dbs_agents *agents, uint32_t interval_ms,
                                       void (*after_pass)(void *ctx), void *ctx) {
    auto *m = static_cast<kv_maintainer *>(krv_calloc(1, sizeof(kv_maintainer)));
    m->agents = agents;
    m->after_pass = after_pass;
    m->after_pass_ctx = ctx;
    m->interval_ms = interval_ms;
    pthread_mutex_init(&m->lock, nullptr);
    cond_init_monotonic(&m->wake);
    const int rc = pthread_create(&m->thread, nullptr, dbs_kv_maintainer, m);
    if (rc != 0) {
        LOG_ERROR("Cannot start the KV maintainer: %s.", strerror(rc));
        kv_maintainer_free(m);
        return nullptr;
    }
    return m;
}

void dbs_kv_maintainer_stop(kv_maintainer *m) {
    KRV_LOCKCALL(pthread_mutex_lock(&m->lock));
    m->stop = true;
    pthread_cond_signal(&m->wake);
    KRV_LOCKCALL(pthread_mutex_unlock(&m->lock));
    const int rc = pthread_join(m->thread, nullptr);
    if (rc != 0)
        LOG_ERROR("Cannot join the KV maintainer: %s.", strerror(rc));
    kv_maintainer_free(m);
}

int dbs_kv_foreach_bulkday(uint64_t aid, uint64_t from_ms, uint64_t to_ms, uint32_t key, void *ctx,
                           dbs_kv_bulk_cb fn) {
    if (fn == nullptr) {
        LOG_ERROR("Invalid arguments.");
        return -1;
    }
    if (from_ms > to_ms) {
        LOG_ERROR("Invalid time range.");
        return -1;
    }
    auto buf = std::make_unique_for_overwrite<uint8_t[]>(KV_BULK_BYTES);
    for (uint32_t day : kv_bulk_days(aid, key, from_ms / DAY_MS, to_ms / DAY_MS)) {
        kv_day_path path(aid, day, key);
        const int64_t n = kv_read_day(path.text, buf.get());
        if (n > 0 && fn(ctx, buf.get(), n) != 0)
            return -1;
    }
    return 0;
}

int dbs_kv_read_days(uint64_t aid, uint64_t from_ms, uint64_t to_ms, uint32_t key, void *ctx,
                     const dbs_kv_day_sink *sink) {
    if (sink == nullptr || sink->place == nullptr || sink->done == nullptr) {
        LOG_ERROR("Invalid arguments.");
        return -1;
    }
    if (from_ms > to_ms) {
        LOG_ERROR("Invalid time range.");
        return -1;
    }
    bool failed = false;
    const std::vector<uint32_t> days =
        kv_bulk_days(aid, key, from_ms / DAY_MS, to_ms / DAY_MS, &failed);
    if (failed)
        return -1;
    for (uint32_t day : days) {
        kv_day_path path(aid, day, key);
        if (int rc = kv_day_to_sink(path.text, ctx, sink); rc != 0)
            return rc;
    }
    return 0;
}

int dbs_stats_kv(uint64_t aid, uint64_t *total) {
    kv_path path(aid, "");
    dir_ptr dir(opendir(path.text));
    if (!dir) {
        if (errno == ENOENT)
            return 0;
        LOG_SYSERR_PATH("opendir", path.text);
        return -1;
    }
    while (const dirent *e = sys_next_visible(dir.get())) {
        uint32_t day, key;
        char file[sizeof path.text + sizeof e->d_name + 1];
        struct stat st;
        if (kv_parse_day_name(e->d_name, &day, &key) &&
            snprintf(file, sizeof file, "%s/%s", path.text, e->d_name) > 0 && stat(file, &st) == 0)
            *total += static_cast<uint64_t>(st.st_size);
    }
    if (errno != 0)
        LOG_SYSERR_PATH("readdir", path.text);
    return 0;
}
