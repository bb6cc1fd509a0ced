#include "cli/roles.h"

#include <cstdio>
#include <iterator>

#include "cli/cli.h"
#include "database/database_role.h"
#include "manager/manager_role.h"
#include "server/runtime.h"

// Every role of the product, in step order.
static const cli_role_row ROLE_ROWS[] = {
    {MODE_MANAGER, "Manager", &manager_role},
    {MODE_DATABASE, "Database", &database_role},
};

int cli_roles_from(const cli_role_row *rows, size_t n, uint32_t mode, role_set *out) {
    *out = role_set{};
    for (size_t i = 0; i < n; i++) {
        const cli_role_row &row = rows[i];
        if ((mode & row.mode) == 0)
            continue;
        if (row.record == nullptr || out->n == ROLES_MAX) {
            printf("\033[91mThe %s mode needs the %s storage, which is not available in this "
                   "build.\033[0m\n",
                   cli_mode_word(mode), row.name);
            return -1;
        }
        out->items[out->n++] = *row.record;
    }
    return 0;
}

int cli_roles(uint32_t mode, role_set *out) {
    return cli_roles_from(ROLE_ROWS, std::size(ROLE_ROWS), mode, out);
}
