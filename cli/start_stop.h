// The start and stop commands.
#pragma once

#include <cstdint>

struct runtime;

// start [--debug] [--trace] <dir>: sets the log level and fills the mode, the environment
// directory and the service descriptor of `rt`. 0 to run the server, -1 after an option or
// directory argument error; exits 1 itself when the directory holds no environment.
int32_t cmd_start(int argc, char **argv, struct runtime *rt);

// stop <dir>: stops the server running on the environment; ends the process.
int32_t stop(int argc, char **argv, struct runtime *rt);

// How long stop waits for the master to end: the master's own stop grace and a margin.
constexpr unsigned STOP_WAIT_MS = 60000;

// The work of stop on a normalised environment directory, waiting `spin_ms` between lock
// tests and giving up (red line, status 1) when the master still runs after limit_ms.
// Returns the exit status.
int stop_env(const char *home, unsigned spin_ms, unsigned limit_ms);
