#include "database/store/archive_extract.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <cstdarg>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "database/store/archive_format.h"
#include "database/store/dbs.h"
#include "lib/be_load.h"
#include "lib/crc32.h"
#include "lib/fd.h"
#include "lib/files.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/term.h"
#include "lib/xalloc.h"

namespace {

constexpr const char *STORE_DIR = "storage.db";
constexpr const char STORE_PREFIX[] = "storage.db/";
constexpr const char *VERSION_FILE = "storage.db/.database";
constexpr const char *DECOMPRESS_LABEL = "Decompressing... ";
constexpr const char *EXTRACT_LABEL = "Extracting... ";
// The directories an opened store needs, besides those its files lie in.
constexpr const char *STORE_DIRS[] = {"storage.db/arch", "storage.db/data", "storage.db/symbols"};
constexpr const char *AGENT_DIRS[] = {"mc", "kv/stages"};

// How a step ends: going on, failed with the failure line, or failed before the extraction began
// (without it).
enum extract_rc { EX_OK, EX_FAILED, EX_REFUSED };

struct extraction {
    fd_owner archive;
    fd_owner tmp_out;
    fd_owner tmp_in;
    uint8_t *buf = static_cast<uint8_t *>(krv_malloc(ARCHIVE_BLOCK_MAX));
    uint8_t *scratch = static_cast<uint8_t *>(krv_malloc(ARCHIVE_BLOCK_MAX));
    uint64_t archive_size = 0;
    uint16_t version = 0;
    int width = term_get_columns() - 51;
    bool bar_open = false; // a progress line waits for its line end
    bool tmp_ours = false;  // the temporary file is this extraction's, to remove on failure
    bool store_made = false; // the store directory is this extraction's, to remove on failure
    std::string cause;      // the first failure, in one line

    extraction() = default;
    extraction(const extraction &) = delete;
    extraction &operator=(const extraction &) = delete;
    ~extraction() {
        free(buf);
        free(scratch);
    }

    void progress(const char *label, uint64_t done, uint64_t total) {
        term_progress(label, width, done, total);
        bar_open = true;
    }
    void end_bar(const char *label, uint64_t total) {
        progress(label, total, total);
        printf("\n");
        bar_open = false;
    }
};

// Records the first failure's cause (the later ones follow from it) and logs it.
__attribute__((format(printf, 2, 3))) extract_rc fail(extraction *x, const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    LOG_ERROR("%s", line);
    if (x->cause.empty())
        x->cause = line;
    return EX_FAILED;
}

// A failed system call on `path`, logged with where it happened and its errno.
extract_rc fail_sys(extraction *x, const char *call, const char *path, const char *func,
                    int line) {
    const int e = errno;
    LOG_ERROR("[%s:%d] %s %s %s", func, line, call, path, strerror(e));
    if (x->cause.empty())
        x->cause = std::string(call) + " " + path + ": " + strerror(e);
    return EX_FAILED;
}
#define FAIL_SYS(x, call, path) fail_sys(x, call, path, __func__, __LINE__)

// A refusal already shown on standard output in red (`said`, without its colour codes).
extract_rc refuse(extraction *x, extract_rc rc, const std::string &said) {
    printf("\033[91m%s\033[0m\n", said.c_str());
    LOG_ERROR("%s", said.c_str());
    if (x->cause.empty())
        x->cause = said;
    return rc;
}

// Reads one record of a phase: EX_OK with *got true, or at a clean end of the stream with
// *got false; a cut record or a read error fails.
extract_rc read_record(extraction *x, int fd, const char *path, void *rec, size_t len, bool *got,
                       const char *cut_message) {
    ssize_t n = io_read_full(fd, rec, len);
    *got = n > 0;
    if (n < 0)
        return FAIL_SYS(x, "read", path);
    if (n > 0 && static_cast<size_t>(n) < len)
        return fail(x, "%s", cut_message);
    return EX_OK;
}

// The header's path as text for a log line: up to its first zero byte, control bytes shown
// as "?".
std::string printable_path(const char path[ARCHIVE_PATH_SIZE]) {
    std::string s(path, strnlen(path, ARCHIVE_PATH_SIZE));
    for (char &c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return s;
}

extract_rc open_archive(extraction *x, const char *archive_path) {
    x->archive.reset(open(archive_path, O_RDONLY | O_CLOEXEC));
    if (!x->archive.valid())
        return refuse(x, EX_REFUSED, std::string("Cannot open the archive file: ") + strerror(errno));
    struct stat st;
    if (fstat(x->archive.get(), &st) != 0)
        return refuse(x, EX_FAILED, std::string("Cannot stat the archive file: ") + strerror(errno));
    if (st.st_size <= static_cast<off_t>(ARCHIVE_HDR_SIZE))
        return refuse(x, EX_REFUSED, "Invalid Korvane Database archive file size.");
    x->archive_size = static_cast<uint64_t>(st.st_size);
    posix_fadvise(x->archive.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    archive_hdr h;
    ssize_t n = io_read_full(x->archive.get(), &h, sizeof h);
    if (n != static_cast<ssize_t>(sizeof h))
        return refuse(x, EX_FAILED,
                      std::string("Cannot read the archive file: ") +
                          (n < 0 ? strerror(errno) : "the file ends inside its header"));
    int version = archive_hdr_version(&h);
    if (version < 0)
        return refuse(x, EX_FAILED, "Not a Korvane Database archive.");
    if (!is_version_compatible(static_cast<uint16_t>(version)))
        return refuse(x, EX_FAILED, "Unsupported Korvane Database archive.");
    x->version = static_cast<uint16_t>(version);
    return EX_OK;
}

// Whether `fd`, opened by the name ARCHIVE_TMP_FILE, is still the file of that name (nobody
// removed it between the open and the lock).
bool tmp_still_named(int fd) {
    struct stat held, named;
    return fstat(fd, &held) == 0 && lstat(ARCHIVE_TMP_FILE, &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino && S_ISREG(held.st_mode);
}

// The temporary file, held under an exclusive lock for the whole extraction so that another
// extraction in this directory tells a live one from a file left by a killed run: a file
// nobody holds is taken over and emptied; a held one refuses.
extract_rc create_tmp(extraction *x) {
    for (int tries = 0; tries < 3; tries++) {
        x->tmp_out.reset(open(ARCHIVE_TMP_FILE, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                              0600));
        if (!x->tmp_out.valid())
            return FAIL_SYS(x, "open", ARCHIVE_TMP_FILE);
        if (flock(x->tmp_out.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                return refuse(x, EX_REFUSED,
                              std::string("Output file [") + ARCHIVE_TMP_FILE +
                                  "] is in use by another extraction.");
            return FAIL_SYS(x, "flock", ARCHIVE_TMP_FILE);
        }
        if (!tmp_still_named(x->tmp_out.get()))
            continue;
        x->tmp_ours = true;
        struct stat st;
        if (fstat(x->tmp_out.get(), &st) == 0 && st.st_size > 0)
            LOG_WARN("Replacing %s left by an earlier extraction.", ARCHIVE_TMP_FILE);
        if (ftruncate(x->tmp_out.get(), 0) != 0)
            return FAIL_SYS(x, "ftruncate", ARCHIVE_TMP_FILE);
        LOG_INFO("Decompressing archive file into %s ...", ARCHIVE_TMP_FILE);
        return EX_OK;
    }
    return fail(x, "%s keeps being replaced by another process.", ARCHIVE_TMP_FILE);
}

// One block of the archive into the temporary file.
extract_rc decompress_block(extraction *x, const archive_block_hdr *bh) {
    uint32_t raw, stored, crc;
    archive_block_hdr_read(bh, &raw, &stored, &crc);
    if (raw == 0 || raw > ARCHIVE_BLOCK_MAX || stored > ARCHIVE_BLOCK_MAX)
        return fail(x, "Data block header corrupted.");
    // Raw data is read into the buffer it is written from; LZ4 data beside it, to be
    // decompressed into that buffer.
    uint8_t *data = stored == raw ? x->buf : x->scratch;
    ssize_t n = io_read_full(x->archive.get(), data, stored);
    if (n < 0)
        return FAIL_SYS(x, "read", "the archive");
    if (static_cast<uint32_t>(n) != stored)
        return fail(x, "Archive file ends inside a data block.");
    if (stored != raw && block_decompress_into(x->scratch, stored, x->buf, raw) != 0)
        return fail(x, "Data block decompression failed. Sizes [%u/%u]", stored, raw);
    if (crc32_calc(x->buf, raw) != crc)
        return fail(x, "Data block corrupted.");
    if (io_write_all(x->tmp_out.get(), x->buf, raw) != 0) {
        if (errno == ENOSPC)
            return fail(x, "Incomplete write to the temporary file.");
        return FAIL_SYS(x, "write", ARCHIVE_TMP_FILE);
    }
    return EX_OK;
}

// Phase 1: every block, checked, into the temporary file. Only a clean end of the archive
// at a block boundary ends it.
extract_rc decompress_all(extraction *x) {
    uint64_t consumed = ARCHIVE_HDR_SIZE;
    for (;;) {
        archive_block_hdr bh;
        bool got;
        extract_rc rc = read_record(x, x->archive.get(), "the archive", &bh, sizeof bh, &got,
                                    "Archive file ends inside a data block header.");
        if (rc != EX_OK)
            return rc;
        if (!got)
            break;
        if ((rc = decompress_block(x, &bh)) != EX_OK)
            return rc;
        consumed += sizeof bh + load_be32(bh.stored);
        x->progress(DECOMPRESS_LABEL, consumed, x->archive_size);
    }
    x->end_bar(DECOMPRESS_LABEL, x->archive_size);
    return EX_OK;
}

// Copies `size` bytes from the temporary file's position into a new file at `path`.
extract_rc extract_file(extraction *x, const char *path, uint64_t size) {
    std::string dir(path, strrchr(path, '/') - path);
    if (sys_mkdirs(dir.c_str()) != 0)
        return fail(x, "Unable to make dir: %s", dir.c_str());
    // A path met twice fails rather than merging two entries into one file.
    fd_owner out;
    out.reset(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid())
        return FAIL_SYS(x, "open", path);
    const int sent = fd_send_all(out.get(), x->tmp_in.get(), nullptr, size);
    if (sent < 0)
        return FAIL_SYS(x, "sendfile", path);
    if (sent > 0)
        return fail(x, "Archive stream ends inside the file %s.", path);
    if (out.close() != 0)
        return FAIL_SYS(x, "close", path);
    return EX_OK;
}

// One entry of the stream: its header checked, its file created.
extract_rc extract_entry(extraction *x, const archive_file_hdr *fh, uint64_t offset,
                         uint64_t stream_size) {
    const uint64_t size = archive_file_hdr_size(fh);
    const uint64_t stored_crc = archive_file_hdr_stored_crc(fh);
    const uint64_t crc = archive_file_hdr_crc(fh);
    if (stored_crc != crc)
        return fail(x, "File header corrupted! EXPECTED CRC[%lX] CURRENT CRC[%lX] SIZE[%lu] %s",
                    stored_crc, crc, size, printable_path(fh->path).c_str());
    if (!archive_path_acceptable(fh->path))
        return fail(x, "Refused archive file path: %s", printable_path(fh->path).c_str());
    if (size > stream_size - offset)
        return fail(x, "Archive stream ends inside the file %s.", fh->path);
    LOG_DEBUG("Extracting file %s [%lu]", fh->path, size);
    return extract_file(x, fh->path, size);
}

// Phase 2: every entry of the stream into its file. Only a clean end of the stream at an
// entry boundary ends it.
extract_rc extract_all(extraction *x) {
    x->tmp_in.reset(open(ARCHIVE_TMP_FILE, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!x->tmp_in.valid()) {
        FAIL_SYS(x, "open", ARCHIVE_TMP_FILE);
        return EX_REFUSED;
    }
    posix_fadvise(x->tmp_in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    struct stat st;
    if (fstat(x->tmp_in.get(), &st) != 0)
        return FAIL_SYS(x, "fstat", ARCHIVE_TMP_FILE);
    const uint64_t stream_size = static_cast<uint64_t>(st.st_size);
    x->progress(EXTRACT_LABEL, 0, stream_size);
    if (mkdir(STORE_DIR, 0700) != 0) {
        const int e = errno;
        printf("\033[91mError! %s: %s\033[0m\n", strerror(e), STORE_DIR);
        x->cause = std::string("mkdir ") + STORE_DIR + ": " + strerror(e);
        LOG_ERROR("%s", x->cause.c_str());
        return EX_FAILED;
    }
    x->store_made = true;
    uint64_t done = 0;
    for (;;) {
        archive_file_hdr fh;
        bool got;
        extract_rc rc = read_record(x, x->tmp_in.get(), ARCHIVE_TMP_FILE, &fh, sizeof fh, &got,
                                    "Archive stream ends inside a file header.");
        if (rc != EX_OK)
            return rc;
        if (!got)
            break;
        if ((rc = extract_entry(x, &fh, done + sizeof fh, stream_size)) != EX_OK)
            return rc;
        done += sizeof fh + archive_file_hdr_size(&fh);
        LOG_DEBUG("File processed %lu", done);
        x->progress(EXTRACT_LABEL, done, stream_size);
    }
    return EX_OK;
}

extract_rc make_dir(extraction *x, const std::string &path) {
    if (sys_mkdirs(path.c_str()) != 0)
        return fail(x, "Unable to make dir: %s", path.c_str());
    return EX_OK;
}

// The directories a server needs in an opened store: the store's own and, in every agent
// directory, those of root calls, key/value files and staging.
extract_rc complete_store(extraction *x) {
    for (const char *d : STORE_DIRS) {
        if (make_dir(x, d) != EX_OK)
            return EX_FAILED;
    }
    dir_ptr data(opendir("storage.db/data"));
    if (!data)
        return FAIL_SYS(x, "opendir", "storage.db/data");
    extract_rc rc = EX_OK;
    while (struct dirent *de = sys_next_visible(data.get())) {
        const std::string agent = std::string("storage.db/data/") + de->d_name;
        struct stat st;
        if (lstat(agent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        for (const char *sub : AGENT_DIRS) {
            if ((rc = make_dir(x, agent + "/" + sub)) != EX_OK)
                break;
        }
        if (rc != EX_OK)
            break;
    }
    return rc;
}

extract_rc extract(extraction *x, const char *archive_path) {
    struct stat st;
    if (lstat(STORE_DIR, &st) == 0)
        return refuse(x, EX_REFUSED, std::string("Directory [") + STORE_DIR + "] already exists.");
    extract_rc rc;
    if ((rc = open_archive(x, archive_path)) != EX_OK || (rc = create_tmp(x)) != EX_OK ||
        (rc = decompress_all(x)) != EX_OK || (rc = extract_all(x)) != EX_OK ||
        (rc = complete_store(x)) != EX_OK)
        return rc;
    // Last: a store without its version file is never opened by a server.
    if (create_dbversion_file(x->version, VERSION_FILE) != 0)
        return fail(x, "Cannot write the version file %s.", VERSION_FILE);
    return EX_OK;
}

} // namespace

bool archive_path_acceptable(const char path[ARCHIVE_PATH_SIZE]) {
    const char *end = static_cast<const char *>(memchr(path, '\0', ARCHIVE_PATH_SIZE));
    const size_t prefix = sizeof STORE_PREFIX - 1;
    if (end == nullptr || strncmp(path, STORE_PREFIX, prefix) != 0)
        return false;
    for (const char *p = path + prefix;;) {
        const char *slash = static_cast<const char *>(memchr(p, '/', static_cast<size_t>(end - p)));
        const char *stop = slash != nullptr ? slash : end;
        if (stop == p || *p == '.')
            return false;
        if (slash == nullptr)
            return true;
        p = slash + 1;
    }
}

int dbs_extract(const char *archive_path, std::string *cause) {
    extraction x;
    extract_rc rc = extract(&x, archive_path);
    // A failure takes away the half-made store, which would stand in the next attempt's way.
    // No server opens it meanwhile: its version file is written last.
    if (rc != EX_OK && x.store_made) {
        LOG_INFO("Removing the partly extracted [%s].", STORE_DIR);
        (void)sys_rmtree(STORE_DIR); // what cannot be removed is logged
    }
    // The temporary file goes while still held: no other extraction takes it over half-read.
    if (x.tmp_ours && unlink(ARCHIVE_TMP_FILE) != 0)
        LOG_SYSERR_PATH("unlink", ARCHIVE_TMP_FILE);
    if (rc == EX_OK) {
        x.end_bar(EXTRACT_LABEL, 1);
        printf("\033[92mArchive extraction procedure succeeded.\033[0m\n");
        return 0;
    }
    if (x.bar_open)
        printf("\n");
    if (rc == EX_FAILED)
        printf("\033[91mArchive file extraction failure.\033[0m\n");
    if (cause != nullptr)
        *cause = x.cause.empty() ? "the extraction failed" : x.cause;
    return -1;
}
