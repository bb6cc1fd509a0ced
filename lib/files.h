// File-system helpers: directory trees, file walks, locks and volume space.
#pragma once

#include <cstdint>

// Exclusive non-blocking lock of the whole file behind fd: 0 locked, 1 held through another
// open file description, -1 on any other error (logged).
int sys_write_trylock(int fd);
