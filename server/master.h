// The master process: it daemonises, holds the pid file, supervises the service process and
// watches the data store's free space.
#pragma once

#include <cstdint>

// Runs the master on the runtime record filled by the start command; never returns but
// when the signal thread cannot start (-1).
int master_main(int argc, char **argv);

// Signal callbacks of the master (SIGINT/SIGTERM/SIGSEGV, and SIGCHLD).
void master_on_term();
void master_on_child();

// Removes var/korvane.pid.
void master_remove_pidfiles();

// The service process closes its copies of the master's own descriptors (the pid file, so
// the lock belongs to the master alone, and the pipes to the starting shell).
void close_inherited_fds();
// The part of it a child that keeps the pid file (the archive process) runs: the pipes to
// the starting shell and the master's signal pipe, which a caller waiting for the end of the
// start's output must not find held by a child.
void close_start_fds();

// Called by the first service process once it runs: tells the master, which tells the shell
// that started the server that start-up succeeded.
void master_report_started();

// Respawn pacing of a crashing service: immediate, until 5 respawns fall within 60
// seconds; then at most one every 10 seconds. `times` holds the monotonic seconds of the
// recent respawns, newest last. Returns how many seconds to wait before the next respawn.
struct respawn_history {
    double times[5];
    int count;
};
double respawn_delay(const respawn_history *h, double now);
void respawn_record(respawn_history *h, double now);

// How long a stopping master lets the service run after its SIGTERM before it kills it.
constexpr uint32_t MASTER_STOP_GRACE_MS = 30000;

// Whether the free-space guard stops the server: below 1 GiB free.
constexpr uint64_t MASTER_MIN_FREE = 1073741824ull;
