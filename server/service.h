// The service process: the child of the master that does the server's work.
#pragma once

#include <cstdint>

// Entry of the service process (argument: the runtime record); its result becomes the
// process's exit status 0 or 1.
int32_t service_main(void *arg);

struct runtime;

// The service's stop, in this order: the server stops accepting connections (and closes those
// that have not said hello), then every role quiesces (stops reading, drains what was
// accepted, flushes), then every role closes.
void service_stop(struct runtime *rt);

// The service's stop request (SIGINT, SIGTERM, SIGSEGV): clears the run flag.
void service_on_term();
