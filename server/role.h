// Roles: what the Manager and the Database plug into the process frame. A role is one record
// of data and callbacks; the executable hands the roles of its mode to the frame, which walks
// them in their order (Manager before Database) at each step of `init`, of the service's
// start-up, watchdog and stop, and of the server set-up. A NULL callback is a step the role
// does not have.
//
// The frame never looks inside a role's context. Roles find each other through the frame's
// role set (role_find), so a role reaches another one's context without including it.
#pragma once

#include <cstdint>

#include "lib/mtp.h"

struct loop;
struct runtime;

// The thread pool of a role, made and started by the server set-up.
struct role_pool {
    const char *name; // NULL: the role has no pool
    uint8_t min;
    uint8_t max;
    uint16_t tasks; // room for queued tasks
};

// One IO loop of a role: its peer type and its maker, which gets the role's context and,
// when the loop runs on the role's pool, the pool (else NULL). A loop with `without` set is
// made only in a process that lacks that role (MODE_* bit).
struct role_loop {
    uint32_t pt; // 0 ends a role's list
    bool on_pool;
    uint32_t without;
    loop *(*make)(void *ctx, mtp_pool *pool);
};

constexpr unsigned ROLE_LOOPS_MAX = 3;

struct role {
    const char *name; // "Manager", "Database"
    uint32_t mode;    // the MODE_* bit the role serves
    role_pool pool;
    role_loop loops[ROLE_LOOPS_MAX];

    // Creates the role's part of a new environment in the working directory (the init
    // command). 0, or -1 after the role's own lines, the failure line of init included.
    int (*init)();
    // Opens the role's storage and services (its threads included) into its context. 0, or
    // -1 after the role's own lines; the service then fails to start.
    int (*open)(role *self, struct runtime *rt);
    // Runs once the listening socket, the pools and the loops exist and before the loops
    // start. 0, or -1 after the role's own lines: the service ends at once.
    int (*serve)(role *self, struct runtime *rt);
    // Runs once the server thread has started; nothing waits for what it does.
    void (*started)(role *self, struct runtime *rt);
    // Runs at every watchdog period of the service.
    void (*tick)(role *self, struct runtime *rt);
    // Runs when the service stops, before any role is closed: stop reading, drain what was
    // accepted, flush and close files.
    void (*quiesce)(role *self, struct runtime *rt);
    // Releases what open made, after every role has quiesced.
    void (*close)(role *self, struct runtime *rt);
    // The scheduled archive run, in the archive process the master starts: archives and
    // removes the data older than `retention_hours` before `launch_time_s` (with `purge`,
    // removes it only). 0, or -1 after the role's own lines.
    int (*archive)(role *self, uint64_t launch_time_s, uint16_t retention_hours, bool purge);

    void *ctx; // the role's own context, made by open
};

constexpr unsigned ROLES_MAX = 2;

// The roles a process plays, in the order their steps run.
struct role_set {
    role items[ROLES_MAX];
    uint32_t n;
};

// The role of the set that serves the MODE_* bit `mode`, or NULL.
role *role_find(role_set *set, uint32_t mode);

// The MODE_* bits of the set's roles together.
uint32_t role_set_mode(const role_set *set);
