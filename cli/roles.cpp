#include "cli/roles.h"

#include <cstdio>

#include "cli/cli.h"
#include "database/database_role.h"
#include "server/runtime.h"

namespace {

// Every role of the product by the mode bit it serves, in step order; `record` is NULL for
// a role this build does not hold yet.
struct role_row {
    uint32_t mode;
    const char *name;
    const role *record;
};

constexpr role_row ROLE_ROWS[] = {
    {MODE_MANAGER, "Manager", nullptr},
    {MODE_DATABASE, "Database", &database_role},
};

} // namespace

int cli_roles(uint32_t mode, role_set *out) {
    *out = role_set{};
    for (const role_row &row : ROLE_ROWS) {
        if ((mode & row.mode) == 0)
            continue;
        if (row.record == nullptr) {
            printf("\033[91mThe %s mode needs the %s storage, which is not available in this "
                   "build.\033[0m\n",
                   cli_mode_word(mode), row.name);
            return -1;
        }
        out->items[out->n++] = *row.record;
    }
    return 0;
}
