// The composition root: the roles this executable holds, handed to the process frame by the
// commands that need them (init, start).
#pragma once

#include <cstdint>

#include "server/role.h"

// Fills `out` with the roles of `mode` (MODE_* bits) in the order their steps run, the
// Manager before the Database. 0, or -1 after a red line when the mode needs a role this
// build does not hold.
int cli_roles(uint32_t mode, role_set *out);
