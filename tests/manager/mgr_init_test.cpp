#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/mgr_init.h"
#include "manager/users.h"
#include "mgr_support.h"

namespace {

const std::string kCreating = "\033[0m\tCreating the Manager structure ...\033[0m\n";

using ManagerInit = InTempDir;

TEST_F(ManagerInit, StorageWithTheAdministrator) {
    int rc = -1;
    EXPECT_EQ(capture_out([&] { rc = mgr_init_environment(); }), kCreating);
    EXPECT_EQ(rc, 0);
    mgr_storage *s = mgr_storage_open();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(users_check_password(s, "admin", "vendrix"), 0);
    mgr_user u{};
    ASSERT_EQ(users_get(s, "admin", &u), 0);
    EXPECT_EQ(u.permissions, 31u);
    EXPECT_EQ(u.nbanned, 0u);
    EXPECT_EQ(sql_rows(s->db, "SELECT count(*) FROM USERS;"), std::vector<std::string>{"1"});
    mgr_storage_close(s);
}

TEST_F(ManagerInit, ExistingStorageDirectoryFails) {
    ASSERT_EQ(mkdir("storage.mgr", 0700), 0);
    int rc = 0;
    EXPECT_EQ(capture_out([&] { rc = mgr_init_environment(); }),
              kCreating + "\033[91mCannot create directory storage.mgr : File exists\033[0m\n"
                          "\033[91mKorvane environment initialization failed.\033[0m\n");
    EXPECT_EQ(rc, -1);
}

} // namespace
