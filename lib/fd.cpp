#include "lib/fd.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/io.h"
#include "lib/log.h"

int fd_set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        LOG_SYSERR("fcntl");
        return -1;
    }
    return 0;
}

int fd_send_all(int dst, int src, off_t *offset, uint64_t size) {
    // One call moves at most this much, whatever it is asked for.
    constexpr uint64_t chunk_max = 0x40000000;
    while (size > 0) {
        const ssize_t n = sendfile(dst, src, offset, size < chunk_max ? size : chunk_max);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            return 1;
        size -= static_cast<uint64_t>(n);
    }
    return 0;
}

// Moves `size` bytes from the start of src to dst.
static int copy_bytes(int src, int dst, uint64_t size) {
    off_t done = 0;
    const int rc = fd_send_all(dst, src, &done, size);
    if (rc < 0)
        LOG_ERROR("Cannot copy: %s", strerror(errno));
    else if (rc > 0)
        LOG_ERROR("Incomplete copy made.");
    return rc == 0 ? 0 : -1;
}

// True when `path` names the file already open as the source: truncating it as the
// destination would destroy the source.
static bool is_same_file(const char *path, const struct stat &src) {
    struct stat st;
    return stat(path, &st) == 0 && st.st_dev == src.st_dev && st.st_ino == src.st_ino;
}

int fd_copy(const char *src_path, const char *dst_path) {
    fd_owner src(open(src_path, O_RDONLY | O_CLOEXEC));
    if (src.get() < 0) {
        LOG_ERROR("Cannot open source %s: %s", src_path, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(src.get(), &st) != 0) {
        LOG_SYSERR_PATH("", src_path);
        return -1;
    }
    if (is_same_file(dst_path, st)) {
        LOG_ERROR("Cannot copy: %s is the source file itself", dst_path);
        return -1;
    }
    int dst = open(dst_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (dst < 0) {
        LOG_ERROR("Cannot open destination %s: %s", dst_path, strerror(errno));
        return -1;
    }
    int rc = copy_bytes(src.get(), dst, static_cast<uint64_t>(st.st_size));
    // A delayed write error may only show when the destination is closed.
    if (close(dst) != 0 && rc == 0) {
        LOG_ERROR("Cannot copy: %s", strerror(errno));
        rc = -1;
    }
    if (rc != 0)
        unlink(dst_path);
    return rc;
}
