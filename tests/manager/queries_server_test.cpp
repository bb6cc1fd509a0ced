// Manager queries at a Standalone server made by `korvane init`, over loopback: replies and
// the commands connected test agents receive, byte by byte, with the storage prepared
// through its API before the server starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "manager/acache.h"
#include "manager/configs.h"
#include "manager/users.h"
#include "mgr_server.h"
#include "mgr_support.h"
#include "query_wire.h"

namespace {

// Runs a statement on the storage file of a running server, beside its own connection.
void exec_beside(const ManagerServer &srv, const std::string &text) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((srv.env() + "/" + MGR_STORAGE_FILE).c_str(), &db,
                              SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    char *err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err), SQLITE_OK)
        << text << ": " << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

std::string signed_text(uint64_t v) {
    return std::to_string(static_cast<int64_t>(v));
}

std::string hex16(uint64_t v) {
    char text[17];
    snprintf(text, sizeof text, "%016lX", static_cast<unsigned long>(v));
    return text;
}

// The next reply a client gets; the agents status reports the server broadcasts to clients
// every few seconds are passed over.
Bytes reply_to(Peer &client, int timeout_ms = 5000) {
    for (;;) {
        const Bytes m = client.expect_next(timeout_ms);
        if (m.empty() || m[0] != static_cast<char>(MSG_AGENT_DATA))
            return m;
    }
}

// Every agent registered with this Database address; agents say hello with it too, so
// that none is told of another.
const uint16_t kDbPort = 9100;
const std::string kDbText = "127.0.0.1:9100";
Bytes db_nurl() {
    return nurl_wire(2, kDbPort, kLoopback);
}

MgrAgentHello hello_of(const std::string &label, uint64_t cid1 = 0, uint64_t cid2 = 0,
                       uint64_t hash = 0) {
    MgrAgentHello h;
    h.label = label;
    h.cid1 = cid1;
    h.cid2 = cid2;
    h.hash = hash;
    h.database = db_nurl();
    return h;
}

mgr_agent register_agent(mgr_storage *s, const std::string &label) {
    mgr_agent a = agent_rec(2, label, kDbText.c_str());
    EXPECT_EQ(acache_add(s, &a).aid, a.aid) << label;
    return a;
}

// The fixture storage of the request table: configuration A activated, B stored and never
// activated; A attached to two connected agents and one that never connects, B to one
// connected agent; one more connected agent has no configuration.
constexpr uint64_t A1 = 0xA1, A2 = 0xA2, B1 = 0xB1, B2 = 0xB2, D1 = 0xD1, D2 = 0xD2;
const Bytes kAlpha = "alpha-v1";
const Bytes kBeta = "beta-draft";
const Bytes kBeta2 = "beta-v2";

const char *const kConnected[] = {"conn-a1", "conn-a2", "conn-b", "conn-none"};
enum { CONN_A1, CONN_A2, CONN_B, CONN_NONE, N_CONNECTED };
const char *const kIdle = "idle-a";

struct QueryRow {
    const char *name;
    Bytes request;                                    // what the client sends
    std::optional<Bytes> reply;                       // nothing: the query gets no reply
    std::vector<std::pair<int, Bytes>> commands = {}; // agent (kConnected index), message
    std::string line = {};                            // a line the row logs, or empty
};

class MgrQueryServerTable : public testing::Test {
protected:
    ManagerServer srv{""};
    std::vector<std::unique_ptr<Peer>> agents;
    std::unique_ptr<Peer> client;

    static uint64_t aid(const std::string &label) { return agent_id(2, label); }

    void SetUp() override {
        srv.prepare([](mgr_storage *s) {
            ASSERT_EQ(store_cfg(s, A1, A2, 1111, "alice", "alpha", kAlpha), 0);
            ASSERT_EQ(cfg_activate(s, A1, A2), 0);
            ASSERT_EQ(store_cfg(s, B1, B2, 2222, "bob", "beta", kBeta), 0);
            for (const char *label : kConnected)
                register_agent(s, label);
            register_agent(s, kIdle);
            const uint64_t on_a[] = {aid("conn-a1"), aid("conn-a2"), aid(kIdle)};
            ASSERT_EQ(acache_attach_cfg(s, 0, A1, A2, on_a, 3), 0);
            const uint64_t on_b[] = {aid("conn-b")};
            ASSERT_EQ(acache_attach_cfg(s, 0, B1, B2, on_b, 1), 0);
        });
        srv.start();
        // Each reports what it has, so that its hello sends it nothing.
        agents.push_back(srv.agent(hello_of("conn-a1", A1, A2, data_hash(kAlpha))));
        agents.push_back(srv.agent(hello_of("conn-a2", A1, A2, data_hash(kAlpha))));
        agents.push_back(srv.agent(hello_of("conn-b", B1, B2, 0)));
        agents.push_back(srv.agent(hello_of("conn-none")));
        client = srv.admin();
    }

    // The commands each connected agent has received since the last look.
    std::vector<Bytes> received(int agent) {
        return agent_messages_until_marker(*client, *agents[agent], aid(kConnected[agent]));
    }

    // Answers the request sent just before it: shows that that one got no reply.
    void probe_unanswered(const char *name) {
        client->send({mgr_query(0xFFFF, 2, be(0, 8))});
        EXPECT_EQ(reply_to(*client), mgr_reply(0xFFFF, 2, 3)) << name;
    }

    void run(const QueryRow &row) {
        const size_t lines = row.line.empty() ? 0 : srv.count(row.line);
        client->send({row.request});
        if (row.reply.has_value()) {
            EXPECT_EQ(reply_to(*client), *row.reply) << row.name;
        } else {
            probe_unanswered(row.name);
        }
        if (!row.line.empty()) {
            EXPECT_TRUE(srv.logged_times(row.line, lines + 1)) << row.name << ": " << row.line;
        }
        for (int i = 0; i < N_CONNECTED; i++) {
            std::vector<Bytes> expected;
            for (const auto &[to, m] : row.commands) {
                if (to == i)
                    expected.push_back(m);
            }
            EXPECT_EQ(received(i), expected) << row.name << ", agent " << kConnected[i];
        }
    }

    // AGENTS LIST data: the cache's slots follow the AGENTS rows, which the server loaded in
    // the order of their ids as signed integers; `cfg` gives each label's configuration.
    static Bytes
    agents_list(const std::vector<std::pair<std::string, std::pair<uint64_t, uint64_t>>> &cfg) {
        std::vector<std::pair<int64_t, Bytes>> records;
        for (const auto &[label, id] : cfg)
            records.push_back({static_cast<int64_t>(aid(label)),
                               agent_record(2, label, db_nurl(), id.first, id.second)});
        std::sort(records.begin(), records.end());
        Bytes out;
        for (const auto &r : records)
            out += r.second;
        return out;
    }
};

TEST_F(MgrQueryServerTable, EveryQueryAndStatus) {
    const Bytes incorrect = "ERROR  Incorrect request size.";
    const Bytes a = cfg_id_bytes(A1, A2), b = cfg_id_bytes(B1, B2), d = cfg_id_bytes(D1, D2);
    const Bytes none_id = cfg_id_bytes(0, 0), unknown = cfg_id_bytes(0xE1, 0xE2);
    // D's summary as a client sends it: author and label fill their fields without a NUL,
    // the reserved field and flags carry bytes the Manager ignores.
    const Bytes d_summary = cfg_id_bytes(D1, D2) + be(0x0102030405060708, 8) + Bytes(32, 'c') +
                            Bytes(32, 'l') + "\xff\xff\xff";
    ASSERT_EQ(d_summary.size(), 91u);
    // ATTACH with 33 ids: the agent without a configuration, 32 that are not known, and three
    // bytes that fill no id.
    Bytes ids33 = be(aid("conn-none"), 8);
    for (uint64_t i = 0; i < 32; i++)
        ids33 += be(0x5000 + i, 8);
    ids33 += "xyz";
    const Bytes conn_b = be(aid("conn-b"), 8);
    const Bytes a1_identity = identity_bytes(2, "conn-a1");

    const QueryRow rows[] = {
        {"QID 0", mgr_query(1, 0), std::nullopt, {}, "ERROR  Unsupported manager query id: 0."},
        {"QID 11", mgr_query(2, 11), std::nullopt, {}, "ERROR  Unsupported manager query id: B."},
        {"15-byte request",
         wire_message(MSG_MGR_QUERY, Bytes(15, '\x01')),
         std::nullopt,
         {},
         "ERROR  Incorrect manager query size: 15!."},
        {"AGENTS LIST",
         mgr_query(3, 1, "ignored"),
         mgr_reply(3, 1, 1,
                   agents_list({{"conn-a1", {A1, A2}},
                                {"conn-a2", {A1, A2}},
                                {"conn-b", {B1, B2}},
                                {"conn-none", {0, 0}},
                                {kIdle, {A1, A2}}})),
         {},
         "DEBUG  Agent found conn-a1 : "},
        {"AGENTS SINGLE of an unknown agent", mgr_query(4, 2, be(0x1234, 8)), mgr_reply(4, 2, 3)},
        {"AGENTS SINGLE", mgr_query(5, 2, be(aid("conn-a1"), 8) + "tail"),
         mgr_reply(5, 2, 1, a1_identity)},
        {"AGENTS SINGLE of 7 bytes",
         mgr_query(6, 2, Bytes(7, '\0')),
         mgr_reply(6, 2, 2),
         {},
         incorrect},
        {"CONFS INFO",
         mgr_query(7, 3),
         mgr_reply(7, 3, 1,
                   summary_bytes(A1, A2, 1111, "alice", "alpha", 3) +
                       summary_bytes(B1, B2, 2222, "bob", "beta", 1)),
         {},
         "DEBUG  ConfigurationInfo found: 00000000000000B1.00000000000000B2"},
        {"CONF SAVE of 90 bytes",
         mgr_query(8, 4, d_summary.substr(0, 90)),
         mgr_reply(8, 4, 2),
         {},
         incorrect},
        {"CONF SAVE of 91 bytes: a new configuration, empty draft",
         mgr_query(9, 4, d_summary),
         mgr_reply(9, 4, 1),
         {},
         "INFO   Configuration 00000000000000D1.00000000000000D2 stored successfully."},
        {"CONF SAVE of an existing one: author and creation time stay",
         mgr_query(10, 4, summary_bytes(B1, B2, 9, "mallory", "beta-2", 0) + kBeta2),
         mgr_reply(10, 4, 1)},
        {"CONF READ of 16 bytes", mgr_query(11, 5, b), mgr_reply(11, 5, 2), {}, incorrect},
        {"CONF READ of the active data never activated",
         mgr_query(12, 5, b + "\x02"),
         mgr_reply(12, 5, 1),
         {},
         "DEBUG  Handling configuration read query..."},
        {"CONF READ of the draft", mgr_query(13, 5, b + "\x01"), mgr_reply(13, 5, 1, kBeta2)},
        {"CONF READ, which other than 2 reads the draft", mgr_query(14, 5, b + "\x07"),
         mgr_reply(14, 5, 1, kBeta2)},
        {"CONF READ of an empty draft", mgr_query(15, 5, d + "\x01"), mgr_reply(15, 5, 1)},
        {"CONF READ of the active data", mgr_query(16, 5, a + "\x02"), mgr_reply(16, 5, 1, kAlpha)},
        {"CONF READ of an unknown id", mgr_query(17, 5, unknown + "\x02"), mgr_reply(17, 5, 3)},
        {"CONF LABEL UPDATE of 47 bytes",
         mgr_query(18, 6, d + Bytes(31, 'm')),
         mgr_reply(18, 6, 2),
         {},
         incorrect},
        {"CONF LABEL UPDATE without a NUL",
         mgr_query(19, 6, d + Bytes(32, 'm')),
         mgr_reply(19, 6, 1),
         {},
         "DEBUG  Handling configuration label update..."},
        {"CONF LABEL UPDATE of an unknown id", mgr_query(20, 6, unknown + field32("x")),
         mgr_reply(20, 6, 1)},
        {"CONF ACTIVATE of 15 bytes",
         mgr_query(21, 7, Bytes(15, '\0')),
         mgr_reply(21, 7, 2),
         {},
         incorrect},
        {"CONF ACTIVATE uploads to the connected agents attached to exactly that id",
         mgr_query(22, 7, b),
         mgr_reply(22, 7, 1),
         {{CONN_B, upload_cmd(kBeta2)}},
         "INFO   Configuration 00000000000000B1.00000000000000B2 activated successfully."},
        {"CONF ACTIVATE of A: its two connected agents",
         mgr_query(23, 7, a),
         mgr_reply(23, 7, 1),
         {{CONN_A1, upload_cmd(kAlpha)}, {CONN_A2, upload_cmd(kAlpha)}},
         "DEBUG  Agent not connected: " + hex16(aid(kIdle))},
        {"CONF ACTIVATE of an unknown id", mgr_query(24, 7, unknown), mgr_reply(24, 7, 1)},
        {"CONF SAVE of 0.0", mgr_query(241, 4, summary_bytes(0, 0, 5, "z", "zero", 0) + "zero"),
         mgr_reply(241, 4, 1)},
        {"CONF ACTIVATE of 0.0 reaches none of the agents without a configuration",
         mgr_query(242, 7, none_id), mgr_reply(242, 7, 1)},
        {"CONF DELETE of 0.0", mgr_query(243, 8, none_id), mgr_reply(243, 8, 1)},
        {"CONF ATTACH of 0.0",
         mgr_query(25, 9, none_id + conn_b),
         mgr_reply(25, 9, 2),
         {},
         "ERROR  Incorrect configuration identifier: 0000000000000000.0000000000000000"},
        {"CONF ATTACH of 15 bytes",
         mgr_query(26, 9, Bytes(15, '\x01')),
         mgr_reply(26, 9, 2),
         {},
         incorrect},
        {"CONF ATTACH of an unknown configuration",
         mgr_query(27, 9, unknown + conn_b),
         mgr_reply(27, 9, 3),
         {},
         "ERROR  No such configuration: 00000000000000E1.00000000000000E2"},
        {"CONF ATTACH without agents",
         mgr_query(28, 9, d),
         mgr_reply(28, 9, 1),
         {},
         "DEBUG  Handling configuration attach..."},
        {"CONF ATTACH of 33 ids and 3 bytes more",
         mgr_query(29, 9, b + ids33),
         mgr_reply(29, 9, 1, ids33),
         {{CONN_NONE, upload_cmd(kBeta2)}}},
        {"CONF DETACH of 0.0",
         mgr_query(30, 10, none_id + conn_b),
         mgr_reply(30, 10, 2),
         {},
         "ERROR  Incorrect configuration identifier: 0000000000000000.0000000000000000"},
        {"CONF DETACH of an agent not attached to it still tells the agent",
         mgr_query(31, 10, a + conn_b),
         mgr_reply(31, 10, 1, conn_b),
         {{CONN_B, detach_cmd(A1, A2)}},
         "DEBUG  Handling configuration detach..."},
        {"CONF DETACH without agents detaches nobody", mgr_query(32, 10, b), mgr_reply(32, 10, 1)},
        {"CONF DELETE of 15 bytes",
         mgr_query(33, 8, Bytes(15, '\0')),
         mgr_reply(33, 8, 2),
         {},
         incorrect},
        {"CONF DELETE detaches, deletes and tells the connected agents",
         mgr_query(34, 8, a),
         mgr_reply(34, 8, 1),
         {{CONN_A1, detach_cmd(A1, A2)}, {CONN_A2, detach_cmd(A1, A2)}},
         "INFO   Configuration 00000000000000A1.00000000000000A2 deleted successfully."},
        {"CONF DELETE of an unknown id", mgr_query(35, 8, unknown), mgr_reply(35, 8, 1)},
        {"AGENTS LIST after the changes", mgr_query(36, 1),
         mgr_reply(36, 1, 1,
                   agents_list({{"conn-a1", {0, 0}},
                                {"conn-a2", {0, 0}},
                                {"conn-b", {B1, B2}},
                                {"conn-none", {B1, B2}},
                                {kIdle, {0, 0}}}))},
        {"CONFS INFO after the changes", mgr_query(37, 3),
         mgr_reply(
             37, 3, 1,
             summary_bytes(B1, B2, 2222, "bob", "beta-2", 3) +
                 summary_bytes(D1, D2, 0x0102030405060708, Bytes(31, 'c'), Bytes(31, 'm'), 0))},
    };
    for (const QueryRow &row : rows)
        run(row);

    // What the table holds agrees, and texts without a NUL were kept to 31 characters.
    EXPECT_EQ(srv.rows("SELECT uuid1, uuid2, author, label, createdat, length(draft), "
                       "length(data) FROM CONFIGURATIONS"),
              (std::vector<std::string>{"177|178|bob|beta-2|2222|7|7",
                                        "209|210|" + Bytes(31, 'c') + "|" + Bytes(31, 'm') + "|" +
                                            std::to_string(0x0102030405060708) + "|0|NULL"}));
    std::vector<std::string> agents_rows;
    for (const char *label : {"conn-a1", "conn-a2", "conn-b", "conn-none", kIdle})
        agents_rows.push_back(
            srv.rows("SELECT label, cid1, cid2 FROM AGENTS WHERE aid=" + signed_text(aid(label)))
                .at(0));
    EXPECT_EQ(agents_rows,
              (std::vector<std::string>{"conn-a1|NULL|NULL", "conn-a2|NULL|NULL", "conn-b|177|178",
                                        "conn-none|177|178", "idle-a|NULL|NULL"}));
}

// Deleting a configuration: agents attached to it in the table but not in the server's
// cache are detached too; a delete that fails changes neither table, cache nor agents.
TEST(MgrQueryServer, DeleteGoesByTheTableAndAFailedOneChangesNothing) {
    constexpr uint64_t P1 = 0x61, P2 = 0x62, Q1 = 0x71, Q2 = 0x72;
    ManagerServer srv("standalone");
    srv.prepare([](mgr_storage *s) {
        ASSERT_EQ(store_cfg(s, P1, P2, 1, "t", "p", "p-data"), 0);
        ASSERT_EQ(cfg_activate(s, P1, P2), 0);
        ASSERT_EQ(store_cfg(s, Q1, Q2, 2, "t", "q", "q-data"), 0);
        ASSERT_EQ(cfg_activate(s, Q1, Q2), 0);
        register_agent(s, "table-only");
        const uint64_t on_q[] = {register_agent(s, "on-q").aid};
        ASSERT_EQ(acache_attach_cfg(s, 0, Q1, Q2, on_q, 1), 0);
        // The test's way to make deleting Q fail inside the storage.
        sql_exec(s->db, "CREATE TRIGGER refuse_q BEFORE DELETE ON CONFIGURATIONS WHEN "
                        "old.uuid1 = 113 BEGIN SELECT RAISE(ABORT, 'refused by the test'); END;");
    });
    srv.start();
    auto table_only = srv.agent(hello_of("table-only"));
    auto on_q = srv.agent(hello_of("on-q", Q1, Q2, data_hash("q-data")));
    auto client = srv.admin();
    const uint64_t table_only_aid = agent_id(2, "table-only");
    const uint64_t on_q_aid = agent_id(2, "on-q");
    // Attached behind the running server's back: its cache still has the agent without one.
    exec_beside(srv, "UPDATE AGENTS SET cid1=97, cid2=98 WHERE aid=" + signed_text(table_only_aid));

    client->send({mgr_query(1, 8, cfg_id_bytes(P1, P2))});
    EXPECT_EQ(reply_to(*client), mgr_reply(1, 8, 1));
    EXPECT_EQ(agent_messages_until_marker(*client, *table_only, table_only_aid),
              std::vector<Bytes>{detach_cmd(P1, P2)});
    EXPECT_EQ(srv.rows("SELECT uuid1 FROM CONFIGURATIONS"), std::vector<std::string>{"113"});
    EXPECT_EQ(srv.rows("SELECT cid1 FROM AGENTS WHERE aid=" + signed_text(table_only_aid)),
              std::vector<std::string>{"NULL"});

    client->send({mgr_query(2, 8, cfg_id_bytes(Q1, Q2))});
    EXPECT_EQ(reply_to(*client), mgr_reply(2, 8, 2));
    EXPECT_TRUE(srv.logged("ERROR  SQL[248]: constraint failed"));
    EXPECT_EQ(srv.rows("SELECT uuid1 FROM CONFIGURATIONS"), std::vector<std::string>{"113"});
    EXPECT_EQ(srv.rows("SELECT cid1, cid2 FROM AGENTS WHERE aid=" + signed_text(on_q_aid)),
              std::vector<std::string>{"113|114"});
    EXPECT_TRUE(agent_messages_until_marker(*client, *on_q, on_q_aid).empty());
    client->send({mgr_query(3, 2, be(on_q_aid, 8))});
    EXPECT_EQ(reply_to(*client), mgr_reply(3, 2, 1, identity_bytes(2, "on-q")));
    // The cache still attaches the agent: an activation reaches it.
    client->send({mgr_query(4, 7, cfg_id_bytes(Q1, Q2))});
    EXPECT_EQ(reply_to(*client), mgr_reply(4, 7, 1));
    EXPECT_EQ(agent_messages_until_marker(*client, *on_q, on_q_aid),
              std::vector<Bytes>{upload_cmd("q-data")});
}

// Two clients attach and activate one configuration at once, round after round: the agents'
// last uploads, AGENTS LIST, the table and a fresh load of it agree on the active version.
TEST(MgrQueryServer, AttachAndActivateFromTwoClientsAgree) {
    constexpr uint64_t X1 = 0x81, X2 = 0x82;
    constexpr int kAgents = 8;
    constexpr int kRounds = 10;
    ManagerServer srv("standalone");
    srv.prepare([](mgr_storage *s) {
        ASSERT_EQ(store_cfg(s, X1, X2, 1, "t", "x", "v0"), 0);
        ASSERT_EQ(cfg_activate(s, X1, X2), 0);
        for (int i = 0; i < kAgents; i++)
            register_agent(s, "racer-" + std::to_string(i));
        char name[128];
        ASSERT_EQ(users_copy_name("second", name), 0);
        ASSERT_EQ(users_add(s, name, "secret", 31), 0);
    });
    srv.start({});
    std::vector<std::unique_ptr<Peer>> agents;
    Bytes ids;
    for (int i = 0; i < kAgents; i++) {
        agents.push_back(srv.agent(hello_of("racer-" + std::to_string(i))));
        ids += be(agent_id(2, "racer-" + std::to_string(i)), 8);
    }
    auto one = srv.admin();
    Peer two(srv.port());
    two.send({login_hello("second", "secret")});
    ASSERT_EQ(reply_to(two).substr(5, 8), manager_answer());

    const Bytes x = cfg_id_bytes(X1, X2);
    Bytes version;
    for (int r = 1; r <= kRounds; r++) {
        version = "v" + std::to_string(r);
        one->send({mgr_query(1, 10, x + ids)});
        ASSERT_EQ(reply_to(*one), mgr_reply(1, 10, 1, ids));
        two.send({mgr_query(2, 4, summary_bytes(X1, X2, 1, "t", "x", 0) + version)});
        ASSERT_EQ(reply_to(two), mgr_reply(2, 4, 1));
        // At once: one attaches the agents while the other activates the new version.
        one->send({mgr_query(3, 9, x + ids)});
        two.send({mgr_query(4, 7, x)});
        ASSERT_EQ(reply_to(*one), mgr_reply(3, 9, 1, ids));
        ASSERT_EQ(reply_to(two), mgr_reply(4, 7, 1));
        for (int i = 0; i < kAgents; i++) {
            const std::vector<Bytes> got = agent_messages_until_marker(
                *one, *agents[static_cast<size_t>(i)], agent_id(2, "racer-" + std::to_string(i)));
            std::optional<Bytes> last_upload;
            for (const Bytes &m : got) {
                if (m.substr(5, 8) == be(4, 8))
                    last_upload = m;
            }
            ASSERT_TRUE(last_upload.has_value()) << "round " << r << ", agent " << i;
            EXPECT_EQ(*last_upload, upload_cmd(version)) << "round " << r << ", agent " << i;
        }
        one->send({mgr_query(5, 1)});
        const Bytes list = reply_to(*one);
        for (int i = 0; i < kAgents; i++)
            EXPECT_EQ(list.substr(5 + 18 + 100 * static_cast<size_t>(i) + 84, 16), x) << r;
    }
    EXPECT_EQ(
        srv.rows("SELECT DISTINCT A.cid1, A.cid2, C.datahash = " + signed_text(data_hash(version)) +
                 " FROM AGENTS AS A LEFT JOIN CONFIGURATIONS AS C ON A.cid1 = C.uuid1"),
        std::vector<std::string>{"129|130|1"});
    srv.prepare([&](mgr_storage *s) {
        for (const mgr_agent &a : slots_of(s)) {
            EXPECT_EQ(a.cid1, X1);
            EXPECT_EQ(a.datahash, data_hash(version));
        }
    });
    // The running server's cache has the same hash: an agent reporting it is up to date.
    agents[0].reset();
    const size_t up_to_date = srv.count("INFO   Agent [racer-0] configuration up-to-date.");
    auto again = srv.agent(hello_of("racer-0", X1, X2, data_hash(version)));
    EXPECT_EQ(srv.count("INFO   Agent [racer-0] configuration up-to-date."), up_to_date + 1);
    EXPECT_TRUE(agent_messages_until_marker(*one, *again, agent_id(2, "racer-0")).empty());
}

// A test agent that holds its connection and little memory: thousands of them connect at once.
class SmallAgent : public FrameClient {
public:
    explicit SmallAgent(unsigned port) : FrameClient(port, 1 << 16) {}
};

// Configuration changes that concern 1200 connected agents: more commands than the agents'
// loop queues at once, and every agent gets its own, for activation, attachment, detachment
// and deletion alike.
TEST(MgrQueryServer, ConfigurationChangesReachTwelveHundredAgents) {
    constexpr int kAgents = 1200;
    constexpr uint64_t L1 = 0x91, L2 = 0x92, M1 = 0x93, M2 = 0x94;
    // Both ends of every connection live on this machine.
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    ASSERT_GE(files.rlim_max, rlim_t{3 * kAgents}) << "the descriptor limit is too low";
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, 3 * kAgents);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);

    std::vector<uint64_t> aids;
    for (int i = 0; i < kAgents; i++)
        aids.push_back(agent_id(2, "load-" + std::to_string(i)));
    ManagerServer srv("standalone");
    srv.prepare([&aids](mgr_storage *s) {
        // Twelve hundred rows, one transaction each: not waited for on the disk.
        sql_exec(s->db, "PRAGMA synchronous = OFF;");
        ASSERT_EQ(store_cfg(s, L1, L2, 1, "t", "load", "load-v1"), 0);
        ASSERT_EQ(store_cfg(s, M1, M2, 2, "t", "more", "more-v1"), 0);
        ASSERT_EQ(cfg_activate(s, M1, M2), 0);
        for (int i = 0; i < kAgents; i++)
            register_agent(s, "load-" + std::to_string(i));
        ASSERT_EQ(acache_attach_cfg(s, 0, L1, L2, aids.data(), aids.size()), 0);
    });
    srv.start({});
    std::vector<std::unique_ptr<SmallAgent>> agents;
    for (int i = 0; i < kAgents; i++) {
        agents.push_back(std::make_unique<SmallAgent>(srv.port()));
        ASSERT_TRUE(agents.back()->connected()) << i;
        // Never activated: the agent reports what it has, hash 0, and is sent nothing.
        ASSERT_TRUE(agents.back()->send({hello_of("load-" + std::to_string(i), L1, L2).message()}));
    }
    for (int i = 0; i < kAgents; i++)
        ASSERT_EQ(agents[static_cast<size_t>(i)]->next(20000),
                  wire_message(MSG_HELLO, manager_answer()))
            << i;
    auto client = srv.admin();
    Bytes ids;
    for (uint64_t aid : aids)
        ids += be(aid, 8);
    struct Change {
        const char *name;
        Bytes request;
        Bytes reply;
        Bytes command; // what every agent then receives
    };
    const Change changes[] = {
        {"activate", mgr_query(1, 7, cfg_id_bytes(L1, L2)), mgr_reply(1, 7, 1),
         upload_cmd("load-v1")},
        {"delete", mgr_query(2, 8, cfg_id_bytes(L1, L2)), mgr_reply(2, 8, 1), detach_cmd(L1, L2)},
        {"attach", mgr_query(3, 9, cfg_id_bytes(M1, M2) + ids), mgr_reply(3, 9, 1, ids),
         upload_cmd("more-v1")},
        {"detach", mgr_query(4, 10, cfg_id_bytes(M1, M2) + ids), mgr_reply(4, 10, 1, ids),
         detach_cmd(M1, M2)},
    };
    for (const Change &c : changes) {
        client->send({c.request});
        EXPECT_EQ(reply_to(*client, 20000), c.reply) << c.name;
        for (int i = 0; i < kAgents; i++)
            ASSERT_EQ(agents[static_cast<size_t>(i)]->next(20000), c.command) << c.name << " " << i;
    }
    EXPECT_EQ(srv.count("missed its command"), 0u);
    EXPECT_EQ(srv.count("dropped"), 0u);
}

// The environment the run script makes: `init` without a mode, listening on 127.0.0.1; the
// administrator it names logs in.
TEST(MgrQueryServer, DefaultEnvironmentIsStandaloneWithItsAdministrator) {
    ManagerServer srv("");
    srv.start();
    Peer c(srv.port());
    c.send({login_hello("admin", "vendrix")});
    const Bytes answer = reply_to(c);
    ASSERT_GE(answer.size(), 5u + 21);
    EXPECT_EQ(answer.substr(5, 8), manager_answer());
    EXPECT_EQ(answer.substr(5 + 8, 8), be(31, 8)); // every permission
    EXPECT_EQ(answer.substr(5 + 20, 1), be(3, 1)); // both roles
    c.send({mgr_query(1, 3)});
    EXPECT_EQ(reply_to(c), mgr_reply(1, 3, 1));
}

} // namespace
