#include "database/store/archive_extract.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "database/store/archive_format.h"
#include "database/store/dbs.h"
#include "lib/be_load.h"
#include "lib/crc32.h"
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

// Reads one record of a phase: EX_OK with *got true, or at a clean end of the stream with
// *got false; a cut record or a read error fails.
extract_rc read_record(int fd, void *rec, size_t len, bool *got, const char *cut_message) {
    ssize_t n = io_read_full(fd, rec, len);
    *got = n > 0;
    if (n < 0) {
        LOG_SYSERR("read");
        return EX_FAILED;
    }
    if (n > 0 && static_cast<size_t>(n) < len) {
        LOG_ERROR("%s", cut_message);
        return EX_FAILED;
    }
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
    if (!x->archive.valid()) {
        printf("\033[91mCannot open the archive file: %s\033[0m\n", strerror(errno));
        return EX_REFUSED;
    }
    struct stat st;
    if (fstat(x->archive.get(), &st) != 0) {
        printf("\033[91mCannot stat the archive file: %s\033[0m\n", strerror(errno));
        return EX_FAILED;
    }
    if (st.st_size <= static_cast<off_t>(ARCHIVE_HDR_SIZE)) {
        printf("\033[91mInvalid Korvane Database archive file size.\033[0m\n");
        return EX_REFUSED;
    }
    x->archive_size = static_cast<uint64_t>(st.st_size);
    posix_fadvise(x->archive.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    archive_hdr h;
    ssize_t n = io_read_full(x->archive.get(), &h, sizeof h);
    if (n != static_cast<ssize_t>(sizeof h)) {
        printf("\033[91mCannot read the archive file: %s\033[0m\n",
               n < 0 ? strerror(errno) : "the file ends inside its header");
        return EX_FAILED;
    }
    int version = archive_hdr_version(&h);
    if (version < 0) {
        printf("\033[91mNot a Korvane Database archive.\033[0m\n");
        return EX_FAILED;
    }
    if (!is_version_compatible(static_cast<uint16_t>(version))) {
        printf("\033[91mUnsupported Korvane Database archive.\033[0m\n");
        return EX_FAILED;
    }
    x->version = static_cast<uint16_t>(version);
    return EX_OK;
}

extract_rc create_tmp(extraction *x) {
    x->tmp_out.reset(open(ARCHIVE_TMP_FILE,
                          O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!x->tmp_out.valid()) {
        if (errno == EEXIST) {
            printf("\033[91mOutput file [%s] already exists.\033[0m\n", ARCHIVE_TMP_FILE);
            return EX_REFUSED;
        }
        LOG_SYSERR_PATH("open", ARCHIVE_TMP_FILE);
        return EX_FAILED;
    }
    LOG_INFO("Decompressing archive file into %s ...", ARCHIVE_TMP_FILE);
    return EX_OK;
}

// One block of the archive into the temporary file.
extract_rc decompress_block(extraction *x, const archive_block_hdr *bh) {
    uint32_t raw, stored, crc;
    archive_block_hdr_read(bh, &raw, &stored, &crc);
    if (raw == 0 || raw > ARCHIVE_BLOCK_MAX || stored > ARCHIVE_BLOCK_MAX) {
        LOG_ERROR("Data block header corrupted.");
        return EX_FAILED;
    }
    // Raw data is read into the buffer it is written from; LZ4 data beside it, to be
    // decompressed into that buffer.
    uint8_t *data = stored == raw ? x->buf : x->scratch;
    ssize_t n = io_read_full(x->archive.get(), data, stored);
    if (n < 0) {
        LOG_SYSERR("read");
        return EX_FAILED;
    }
    if (static_cast<uint32_t>(n) != stored) {
        LOG_ERROR("Archive file ends inside a data block.");
        return EX_FAILED;
    }
    if (stored != raw && block_decompress_into(x->scratch, stored, x->buf, raw) != 0) {
        LOG_ERROR("Data block decompression failed. Sizes [%u/%u]", stored, raw);
        return EX_FAILED;
    }
    if (crc32_calc(x->buf, raw) != crc) {
        LOG_ERROR("Data block corrupted.");
        return EX_FAILED;
    }
    if (io_write_all(x->tmp_out.get(), x->buf, raw) != 0) {
        if (errno == ENOSPC)
            LOG_ERROR("Incomplete write to the temporary file.");
        else
            LOG_SYSERR_PATH("write", ARCHIVE_TMP_FILE);
        return EX_FAILED;
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
        extract_rc rc = read_record(x->archive.get(), &bh, sizeof bh, &got,
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
    if (x->tmp_out.close() != 0) {
        LOG_SYSERR_PATH("close", ARCHIVE_TMP_FILE);
        return EX_FAILED;
    }
    return EX_OK;
}

// Copies `size` bytes from the temporary file's position into a new file at `path`.
extract_rc extract_file(extraction *x, const char *path, uint64_t size) {
    std::string dir(path, strrchr(path, '/') - path);
    if (sys_mkdirs(dir.c_str()) != 0) {
        LOG_ERROR("Unable to make dir: %s", dir.c_str());
        return EX_FAILED;
    }
    // A path met twice fails rather than merging two entries into one file.
    fd_owner out;
    out.reset(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        LOG_SYSERR_PATH("open", path);
        return EX_FAILED;
    }
    uint64_t left = size;
    while (left > 0) {
        size_t chunk = left > 0x40000000 ? 0x40000000 : static_cast<size_t>(left);
        ssize_t n = sendfile(out.get(), x->tmp_in.get(), nullptr, chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            LOG_SYSERR_PATH("sendfile", path);
            return EX_FAILED;
        }
        if (n == 0) {
            LOG_ERROR("Archive stream ends inside the file %s.", path);
            return EX_FAILED;
        }
        left -= static_cast<uint64_t>(n);
    }
    if (out.close() != 0) {
        LOG_SYSERR_PATH("close", path);
        return EX_FAILED;
    }
    return EX_OK;
}

// One entry of the stream: its header checked, its file created.
extract_rc extract_entry(extraction *x, const archive_file_hdr *fh, uint64_t offset,
                         uint64_t stream_size) {
    const uint64_t size = archive_file_hdr_size(fh);
    const uint64_t stored_crc = archive_file_hdr_stored_crc(fh);
    const uint64_t crc = archive_file_hdr_crc(fh);
    if (stored_crc != crc) {
        LOG_ERROR("File header corrupted! EXPECTED CRC[%lX] CURRENT CRC[%lX] SIZE[%lu] %s",
                  stored_crc, crc, size, printable_path(fh->path).c_str());
        return EX_FAILED;
    }
    if (!archive_path_acceptable(fh->path)) {
        LOG_ERROR("Refused archive file path: %s", printable_path(fh->path).c_str());
        return EX_FAILED;
    }
    if (size > stream_size - offset) {
        LOG_ERROR("Archive stream ends inside the file %s.", fh->path);
        return EX_FAILED;
    }
    LOG_DEBUG("Extracting file %s [%lu]", fh->path, size);
    return extract_file(x, fh->path, size);
}

// Phase 2: every entry of the stream into its file. Only a clean end of the stream at an
// entry boundary ends it.
extract_rc extract_all(extraction *x) {
    x->tmp_in.reset(open(ARCHIVE_TMP_FILE, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!x->tmp_in.valid()) {
        LOG_SYSERR_PATH("open", ARCHIVE_TMP_FILE);
        return EX_REFUSED;
    }
    posix_fadvise(x->tmp_in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    struct stat st;
    if (fstat(x->tmp_in.get(), &st) != 0) {
        LOG_SYSERR_PATH("fstat", ARCHIVE_TMP_FILE);
        return EX_FAILED;
    }
    const uint64_t stream_size = static_cast<uint64_t>(st.st_size);
    x->progress(EXTRACT_LABEL, 0, stream_size);
    if (mkdir(STORE_DIR, 0700) != 0) {
        printf("\033[91mError! %s: %s\033[0m\n", strerror(errno), STORE_DIR);
        return EX_FAILED;
    }
    uint64_t done = 0;
    for (;;) {
        archive_file_hdr fh;
        bool got;
        extract_rc rc = read_record(x->tmp_in.get(), &fh, sizeof fh, &got,
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

extract_rc make_dir(const std::string &path) {
    if (sys_mkdirs(path.c_str()) != 0) {
        LOG_ERROR("Unable to make dir: %s", path.c_str());
        return EX_FAILED;
    }
    return EX_OK;
}

// The directories a server needs in an opened store: the store's own and, in every agent
// directory, those of root calls, key/value files and staging.
extract_rc complete_store() {
    for (const char *d : STORE_DIRS) {
        if (make_dir(d) != EX_OK)
            return EX_FAILED;
    }
    DIR *data = opendir("storage.db/data");
    if (data == nullptr) {
        LOG_SYSERR_PATH("opendir", "storage.db/data");
        return EX_FAILED;
    }
    extract_rc rc = EX_OK;
    while (struct dirent *de = readdir(data)) {
        if (de->d_name[0] == '.')
            continue;
        const std::string agent = std::string("storage.db/data/") + de->d_name;
        struct stat st;
        if (lstat(agent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        for (const char *sub : AGENT_DIRS) {
            if ((rc = make_dir(agent + "/" + sub)) != EX_OK)
                break;
        }
        if (rc != EX_OK)
            break;
    }
    closedir(data);
    return rc;
}

extract_rc extract(extraction *x, const char *archive_path) {
    struct stat st;
    if (lstat(STORE_DIR, &st) == 0) {
        printf("\033[91mDirectory [%s] already exists.\033[0m\n", STORE_DIR);
        return EX_REFUSED;
    }
    extract_rc rc;
    if ((rc = open_archive(x, archive_path)) != EX_OK || (rc = create_tmp(x)) != EX_OK ||
        (rc = decompress_all(x)) != EX_OK || (rc = extract_all(x)) != EX_OK ||
        (rc = complete_store()) != EX_OK)
        return rc;
    // Last: a store without its version file is never opened by a server.
    if (create_dbversion_file(x->version, VERSION_FILE) != 0) {
        LOG_ERROR("Cannot write the version file %s.", VERSION_FILE);
        return EX_FAILED;
    }
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

int dbs_extract(const char *archive_path) {
    extraction x;
    extract_rc rc = extract(&x, archive_path);
    if (rc == EX_OK) {
        x.end_bar(EXTRACT_LABEL, 1);
        printf("\033[92mArchive extraction procedure succeeded.\033[0m\n");
        if (unlink(ARCHIVE_TMP_FILE) != 0)
            LOG_SYSERR_PATH("unlink", ARCHIVE_TMP_FILE);
        return 0;
    }
    if (x.bar_open)
        printf("\n");
    if (rc == EX_FAILED)
        printf("\033[91mArchive file extraction failure.\033[0m\n");
    return -1;
}
