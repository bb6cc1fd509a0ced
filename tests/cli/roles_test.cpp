// The composition root: which roles each mode hands to the frame, and the refusal of a mode
// whose role a build does not hold.
#include <gtest/gtest.h>

#include <string>

#include "cli/roles.h"
#include "database/database_role.h"
#include "manager/manager_role.h"
#include "server/runtime.h"
#include "support/test_support.h"

namespace {

TEST(Roles, EachModeGetsItsRolesManagerFirst) {
    const struct {
        uint32_t mode;
        std::vector<std::string> names;
    } cases[] = {
        {MODE_MANAGER, {"Manager"}},
        {MODE_DATABASE, {"Database"}},
        {MODE_STANDALONE, {"Manager", "Database"}},
        {0, {}},
    };
    for (const auto &c : cases) {
        role_set set{};
        ASSERT_EQ(cli_roles(c.mode, &set), 0) << c.mode;
        std::vector<std::string> names;
        for (uint32_t i = 0; i < set.n; i++) {
            names.push_back(set.items[i].name);
            EXPECT_NE(set.items[i].mode & c.mode, 0u) << c.mode;
            EXPECT_EQ(set.items[i].ctx, nullptr) << "nothing is opened by the lookup";
        }
        EXPECT_EQ(names, c.names) << c.mode;
        EXPECT_EQ(role_set_mode(&set), c.mode);
    }
}

// A build without the Manager role: its modes are refused with one red line, the Database
// mode is not.
TEST(Roles, ModeWithoutItsRoleIsRefused) {
    const cli_role_row rows[] = {{MODE_MANAGER, "Manager", nullptr},
                                 {MODE_DATABASE, "Database", &database_role}};
    const struct {
        uint32_t mode;
        const char *word;
    } refused[] = {{MODE_MANAGER, "manager"}, {MODE_STANDALONE, "standalone"}};
    for (const auto &c : refused) {
        RunResult r = run_forked([&] {
            role_set set{};
            exit(cli_roles_from(rows, 2, c.mode, &set) == -1 ? 0 : 1);
        });
        EXPECT_EQ(r.exit_code, 0) << c.word;
        EXPECT_EQ(r.out, std::string("\033[91mThe ") + c.word +
                             " mode needs the Manager storage, which is not available in this "
                             "build.\033[0m\n");
    }
    role_set set{};
    ASSERT_EQ(cli_roles_from(rows, 2, MODE_DATABASE, &set), 0);
    ASSERT_EQ(set.n, 1u);
    EXPECT_STREQ(set.items[0].name, "Database");
}

} // namespace
