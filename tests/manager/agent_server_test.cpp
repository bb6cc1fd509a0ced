// Agents at Manager and Standalone servers made by `korvane init`, over loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "manager/acache.h"
#include "manager/agent_peer.h"
#include "manager/configs.h"
#include "mgr_server.h"
#include "mgr_support.h"

namespace {

// The configuration agents are attached to in these tests, and its active data.
constexpr uint64_t kCfg1 = 0x1111;
constexpr uint64_t kCfg2 = 0x2222;
const std::string kCfgData = "agent-configuration";

uint64_t cfg_hash() {
    return murmur3_hash64(kCfgData.data(), static_cast<uint32_t>(kCfgData.size()));
}

void store_active_cfg(mgr_storage *s) {
    mgr_config c{};
    c.info.id1 = kCfg1;
    c.info.id2 = kCfg2;
    strcpy(c.info.author, "tester");
    strcpy(c.info.label, "test configuration");
    c.blob = reinterpret_cast<uint8_t *>(const_cast<char *>(kCfgData.data()));
    c.size = kCfgData.size();
    ASSERT_EQ(cfg_store_draft(s, &c), 0);
    ASSERT_EQ(cfg_activate(s, kCfg1, kCfg2), 0);
}

// A configuration that was stored but never activated: it has no active data.
constexpr uint64_t kDraft1 = 0x3333;
constexpr uint64_t kDraft2 = 0x4444;

void store_draft_cfg(mgr_storage *s) {
    mgr_config c{};
    c.info.id1 = kDraft1;
    c.info.id2 = kDraft2;
    strcpy(c.info.author, "tester");
    strcpy(c.info.label, "draft only");
    c.blob = reinterpret_cast<uint8_t *>(const_cast<char *>("draft"));
    c.size = 5;
    ASSERT_EQ(cfg_store_draft(s, &c), 0);
}

Bytes empty_upload_command() {
    return wire_message(MSG_AGENT_COMMAND, be(4, 8) + be(0, 8));
}

// Command 4 with the configuration, and command 5 with an address, as the agent receives them.
Bytes upload_command() {
    return wire_message(MSG_AGENT_COMMAND, be(4, 8) + be(cfg_hash(), 8) + kCfgData);
}
Bytes database_command(const std::string &nurl) {
    return wire_message(MSG_AGENT_COMMAND, be(5, 8) + nurl);
}

std::string repeat(const std::string &s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++)
        out += s;
    return out;
}

std::string hex16(uint64_t v) {
    char text[17];
    snprintf(text, sizeof text, "%016lX", static_cast<unsigned long>(v));
    return text;
}

// The local address of a client socket as the server sees its peer.
std::string local_nurl(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return nurl_wire(AF_INET, ntohs(a.sin_port), ntohl(a.sin_addr.s_addr));
}

TEST(MgrAgentServer, HelloIsAnsweredAndTheAgentRegisteredOnce) {
    ManagerServer srv("manager");
    srv.start();
    // Bytes past the 116 of the hello are ignored.
    MgrAgentHello hello;
    hello.label = "registered-agent";
    hello.extra = std::string(84, 'x');
    ASSERT_EQ(hello.body().size(), 200u);
    {
        Peer agent(srv.port());
        agent.send({hello.message()});
        EXPECT_EQ(agent.expect_next(), wire_message(MSG_HELLO, std::string("\0MANAGER", 8)));
    }
    ASSERT_TRUE(srv.logged("Agent [registered-agent] has no database assigned."));
    const std::string aid = std::to_string(static_cast<int64_t>(hello.aid()));
    EXPECT_EQ(srv.rows("SELECT aid, type, label, cid1, cid2, db FROM AGENTS;"),
              std::vector<std::string>{aid + "|2|registered-agent|NULL|NULL|"});
    EXPECT_EQ(srv.count("New agent [registered-agent] [DB=] added to the manager."), 1u);

    // The second hello finds the agent in the cache.
    srv.agent(hello);
    EXPECT_EQ(srv.count("DEBUG  Agent already stored!"), 1u);
    EXPECT_EQ(srv.rows("SELECT count(*) FROM AGENTS;"), std::vector<std::string>{"1"});
    EXPECT_TRUE(srv.logged("Authenticating agent [" + hex16(hello.aid()) +
                           ": registered-agent] started at ["));
}

// Log lines show at most 63 bytes of a label, control bytes masked; the table keeps the bytes.
TEST(MgrAgentServer, LabelsAreMaskedInLogLinesOnly) {
    ManagerServer srv("manager");
    srv.start();
    MgrAgentHello hello;
    hello.label = "evil\nlabel\x1b[31m" + std::string(63 - 15, 'x');
    ASSERT_EQ(hello.label.size(), 63u);
    const std::string shown = "evil?label?[31m" + std::string(63 - 15, 'x');
    srv.agent(hello);
    for (const std::string &line :
         {"Authenticating agent [" + hex16(hello.aid()) + ": " + shown + "] started at [",
          "New agent [" + shown + "] [DB=] added to the manager.",
          "Agent [" + shown + "] has no configuration assigned.",
          "Agent [" + shown + "] has no database assigned."})
        EXPECT_EQ(srv.count(line), 1u) << line;
    EXPECT_EQ(srv.log().find("evil\n"), std::string::npos);
    EXPECT_EQ(srv.rows("SELECT hex(label) FROM AGENTS;"),
              std::vector<std::string>{"6576696C0A6C6162656C1B5B33316D" + repeat("78", 48)});
}

struct DecisionRow {
    const char *label;
    bool attached;          // to kCfg1.kCfg2 in the cache
    const char *assigned;   // the cached Database, "" for none
    uint64_t cid1, cid2;    // what the hello reports
    bool same_hash;         // the hello's hash is the active data's
    std::string reported;   // the hello's Database
    bool upload;            // command 4 follows the answer
    const char *config_line;
    std::string database;   // command 5 with this address follows, "" for none
    const char *database_line;
};

TEST(MgrAgentServer, HelloDecisions) {
    const std::string db_a = nurl_wire(AF_INET, 900, 0x0A000005);
    const std::string db_b = nurl_wire(AF_INET, 900, 0x0A000006);
    const DecisionRow rows[] = {
        {"no-configuration", false, "", kCfg1, kCfg2, true, no_nurl(), false,
         "has no configuration assigned.", "", "has no database assigned."},
        {"reports-none-same-hash", true, "", 0, 0, true, no_nurl(), true,
         "configuration update required.", "", "has no database assigned."},
        {"reports-other-id-same-hash", true, "", 0x77, 0x88, true, no_nurl(), false,
         "configuration up-to-date.", "", "has no database assigned."},
        {"reports-other-hash", true, "", kCfg1, kCfg2, false, no_nurl(), true,
         "configuration update required.", "", "has no database assigned."},
        {"never-activated", false, "", 0, 0, false, no_nurl(), true,
         "configuration update required.", "", "has no database assigned."},
        {"database-none", false, "", 0, 0, false, db_b, false, "has no configuration assigned.",
         "", "has no database assigned."},
        {"database-same", false, "10.0.0.5:900", 0, 0, false, db_a, false,
         "has no configuration assigned.", "", "database target up-to-date."},
        {"database-other", true, "10.0.0.5:900", 0, 0, true, db_b, true,
         "configuration update required.", db_a, "database update required to 10.0.0.5:900."},
    };
    ManagerServer srv("manager");
    srv.prepare([&](mgr_storage *s) {
        store_active_cfg(s);
        store_draft_cfg(s);
        for (const DecisionRow &row : rows) {
            const mgr_agent a = agent_rec(2, row.label);
            const uint64_t aid = a.aid;
            ASSERT_EQ(acache_add(s, &a).aid, aid);
            if (row.attached) {
                ASSERT_EQ(acache_attach_cfg(s, cfg_hash(), kCfg1, kCfg2, &aid, 1), 0);
            }
            if (std::string(row.label) == "never-activated") {
                ASSERT_EQ(acache_attach_cfg(s, 0, kDraft1, kDraft2, &aid, 1), 0);
            }
            if (row.assigned[0] != '\0') {
                nurl db{};
                ASSERT_EQ(url_to_nurl(row.assigned, &db), 0);
                ASSERT_EQ(acache_set_db(s, &db, 1, &aid), 0);
            }
        }
    });
    srv.start();
    auto client = srv.admin();
    for (const DecisionRow &row : rows) {
        MgrAgentHello hello;
        hello.label = row.label;
        hello.cid1 = row.cid1;
        hello.cid2 = row.cid2;
        hello.hash = row.same_hash ? cfg_hash() : cfg_hash() + 1;
        hello.database = row.reported;
        auto agent = srv.agent(hello);
        std::vector<Bytes> expected;
        if (row.upload)
            expected.push_back(std::string(row.label) == "never-activated" ? empty_upload_command()
                                                                           : upload_command());
        if (!row.database.empty())
            expected.push_back(database_command(row.database));
        EXPECT_EQ(agent_messages_until_marker(*client, *agent, hello.aid()), expected) << row.label;
        const std::string prefix = "INFO   Agent [" + std::string(row.label) + "] ";
        EXPECT_EQ(srv.count(prefix + row.config_line), 1u) << row.label;
        EXPECT_EQ(srv.count(prefix + row.database_line), 1u) << row.label;
    }
}

// A Standalone server on the any-address gives a new agent the address it reached the
// server on.
TEST(MgrAgentServer, StandaloneOnTheAnyAddressAssignsItself) {
    ManagerServer srv("standalone", "*");
    srv.start();
    const std::string own = nurl_wire(AF_INET, static_cast<uint16_t>(srv.port()), kLoopback);
    const std::string text = "127.0.0.1:" + std::to_string(srv.port());
    auto client = srv.admin();
    MgrAgentHello hello;
    hello.label = "standalone-agent";
    {
        auto agent = srv.agent(hello);
        EXPECT_EQ(agent_messages_until_marker(*client, *agent, hello.aid()),
                  std::vector<Bytes>{database_command(own)});
    }
    EXPECT_EQ(srv.count("Agent [standalone-agent] database update required to " + text + "."), 1u);
    EXPECT_EQ(srv.rows("SELECT db FROM AGENTS;"), std::vector<std::string>{text});
    // Told once, the agent reports it and hears nothing more.
    hello.database = own;
    auto agent = srv.agent(hello);
    EXPECT_TRUE(agent_messages_until_marker(*client, *agent, hello.aid()).empty());
    EXPECT_EQ(srv.count("Agent [standalone-agent] database target up-to-date."), 1u);
}

std::string status_of(uint8_t seed) {
    std::string s(AGENT_STATUS_LEN, '\0');
    for (size_t i = 0; i < s.size(); i++)
        s[i] = static_cast<char>(seed + i * 3);
    return s;
}

TEST(MgrAgentServer, StatusInReportOut) {
    ManagerServer srv("standalone");
    srv.start();
    MgrAgentHello first, second;
    first.label = "reporting-one";
    first.start_ms = 0x0102030405060708;
    second.label = "reporting-two";
    second.start_ms = 1700000000999;
    auto a1 = srv.agent(first);
    auto a2 = srv.agent(second);
    a1->send({wire_message(MSG_AGENT_DATA, "\x01" + status_of(5))});
    a2->send({wire_message(MSG_AGENT_DATA, "\x01" + status_of(200))});
    ASSERT_TRUE(srv.logged_times("DEBUG  AgentStatus: Mem total=", 2)) << srv.log();
    // One record per agent in slot order: 1, its address, its start time, its status.
    const Bytes expected = wire_message(
        MSG_AGENT_DATA, "\x01" + local_nurl(a1->fd()) + be(first.start_ms, 8) + status_of(5) +
                            "\x01" + local_nurl(a2->fd()) + be(second.start_ms, 8) +
                            status_of(200));
    ASSERT_EQ(expected.size(), 5u + 2 * 217);
    auto client = srv.admin();
    bool seen = false;
    for (int i = 0; i < 4 && !seen; i++) {
        std::optional<Bytes> m = client->next(7000);
        ASSERT_TRUE(m.has_value()) << "no report within a watchdog period";
        seen = *m == expected;
    }
    EXPECT_TRUE(seen);
}

TEST(MgrAgentServer, RefusedHellosAndMessages) {
    ManagerServer srv("manager");
    srv.start();
    {
        MgrAgentHello short_hello;
        short_hello.label = "short-hello";
        Peer agent(srv.port());
        agent.send({wire_message(MSG_HELLO, std::string("\0\0\0AGENTER", 10) +
                                                short_hello.body().substr(0, 115))});
        EXPECT_TRUE(agent.closed_by_server());
        EXPECT_TRUE(srv.logged("ERROR  Incorrect agent hello size."));
    }
    auto client = srv.admin();
    MgrAgentHello hello;
    hello.label = "refused-messages";
    auto agent = srv.agent(hello);
    struct Row {
        const char *name;
        Bytes bytes; // the frame's body
        const char *line;
    };
    const Row rows[] = {
        // Without data there is no data id to read; the walk never delivers it.
        {"agent data of 0 bytes", be(MSG_AGENT_DATA, 1) + be(0, 4) + "\x01",
         "ERROR  Corrupted message detected. Message size: 0"},
        {"agent data of 188 bytes", wire_message(MSG_AGENT_DATA, "\x01" + std::string(187, 'a')),
         "ERROR  Incorrect agent status size: 187"},
        {"agent data of 190 bytes", wire_message(MSG_AGENT_DATA, "\x01" + std::string(189, 'a')),
         "ERROR  Incorrect agent status size: 189"},
        {"another data id", wire_message(MSG_AGENT_DATA, "\x02" + std::string(188, 'a')),
         "ERROR  Unsupported agent data id: 2"},
        {"a short answer", wire_message(MSG_RESPONSE, std::string(45, 'a')),
         "ERROR  Incorrect response size 45."},
        {"message type 5", wire_message(MSG_AGENT_COMMAND, "x"), "ERROR  Unsupported message type: 5."},
        {"message type 10", wire_message(10, "x"), "ERROR  Invalid message type!"},
        {"message type 12", wire_message(12, "x"), "ERROR  Invalid message type!"},
        {"message type 255", wire_message(255, "x"), "ERROR  Invalid message type!"},
    };
    for (const Row &row : rows) {
        const size_t before = srv.count(row.line);
        ASSERT_TRUE(agent->send_raw(agent->pack({row.bytes}, false))) << row.name;
        EXPECT_TRUE(srv.logged_times(row.line, before + 1)) << row.name;
    }
    // The agent is still connected and its status still taken.
    agent->send({wire_message(MSG_AGENT_DATA, "\x01" + std::string(188, 'a'))});
    EXPECT_TRUE(srv.logged("DEBUG  Received agent status data."));
    EXPECT_TRUE(agent_messages_until_marker(*client, *agent, hello.aid()).empty());
}

// Another process holds the storage's write lock, as the `auth` and `agent` commands do
// beside a running server, for as long as the object lives.
class HeldWriteLock {
public:
    explicit HeldWriteLock(const ManagerServer &srv) {
        EXPECT_EQ(sqlite3_open_v2((srv.env() + "/" + MGR_STORAGE_FILE).c_str(), &db_,
                                  SQLITE_OPEN_READWRITE, nullptr),
                  SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~HeldWriteLock() { release(); }
    HeldWriteLock(const HeldWriteLock &) = delete;
    HeldWriteLock &operator=(const HeldWriteLock &) = delete;

    void release() {
        if (db_ == nullptr)
            return;
        EXPECT_EQ(sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db_);
        db_ = nullptr;
    }

private:
    sqlite3 *db_ = nullptr;
};

// A new agent's registration waits for the held lock; meanwhile a client's command still
// reaches an agent that was connected before, at once. Once the lock goes, the new agent is
// registered and answered.
TEST(MgrAgentServer, HeldStorageLockDelaysNoOtherAgent) {
    ManagerServer srv("manager");
    srv.start();
    MgrAgentHello known;
    known.label = "connected-before";
    auto agent = srv.agent(known);
    auto client = srv.admin();

    HeldWriteLock lock(srv);
    MgrAgentHello fresh;
    fresh.label = "new-while-locked";
    Peer newcomer(srv.port());
    newcomer.send({fresh.message()});
    ASSERT_TRUE(srv.logged("Authenticating agent [" + hex16(fresh.aid()) + ": new-while-locked]"));

    const auto sent = std::chrono::steady_clock::now();
    client->send({client_command(3, known.aid(), "ping")});
    EXPECT_EQ(agent->expect_next(), wire_message(MSG_AGENT_COMMAND, be(3, 8) + "ping"));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(1));

    lock.release();
    EXPECT_EQ(newcomer.expect_next(), wire_message(MSG_HELLO, std::string("\0MANAGER", 8)));
    EXPECT_TRUE(srv.logged("New agent [new-while-locked] [DB=] added to the manager."));
}

// While registration waits, at most the set number of further hellos (shortened here) wait
// behind it; one more is refused with a WARN line and its connection closed. The waiting ones
// are answered in their turn once the lock goes.
TEST(MgrAgentServer, HelloStormIsBoundedWhileRegistrationWaits) {
    constexpr uint32_t kWaiting = 12;
    ManagerServer srv("manager");
    setenv(MGAGENT_HELLOS_ENV, std::to_string(kWaiting).c_str(), 1);
    srv.start();
    unsetenv(MGAGENT_HELLOS_ENV);
    auto lock = std::make_unique<HeldWriteLock>(srv);
    MgrAgentHello first;
    first.label = "storm-0";
    Peer registering(srv.port());
    registering.send({first.message()});
    ASSERT_TRUE(srv.logged("Authenticating agent [" + hex16(first.aid()) + ": storm-0]"));

    std::vector<std::unique_ptr<Peer>> waiting;
    for (uint32_t i = 1; i <= kWaiting; i++) {
        MgrAgentHello h;
        h.label = "storm-" + std::to_string(i);
        waiting.push_back(std::make_unique<Peer>(srv.port()));
        waiting.back()->send({h.message()});
    }
    MgrAgentHello extra;
    extra.label = "storm-refused";
    Peer refused(srv.port());
    refused.send({extra.message()});
    EXPECT_TRUE(refused.closed_by_server());
    EXPECT_TRUE(srv.logged("WARN   Agent hello from 127.0.0.1:"));
    EXPECT_EQ(srv.count(" refused: " + std::to_string(kWaiting) +
                        " hellos wait for registration."),
              1u);

    lock.reset();
    const Bytes answer = wire_message(MSG_HELLO, std::string("\0MANAGER", 8));
    EXPECT_EQ(registering.expect_next(), answer);
    for (auto &p : waiting)
        EXPECT_EQ(p->expect_next(), answer);
    EXPECT_EQ(srv.rows("SELECT count(*) FROM AGENTS;"),
              std::vector<std::string>{std::to_string(kWaiting + 1)});
}

} // namespace
