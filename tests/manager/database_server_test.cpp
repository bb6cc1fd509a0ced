// Databases at a Manager made by `korvane init`, over loopback: their hellos, the registry
// clients see at login and the notices they are pushed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manager/users.h"
#include "mgr_server.h"

namespace {

const std::string kA = nurl_wire(2, 900, 0x0A000005);
const std::string kB = nurl_wire(2, 901, 0x0A000006);
const std::string kC = nurl_wire(2, 902, 0x0A000007);

// The notice as a client receives it: family and port little-endian.
Bytes notice(uint8_t kind, const std::string &address) {
    std::string data = std::string(1, '\0') + std::string(1, static_cast<char>(kind));
    data += address.substr(1, 1) + address.substr(0, 1) + address.substr(3, 1) + address.substr(2, 1);
    return wire_message(MSG_PUSH, data + address.substr(4));
}

// The Databases a client lists at login. It logs in as a user of its own: a second login of
// admin would replace the test's admin connection.
std::string listed(unsigned port) {
    Peer c(port);
    c.send({login_hello("lister", "lister-pw")});
    const Bytes answer = c.expect_next();
    return answer.size() >= 5 + 23 ? answer.substr(5 + 23) : "";
}

class MgrDatabaseServer : public testing::Test {
protected:
    ManagerServer srv{"manager"};
    void SetUp() override {
        srv.prepare([](mgr_storage *s) {
            char name[128] = "lister";
            ASSERT_EQ(users_add(s, name, "lister-pw", PERM_USER), 0);
        });
        srv.start();
    }

    // A Database whose hello has been answered.
    std::unique_ptr<Peer> database(const std::string &address) {
        auto d = std::make_unique<Peer>(srv.port());
        d->send({database_hello(address)});
        EXPECT_EQ(d->expect_next(), wire_message(MSG_HELLO, manager_answer()));
        return d;
    }
};

TEST_F(MgrDatabaseServer, HelloMustHoldExactlyOneAddress) {
    for (size_t n : {19u, 21u}) {
        const size_t before = srv.count("ERROR  Incorrect auth message size!");
        Peer d(srv.port());
        d.send({database_hello(std::string(n, '\x01'))});
        EXPECT_TRUE(d.closed_by_server()) << n;
        EXPECT_TRUE(srv.logged_times("ERROR  Incorrect auth message size!", before + 1)) << n;
    }
    auto d = database(kA);
    EXPECT_TRUE(srv.logged("INFO   New database connection accepted from 127.0.0.1:"));
    EXPECT_EQ(listed(srv.port()), kA);
}

TEST_F(MgrDatabaseServer, ClientsAreToldOfDatabasesThatComeAndGo) {
    auto client = srv.admin();
    auto a = database(kA);
    // The example address: family and port little-endian in the notice.
    const Bytes connected = client->expect_next();
    EXPECT_EQ(connected, notice(1, kA));
    EXPECT_EQ(connected.substr(5 + 2, 4), std::string("\x02\x00\x84\x03", 4));
    auto b = database(kB);
    EXPECT_EQ(client->expect_next(), notice(1, kB));
    a.reset();
    EXPECT_EQ(client->expect_next(), notice(0, kA));
    EXPECT_EQ(listed(srv.port()), kB);
    // The new Database takes the entry the first one left.
    auto c = database(kC);
    EXPECT_EQ(client->expect_next(), notice(1, kC));
    EXPECT_EQ(listed(srv.port()), kC + kB);
}

TEST_F(MgrDatabaseServer, ReplacedConnectionKeepsTheDatabaseListed) {
    auto client = srv.admin();
    auto first = database(kA);
    EXPECT_EQ(client->expect_next(), notice(1, kA));
    auto second = database(kA);
    EXPECT_EQ(client->expect_next(), notice(1, kA));
    // The loop drops the first connection for the second, which stays registered.
    EXPECT_TRUE(first->closed_by_server());
    EXPECT_EQ(listed(srv.port()), kA);
    // The next notice the client gets is the one of the second connection's end.
    second.reset();
    EXPECT_EQ(client->expect_next(), notice(0, kA));
    EXPECT_EQ(listed(srv.port()), "");
}

TEST_F(MgrDatabaseServer, WhatADatabaseSendsIsIgnored) {
    auto client = srv.admin();
    auto d = database(kA);
    EXPECT_EQ(client->expect_next(), notice(1, kA));
    const size_t reads = srv.count("IOL[MG-DB]: Reading from socket...");
    d->send({wire_message(MSG_AGENT_DATA, "data"), wire_message(MSG_RESPONSE, "reply"),
             wire_message(MSG_HELLO, "hello")});
    ASSERT_TRUE(srv.logged_times("IOL[MG-DB]: Reading from socket...", reads + 1));
    EXPECT_EQ(listed(srv.port()), kA);
    EXPECT_EQ(srv.count("IOL[MG-DB]: Client ["), 0u);
    // Still connected: its end is what the client hears of next.
    d.reset();
    EXPECT_EQ(client->expect_next(), notice(0, kA));
}

} // namespace
