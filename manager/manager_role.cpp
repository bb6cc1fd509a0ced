#include "manager/manager_role.h"

#include "manager/mgr_init.h"
#include "server/runtime.h"

const role manager_role = {
    .name = "Manager",
    .mode = MODE_MANAGER,
    .pool = {},
    .loops = {},
    .init = mgr_init_environment,
    .open = nullptr,
    .serve = nullptr,
    .started = nullptr,
    .tick = nullptr,
    .quiesce = nullptr,
    .close = nullptr,
    .archive = nullptr,
    .ctx = nullptr,
};
