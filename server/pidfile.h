// The pid file of a running master: its pid in decimal and one zero byte, kept locked for as
// long as the master lives. Other commands test that lock to learn whether a server runs.
#pragma once

#include <sys/types.h>

// Writes `pid` into dir/name (mode 0600). With `lock` the file is locked first and left
// untouched when another process holds it. Returns the open descriptor, which the caller
// keeps open to keep the lock, or -1 after a message.
int krv_write_pidfile(pid_t pid, const char *dir, const char *name, int lock);
