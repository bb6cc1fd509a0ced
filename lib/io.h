// Descriptors: an owner that closes them, and whole reads and writes that go on after
// interruptions and partial transfers, so a record either reaches its file complete or the
// caller learns that it did not. Nothing here logs; callers report failures once, in their
// own words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/uio.h>

// Owns one descriptor (-1: none) and closes it when it goes out of scope.
class fd_owner {
public:
    explicit fd_owner(int fd = -1) : fd_(fd) {}
    ~fd_owner() { reset(); }
    fd_owner(fd_owner &&other) noexcept : fd_(other.release()) {}
    fd_owner &operator=(fd_owner &&other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (if any) and takes `fd`.
    void reset(int fd = -1);
    // Closes the descriptor now: 0, or -1 with errno set (a write error the kernel reports
    // only at close). Owns nothing afterwards.
    int close();

private:
    int fd_;
};

// Writes all `len` bytes at the descriptor's position. 0, or -1 with errno set (ENOSPC
// when the file takes no more bytes).
int io_write_all(int fd, const void *buf, size_t len);
// The same at file offset `off`, leaving the descriptor's position alone.
int io_pwrite_all(int fd, const void *buf, size_t len, uint64_t off);
// Writes every byte of the vector, which it consumes (its entries are advanced).
int io_writev_all(int fd, iovec *iov, int cnt);

// Reads until `len` bytes have arrived or the file ends: the bytes read, or -1 with errno
// set.
ssize_t io_read_full(int fd, void *buf, size_t len);
// The same from file offset `off`.
ssize_t io_pread_full(int fd, void *buf, size_t len, uint64_t off);
// The same into a vector, which it consumes.
ssize_t io_preadv_full(int fd, iovec *iov, int cnt, uint64_t off);
