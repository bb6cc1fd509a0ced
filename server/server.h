// The listening side of the service process.
#pragma once

#include "lib/netaddr.h"

// One per service process, held in the runtime record. The master fills the listening
// address from the configuration before it spawns the service.
struct server {
    netaddr addr;
};
