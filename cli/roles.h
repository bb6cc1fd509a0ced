// The composition root: the roles this executable holds, handed to the process frame by the
// commands that need them (init, start).
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/role.h"

// A role of the product by the mode bit it serves; `record` is NULL for a role the build
// does not hold.
struct cli_role_row {
    uint32_t mode;
    const char *name;
    const role *record;
};

// Fills `out` with the roles of `mode` (MODE_* bits) in the order their steps run, the
// Manager before the Database. 0, or -1 after a red line when the mode needs a role this
// build does not hold.
int cli_roles(uint32_t mode, role_set *out);

// The same over the rows of any table, in their order.
int cli_roles_from(const cli_role_row *rows, size_t n, uint32_t mode, role_set *out);
