// The plugin command: installs, removes and lists the authentication plugins of an
// environment with the Manager role. It changes the plugins directory only; a running server
// sees the change at its next start.
#pragma once

#include <cstdint>

struct runtime;

// plugin add|rm|list [--name=NAME] [--lib=PATH] [--conf=PATH] [--verbose] DIR, the action
// word (any case) right after the command word. Ends the process.
int32_t cmd_plugin(int argc, char **argv, struct runtime *rt);
