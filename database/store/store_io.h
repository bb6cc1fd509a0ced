// Whole-buffer writes for the store's files: a record either reaches the file complete or
// the caller learns that it did not.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes all `len` bytes at the descriptor's position, going on after interruptions and
// partial writes. 0, or -1 with errno set (ENOSPC when the file takes no more bytes).
int io_write_all(int fd, const void *buf, size_t len);

// The same at file offset `off`.
int io_pwrite_all(int fd, const void *buf, size_t len, uint64_t off);
