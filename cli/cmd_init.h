// The init command: creates a new environment directory for one run mode.
#pragma once

#include <cstdint>

struct runtime;

// init [--mode=standalone|manager|database] [--verbose] DIR. Ends the process, except for
// an invalid mode word, where it returns -1.
int32_t cmd_init(int argc, char **argv, struct runtime *rt);
