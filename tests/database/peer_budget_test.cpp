// What one peer can make a running Database (`korvane start`) hold or do is bounded: a
// client that never reads its replies, a client with many costly queries in flight, and a
// peer that stops in the middle of a frame. Other peers are served meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <sys/socket.h>
#include <thread>

#include "database/client_peer.h"
#include "database/db_server.h"
#include "database/peer_client.h"
#include "database/query_symbols.h"
#include "lib/agent_type.h"
#include "server/ioloop.h"
#include "server/reply.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kRootTime = utc_time(10, 0);

Bytes agent_symbols() {
    return AgentData()
        .sym(AREC_SYM_CLASS, 1, "com.example.Shop")
        .sym(AREC_SYM_METHOD, 1, "checkout")
        .sym(AREC_SYM_THREAD, 1, "http-1")
        .message();
}

// `n` root calls without inner calls, tagged from `first` on.
Bytes roots(uint64_t first, uint32_t n) {
    AgentData d;
    for (uint64_t tag = first; tag < first + n; tag++)
        d.call(Call{CALL_F_ROOT, tag << 44 | kRootTime, 1, 1, 0, 0, kRootTime, 0, 100, be(1, 4)});
    return d.message();
}

// A ROOT CALLS request naming `agents` agents that have no data, each over 72 hours.
Bytes costly_query(uint64_t rid, uint32_t agents) {
    Bytes body = be(rid, 8) + be(DBQ_ROOT_CALLS, 8) + std::string(16, '\0') + be(agents, 2);
    for (uint64_t aid = 1; aid <= agents; aid++)
        body += be(aid, 8) + be(kMar1, 8) + be(kMar1 + 72 * HOUR_MS - 1, 8);
    return wire_message(MSG_DB_QUERY, body);
}

class PeerBudgetTest : public DatabaseServer {
protected:
    const Bytes identity = identity_bytes(AGENT_TYPE_JVM, "budget");
    const uint64_t aid = agent_id_of(as_bytes(identity));

    // Under the address sanitizer freed blocks wait in a quarantine before their memory is
    // used again; a small one lets the service's peak show what it holds.
    void start_small_quarantine(const std::vector<std::string> &options = {"--debug"}) {
        const char *old = getenv("ASAN_OPTIONS");
        const std::string asan = old != nullptr ? old : "";
        setenv("ASAN_OPTIONS",
               (asan + ":quarantine_size_mb=4:thread_local_quarantine_size_kb=64").c_str(), 1);
        start(options);
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }

    std::unique_ptr<PeerClient> client(const Bytes &name) {
        auto c = std::make_unique<PeerClient>(port);
        EXPECT_TRUE(c->send({ui_hello(name)}));
        EXPECT_EQ(c->next(), kDatabaseAnswer);
        return c;
    }

    // A client's ROOT CALLS query of the agent's stored roots, answered; how long it took.
    double answered_in(PeerClient &c, uint64_t rid, size_t rows) {
        const auto before = Clock::now();
        EXPECT_TRUE(c.send({root_calls_query(rid, aid, kMar1, kMar1 + DAY_MS - 1)}));
        const std::optional<Bytes> m = c.next(10000);
        const double seconds = std::chrono::duration<double>(Clock::now() - before).count();
        EXPECT_TRUE(m.has_value()) << rid;
        if (m) {
            const RootCallsReply r = read_root_calls(*m);
            EXPECT_EQ(r.rid, rid);
            EXPECT_EQ(r.status, QRESP_OK);
            EXPECT_EQ(r.rows.size(), rows);
        }
        return seconds;
    }
};

// A client that sends as many queries as it may have in flight and does not read their
// replies: once its replies pile up its reading is paused, and should they pass its budget it
// is closed with a WARN (the queries read before the pause ran on). The service's memory
// stays bounded and another client is answered meanwhile. No reply is dropped silently: when
// the client reads at last, it gets a reply to every query, or as many as were sent before
// its connection was closed with that WARN.
TEST_F(PeerBudgetTest, ClientThatDoesNotReadIsPausedWhileOthersAreAnswered) {
    start_small_quarantine();
    PeerClient agent(port);
    ASSERT_TRUE(agent.send({agent_hello(be(kRootTime, 8) + identity)}));
    ASSERT_EQ(agent.next(), kManagerAnswer);
    ASSERT_TRUE(agent.send({agent_symbols()}));
    constexpr uint32_t kRoots = 5000; // a reply of about 380 KB
    for (uint32_t at = 0; at < kRoots; at += 1000)
        ASSERT_TRUE(agent.send({roots(at + 1, 1000)}));
    ASSERT_EQ(stored_eventually(aid, kRoots).size(), kRoots);
    auto other = client("other");
    answered_in(*other, 1, kRoots);

    const uint64_t before_kib = service_kib("VmRSS");
    auto deaf = client("does not read");
    // Replies of 380 KB to the queries running and waiting: far more than the soft limit.
    constexpr uint64_t kQueries = DBUI_CLIENT_TASKS + DBUI_CLIENT_WAITING;
    std::vector<Bytes> batch;
    for (uint64_t rid = 1; rid <= kQueries; rid++) {
        batch.push_back(root_calls_query(rid, aid, kMar1, kMar1 + DAY_MS - 1));
        if (batch.size() == kQueries / 2) {
            ASSERT_TRUE(deaf->send(batch));
            batch.clear();
        }
    }
    ASSERT_TRUE(logged("has ", 10));
    EXPECT_TRUE(logged(" bytes to take: reading paused.\n", 10));
    double slowest = 0;
    for (uint64_t rid = 2; rid <= 20; rid++)
        slowest = std::max(slowest, answered_in(*other, rid, kRoots));
    EXPECT_LT(slowest, 2.0);
    const uint64_t growth_mib = (service_kib("VmHWM") - before_kib) >> 10;
    // The soft limit, the replies of the queries read before the pause and of those running,
    // and the allocator's slack.
    EXPECT_LT(growth_mib, 128u);

    std::set<uint64_t> rids;
    while (rids.size() < kQueries) {
        const std::optional<Bytes> m = deaf->next(20000);
        if (!m)
            break;
        const RootCallsReply r = read_root_calls(*m);
        EXPECT_EQ(r.status, QRESP_OK);
        EXPECT_EQ(r.rows.size(), kRoots);
        EXPECT_TRUE(rids.insert(r.rid).second) << r.rid;
    }
    if (rids.size() < kQueries) {
        EXPECT_TRUE(deaf->closed_by_server(1000)) << rids.size() << " replies, then silence";
        EXPECT_TRUE(logged(" bytes, over its limit of " + std::to_string(IOL_PEER_HARD) +
                           ": closed.\n"));
    }
    EXPECT_EQ(log().find("queue full"), std::string::npos);
    answered_in(*other, 100, kRoots);
}

// One client with 40 costly queries in flight holds no more than its share of the pool:
// another client's queries are answered while they run. The costly client sends from a thread
// of its own, since the server stops reading it while its queries wait; the small queries
// start once six of its requests have left (four run, the others wait).
TEST_F(PeerBudgetTest, CostlyQueriesOfOneClientLeaveRoomForAnother) {
    start();
    auto busy = client("busy");
    constexpr uint64_t kCostly = 40;
    std::vector<Bytes> frames;
    for (uint64_t rid = 1; rid <= kCostly; rid++)
        frames.push_back(busy->pack({costly_query(rid, 65535)}, false));
    std::atomic<unsigned> sent{0};
    std::thread sender([&] {
        for (const Bytes &f : frames) {
            if (!busy->send_raw(f))
                return;
            sent++;
        }
    });
    EXPECT_TRUE(eventually([&] { return sent >= 6; }, 20));
    auto other = client("other");
    double slowest = 0;
    for (uint64_t rid = 1; rid <= 5; rid++)
        slowest = std::max(slowest, answered_in(*other, rid, 0));
    EXPECT_LT(slowest, 2.0);
    shutdown(busy->fd(), SHUT_RDWR);
    sender.join();
}

// A peer that stops in the middle of a frame is closed once it has sent nothing for the
// stall time (shortened for the test), whatever its kind.
TEST_F(PeerBudgetTest, StalledHalfFrameIsClosed) {
    setenv(IOL_STALL_ENV, "300", 1);
    start();
    unsetenv(IOL_STALL_ENV);
    // A header announcing 16 MiB, then a part of its payload.
    const Bytes half = Bytes("KR\x30\x06", 4) + be(16u << 20, 4) + be(0, 4) + Bytes(100000, 'x');
    const struct {
        const char *name;
        Bytes hello;
        Bytes answer;
    } cases[] = {
        {"agent", agent_hello(be(kRootTime, 8) + identity), kManagerAnswer},
        {"client", ui_hello("stalling"), kDatabaseAnswer},
    };
    for (const auto &c : cases) {
        PeerClient peer(port);
        ASSERT_TRUE(peer.send({c.hello})) << c.name;
        ASSERT_EQ(peer.next(), c.answer) << c.name;
        const auto before = Clock::now();
        ASSERT_TRUE(peer.send_raw(half)) << c.name;
        EXPECT_TRUE(peer.closed_by_server(10000)) << c.name;
        EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(300)) << c.name;
    }
    EXPECT_EQ(count_of(log(), "sent no byte of its frame for 0.3 seconds: closed.\n"), 2u);
}


// A SYMBOLS request whose 5 argument bytes the query refuses ("Invalid request!").
Bytes tiny_query(uint64_t rid) {
    return wire_message(MSG_DB_QUERY, be(rid, 8) + be(DBQ_SYMBOLS, 8) + Bytes(5, '\0'));
}

// A client's frames of many tiny malformed queries, each of which inflates to megabytes:
// each client holds the queries it may have in flight and is closed at the next one, with
// one WARN line, so the service's memory and its log stay small; another client is answered
// meanwhile.
TEST_F(PeerBudgetTest, FrameOfManyTinyQueriesIsBounded) {
    // At the service's usual log level: the log's growth is what a flood costs in use.
    start_small_quarantine({});
    auto other = client("other");
    ASSERT_TRUE(other->send({tiny_query(1)}));
    ASSERT_TRUE(other->next().has_value());
    const uint64_t before_kib = service_kib("VmRSS");
    const size_t before_log = log().size();

    // 150,000 queries of 21 bytes: 3.9 MB in a frame that LZ4 packs into a few KB.
    std::vector<Bytes> flood(150000, tiny_query(7));
    constexpr int kClients = 3;
    std::vector<std::unique_ptr<PeerClient>> floods;
    for (int i = 0; i < kClients; i++)
        floods.push_back(client("flood " + std::to_string(i)));
    const Bytes frame = floods[0]->pack(flood);
    EXPECT_LT(frame.size(), 64u << 10);
    for (auto &f : floods)
        ASSERT_TRUE(f->send_raw(frame));
    double slowest = 0;
    for (uint64_t rid = 2; rid <= 10; rid++) {
        const auto at = Clock::now();
        ASSERT_TRUE(other->send({tiny_query(rid)}));
        const std::optional<Bytes> m = other->next();
        ASSERT_TRUE(m.has_value()) << rid;
        EXPECT_EQ(m->substr(5, 8), be(rid, 8));
        slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - at).count());
    }
    EXPECT_LT(slowest, 2.0);
    for (auto &f : floods) {
        // What was taken before the limit is answered; then the connection ends.
        size_t replies = 0;
        while (f->next(10000).has_value())
            replies++;
        EXPECT_TRUE(f->closed_by_server(1000));
        EXPECT_LE(replies, DBUI_CLIENT_TASKS + DBUI_CLIENT_WAITING);
    }
    const std::string text = log();
    EXPECT_EQ(count_of(text, "sent more requests than may wait"), size_t{kClients});
    EXPECT_LT((service_kib("VmHWM") - before_kib) >> 10, 64u);
    EXPECT_LT(text.size() - before_log, 1u << 20);
    if (HasFailure())
        ADD_FAILURE() << text.substr(before_log, 20000);
}

// A reply to a connection that has gone is dropped, never handed to the client's next
// connection (the same first 16 hello bytes give the same uid), whose own request may carry
// the same request id.
TEST_F(PeerBudgetTest, ReplyForAClosedConnectionIsNotDeliveredToTheNextOne) {
    start({"--debug"});
    auto first = client("same user");
    ASSERT_TRUE(first->send({costly_query(1, 65535)}));
    ASSERT_TRUE(first->send({costly_query(2, 65535)}));
    // Frames are read in order: the answer to a quick request sent behind them says that both
    // costly queries are taken, and the second connection comes at once.
    ASSERT_TRUE(first->send({tiny_query(3)}));
    size_t early = 0; // the costly replies that reached the first connection
    for (;;) {
        const std::optional<Bytes> m = first->next();
        ASSERT_TRUE(m.has_value());
        if (m->substr(5, 8) == be(3, 8))
            break;
        early++;
    }
    auto second = client("same user");
    // The replies that reached the first connection before it was replaced, then its end.
    while (first->next(60000).has_value())
        early++;
    EXPECT_TRUE(first->closed_by_server(1000));
    EXPECT_LT(early, 2u) << "both costly queries ended before the second connection came";
    // The others are dropped as their connection has gone...
    EXPECT_TRUE(eventually(
        [&] { return count_of(log(), " gone: message dropped.\n") + early == 2; }, 120));
    // ...and the second connection gets the reply to its own request 1, and nothing else.
    ASSERT_TRUE(second->send({tiny_query(1)}));
    EXPECT_EQ(second->next(), wire_message(MSG_RESPONSE, be(1, 8) + be(DBQ_SYMBOLS, 8) +
                                                             be(QRESP_ERROR, 2)));
}

// An agent whose every frame holds a record of no known type: the collector logs its first
// lines, then counts the rest, told when the agent goes.
TEST_F(PeerBudgetTest, AgentGarbageCostsTheLogItsFirstLines) {
    start();
    {
        PeerClient agent(port);
        ASSERT_TRUE(agent.send({agent_hello(be(kRootTime, 8) + identity)}));
        ASSERT_EQ(agent.next(), kManagerAnswer);
        for (int i = 0; i < 300; i++)
            ASSERT_TRUE(agent.send({wire_message(MSG_AGENT_DATA, Bytes("\x55\x00", 2))}));
        ASSERT_TRUE(read_by_server(agent.fd()));
    }
    char who[64];
    snprintf(who, sizeof who, "WARN   Collector: Agent [%016lX]: ", aid);
    ASSERT_TRUE(logged(std::string(who) + std::to_string(300 - LOG_LIMIT_FIRST) +
                       " log lines suppressed in the last "));
    EXPECT_EQ(count_of(log(), "ERROR  Unsupported agent data type: 55\n"), LOG_LIMIT_FIRST);
}

} // namespace
