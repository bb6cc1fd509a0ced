// The pid file of a running master: its pid in decimal and one zero byte, kept locked for as
// long as the master lives. Other commands test that lock to learn whether a server runs.
#pragma once

#include <sys/types.h>

// Writes `pid` into dir/name (mode 0600). With `lock` the file is locked first and left
// untouched when another process holds it. Returns the open descriptor, which the caller
// keeps open to keep the lock, or -1 after a message.
int krv_write_pidfile(pid_t pid, const char *dir, const char *name, int lock);

// Results of krv_take_pidfile.
inline constexpr int KRV_PIDFILE_TAKEN = 0;   // *fd holds the locked file
inline constexpr int KRV_PIDFILE_HELD = 1;    // another process holds the lock: a server runs
inline constexpr int KRV_PIDFILE_FAILED = -1; // any other failure, after its message

// krv_write_pidfile with the lock, telling a lock held elsewhere from other failures: the
// test of whether a server runs that the administration commands make.
int krv_take_pidfile(pid_t pid, const char *dir, const char *name, int *fd);

// Removes dir/name while the lock is still held through `fd`, then closes `fd`: a server
// starting meanwhile finds either this file locked or none at all, and no file is left
// naming a pid that may belong to another process by the time anyone reads it.
void krv_release_pidfile(int fd, const char *dir, const char *name);
