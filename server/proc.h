// Child processes of the master: their descriptor, the spawn operation, the pid file and the
// signal thread.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

// One kind of child process (the service, the archive process).
struct proc_desc {
    char name[32];        // process title the child takes; empty keeps the master's
    time_t started;       // time of the last successful spawn
    int32_t (*entry)(void *arg);
    uint32_t spawn_count; // successful spawns
    pid_t pid;            // last child, -1 after a failed fork
};
