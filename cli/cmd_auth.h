// The auth command: adds, lists, deletes and changes the users of a Manager environment,
// working on its storage file directly, whether a server runs there or not.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/agent_type.h"
#include "manager/acache.h"
#include "manager/users.h"

struct runtime;
struct pattern;

// What cli_collect_user gathers: every user with its banned agents (the caller frees each
// record's `banned`); `failed` is set when a user could not be read.
struct cli_user_list {
    mgr_storage *storage;
    std::vector<mgr_user> users;
    bool failed;
};

// What cli_collect_ban_agent gathers: the JVM agents whose label matches `expr`.
struct cli_ban_filter {
    const pattern *expr;
    std::vector<agent_entry> agents;
};

// auth add|info|rm|mod [options] DIR. Never returns: exits 0 when the action succeeded,
// else 1.
int32_t cmd_auth(int argc, char **argv, struct runtime *rt);

// The actions, with the whole argument vector (the action word is argv[2]). 0 or non-zero.
int cmd_auth_add(int argc, char **argv);
int cmd_auth_info(int argc, char **argv);
int cmd_auth_rm(int argc, char **argv);
int cmd_auth_mod(int argc, char **argv);

// Asks twice for a password with echo off (the newline still echoes) and leaves the first
// entry in `out`. 0, -1 (after a red line: no terminal, entries that differ, an entry over
// 62 bytes) or 22 at end of input. The terminal settings come back on every path, also when
// SIGINT, SIGTERM or SIGHUP ends the process at the prompt.
int cli_read_password(char out[64]);

// The bits of a permission word: a sign, then 1 to 4 letters of "cpoq" (the sign is not
// part of the result). 0 after "Invalid permissions value!".
uint64_t cli_parse_perms(const char *text);

// users_foreach callback; ctx is a cli_user_list. Appends the user as users_get reads it,
// banned agents included.
int cli_collect_user(void *ctx, const mgr_user *user);
// acache_foreach callback; ctx is a cli_ban_filter. Appends the entry of each JVM agent
// whose label matches the filter's expression.
int cli_collect_ban_agent(void *ctx, const mgr_agent *slot);
// users_perms_foreach callback; ctx is a uint64_t that counts the lines. Prints
// "\t<letter>: <text>".
int cli_print_perm(void *ctx, const user_perm *row);
