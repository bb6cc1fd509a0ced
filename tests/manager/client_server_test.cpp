// Graphical clients at Manager and Standalone servers made by `korvane init`, over loopback:
// logins, commands for agents, agent queries and the answers relayed back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manager/acache.h"
#include "manager/users.h"
#include "mgr_server.h"
#include "mgr_support.h"

namespace {

// The login answer: "\0MANAGER", permissions, version word, n, mode, d, 0, then the rest.
Bytes login_answer(uint64_t perms, uint16_t nbanned, uint8_t mode, uint8_t ndbs,
                   const std::string &rest) {
    return wire_message(MSG_HELLO, manager_answer() + be(perms, 8) + be(0x3006, 2) +
                                       be(nbanned, 2) + be(mode, 1) + be(ndbs, 1) + be(0, 1) +
                                       rest);
}

Bytes login(unsigned port, const std::string &name, const std::string &password) {
    Peer c(port);
    c.send({login_hello(name, password)});
    return c.expect_next();
}

void add_user(mgr_storage *s, const char *name, const char *password, uint64_t perms) {
    char field[128];
    ASSERT_EQ(users_copy_name(name, field), 0);
    ASSERT_EQ(users_add(s, field, password, perms), 0);
}

TEST(MgrClientServer, LoginAnswersAtAStandaloneServer) {
    ManagerServer srv("standalone");
    uint64_t bans[3];
    for (int i = 0; i < 3; i++)
        bans[i] = agent_id(2, "banned-" + std::to_string(i));
    srv.prepare([&](mgr_storage *s) {
        add_user(s, "banned-three", "secret", PERM_ONLINE | PERM_QUERY);
        mgr_user u{};
        ASSERT_EQ(users_copy_name("banned-three", u.username), 0);
        for (int i = 0; i < 3; i++) {
            mgr_agent a = agent_rec(2, "banned-" + std::to_string(i));
            ASSERT_EQ(acache_add(s, &a).aid, bans[i]);
        }
        // In an order other than the ids', which the answer keeps.
        uint64_t order[3] = {bans[2], bans[0], bans[1]};
        u.banned = order;
        u.nbanned = 3;
        ASSERT_EQ(users_set_banned(s, &u), 0);
    });
    srv.start();
    EXPECT_EQ(login(srv.port(), "admin", "vendrix"), login_answer(31, 0, 3, 0, ""));
    EXPECT_EQ(login_answer(31, 0, 3, 0, "").size(), 5u + 23);
    const Bytes three = login_answer(0x19, 3, 3, 0, be(bans[2], 8) + be(bans[0], 8) + be(bans[1], 8));
    EXPECT_EQ(three.size(), 5u + 47);
    EXPECT_EQ(login(srv.port(), "banned-three", "secret"), three);
    EXPECT_EQ(srv.count("INFO   Connection granted to user ["), 2u);
}

TEST(MgrClientServer, LoginAtAManagerListsTheConnectedDatabases) {
    ManagerServer srv("manager");
    srv.start();
    const std::string a = nurl_wire(2, 900, 0x0A000005);
    const std::string b = nurl_wire(2, 901, 0x0A000006);
    Peer db1(srv.port()), db2(srv.port());
    db1.send({database_hello(a)});
    EXPECT_EQ(db1.expect_next(), wire_message(MSG_HELLO, manager_answer()));
    db2.send({database_hello(b)});
    EXPECT_EQ(db2.expect_next(), wire_message(MSG_HELLO, manager_answer()));
    const Bytes answer = login(srv.port(), "admin", "vendrix");
    EXPECT_EQ(answer, login_answer(31, 0, 1, 2, a + b));
    EXPECT_EQ(answer.size(), 5u + 63);
    // The Part's example address as the login answer lists it.
    EXPECT_EQ(answer.substr(5 + 23, 8), std::string("\x00\x02\x03\x84\x0a\x00\x00\x05", 8));
}

struct RefusedLogin {
    const char *name;
    std::string body;
    std::vector<std::string> lines;
};

TEST(MgrClientServer, RefusedLoginsCloseWithoutAnswer) {
    const std::string nul(1, '\0');
    const std::string long_name(128, 'n');
    const RefusedLogin rows[] = {
        {"wrong password", login_bytes("admin", "wrong"),
         {"INFO   Connection denied to user [admin]. Reason: Invalid password."}},
        {"unknown user", login_bytes("nobody", "vendrix"),
         {"INFO   Connection denied to user [nobody]. Reason: No such user."}},
        {"name of 128 characters", login_bytes(long_name, "vendrix"),
         {"ERROR  Username too long: " + long_name + "!\n\n",
          "INFO   Connection denied to user [" + long_name + "]. Reason: Unknown"}},
        {"name shorter than its field", be(4, 2) + "admin" + nul + be(7, 2) + "vendrix" + nul,
         {"ERROR  Username error\n", "ERROR  Invalid authentication request."}},
        {"password longer than its field", be(5, 2) + "admin" + nul + be(9, 2) + "vendrix" + nul,
         {"ERROR  Password error\n", "ERROR  Invalid authentication request."}},
        {"body of one byte", "\x05", {"ERROR  Invalid authentication request."}},
        {"control bytes in the name", login_bytes("ad\nmin\x1b[2J", "x"),
         {"INFO   Connection denied to user [ad?min?[2J]. Reason: No such user."}},
    };
    ManagerServer srv("standalone");
    srv.start();
    for (const RefusedLogin &row : rows) {
        std::vector<size_t> before;
        for (const std::string &line : row.lines)
            before.push_back(srv.count(line));
        Peer c(srv.port());
        c.send({client_hello(row.body)});
        EXPECT_TRUE(c.closed_by_server()) << row.name;
        for (size_t i = 0; i < row.lines.size(); i++)
            EXPECT_TRUE(srv.logged_times(row.lines[i], before[i] + 1)) << row.name << srv.log();
    }
    EXPECT_EQ(srv.count("Connection granted"), 0u);
}

// One agent and one logged-in client at a Standalone server.
class MgrClientServerRelay : public testing::Test {
protected:
    ManagerServer srv{"standalone"};
    std::unique_ptr<Peer> client;
    std::unique_ptr<Peer> agent;
    MgrAgentHello hello;

    void SetUp() override {
        srv.start();
        hello.label = "relay-agent";
        hello.database = nurl_wire(2, static_cast<uint16_t>(srv.port()), kLoopback);
        agent = srv.agent(hello);
        client = srv.admin();
    }

    // The query as the agent receives it; its PeerId is checked to be the client's.
    PeerId forwarded(const Bytes &query_data) {
        const Bytes m = agent->expect_next();
        EXPECT_EQ(m.substr(0, 5), be(MSG_AGENT_QUERY, 1) + be(30 + query_data.size(), 4));
        EXPECT_EQ(m.substr(5, 2), std::string("\x00\x1c", 2));
        EXPECT_EQ(m.substr(5 + 30), query_data);
        const PeerId id = peer_id_at(m, 7);
        EXPECT_EQ(id.uid, user_id("admin"));
        EXPECT_EQ(id.pt, PT_MG_UI);
        EXPECT_NE(id.cid, 0u);
        return id;
    }
};

TEST_F(MgrClientServerRelay, CommandsReachTheAgentWithoutItsId) {
    client->send({client_command(7, hello.aid())});
    EXPECT_EQ(agent->expect_next(), wire_message(MSG_AGENT_COMMAND, be(7, 8)));
    client->send({client_command(3, hello.aid(), "args")});
    EXPECT_EQ(agent->expect_next(), wire_message(MSG_AGENT_COMMAND, be(3, 8) + "args"));
    client->send({client_command(8, hello.aid())});
    ASSERT_TRUE(srv.logged("ERROR  Incorrect command id: 8."));
    client->send({wire_message(MSG_AGENT_COMMAND, std::string(15, '\0'))});
    ASSERT_TRUE(srv.logged("ERROR  Incorrect agent command size: 15!"));
    EXPECT_TRUE(agent_messages_until_marker(*client, *agent, hello.aid()).empty());
    // A command for an agent that is not connected is dropped.
    client->send({client_command(1, 0x1234)});
    EXPECT_TRUE(srv.logged("IOL[MG-AG]: No such peer [UID=0000000000001234] found."));
}

TEST_F(MgrClientServerRelay, QueriesAreForwardedAndAnswersRelayed) {
    const Bytes query = agent_query(41, 9, hello.aid());
    client->send({query});
    const PeerId to = forwarded(query.substr(5));
    ASSERT_EQ(query.size() - 5, 24u);
    agent->send({agent_answer(41, 9, 1, to, "answer-data")});
    EXPECT_EQ(client->expect_next(),
              wire_message(MSG_RESPONSE, be(41, 8) + be(9, 8) + be(1, 2) + "answer-data"));

    // An answer without data is relayed with its header as it came.
    client->send({agent_query(42, 9, hello.aid(), "more")});
    const PeerId to2 = forwarded((agent_query(42, 9, hello.aid(), "more")).substr(5));
    agent->send({agent_answer(42, 9, 3, to2, "")});
    EXPECT_EQ(client->expect_next(), wire_message(MSG_RESPONSE, be(42, 8) + be(9, 8) + be(3, 2)));

    // An answer that names a peer other than a client (here the agent itself) is dropped:
    // neither gets it, and the next answer is the next the client gets.
    agent->send({agent_answer(43, 9, 1, PeerId{hello.aid(), 0, 0, PT_MG_AG}, "forged")});
    ASSERT_TRUE(srv.logged("ERROR  Response for a peer of type 2 dropped"));
    EXPECT_TRUE(agent_messages_until_marker(*client, *agent, hello.aid()).empty());
    agent->send({agent_answer(44, 9, 1, to, "genuine")});
    EXPECT_EQ(client->expect_next(),
              wire_message(MSG_RESPONSE, be(44, 8) + be(9, 8) + be(1, 2) + "genuine"));

    client->send({wire_message(MSG_AGENT_QUERY, std::string(23, '\0'))});
    EXPECT_TRUE(srv.logged("ERROR  Incorrect agent query size: 23!"));
}

TEST_F(MgrClientServerRelay, JvmPropertiesAreCachedFromTheFirstGoodAnswer) {
    // An error answer is relayed but not kept.
    client->send({agent_query(1, 6, hello.aid())});
    PeerId to = forwarded(agent_query(1, 6, hello.aid()).substr(5));
    agent->send({agent_answer(1, 6, 2, to, "oops")});
    EXPECT_EQ(client->expect_next(),
              wire_message(MSG_RESPONSE, be(1, 8) + be(6, 8) + be(2, 2) + std::string("oop\0", 4)));
    // A good answer without text is not kept either.
    client->send({agent_query(5, 6, hello.aid())});
    to = forwarded(agent_query(5, 6, hello.aid()).substr(5));
    agent->send({agent_answer(5, 6, 1, to, "x")});
    EXPECT_EQ(client->expect_next(),
              wire_message(MSG_RESPONSE, be(5, 8) + be(6, 8) + be(1, 2) + std::string(1, '\0')));
    // The next query still reaches the agent; its text ends in a NUL in place of its last byte.
    client->send({agent_query(2, 6, hello.aid())});
    to = forwarded(agent_query(2, 6, hello.aid()).substr(5));
    agent->send({agent_answer(2, 6, 1, to, "abc")});
    EXPECT_EQ(client->expect_next(),
              wire_message(MSG_RESPONSE, be(2, 8) + be(6, 8) + be(1, 2) + std::string("ab\0", 3)));
    // From now on the Manager answers, without the NUL.
    client->send({agent_query(3, 6, hello.aid())});
    EXPECT_EQ(client->expect_next(),
              wire_message(MSG_RESPONSE, be(3, 8) + be(6, 8) + be(1, 2) + "ab"));
    EXPECT_TRUE(srv.logged("DEBUG  JVM properties get from cache."));
    EXPECT_TRUE(agent_messages_until_marker(*client, *agent, hello.aid()).empty());
}

} // namespace
