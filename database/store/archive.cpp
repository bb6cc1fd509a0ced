#include "database/store/archive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "database/store/agents.h"
#include "database/store/archive_format.h"
#include "database/store/dbs.h"
#include "database/store/symbols.h"
#include "lib/crc32.h"
#include "lib/files.h"
#include "lib/format.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/term.h"
#include "lib/xalloc.h"

namespace {

constexpr const char *ARCHIVE_DIR = "storage.db/arch";
constexpr const char *ARCHIVE_PREFIX = "storage.db/arch/korvane.arch-";
constexpr uint64_t NO_LAST_DAY = UINT64_MAX;

// Reads "<day>.<number>" at the start of name; what follows it, or NULL.
const char *parse_day_name(const char *name, uint32_t *day) {
    uint32_t second;
    const char *p = name;
    if (!parse_u32_prefix(&p, day) || *p++ != '.' || !parse_u32_prefix(&p, &second))
        return nullptr;
    return p;
}

void archive_list(archive_ctx *ctx, const char *path, uint64_t size, uint8_t purge) {
    struct stat st;
    if (stat(path, &st) != 0) {
        LOG_SYSERR_PATH("stat", path);
        return;
    }
    ctx->entries.push_back({path, size, ARCHIVE_UNARCHIVED, purge});
}

int collect_agent_cb(void *ctx, agent_entry *entry) {
    return archive_collect_agent_id(entry->id, static_cast<archive_ctx *>(ctx));
}

// Appends one file to the stream: its header, then exactly the size it has when opened.
int archive_copy_entry(archive_ctx *ctx, int out, archive_entry *e) {
    const char *path = e->path.c_str();
    LOG_DEBUG("File %s compression.", path);
    int in = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        LOG_SYSERR_PATH("open", path);
        return -1;
    }
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    struct stat st;
    if (fstat(in, &st) != 0) {
        LOG_SYSERR_PATH("fstat", path);
        close(in);
        return -1;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    archive_file_hdr h;
    if (archive_file_hdr_make(&h, path, size) != 0) {
        LOG_ERROR("Path too long for an archive: %s", path);
        close(in);
        return -1;
    }
    LOG_DEBUG("Header [%lX] encoded for %s", archive_file_hdr_stored_crc(&h), path);
    if (ARCHIVE_BLOCK_MAX - ctx->fill < sizeof h && archive_buffer_store(ctx, out) != 0) {
        close(in);
        return -1;
    }
    memcpy(ctx->buf + ctx->fill, &h, sizeof h);
    ctx->fill += sizeof h;
    uint64_t left = size;
    while (left > 0) {
        if (ctx->fill == ARCHIVE_BLOCK_MAX && archive_buffer_store(ctx, out) != 0) {
            close(in);
            return -1;
        }
        size_t want = static_cast<size_t>(std::min(left, ARCHIVE_BLOCK_MAX - ctx->fill));
        ssize_t n = io_read_full(in, ctx->buf + ctx->fill, want);
        if (n < 0) {
            LOG_SYSERR_PATH("read", path);
            close(in);
            return -1;
        }
        ctx->fill += static_cast<uint64_t>(n);
        left -= static_cast<uint64_t>(n);
        if (static_cast<size_t>(n) < want) {
            LOG_ERROR("File %s ended %lu bytes short of its archived size.", path, left);
            close(in);
            return -1;
        }
    }
    close(in);
    e->archived = size;
    return 0;
}

// Flushes a file (or directory) to the disk. 0, or -1 (logged).
int sync_path(const char *path, int flags) {
    int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0) {
        LOG_SYSERR_PATH("open", path);
        return -1;
    }
    int rc = fsync(fd);
    if (rc != 0)
        LOG_SYSERR_PATH("fsync", path);
    close(fd);
    return rc;
}

// The archive of a run: written, then made durable with its directory entry before
// anything is deleted. A failure leaves no partial archive behind, but never removes a file
// of that name that the run did not create.
int archive_write_run(archive_ctx *ctx, const char *path) {
    if (archive_file(ctx, path, nullptr) != 0) {
        LOG_ERROR("Cannot write the archive %s.", path);
        if (ctx->created && unlink(path) != 0)
            LOG_SYSERR_PATH("unlink", path);
        return -1;
    }
    if (sync_path(path, O_RDONLY) != 0 || sync_path(ARCHIVE_DIR, O_RDONLY | O_DIRECTORY) != 0)
        return -1;
    return 0;
}

// Whether a listed file is still exactly what the archive holds (or, purge-only, what was
// listed), and has rested long enough that nothing more is written to it.
bool archive_unchanged(const archive_entry &e, time_t now, int purge_only) {
    const uint64_t expected = purge_only ? e.size : e.archived;
    if (expected == ARCHIVE_UNARCHIVED)
        return false;
    struct stat st;
    if (lstat(e.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return static_cast<uint64_t>(st.st_size) == expected &&
           st.st_mtime <= now - ARCHIVE_SETTLE_SECONDS;
}

} // namespace

int archive_ctx_init(archive_ctx *ctx, uint64_t from_s, uint64_t thru_s) {
    *ctx = archive_ctx{};
    if (regcomp(&ctx->index_re, "[0-9]+\\.index", REG_EXTENDED | REG_NOSUB) != 0)
        return -1;
    ctx->index_re_ready = true;
    ctx->buf = static_cast<uint8_t *>(krv_malloc(ARCHIVE_BLOCK_MAX));
    ctx->tmp = static_cast<uint8_t *>(krv_malloc(ARCHIVE_LZ4_BOUND));
    ctx->first_day = from_s * 1000 / DAY_MS;
    ctx->last_day = thru_s == 0 ? NO_LAST_DAY : thru_s * 1000 / DAY_MS;
    return 0;
}

void archive_ctx_free(archive_ctx *ctx) {
    if (ctx->index_re_ready)
        regfree(&ctx->index_re);
    free(ctx->buf);
    free(ctx->tmp);
    *ctx = archive_ctx{};
}

int on_data_file(void *ctx, const char *name, const char *path, uint64_t size) {
    archive_ctx *c = static_cast<archive_ctx *>(ctx);
    LOG_DEBUG("Checking data file %s ...", path);
    if (strcmp(name, "korvane.id") == 0) {
        archive_list(c, path, size, 0);
        return 0;
    }
    if (regexec(&c->index_re, name, 0, nullptr, 0) == 0)
        return 0;
    // Key/value day files are "<day>.<key>"; root-call files "<day>.<hour>", their extension
    // files "<day>.<hour>.x". The whole name must match: anything else is no data of ours.
    uint32_t day = 0;
    const char *rest = parse_day_name(name, &day);
    const bool kv = strstr(path, "/kv/") != nullptr;
    if (rest == nullptr || (kv ? *rest != '\0' : *rest != '\0' && strcmp(rest, ".x") != 0)) {
        LOG_WARN("Invalid file detected: %s", name);
        return 0;
    }
    if (day < c->first_day || day > c->last_day)
        return 0;
    archive_list(c, path, size, 1);
    return 0;
}

int archive_collect_agent_id(uint64_t aid, archive_ctx *ctx) {
    char dir[64];
    snprintf(dir, sizeof dir, "storage.db/data/%016lX", aid);
    sys_foreach_file(dir, ctx, on_data_file);
    return 0;
}

int archive_collect_all(archive_ctx *ctx) {
    return dbs_foreach_agent(ctx, collect_agent_cb);
}

int archive_add_symbols_file(void *ctx, const char *name, const char *path, uint64_t size) {
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || strlen(path) >= ARCHIVE_PATH_SIZE) {
        LOG_WARN("Invalid file detected: %s", name);
        return 0;
    }
    archive_list(static_cast<archive_ctx *>(ctx), path, size, 0);
    return 0;
}

int archive_buffer_store(archive_ctx *ctx, int fd) {
    const uint32_t raw = static_cast<uint32_t>(ctx->fill);
    const uint32_t crc = crc32_calc(ctx->buf, raw);
    const uint32_t stored = block_compress(raw, ctx->buf, ARCHIVE_LZ4_BOUND, ctx->tmp);
    archive_block_hdr h = archive_block_hdr_make(raw, stored, crc);
    struct iovec iov[2] = {{&h, sizeof h}, {ctx->buf, stored}};
    ssize_t n;
    do {
        n = writev(fd, iov, 2);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        LOG_SYSERR("writev");
        return -1;
    }
    if (static_cast<size_t>(n) != sizeof h + stored) {
        LOG_ERROR("Incomplete archive write.");
        return -1;
    }
    ctx->fill = 0;
    return 0;
}

int archive_file(archive_ctx *ctx, const char *path, archive_progress_fn progress) {
    ctx->created = false;
    ctx->fill = 0;
    // Exclusive and without following a link: an archive is never written over.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        printf("\033[91mopen failed: %s\033[0m\n", strerror(errno));
        return -1;
    }
    ctx->created = true;
    const archive_hdr h = archive_hdr_make(PROTOCOL_VERSION);
    if (io_write_all(fd, &h, sizeof h) != 0) {
        LOG_ERROR("Cannot write to the archive file: %s", strerror(errno));
        close(fd);
        return -1;
    }
    int rc = symbols_file_foreach(ctx, archive_add_symbols_file);
    for (size_t i = 0; rc == 0 && i < ctx->entries.size(); i++) {
        rc = archive_copy_entry(ctx, fd, &ctx->entries[i]);
        if (rc == 0 && progress != nullptr)
            progress(ctx, i + 1);
    }
    if (rc == 0 && ctx->fill > 0)
        rc = archive_buffer_store(ctx, fd);
    if (close(fd) != 0 && rc == 0) {
        LOG_SYSERR_PATH("close", path);
        rc = -1;
    }
    return rc;
}

void archive_progress(archive_ctx *ctx, uint64_t done) {
    term_progress("Compressing data... ", ctx->width, done, ctx->entries.size());
}

uint64_t archive_purge(archive_ctx *ctx, time_t now, int purge_only) {
    uint64_t removed = 0;
    for (const archive_entry &e : ctx->entries) {
        if (e.purge != 1)
            continue;
        if (!archive_unchanged(e, now, purge_only)) {
            LOG_INFO("File [%s] not settled since it was listed; kept for a later run.",
                     e.path.c_str());
            continue;
        }
        if (unlink(e.path.c_str()) != 0) {
            LOG_SYSERR_PATH("unlink", e.path.c_str());
            continue;
        }
        LOG_DEBUG("File [%s] deleted.", e.path.c_str());
        removed++;
    }
    return removed;
}

int dbs_archive(uint64_t launch_time_s, uint16_t retention_hours, int purge_only) {
    const time_t launch = static_cast<time_t>(launch_time_s);
    struct tm local;
    char stamp[32] = "";
    if (localtime_r(&launch, &local) != nullptr)
        strftime(stamp, sizeof stamp, "%F_%H%M", &local);
    const std::string path = std::string(ARCHIVE_PREFIX) + stamp;
    const std::string log_path = path + ".log";
    LOG_INFO("Creating an archive logfile: %s", log_path.c_str());
    if (log_open(log_path.c_str()) != 0) {
        LOG_ERROR("Cannot create the archive logfile: %s", log_path.c_str());
        return -1;
    }
    log_level.store(1);
    LOG_INFO("Archive procedure started at %lu.", launch_time_s);

    archive_ctx ctx;
    if (archive_ctx_init(&ctx, 0, 0) != 0) {
        LOG_ERROR("Archive procedure failed.");
        return -1;
    }
    // The cut-off day itself is archived: it ends at least `retention` before the launch.
    const uint64_t keep_s = uint64_t{retention_hours} * 3600;
    const uint64_t cutoff_s = launch_time_s > keep_s ? launch_time_s - keep_s : 0;
    ctx.last_day = cutoff_s * 1000 / DAY_MS;

    LOG_INFO("Collecting data files ...");
    int rc = archive_collect_all(&ctx);
    if (rc == 0 && !purge_only)
        rc = archive_write_run(&ctx, path.c_str());
    if (rc == 0) {
        uint64_t removed = archive_purge(&ctx, time(nullptr), purge_only);
        LOG_INFO("Archive procedure removed %lu files.", removed);
    }
    archive_ctx_free(&ctx);
    LOG_INFO("Archive procedure ended.");
    return rc;
}

int dbs_dump(const char *archive_path, uint64_t from_s, uint64_t thru_s, const agent_entry *agents,
             uint64_t n) {
    archive_ctx ctx;
    if (archive_ctx_init(&ctx, from_s, thru_s) != 0)
        return -1;
    ctx.width = term_get_columns() - 51;
    if (agents == nullptr) {
        archive_collect_all(&ctx);
    } else {
        for (uint64_t i = 0; i < n; i++)
            archive_collect_agent_id(agents[i].id, &ctx);
    }
    int rc = archive_file(&ctx, archive_path, archive_progress);
    // A partial dump would pass for an archive until it is extracted.
    if (rc != 0 && ctx.created && unlink(archive_path) != 0)
        LOG_SYSERR_PATH("unlink", archive_path);
    archive_ctx_free(&ctx);
    return rc;
}
