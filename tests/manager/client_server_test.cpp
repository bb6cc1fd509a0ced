// Graphical clients at Manager and Standalone servers made by `korvane init`, over loopback:
// logins, commands for agents, agent queries and the answers relayed back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "manager/acache.h"
#include "manager/agent_peer.h"
#include "manager/query_relay.h"
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

std::string hex16(uint64_t v) {
    char text[17];
    snprintf(text, sizeof text, "%016lX", static_cast<unsigned long>(v));
    return text;
}

// A reply as a client receives it: RID, QID, status, data.
Bytes reply_msg(uint64_t rid, uint64_t qid, uint16_t status, const std::string &data = "") {
    return wire_message(MSG_RESPONSE, be(rid, 8) + be(qid, 8) + be(status, 2) + data);
}

// One agent and one logged-in administrator at a Standalone server that also knows the user
// "viewer".
class MgrClientServerRelay : public testing::Test {
protected:
    ManagerServer srv{"standalone"};
    std::unique_ptr<Peer> client;
    std::unique_ptr<Peer> agent;
    MgrAgentHello hello;

    void SetUp() override {
        srv.prepare([](mgr_storage *s) { add_user(s, "viewer", "secret", PERM_QUERY); });
        srv.start();
        hello = hello_of("relay-agent");
        agent = srv.agent(hello);
        client = srv.admin();
    }

    MgrAgentHello hello_of(const std::string &label) const {
        MgrAgentHello h;
        h.label = label;
        h.database = nurl_wire(2, static_cast<uint16_t>(srv.port()), kLoopback);
        return h;
    }

    std::unique_ptr<Peer> viewer() const {
        auto c = std::make_unique<Peer>(srv.port());
        c->send({login_hello("viewer", "secret")});
        EXPECT_EQ(c->expect_next().substr(5, 8), manager_answer());
        return c;
    }

    // The query as agent `to` receives it; its PeerId is checked to be the user's.
    static PeerId forwarded(Peer &to, const Bytes &query_data, const std::string &user = "admin") {
        const Bytes m = to.expect_next();
        EXPECT_EQ(m.substr(0, 5), be(MSG_AGENT_QUERY, 1) + be(30 + query_data.size(), 4));
        EXPECT_EQ(m.substr(5, 2), std::string("\x00\x1c", 2));
        EXPECT_EQ(m.substr(5 + 30), query_data);
        const PeerId id = peer_id_at(m, 7);
        EXPECT_EQ(id.uid, user_id(user));
        EXPECT_EQ(id.pt, PT_MG_UI);
        EXPECT_NE(id.cid, 0u);
        return id;
    }
    PeerId forwarded(const Bytes &query_data) { return forwarded(*agent, query_data); }

    // The request ids of the next n queries the agent receives, which name the agent by id.
    std::vector<uint64_t> forwarded_rids(Peer &to, size_t n) {
        std::vector<uint64_t> rids;
        for (size_t i = 0; i < n; i++) {
            const Bytes m = to.expect_next();
            if (m.size() < 5 + 30 + 24)
                break;
            rids.push_back(from_be(m, 5 + 30, 8));
        }
        std::sort(rids.begin(), rids.end());
        return rids;
    }

    // Asks the agent query `rid` and has the agent answer it: the next reply the client gets
    // must be that answer, so nothing else reached the client before it.
    void round_trip(uint64_t rid) {
        const Bytes query = agent_query(rid, 9, hello.aid());
        client->send({query});
        agent->send({agent_answer(rid, 9, 1, forwarded(query.substr(5)), "round-trip")});
        EXPECT_EQ(next_reply(*client), reply_msg(rid, 9, 1, "round-trip")) << rid;
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
    EXPECT_EQ(next_reply(*client), reply_msg(41, 9, 1, "answer-data"));

    // An answer without data is relayed with its header as it came.
    client->send({agent_query(42, 9, hello.aid(), "more")});
    const PeerId to2 = forwarded((agent_query(42, 9, hello.aid(), "more")).substr(5));
    agent->send({agent_answer(42, 9, 3, to2, "")});
    EXPECT_EQ(next_reply(*client), reply_msg(42, 9, 3));

    client->send({wire_message(MSG_AGENT_QUERY, std::string(23, '\0'))});
    EXPECT_TRUE(srv.logged("ERROR  Incorrect agent query size: 23!"));
}

struct ForgedAnswer {
    const char *name;
    bool from_other; // sent by the agent that was not asked
    uint64_t rid;
    uint64_t qid;
    PeerId to;
};

// Only the agent asked, answering the client connection that asked with the ids it asked
// with, reaches that client, once. Every other answer an agent makes up reaches nobody, is
// counted for the agent connection that sent it, and is kept by nobody.
TEST_F(MgrClientServerRelay, ForgedAnswersReachNoClient) {
    auto watcher = viewer();
    const MgrAgentHello other = hello_of("other-agent");
    auto other_agent = srv.agent(other);
    const Bytes asked = agent_query(41, 9, hello.aid());
    client->send({asked});
    const PeerId admin_id = forwarded(asked.substr(5));
    const Bytes watched = agent_query(77, 9, other.aid());
    watcher->send({watched});
    const PeerId viewer_id = forwarded(*other_agent, watched.substr(5), "viewer");
    const PeerId by_uid_admin{user_id("admin"), 0, 0, PT_MG_UI};
    const PeerId by_uid_viewer{user_id("viewer"), 0, 0, PT_MG_UI};

    const ForgedAnswer rows[] = {
        {"the administrator by its user id alone", false, 41, 9, by_uid_admin},
        {"a user who asked nothing", false, 41, 9, by_uid_viewer},
        {"another user's very connection", false, 41, 9, viewer_id},
        {"a request id never forwarded", false, 40, 9, admin_id},
        {"another query id", false, 41, 8, admin_id},
        {"the agent's own connection", false, 41, 9, PeerId{hello.aid(), 0, 0, PT_MG_AG}},
        {"properties nobody asked for", false, 41, AGENT_QUERY_JVM_PROPERTIES, admin_id},
        {"properties for a user by id", false, 7, AGENT_QUERY_JVM_PROPERTIES, by_uid_admin},
        {"an agent that was not asked", true, 41, 9, admin_id},
    };
    size_t answers = 0;
    for (const ForgedAnswer &row : rows) {
        Peer &from = row.from_other ? *other_agent : *agent;
        ASSERT_TRUE(from.send({agent_answer(row.rid, row.qid, 1, row.to, row.name)})) << row.name;
        answers++;
    }
    agent->send({agent_answer(41, 9, 1, admin_id, "genuine")});
    other_agent->send({agent_answer(77, 9, 1, viewer_id, "watched")});
    EXPECT_EQ(next_reply(*client), reply_msg(41, 9, 1, "genuine"));
    EXPECT_EQ(next_reply(*watcher), reply_msg(77, 9, 1, "watched"));
    // A second answer to the same request.
    agent->send({agent_answer(41, 9, 1, admin_id, "again")});
    answers += 3;
    ASSERT_TRUE(srv.logged_times("DEBUG  Handling a query response of size", answers)) << srv.log();
    round_trip(42);
    const Bytes watched_again = agent_query(78, 9, other.aid());
    watcher->send({watched_again});
    other_agent->send({agent_answer(
        78, 9, 1, forwarded(*other_agent, watched_again.substr(5), "viewer"), "watched-again")});
    EXPECT_EQ(next_reply(*watcher), reply_msg(78, 9, 1, "watched-again"));

    // The properties nobody asked for were not kept: the next properties query goes to the
    // agent.
    const Bytes props = agent_query(50, AGENT_QUERY_JVM_PROPERTIES, hello.aid());
    client->send({props});
    agent->send(
        {agent_answer(50, AGENT_QUERY_JVM_PROPERTIES, 2, forwarded(props.substr(5)), "no")});
    EXPECT_EQ(next_reply(*client),
              reply_msg(50, AGENT_QUERY_JVM_PROPERTIES, 2, std::string("n\0", 2)));

    // One line per agent connection while the interval lasts, the rest counted and told when
    // the connection ends.
    const std::string tail = " answers that match no forwarded query dropped.";
    EXPECT_EQ(srv.count("WARN   Agent [" + hex16(hello.aid()) + "]: 1" + tail), 1u);
    EXPECT_EQ(srv.count("WARN   Agent [" + hex16(other.aid()) + "]: 1" + tail), 1u);
    EXPECT_EQ(srv.count(tail), 2u);
    agent.reset();
    EXPECT_TRUE(srv.logged("WARN   Agent [" + hex16(hello.aid()) + "]: 8" + tail)) << srv.log();
}

// An answer to a query of a connection that has closed does not reach the user's next
// connection.
TEST_F(MgrClientServerRelay, AnswerForAClosedConnectionIsNotDeliveredToTheNext) {
    const Bytes query = agent_query(5, 9, hello.aid());
    client->send({query});
    const PeerId old = forwarded(query.substr(5));
    client.reset();
    ASSERT_TRUE(srv.logged("IOL[MG-UI]: Client [UID=" + hex16(user_id("admin")) + "] destroyed."));
    client = srv.admin();
    agent->send({agent_answer(5, 9, 1, old, "late")});
    agent->send({agent_answer(5, 9, 1, PeerId{old.uid, 0, 0, PT_MG_UI}, "late-by-uid")});
    ASSERT_TRUE(srv.logged_times("DEBUG  Handling a query response of size", 2));
    round_trip(6);
}

// A client has at most 64 agent queries waiting; a further one gets status 2 at once. The
// records of an agent connection that ends are freed with it.
TEST_F(MgrClientServerRelay, WaitingQueriesAreBoundedAndFreedWithTheAgent) {
    std::vector<Bytes> queries;
    for (uint64_t rid = 1; rid <= RELAY_PER_CLIENT + 1; rid++)
        queries.push_back(agent_query(rid, 9, hello.aid()));
    client->send(queries);
    const Bytes refused = next_reply(*client);
    ASSERT_EQ(refused.size(), 5u + 18);
    const uint64_t refused_rid = from_be(refused, 5, 8);
    EXPECT_EQ(refused, reply_msg(refused_rid, 9, 2));
    std::vector<uint64_t> expect;
    for (uint64_t rid = 1; rid <= RELAY_PER_CLIENT + 1; rid++) {
        if (rid != refused_rid)
            expect.push_back(rid);
    }
    EXPECT_EQ(forwarded_rids(*agent, RELAY_PER_CLIENT), expect);

    // The agent's connection goes with 64 queries waiting for it; its next one starts afresh.
    agent.reset();
    ASSERT_TRUE(srv.logged("IOL[MG-AG]: Client [UID=" + hex16(hello.aid()) + "] destroyed."));
    agent = srv.agent(hello);
    queries.clear();
    for (uint64_t rid = 101; rid < 101 + RELAY_PER_CLIENT; rid++)
        queries.push_back(agent_query(rid, 9, hello.aid()));
    client->send(queries);
    EXPECT_EQ(forwarded_rids(*agent, RELAY_PER_CLIENT).size(), size_t{RELAY_PER_CLIENT});
    client->send({agent_query(200, 9, hello.aid())});
    EXPECT_EQ(next_reply(*client), reply_msg(200, 9, 2));
    EXPECT_TRUE(srv.logged("has 64 agent queries waiting: query [RID=200] refused."));
}

// A query that would not fit one message once the Manager's head is put before it is
// answered with status 2; one that just fits reaches the agent.
TEST_F(MgrClientServerRelay, QueryTooLargeToForwardIsAnsweredWithAnError) {
    const uint32_t fits = MSG_MAX_DATA - 30;
    const Bytes largest = agent_query(1, 9, hello.aid(), std::string(fits - 24, 'q'));
    client->send({largest});
    const Bytes m = agent->expect_next(20000);
    EXPECT_EQ(m.size(), 5u + MSG_MAX_DATA);
    EXPECT_EQ(m.substr(5 + 30), largest.substr(5));
    client->send({agent_query(2, 9, hello.aid(), std::string(fits - 24 + 1, 'q'))});
    EXPECT_EQ(next_reply(*client, 20000), reply_msg(2, 9, 2));
    EXPECT_TRUE(srv.logged("Agent query [RID=2] of " + std::to_string(fits + 1) +
                           " bytes is too large to forward."));
}

TEST_F(MgrClientServerRelay, JvmPropertiesAreCachedFromTheFirstGoodAnswer) {
    // An error answer is relayed but not kept.
    client->send({agent_query(1, 6, hello.aid())});
    PeerId to = forwarded(agent_query(1, 6, hello.aid()).substr(5));
    agent->send({agent_answer(1, 6, 2, to, "oops")});
    EXPECT_EQ(next_reply(*client), reply_msg(1, 6, 2, std::string("oop\0", 4)));
    // A good answer without text is not kept either.
    client->send({agent_query(5, 6, hello.aid())});
    to = forwarded(agent_query(5, 6, hello.aid()).substr(5));
    agent->send({agent_answer(5, 6, 1, to, "x")});
    EXPECT_EQ(next_reply(*client), reply_msg(5, 6, 1, std::string(1, '\0')));
    // Nor is one longer than the 64 KiB kept, which still reaches the client.
    const std::string big(64 * 1024 + 1, 'p');
    client->send({agent_query(6, 6, hello.aid())});
    to = forwarded(agent_query(6, 6, hello.aid()).substr(5));
    agent->send({agent_answer(6, 6, 1, to, big)});
    EXPECT_EQ(next_reply(*client), reply_msg(6, 6, 1, big.substr(0, big.size() - 1) + '\0'));
    // The next query still reaches the agent; its text ends in a NUL in place of its last byte.
    client->send({agent_query(2, 6, hello.aid())});
    to = forwarded(agent_query(2, 6, hello.aid()).substr(5));
    agent->send({agent_answer(2, 6, 1, to, "abc")});
    EXPECT_EQ(next_reply(*client), reply_msg(2, 6, 1, std::string("ab\0", 3)));
    // From now on the Manager answers, without the NUL.
    client->send({agent_query(3, 6, hello.aid())});
    EXPECT_EQ(next_reply(*client), reply_msg(3, 6, 1, "ab"));
    EXPECT_TRUE(srv.logged("DEBUG  JVM properties get from cache."));
    EXPECT_TRUE(agent_messages_until_marker(*client, *agent, hello.aid()).empty());
}

} // namespace
