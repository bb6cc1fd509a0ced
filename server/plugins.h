// Authentication plugins: the function a plugin registers to check the passwords of the
// graphical clients' logins in place of the stored hashes.
#pragma once

#include <atomic>

// Accepts (0) or refuses (anything else) a user name with its password. Called from several
// pool workers at once.
typedef int (*auth_fn)(const char *username, const char *password);

// The registered function, NULL while no plugin has registered one. Set while the service
// starts, before any connection is accepted, and only read afterwards.
extern std::atomic<auth_fn> auth_hook;
