// Logins over the wire at a running Manager made by `korvane init`: users changed by the
// `auth` command while it runs, and authentication plugins installed in its environment.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "manager/users.h"
#include "mgr_server.h"

namespace {

std::string test_plugin(const std::string &variant) {
    return std::string(KRV_TEST_PLUGIN_DIR) + "/" + variant + ".so";
}

// Whether a login is granted: the answer begins with "\0MANAGER"; a refused one is closed.
bool logs_in(unsigned port, const std::string &name, const std::string &password) {
    Peer c(port);
    c.send({login_hello(name, password)});
    const std::optional<Bytes> answer = c.next();
    return answer.has_value() && answer->size() >= 13 && answer->substr(0, 1) == be(MSG_HELLO, 1) &&
           answer->substr(5, 8) == manager_answer();
}

TEST(MgrLoginServer, UsersChangedByAuthTakeEffectAtOnce) {
    ManagerServer srv("manager");
    srv.start();
    EXPECT_FALSE(logs_in(srv.port(), "newcomer", "np-1"));

    RunResult r = run_korvane({"auth", "add", "--username=newcomer", "--password=np-1", srv.env()});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(logs_in(srv.port(), "newcomer", "np-1")) << srv.log();
    EXPECT_FALSE(logs_in(srv.port(), "newcomer", "other"));

    r = run_korvane_input({"auth", "rm", "--username=newcomer", srv.env()}, "y\n");
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_FALSE(logs_in(srv.port(), "newcomer", "np-1"));
    EXPECT_TRUE(srv.logged("INFO   Connection denied to user [newcomer]. Reason: No such user."))
        << srv.log();
    EXPECT_TRUE(logs_in(srv.port(), "admin", "vendrix"));
}

class MgrLoginServerPlugin : public testing::Test {
protected:
    ManagerServer srv{"manager"};
    void SetUp() override {
        srv.prepare([](mgr_storage *s) {
            for (int i = 0; i < 8; i++) {
                char name[128];
                snprintf(name, sizeof name, "user%d", i);
                ASSERT_EQ(users_add(s, name, "stored-pw", PERM_USER), 0);
            }
        });
    }
};

TEST_F(MgrLoginServerPlugin, InstalledPluginDecidesForStoredUsers) {
    RunResult r = run_korvane({"plugin", "add", "--name=accept", "--lib=" + test_plugin("accept"),
                               srv.env()});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    srv.start();
    EXPECT_TRUE(logs_in(srv.port(), "user0", "letmein")) << srv.log();
    EXPECT_FALSE(logs_in(srv.port(), "user1", "stored-pw"));
    EXPECT_FALSE(logs_in(srv.port(), "ghost", "letmein"));
    EXPECT_TRUE(srv.logged("INFO   Connection denied to user [ghost]. Reason: No such user."));

    // Several clients log in at once: every hello is sent before any answer is read.
    std::vector<std::unique_ptr<Peer>> clients;
    for (int i = 0; i < 8; i++) {
        clients.push_back(std::make_unique<Peer>(srv.port()));
        clients.back()->send({login_hello("user" + std::to_string(i), "letmein")});
    }
    for (auto &c : clients) {
        const Bytes answer = c->expect_next();
        EXPECT_EQ(answer.substr(0, 1), be(MSG_HELLO, 1));
        EXPECT_EQ(answer.substr(5, 8), manager_answer());
    }
}

TEST_F(MgrLoginServerPlugin, PluginWhoseInitFailedLeavesTheStoredHashes) {
    // Installed by hand: the plugin command refuses a plugin whose init fails.
    const std::string dir = srv.env() + "/plugins/initfail";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    write_file(dir + "/plg-initfail.so", read_file(test_plugin("initfail")));
    srv.start();
    EXPECT_TRUE(srv.logged("ERROR  Plugin [initfail] init function failed.")) << srv.log();
    EXPECT_TRUE(srv.logged("INFO   No plugins loaded."));
    const pid_t service = srv.service_pid();
    EXPECT_FALSE(logs_in(srv.port(), "user0", "letmein"));
    EXPECT_TRUE(logs_in(srv.port(), "user0", "stored-pw")) << srv.log();
    EXPECT_FALSE(logs_in(srv.port(), "ghost", "stored-pw"));
    EXPECT_TRUE(logs_in(srv.port(), "user1", "stored-pw"));
    EXPECT_EQ(srv.service_pid(), service);
    EXPECT_EQ(kill(service, 0), 0);
}

} // namespace
