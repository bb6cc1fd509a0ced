#include "server/role.h"

role *role_find(role_set *set, uint32_t mode) {
    for (uint32_t i = 0; i < set->n; i++) {
        if (set->items[i].mode == mode)
            return &set->items[i];
    }
    return nullptr;
}

uint32_t role_set_mode(const role_set *set) {
    uint32_t mode = 0;
    for (uint32_t i = 0; i < set->n; i++)
        mode |= set->items[i].mode;
    return mode;
}
