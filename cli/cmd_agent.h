// The agent command. `reroute` gives the chosen agents of a Manager environment a new
// Database: through the running Manager's control channel, or straight into its storage when
// no server runs. `rm` removes the chosen agents of a stopped environment from its Manager
// storage and its data store.
#pragma once

#include <cstdint>

struct runtime;

// Never returns.
int32_t cmd_agent(int argc, char **argv, struct runtime *rt);
