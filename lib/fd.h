// Descriptor helpers: non-blocking mode and whole-file copies (the descriptor owner and the
// whole reads and writes are in lib/io.h).
#pragma once

// Adds O_NONBLOCK to the status flags of fd, keeping the others. 0, or -1 (logged).
int fd_set_nonblocking(int fd);

// Copies the file `src_path` to `dst_path` (created or truncated, mode 0640 less the
// umask). 0 when every byte was copied; otherwise -1 (logged) and no destination is left.
int fd_copy(const char *src_path, const char *dst_path);
