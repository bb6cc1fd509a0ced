// Child processes of the master: their descriptor, the spawn operation and the process title.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

// One kind of child process (the service, the archive process).
struct proc_desc {
    char name[32];  // process title the child takes; empty keeps the master's
    time_t started; // time of the last successful spawn
    int32_t (*entry)(void *arg);
    uint32_t spawn_count; // successful spawns
    pid_t pid;            // last child, -1 after a failed fork
};

// Forks a child that runs desc->entry(arg) with standard input and output on /dev/null and
// exits 0 when it returns 0, 1 otherwise. With `argv` (the master's own command line) the
// child shows desc->name as its process title. 0 in the parent on success, -1 when the fork
// failed (logged).
int proc_spawn(proc_desc *desc, void *arg, int argc, char **argv);

// Overwrites the argument strings that lie back to back from argv[0] with `name` and zero
// bytes, so process listings show the name alone, and points argv[1..argc-1] at the empty
// string that ends the area. The name is cut to the size of the area.
void proc_set_title(int argc, char **argv, const char *name);
