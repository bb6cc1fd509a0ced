// The archive process: started by the master at the scheduled time of day, it runs one
// archive run of the data store beside the service process.
//
// "storage.db/arch.run" guards against a second run. The archive process creates it
// exclusively and holds an exclusive flock on it until it ends, so a file that nobody holds
// is known to be left over (a crash, a stop during the run) and does not block archiving.
#pragma once

#include <cstdint>
#include <ctime>

#include "lib/format.h"

struct runtime;

constexpr const char *ARCHIVE_LOCK_FILE = "storage.db/arch.run";
// How long the archive process stays after its run, holding the lock, so that the later
// ticks of the scheduled minute start no second run.
constexpr unsigned ARCHIVE_LINGER_MS = 60000;
// Test-only: the linger time in milliseconds (1 to 65535), read from the environment.
constexpr const char *ARCHIVE_LINGER_ENV = KRV_TEST_HOOK("ARCHIVE_LINGER_MS");

// Starts the archive process over the store at `dir` (its launch time `now`) unless one
// runs: the archiver of `rt` is still alive, or another process holds the lock. A lock file
// nobody holds is removed with a warning first. 0 when spawned or already running, else -1.
// The caller serialises it with the reaping of children.
int archive_proc_spawn(const char *dir, struct runtime *rt, time_t now);

// Entry of the archive process (its argument the runtime record): takes the lock, runs the
// Database role's archive step with the configured retention and policy, closes standard
// error and lingers.
// 0 after a run, -1 when the lock was not taken.
int32_t archive_proc_main(void *arg);

// Removes the lock file after the archive process ended, unless another process holds it.
void archive_proc_unlock();
