// Descriptor helpers: non-blocking mode and whole-file copies (the descriptor owner and the
// whole reads and writes are in lib/io.h).
#pragma once

#include <cstdint>
#include <sys/types.h>

// Adds O_NONBLOCK to the status flags of fd, keeping the others. 0, or -1 (logged).
int fd_set_nonblocking(int fd);

// Moves `size` bytes from src to dst with sendfile, again and again until all have arrived
// (one call stops at about 2 GiB, or short): from *offset, which moves on, or from src's
// position when `offset` is NULL. 0 when done; 1 when src ended first; -1 on a failed call,
// with errno set. Nothing is logged: the caller knows what the bytes are.
int fd_send_all(int dst, int src, off_t *offset, uint64_t size);

// Copies the file `src_path` to `dst_path` (created or truncated, mode 0640 less the
// umask). 0 when every byte was copied; otherwise -1 (logged) and no destination is left.
int fd_copy(const char *src_path, const char *dst_path);
