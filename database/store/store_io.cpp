#include "database/store/store_io.h"

#include <cerrno>
#include <unistd.h>

// Runs `step(done)` until `len` bytes are written; each step returns what write(2) returns.
template <typename Step> static int write_loop(size_t len, Step step) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = step(done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0) {
            errno = ENOSPC;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

int io_write_all(int fd, const void *buf, size_t len) {
    const char *p = static_cast<const char *>(buf);
    return write_loop(len, [&](size_t done) { return write(fd, p + done, len - done); });
}

int io_pwrite_all(int fd, const void *buf, size_t len, uint64_t off) {
    const char *p = static_cast<const char *>(buf);
    return write_loop(len, [&](size_t done) {
        return pwrite(fd, p + done, len - done, static_cast<off_t>(off + done));
    });
}
