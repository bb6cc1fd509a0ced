#include "manager/mgr_init.h"

#include <cstdio>

#include "manager/mgr_storage.h"
#include "manager/users.h"

namespace {

// The administrator every new Manager starts with.
struct first_user {
    char name[128] = "admin";
    char password[64] = "vendrix";
};

int mgr_init_failed() {
    printf("\033[91mKorvane environment initialization failed.\033[0m\n");
    return -1;
}

} // namespace

int mgr_init_environment() {
    printf("\033[0m\tCreating the Manager structure ...\033[0m\n");
    if (mgr_storage_create("storage.mgr") != 0)
        return mgr_init_failed();
    mgr_storage *s = mgr_storage_open();
    if (s == nullptr) {
        printf("\033[91mCannot open the manager storage!\033[0m\n");
        return -1;
    }
    const first_user admin;
    int rc = users_add(s, admin.name, admin.password, PERM_ALL);
    mgr_storage_close(s);
    return rc == 0 ? 0 : mgr_init_failed();
}
