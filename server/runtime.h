// The process-wide context record, the service's run flag, and the banner and version
// block printed by the command line and the master.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "lib/version.h"
#include "server/proc.h"
#include "server/role.h"
#include "server/server.h"

constexpr uint32_t MODE_MANAGER = 1;
constexpr uint32_t MODE_DATABASE = 2;
constexpr uint32_t MODE_STANDALONE = 3;

// The process state, zero at process start. What a role opens lives in that role's own
// context, reached through `roles`.
struct runtime {
    proc_desc service;
    proc_desc archiver;
    struct server server;
    role_set roles; // the roles of the mode, handed over by the executable before it starts
    const char *mode_name;
    char *home;    // owned: the normalised environment directory
    uint32_t mode; // MODE_* bits
    time_t start_time;
    int32_t master_pid;
};

extern struct runtime runtime;
// The service's run flag: 1 while it runs; cleared to stop it.
extern std::atomic<int32_t> running;

// Fixed when the build is configured.
extern const char krv_build_rev[];
extern const char krv_release_date[];

void print_banner();
// The first three lines go to `stream`, the closing frame line always to standard output.
void print_version(FILE *stream);
