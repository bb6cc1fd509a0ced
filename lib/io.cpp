#include "lib/io.h"

#include <cerrno>
#include <unistd.h>

void fd_owner::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

int fd_owner::close() {
    int fd = release();
    return fd >= 0 ? ::close(fd) : 0;
}

// Moves an I/O vector past `done` bytes.
static void iov_advance(iovec *&iov, int &cnt, size_t done) {
    while (cnt > 0 && done >= iov->iov_len) {
        done -= iov->iov_len;
        iov++;
        cnt--;
    }
    if (cnt > 0) {
        iov->iov_base = static_cast<char *>(iov->iov_base) + done;
        iov->iov_len -= done;
    }
}

// Runs `step(done)` until `len` bytes are written; each step returns what write(2) does. A
// write that takes nothing means the file takes no more.
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

// Runs `step(done)` until `len` bytes are read or the file ends; each step returns what
// read(2) does.
template <typename Step> static ssize_t read_loop(size_t len, Step step) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = step(done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
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

int io_writev_all(int fd, iovec *iov, int cnt) {
    while (cnt > 0) {
        ssize_t n = writev(fd, iov, cnt);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0) {
            errno = ENOSPC;
            return -1;
        }
        iov_advance(iov, cnt, static_cast<size_t>(n));
    }
    return 0;
}

ssize_t io_read_full(int fd, void *buf, size_t len) {
    char *p = static_cast<char *>(buf);
    return read_loop(len, [&](size_t done) { return read(fd, p + done, len - done); });
}

ssize_t io_pread_full(int fd, void *buf, size_t len, uint64_t off) {
    char *p = static_cast<char *>(buf);
    return read_loop(len, [&](size_t done) {
        return pread(fd, p + done, len - done, static_cast<off_t>(off + done));
    });
}

ssize_t io_preadv_full(int fd, iovec *iov, int cnt, uint64_t off) {
    ssize_t total = 0;
    while (cnt > 0) {
        ssize_t n = preadv(fd, iov, cnt, static_cast<off_t>(off + static_cast<uint64_t>(total)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        total += n;
        iov_advance(iov, cnt, static_cast<size_t>(n));
    }
    return total;
}
