// Launching the archive process at its scheduled time.
#pragma once

#include <ctime>

struct runtime;

// Starts the archive process over the store at `dir` unless one already runs. 0 or -1.
int archive_proc_spawn(const char *dir, struct runtime *rt, time_t now);
// Releases the archive lock after the archive process ended.
void archive_proc_unlock();
