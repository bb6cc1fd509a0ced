#include "database/store/symbols.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "lib/files.h"
#include "lib/be_load.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/murmur3.h"
#include "lib/xalloc.h"

const uint8_t SYMBOLS_MAGIC[16] = {'K', 'O', 'R', 'V', 'A', 'N', 'E'};

namespace {

constexpr const char *SYMBOLS_DIR = "storage.db/symbols";
constexpr uint8_t SYMBOL_MARKER[4] = {0x00, 0x1E, 0x00, 0x1E};
constexpr uint32_t SYMBOL_HEAD = 6;

struct symbol_type_info {
    const char *name;
    const char *plural;
    const char *path;
};

// Indexed by symbol type; type 0 has no file.
constexpr symbol_type_info SYMBOL_TYPES[] = {
    {nullptr, nullptr, nullptr},
    {"THREAD", "THREADS", "storage.db/symbols/thr"},
    {"CLASS", "CLASSES", "storage.db/symbols/cls"},
    {"METHOD", "METHODS", "storage.db/symbols/mth"},
    {"KEY", "KEYS", "storage.db/symbols/kvs"},
};
constexpr uint32_t SYMBOL_TYPE_END = sizeof SYMBOL_TYPES / sizeof SYMBOL_TYPES[0];

const symbol_type_info *type_info(uint32_t type) {
    return type != 0 && type < SYMBOL_TYPE_END ? &SYMBOL_TYPES[type] : nullptr;
}

// The record size of a name: head and name raised to the next multiple of 16.
uint32_t record_size(uint32_t len) {
    return (len + SYMBOL_HEAD + 15) & ~15u;
}

uint32_t hash_bucket(uint64_t h) {
    return static_cast<uint32_t>(((h & 0xFF) << 8) | ((h >> 32) & 0xFF));
}

// The id's two low bytes swapped: consecutive ids fall into different buckets.
uint32_t id_bucket(uint32_t id) {
    return ((id & 0xFF) << 8) | ((id >> 8) & 0xFF);
}

// A part of a symbol file read in large chunks, so that loading costs few system calls.
struct file_window {
    int fd;
    uint64_t size; // the file's length when the read began; nothing past it is looked at
    uint64_t base = 0;
    std::vector<uint8_t> buf;

    static constexpr size_t CHUNK = 1 << 20;

    // `len` bytes at `off` (the caller keeps them within `size`), or NULL with errno set.
    const uint8_t *at(uint64_t off, size_t len) {
        if (off >= base && off + len <= base + buf.size())
            return buf.data() + (off - base);
        buf.resize(static_cast<size_t>(std::min<uint64_t>(std::max(len, CHUNK), size - off)));
        base = off;
        const ssize_t got = io_pread_full(fd, buf.data(), buf.size(), off);
        if (got < 0 || static_cast<size_t>(got) < buf.size()) {
            if (got >= 0)
                errno = EIO; // the file shrank under the reader
            buf.clear();
            return nullptr;
        }
        return buf.data();
    }
};

enum class rec_kind { whole, end, torn, damaged };

struct rec_view {
    rec_kind kind;
    uint32_t size;
    const uint8_t *bytes;
};

// Looks at what starts at the 16-aligned offset `off`: a whole record (marker, a length of
// at most SYMBOL_NAME_MAX, zero fill), the end of the file, the beginning of a record that
// the file cuts short, or damaged bytes. -1 on a read error.
int look_at(file_window &w, uint64_t off, rec_view *r) {
    *r = {rec_kind::damaged, 0, nullptr};
    uint64_t avail = off < w.size ? w.size - off : 0;
    if (avail == 0) {
        r->kind = rec_kind::end;
        return 0;
    }
    if (avail < SYMBOL_HEAD) {
        r->kind = rec_kind::torn;
        return 0;
    }
    const uint8_t *p = w.at(off, SYMBOL_HEAD);
    if (p == nullptr)
        return -1;
    uint16_t len = load_be16(p + 4);
    if (memcmp(p, SYMBOL_MARKER, sizeof SYMBOL_MARKER) != 0 || len > SYMBOL_NAME_MAX)
        return 0;
    uint32_t size = record_size(len);
    if (avail < size) {
        r->kind = rec_kind::torn;
        return 0;
    }
    p = w.at(off, size);
    if (p == nullptr)
        return -1;
    if (std::any_of(p + SYMBOL_HEAD + len, p + size, [](uint8_t b) { return b != 0; }))
        return 0;
    *r = {rec_kind::whole, size, p};
    return 0;
}

// Hands a whole record to cb: the name runs to its first zero byte or its length.
int deliver(uint32_t type, uint64_t off, const uint8_t *rec, void *ctx, symbol_cb cb) {
    uint16_t stored = load_be16(rec + 4);
    char name[SYMBOL_NAME_MAX + 1];
    uint16_t len =
        static_cast<uint16_t>(strnlen(reinterpret_cast<const char *>(rec + SYMBOL_HEAD), stored));
    memcpy(name, rec + SYMBOL_HEAD, len);
    name[len] = '\0';
    return cb(ctx, type, static_cast<uint32_t>(off / 16), len, murmur3_hash64(name, len), name);
}

// Skips damaged bytes from `off` in 16-byte steps. Sets *next to the offset of the next
// whole record, or *keep and *done when the damage runs to the end (or into a torn record).
// The skip is told once, at ERROR while `repairing` (the open), else at DEBUG. -1 on a read
// error.
int resync(file_window &w, const char *path, uint64_t off, bool repairing, uint64_t *next,
           uint64_t *keep, bool *done) {
    for (uint64_t o = off + 16;; o += 16) {
        rec_view r;
        if (look_at(w, o, &r) != 0)
            return -1;
        if (r.kind == rec_kind::damaged)
            continue;
        const uint64_t end = r.kind == rec_kind::end ? w.size : o;
        const char *tail = r.kind == rec_kind::whole ? "" : ", up to the end";
        if (repairing)
            LOG_ERROR("Corrupted symbol found at offset %lu of %s: %lu bytes skipped%s.", off, path,
                      end - off, tail);
        else
            LOG_DEBUG("Corrupted symbol found at offset %lu of %s: %lu bytes skipped%s.", off, path,
                      end - off, tail);
        switch (r.kind) {
        case rec_kind::whole:
            *next = o;
            return 0;
        case rec_kind::torn:
            *keep = o;
            *done = true;
            return 0;
        default:
            // Ids inside the damage may have been handed out: keep its bytes, only align.
            *keep = (w.size + 15) & ~uint64_t{15};
            *done = true;
            return 0;
        }
    }
}

// Whether a whole record stands at a 16-aligned place after `off`, before `before`: then
// what starts at `off` is damaged (its length covers a record, or runs past the end of the
// file over records), not a record, nor a record being written. `bytes`, when given, holds
// the bytes from `off` to `before`, where places without a marker are passed over at once.
// -1 on a read error.
[[gnu::always_inline]] inline int record_ahead(file_window &w, uint64_t off, uint64_t before,
                                               const uint8_t *bytes, bool *found, bool *looked) {
    *found = false;
    *looked = false;
    for (uint64_t o = off + 16; o < before && o < w.size; o += 16) {
        if (bytes != nullptr && memcmp(bytes + (o - off), SYMBOL_MARKER, sizeof SYMBOL_MARKER) != 0)
            continue;
        rec_view r;
        *looked = true;
        if (look_at(w, o, &r) != 0)
            return -1;
        if (r.kind == rec_kind::whole) {
            *found = true;
            return 0;
        }
    }
    return 0;
}

// Opens the file of a type and checks its header. The descriptor, or -1 after a FATAL line.
int open_symbols_file(const char *path, uint64_t *size) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT)
            LOG_FATAL("Cannot read symbols file: %s", strerror(errno));
        else
            LOG_FATAL("Cannot open symbols: %s", strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG_FATAL("Cannot read symbols file: %s", strerror(errno));
        close(fd);
        return -1;
    }
    *size = static_cast<uint64_t>(st.st_size);
    uint8_t head[16] = {};
    const ssize_t n = io_pread_full(fd, head, sizeof head, 0);
    if (n < 0) {
        LOG_FATAL("Cannot read symbols file: %s", strerror(errno));
        close(fd);
        return -1;
    }
    if (n != sizeof head || memcmp(head, SYMBOLS_MAGIC, sizeof head) != 0) {
        LOG_FATAL("Not a Korvane symbols file: %s!", path);
        close(fd);
        return -1;
    }
    return fd;
}

// Reads the records of a type's file in order and hands each to cb until cb returns
// non-zero. `repairing` (at open, when no one appends) reports a torn last record, which a
// concurrent reader takes for a record being written. 0 with *keep set to the length the
// file should have for appending (16-aligned: a torn last record cut off, damage that runs
// to the end kept), or -1.
int symbols_scan(uint32_t type, bool repairing, void *ctx, symbol_cb cb, uint64_t *keep) {
    const char *path = symbols_path(type);
    if (path == nullptr) {
        LOG_FATAL("Invalid symbol type: %x", type);
        return -1;
    }
    uint64_t size = 0;
    int fd = open_symbols_file(path, &size);
    if (fd < 0)
        return -1;
    file_window w{fd, size, 0, {}};
    uint64_t off = 16;
    int rc = 0;
    for (bool done = false; !done;) {
        rec_view r;
        if (look_at(w, off, &r) != 0) {
            rc = -1;
            break;
        }
        // A record whose length takes in another record, or one that the file cuts short
        // while records follow it, is damaged.
        // The marker of a record taken in lies within the name (the zero fill holds no 0x1E),
        // so only a name with a zero byte can hide one.
        bool inner = false, looked = false;
        const bool whole = r.kind == rec_kind::whole;
        if ((whole && memchr(r.bytes + SYMBOL_HEAD, 0, load_be16(r.bytes + 4)) != nullptr) ||
            r.kind == rec_kind::torn) {
            if (record_ahead(w, off, whole ? off + r.size : w.size, whole ? r.bytes : nullptr,
                             &inner, &looked) != 0) {
                rc = -1;
                break;
            }
        }
        if (inner)
            r.kind = rec_kind::damaged;
        else if (looked && r.kind == rec_kind::whole && look_at(w, off, &r) != 0) {
            // record_ahead may have moved the window
            rc = -1;
            break;
        }
        switch (r.kind) {
        case rec_kind::whole:
            if (deliver(type, off, r.bytes, ctx, cb) != 0)
                done = true;
            off += r.size;
            *keep = off;
            break;
        case rec_kind::end:
            *keep = off;
            done = true;
            break;
        case rec_kind::torn:
            if (repairing)
                LOG_WARN("Incomplete symbol record at offset %lu of %s cut off.", off, path);
            *keep = off;
            done = true;
            break;
        case rec_kind::damaged:
            rc = resync(w, path, off, repairing, &off, keep, &done);
            done = done || rc != 0;
            break;
        }
    }
    if (rc != 0)
        LOG_FATAL("Cannot read symbols: %s", strerror(errno));
    close(fd);
    return rc;
}

template <typename T> void bucket_push(smap_bucket<T> &b, const T &item) {
    if (b.count == b.capacity) {
        uint32_t grown = b.capacity + 32;
        b.items = static_cast<T *>(krv_realloc(b.items, grown * sizeof(T)));
        memset(static_cast<void *>(b.items + b.capacity), 0, 32 * sizeof(T));
        b.capacity = grown;
    }
    b.items[b.count++] = item;
}

// Both tables get the symbol; the name is copied once and shared by them.
void smap_add(smap *m, uint32_t id, uint16_t len, uint64_t hash, const char *name) {
    char *copy = static_cast<char *>(krv_malloc(size_t{len} + 1));
    memcpy(copy, name, len);
    copy[len] = '\0';
    bucket_push(m->by_hash[hash_bucket(hash)], smap_entry{copy, hash, id, len});
    bucket_push(m->by_id[id_bucket(id)], smap_id_ref{copy, id});
    m->count++;
}

// The id of a name already in the map, or 0. The caller holds the lock.
uint32_t smap_lookup(const smap *m, uint64_t hash, uint16_t len, const char *name) {
    const smap_bucket<smap_entry> &b = m->by_hash[hash_bucket(hash)];
    for (uint32_t i = 0; i < b.count; i++) {
        const smap_entry &e = b.items[i];
        if (e.hash == hash && e.len == len && memcmp(e.name, name, len) == 0)
            return e.id;
    }
    return 0;
}

int insert_loaded(void *ctx, uint32_t type, uint32_t id, uint16_t len, uint64_t hash,
                  const char *name) {
    return smap_insert(static_cast<smap *>(ctx), type, id, len, hash, name);
}

smap *smap_new() {
    smap *m = static_cast<smap *>(krv_calloc(1, sizeof(smap)));
    pthread_rwlock_init(&m->guard, nullptr);
    m->offset = 16;
    m->fd = -1;
    return m;
}

} // namespace

const char *symbol_type_name(uint32_t type) {
    const symbol_type_info *t = type_info(type);
    return t ? t->name : nullptr;
}

const char *symbols_path(uint32_t type) {
    const symbol_type_info *t = type_info(type);
    return t ? t->path : nullptr;
}

int symbols_create(uint32_t type) {
    const char *path = symbols_path(type);
    if (path == nullptr) {
        LOG_FATAL("Invalid symbol type: %x", type);
        return -1;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    if (fd < 0) {
        LOG_FATAL("Cannot create a symbol storage for %s. %s", path, strerror(errno));
        return -1;
    }
    int rc = io_write_all(fd, SYMBOLS_MAGIC, sizeof SYMBOLS_MAGIC);
    if (rc != 0) {
        LOG_SYSERR("write");
        LOG_FATAL("Cannot create a symbol storage for %s", path);
    }
    close(fd);
    return rc;
}

int smap_insert(smap *m, uint32_t type, uint32_t id, uint16_t len, uint64_t hash,
                const char *name) {
    (void)type;
    smap_add(m, id, len, hash, name);
    return 0;
}

smap *symbols_open(uint32_t type) {
    const char *path = symbols_path(type);
    if (path == nullptr) {
        LOG_FATAL("Invalid symbol type: %x", type);
        return nullptr;
    }
    smap *m = smap_new();
    uint64_t keep = 16;
    if (symbols_scan(type, true, m, insert_loaded, &keep) != 0) {
        (void)smap_close(m);
        return nullptr;
    }
    // Records are written at the map's offset rather than in append mode, so bytes that a
    // failed cut leaves behind are overwritten by the next record instead of shifting it.
    m->fd = open(path, O_WRONLY | O_CREAT, 0600);
    if (m->fd < 0) {
        LOG_FATAL("Cannot open symbols storage: %s", strerror(errno));
        (void)smap_close(m);
        return nullptr;
    }
    struct stat st;
    if (fstat(m->fd, &st) != 0) {
        LOG_SYSERR_PATH("fstat", path);
        (void)smap_close(m);
        return nullptr;
    }
    if (static_cast<uint64_t>(st.st_size) != keep) {
        LOG_WARN("Symbols file %s set from %ld to %lu bytes.", path, st.st_size, keep);
        if (ftruncate(m->fd, static_cast<off_t>(keep)) != 0)
            LOG_SYSERR_PATH("ftruncate", path);
    }
    m->offset = keep;
    m->synced = keep;
    LOG_DEBUG("Loaded %lu symbols of type %d.", m->count, static_cast<int>(type));
    return m;
}

int smap_close(smap *ss) {
    int rc = 0;
    KRV_LOCKCALL(pthread_rwlock_wrlock(&ss->guard));
    for (smap_bucket<smap_entry> &b : ss->by_hash) {
        for (uint32_t i = 0; i < b.count; i++)
            free(b.items[i].name);
        free(b.items);
    }
    for (smap_bucket<smap_id_ref> &b : ss->by_id)
        free(b.items);
    if (ss->fd >= 0 && close(ss->fd) != 0) {
        LOG_SYSERR("close");
        rc = -1;
    }
    KRV_LOCKCALL(pthread_rwlock_unlock(&ss->guard));
    pthread_rwlock_destroy(&ss->guard);
    free(ss);
    return rc;
}

// Writes the record of a new name at the map's offset. Its id, or 0 when the record could
// not be written whole; the file is then cut back so that no fragment stays behind.
static uint32_t smap_append(smap *m, uint16_t len, const char *name) {
    uint8_t rec[SYMBOL_REC_MAX] = {};
    uint32_t size = record_size(len);
    memcpy(rec, SYMBOL_MARKER, sizeof SYMBOL_MARKER);
    store_be16(rec + 4, len);
    memcpy(rec + SYMBOL_HEAD, name, len);
    if (io_pwrite_all(m->fd, rec, size, m->offset) != 0) {
        LOG_ERROR("Cannot store a symbol: %s", strerror(errno));
        if (ftruncate(m->fd, static_cast<off_t>(m->offset)) != 0)
            LOG_SYSERR("ftruncate");
        return 0;
    }
    LOG_DEBUG("Symbol record size: %u", size);
    uint32_t id = static_cast<uint32_t>(m->offset / 16);
    m->offset += size;
    return id;
}

uint32_t smap_store(struct smap *smap, uint16_t len, const char *name) {
    if (len > SYMBOL_NAME_MAX)
        return 0;
    uint64_t hash = murmur3_hash64(name, len);
    KRV_LOCKCALL(pthread_rwlock_wrlock(&smap->guard));
    uint32_t id = smap_lookup(smap, hash, len, name);
    if (id != 0) {
        KRV_LOCKCALL(pthread_rwlock_unlock(&smap->guard));
        LOG_DEBUG("Symbol already stored.");
        return id;
    }
    id = smap_append(smap, len, name);
    if (id != 0)
        smap_add(smap, id, len, hash, name);
    KRV_LOCKCALL(pthread_rwlock_unlock(&smap->guard));
    return id;
}

uint32_t smap_find_id(struct smap *smap, uint16_t len, const char *name) {
    uint64_t hash = murmur3_hash64(name, len);
    KRV_LOCKCALL(pthread_rwlock_rdlock(&smap->guard));
    uint32_t id = smap_lookup(smap, hash, len, name);
    KRV_LOCKCALL(pthread_rwlock_unlock(&smap->guard));
    return id;
}

void smap_foreach(smap *m, uint32_t type, void *ctx, symbol_cb cb) {
    KRV_LOCKCALL(pthread_rwlock_rdlock(&m->guard));
    bool stop = false;
    for (const smap_bucket<smap_id_ref> &b : m->by_id) {
        for (uint32_t i = 0; i < b.count && !stop; i++) {
            const smap_id_ref &r = b.items[i];
            stop = cb(ctx, type, r.id, static_cast<uint16_t>(strlen(r.name)), 0, r.name) != 0;
        }
        if (stop)
            break;
    }
    KRV_LOCKCALL(pthread_rwlock_unlock(&m->guard));
}

int smap_sync(smap *m) {
    KRV_LOCKCALL(pthread_rwlock_rdlock(&m->guard));
    const uint64_t offset = m->offset;
    KRV_LOCKCALL(pthread_rwlock_unlock(&m->guard));
    if (offset <= m->synced || m->fd < 0)
        return 0;
    if (fdatasync(m->fd) != 0) {
        LOG_SYSERR("fdatasync");
        return -1;
    }
    m->synced = offset;
    return 0;
}

const char *smap_get_name(struct smap *smap, uint32_t id) {
    const char *name = nullptr;
    KRV_LOCKCALL(pthread_rwlock_rdlock(&smap->guard));
    const smap_bucket<smap_id_ref> &b = smap->by_id[id_bucket(id)];
    for (uint32_t i = 0; i < b.count && name == nullptr; i++) {
        if (b.items[i].id == id)
            name = b.items[i].name;
    }
    KRV_LOCKCALL(pthread_rwlock_unlock(&smap->guard));
    return name;
}

int symbols_foreach(uint32_t type, void *ctx, symbol_cb cb) {
    uint64_t keep = 16;
    return symbols_scan(type, false, ctx, cb, &keep);
}

int symbols_file_foreach(void *ctx, sys_file_cb cb) {
    dir_ptr dir(opendir(SYMBOLS_DIR));
    if (!dir) {
        LOG_SYSERR_PATH("opendir", SYMBOLS_DIR);
        return -1;
    }
    std::string path;
    while (struct dirent *de = sys_next_visible(dir.get())) {
        path.assign(SYMBOLS_DIR).append("/").append(de->d_name);
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            LOG_SYSERR_PATH("stat", path.c_str());
            continue;
        }
        cb(ctx, de->d_name, path.c_str(), static_cast<uint64_t>(st.st_size));
    }
    return 0;
}

namespace {

struct stats_walk {
    uint64_t count;
    int verbose;
};

// Shows a name for the listing: in KEY names every part separator becomes "/", in the
// others only the first one becomes a space.
std::string shown_name(uint32_t type, const char *name) {
    std::string s(name);
    for (char &c : s) {
        if (c != 0x1F)
            continue;
        if (type != SYM_KEY) {
            c = ' ';
            break;
        }
        c = '/';
    }
    return s;
}

int count_symbol(void *ctx, uint32_t type, uint32_t id, uint16_t len, uint64_t hash,
                 const char *name) {
    stats_walk *w = static_cast<stats_walk *>(ctx);
    w->count++;
    if (w->verbose) {
        if (w->count == 1)
            printf("------------- %s ---------------\n", symbol_type_name(type));
        printf("%5lu) %016lX %8X %4u %s\n", w->count, hash, id, len,
               shown_name(type, name).c_str());
    }
    return 0;
}

// Spaces that right-align `v` in a column of `width` characters (none when it is wider).
int pad_for(uint64_t v, int width) {
    int digits = snprintf(nullptr, 0, "%lu", v);
    return digits < width ? width - digits : 0;
}

} // namespace

int symbols_print_stats(int verbose) {
    uint64_t counts[4] = {};
    int rc = 0;
    for (uint32_t type = SYM_THREAD; type <= SYM_KEY; type++) {
        stats_walk w{0, verbose};
        if (symbols_foreach(type, &w, count_symbol) != 0)
            rc = -1;
        counts[type - 1] = w.count;
    }
    static const std::string rule(120, '-');
    static const std::string spaces(28, ' ');
    printf("\033[96m %-27s %-29s %-29s %s\n\033[0m", SYMBOL_TYPES[1].plural, SYMBOL_TYPES[2].plural,
           SYMBOL_TYPES[3].plural, SYMBOL_TYPES[4].plural);
    printf("%.*s\n", 120, rule.c_str());
    printf("%.*s%lu | %.*s%lu | %.*s%lu | %.*s%lu |\n", pad_for(counts[0], 27), spaces.c_str(),
           counts[0], pad_for(counts[1], 27), spaces.c_str(), counts[1], pad_for(counts[2], 27),
           spaces.c_str(), counts[2], pad_for(counts[3], 28), spaces.c_str(), counts[3]);
    printf("%.*s\n\n\n", 120, rule.c_str());
    return rc;
}
