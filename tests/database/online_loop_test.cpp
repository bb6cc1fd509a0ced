// Online pushes through a real DB-UI loop made in a forked child of the test: clients
// subscribe over loopback with ONLINE DATA, and the test runs the push cycles itself, so
// every step is seen in order without waiting for a timer.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "database/client_peer.h"
#include "database/collector_status.h"
#include "database/collector_support.h"
#include "database/database_ctx.h"
#include "database/online.h"
#include "database/peer_client.h"
#include "lib/murmur3.h"
#include "lib/netaddr.h"
#include "server/loop_harness.h"
#include "server/reply.h"
#include "server/server.h"

namespace {


Bytes online_query(uint64_t rid, uint32_t arg) {
    return wire_message(MSG_DB_QUERY, be(rid, 8) + be(QID_ONLINE_DATA, 8) + be(arg, 4));
}
// The reply to ONLINE DATA: status 1 and the request id again.
Bytes online_reply(uint64_t rid) {
    return wire_message(MSG_RESPONSE, be(rid, 8) + be(QID_ONLINE_DATA, 8) + be(1, 2) + be(rid, 8));
}
Bytes push(uint64_t now, const Bytes &recs = "") {
    return wire_message(MSG_PUSH, be(now, 8) + recs);
}
// A query the loop answers with status 2 (no store): what a client gets after any push of
// the same cycle.
Bytes probe(uint64_t rid) {
    return wire_message(MSG_DB_QUERY, be(rid, 8) + be(2, 8));
}
Bytes probe_reply(uint64_t rid) {
    return wire_message(MSG_RESPONSE, be(rid, 8) + be(2, 8) + be(2, 2));
}

// The uid the Database gives a client whose hello body is `body` (16 bytes or fewer).
uint64_t uid_of(const Bytes &body) {
    uint8_t head[DBUI_UID_BYTES] = {};
    memcpy(head, body.data(), body.size());
    return murmur3_hash64(head, DBUI_UID_BYTES);
}

std::string uid_text(uint64_t uid) {
    char s[17];
    snprintf(s, sizeof s, "%016lX", uid);
    return s;
}

// The DB-UI loop with an online service over `col`, behind a server thread on 127.0.0.1; the
// online thread is not started: tests call online_cycle. Nothing is ever freed: the threads
// end with the child.
struct OnlineHarness {
    database_ctx *ctx = new database_ctx{};
    server *s = new server{};
    odb *o = online_create();
    loop *ui = nullptr;
    unsigned port = 0;

    explicit OnlineHarness(collector *col) {
        mtp_pool *pool = mtp_create(1, 2, 20, "DatabasePool");
        EXPECT_EQ(mtp_start(pool), 0);
        ctx->collector = col;
        ctx->online = o;
        sockaddr_in a = loopback(0);
        s->addr = netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&a));
        EXPECT_EQ(server_listen(s), 0);
        socklen_t len = sizeof a;
        getsockname(s->connfd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        ui = dbui_loop_create(ctx, pool);
        EXPECT_EQ(server_add_loop(s, ui), 0);
        EXPECT_EQ(server_start(s), 0);
        o->ui = ui;
        o->col = col;
    }

    std::unique_ptr<PeerClient> connect(const Bytes &body) const {
        auto c = std::make_unique<PeerClient>(port);
        EXPECT_TRUE(c->send({ui_hello(body)}));
        EXPECT_EQ(c->next(), kDatabaseAnswer);
        return c;
    }
    std::unique_ptr<PeerClient> subscriber(const Bytes &body, uint64_t rid) const {
        auto c = connect(body);
        EXPECT_TRUE(c->send({online_query(rid, 1)}));
        EXPECT_EQ(c->next(), online_reply(rid));
        return c;
    }
};

uint32_t any_symbol_id(dbs *, uint32_t, uint16_t, const char *) {
    return 1;
}

// A collector without a store that serves one agent with nothing but a symbol.
collector *one_agent_collector(uint64_t aid) {
    const collector_callbacks cb{nullptr, nullptr, nullptr, any_symbol_id};
    collector *col = collector_init(2, &cb);
    const std::string m = AgentData().sym(AREC_SYM_THREAD, 1, "t").message();
    EXPECT_EQ(collector_enqueue(col, aid, m.size(), reinterpret_cast<const uint8_t *>(m.data())),
              0);
    return col;
}

uint64_t body_size(collector *col, uint64_t now) {
    bbuf *b = nullptr;
    collector_dump_status(now, &b, col);
    const uint64_t n = b != nullptr ? bbuf_position(b) : 0;
    free(b);
    return n;
}

void subscription_sequences() {
    const uint64_t aid = 0x77;
    collector *col = one_agent_collector(aid);
    OnlineHarness h(col);
    // The agent's record once its state exists: 42 bytes, all counters 0, m = 0.
    const Bytes record = be(aid, 8) + Bytes(34, '\0');
    ASSERT_TRUE(eventually([&] { return body_size(col, 0) == record.size(); }));

    const std::map<char, Bytes> bodies = {{'A', "client A"}, {'B', "client B"}, {'C', "client C"}};
    std::map<char, std::unique_ptr<PeerClient>> clients;
    for (const auto &[name, body] : bodies)
        clients[name] = h.connect(body);
    auto line = [&](char who, const char *what) {
        return "INFO   UI client [" + uid_text(uid_of(bodies.at(who))) + "] " + what + "\n";
    };
    enum Op { SUB, UNSUB, CLOSE };
    const struct {
        const char *name;
        char who;
        Op op;
        uint64_t rid;
        const char *line;   // the INFO line looked at
        size_t adds;        // how many of it the step logs
        std::string pushed; // the clients that get the next push
    } steps[] = {
        {"A subscribes", 'A', SUB, 5, "subscribed successfully.", 1, "A"},
        {"A repeats with a request id", 'A', SUB, 6, "already subscribed.", 1, "A"},
        {"B subscribes with request id 0", 'B', SUB, 0, "subscribed successfully.", 1, "AB"},
        {"B repeats with request id 0", 'B', SUB, 0, "subscribed successfully.", 1, "AB"},
        {"A unsubscribes", 'A', UNSUB, 7, "unsubscribed successfully.", 1, "B"},
        {"A unsubscribes again", 'A', UNSUB, 8, "unsubscribed successfully.", 0, "B"},
        {"C subscribes", 'C', SUB, 9, "subscribed successfully.", 1, "BC"},
        {"B's connection closes", 'B', CLOSE, 0, "unsubscribed successfully.", 1, "C"},
        {"C's connection closes", 'C', CLOSE, 0, "unsubscribed successfully.", 1, ""},
        {"A subscribes again", 'A', SUB, 10, "subscribed successfully.", 1, "A"},
    };
    uint64_t now = 1000;
    uint64_t probes = 100;
    for (const auto &s : steps) {
        SCOPED_TRACE(s.name);
        const std::string text = line(s.who, s.line);
        const size_t before = count_of(child_log(), text);
        if (s.op == CLOSE) {
            clients.at(s.who)->close_now();
            clients.erase(s.who);
            ASSERT_TRUE(eventually([&] { return count_of(child_log(), text) > before; }));
        } else {
            PeerClient &c = *clients.at(s.who);
            ASSERT_TRUE(c.send({online_query(s.rid, s.op == SUB ? 1 : 0)}));
            EXPECT_EQ(c.next(), online_reply(s.rid));
        }
        EXPECT_EQ(count_of(child_log(), text), before + s.adds);
        const size_t dumps = count_of(child_log(), "DEBUG  Dumping collector status...");
        now += 1000;
        EXPECT_EQ(online_cycle(h.o, now), !s.pushed.empty());
        pthread_mutex_lock(&h.o->guard);
        const uint64_t active = h.o->active;
        pthread_mutex_unlock(&h.o->guard);
        EXPECT_EQ(active, s.pushed.size());
        // Nobody subscribed: the collector is not even read.
        if (s.pushed.empty()) {
            EXPECT_EQ(count_of(child_log(), "DEBUG  Dumping collector status..."), dumps);
        }
        for (auto &[name, client] : clients) {
            if (s.pushed.find(name) != std::string::npos) {
                EXPECT_EQ(client->next(), push(now, record)) << name;
            }
            ASSERT_TRUE(client->send({probe(++probes)}));
            EXPECT_EQ(client->next(), probe_reply(probes)) << name;
        }
    }
}

TEST(OnlineLoop, SubscriptionSequencesDecideWhoGetsEachPush) {
    RunResult r = in_child(subscription_sequences, 2);
    EXPECT_CHILD_OK(r);
}

// A collector over a new store in the working directory serving `agents` agents with `open`
// root calls in progress each, of as many ages, so that each agent's record is large.
collector *busy_collector(uint32_t agents, uint32_t open, uint64_t now) {
    EXPECT_EQ(storage_create_db(), 0);
    dbs *db = dbs_open();
    const collector_callbacks cb = store_callbacks(db);
    collector *col = collector_init(2, &cb);
    for (uint32_t i = 0; i < agents; i++) {
        const std::string id = identity_bytes(2, "agent " + std::to_string(i));
        const uint64_t aid = agent_id_of(as_bytes(id));
        EXPECT_EQ(dbs_agent_register(db, as_bytes(id), aid), 0);
        AgentData d;
        for (uint64_t k = 0; k < open; k++)
            d.call(Call{0, (k + 1) << 44 | (now - 1000 * k), 5, 6, 0, 0, now, 0, 0, ""});
        const std::string m = d.message();
        EXPECT_EQ(
            collector_enqueue(col, aid, m.size(), reinterpret_cast<const uint8_t *>(m.data())), 0);
    }
    return col;
}

struct peer_output {
    uint64_t queued;
    bool holds_push;
};

// What the loop holds for a client's connection, read on the loop thread, which alone
// changes it.
struct output_probe {
    uint64_t uid;
    peer_output out;
    ThreadGate done;
};

peer_output output_of(loop *ui, uint64_t uid) {
    output_probe probe{uid, {}, {}};
    auto *c = static_cast<iol_call *>(malloc(sizeof(iol_call)));
    *c = iol_call{&probe, [](loop *l, void *arg) {
                      auto *pr = static_cast<output_probe *>(arg);
                      iol_foreach_peer(l, pr, [](void *a, const netaddr *, iol_peer *p) {
                          auto *q = static_cast<output_probe *>(a);
                          if (p->uid != q->uid)
                              return 0;
                          q->out = {p->queued_bytes, p->last_push != nullptr};
                          return 1;
                      });
                      pr->done.release();
                  }};
    EXPECT_EQ(iol_send(ui, IOMessage{c, IOM_CALL, PeerId{}}), 0);
    std::unique_lock<std::mutex> lk(probe.done.m);
    probe.done.cv.wait(lk, [&] { return probe.done.open; });
    return probe.out;
}

void never_reading_subscriber() {
    const uint64_t now = 1700000000000;
    collector *col = busy_collector(200, 99, now);
    const uint64_t records = 200 * (42 + 6 * 99);
    ASSERT_TRUE(eventually([&] { return body_size(col, now) == records; }, 20));
    OnlineHarness h(col);
    auto reader = h.subscriber("reader", 1);
    auto sleeper = h.subscriber("sleeper", 2);
    // It never reads again, and takes little when the kernel delivers.
    const int small = 4096;
    setsockopt(sleeper->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // Cycles until a push passes the sleeper by, then ten more; only the sleeper is ever
    // passed by, as the reader has taken each push before the next. The same time each cycle
    // keeps every body the same size.
    uint32_t after_skip = 0;
    for (uint32_t cycle = 0; cycle < 5000 && after_skip < 10; cycle++) {
        ASSERT_TRUE(online_cycle(h.o, now));
        const std::optional<Bytes> got = reader->next();
        ASSERT_TRUE(got.has_value()) << "cycle " << cycle;
        ASSERT_EQ(got->size(), 5 + 8 + records);
        ASSERT_EQ(got->substr(5, 8), be(now, 8));
        if (h.o->skipped.load() > 0)
            after_skip++;
        // The sleeper holds at most one push besides what its connection has taken.
        ASSERT_LE(output_of(h.ui, uid_of("sleeper")).queued, 5 + 8 + records);
    }
    EXPECT_EQ(after_skip, 10u);
    EXPECT_TRUE(output_of(h.ui, uid_of("sleeper")).holds_push);
    const std::string log = child_log();
    EXPECT_NE(log.find("DEBUG  IOL[DB-UI]: Client [UID=" + uid_text(uid_of("sleeper")) +
                       "] has not taken its last push: push skipped.\n"),
              std::string::npos);
    EXPECT_EQ(log.find("Message queue full!"), std::string::npos);
    EXPECT_EQ(log.find("destroyed."), std::string::npos);
    EXPECT_EQ(h.o->sent.load() + h.o->skipped.load(), 2 * h.o->cycles.load());
}

TEST(OnlineLoop, SubscriberThatNeverReadsHoldsOnePushWhileAReaderGetsEvery) {
    TempDir dir;
    // Level 2 for the skip line; the collector's dump lines stay few with 200 agents.
    RunResult r = in_child(
        [&] {
            ASSERT_EQ(chdir(dir.path().c_str()), 0);
            never_reading_subscriber();
        },
        2);
    EXPECT_CHILD_OK(r);
}

// A body larger than the message bound reaches the subscriber as several pushes, cut at
// whole records, each with the push time.
void split_push() {
    const collector_callbacks cb{nullptr, nullptr, nullptr, any_symbol_id};
    collector *col = collector_init(1, &cb);
    const std::string m = AgentData().sym(AREC_SYM_THREAD, 1, "t").message();
    for (uint64_t aid : {0xA1, 0xA2, 0xA3})
        ASSERT_EQ(
            collector_enqueue(col, aid, m.size(), reinterpret_cast<const uint8_t *>(m.data())), 0);
    ASSERT_TRUE(eventually([&] { return body_size(col, 0) == 3 * 42; }));
    OnlineHarness h(col);
    h.o->max_data = 8 + 2 * 42;
    auto c = h.subscriber("client", 4);
    ASSERT_TRUE(online_cycle(h.o, 9000));
    const Bytes zeros(34, '\0');
    EXPECT_EQ(c->next(), push(9000, be(0xA1, 8) + zeros + be(0xA2, 8) + zeros));
    EXPECT_EQ(c->next(), push(9000, be(0xA3, 8) + zeros));
}

TEST(OnlineLoop, BodyOverTheMessageBoundComesInWholeRecordParts) {
    RunResult r = in_child(split_push);
    EXPECT_CHILD_OK(r);
}

// A no-op command (a send without a message) that takes one ring slot.
IOMessage filler() {
    return IOMessage{nullptr, IOM_SEND, PeerId{}};
}

void cycle_takes_one_slot() {
    const uint64_t aid = 0x55;
    collector *col = one_agent_collector(aid);
    ASSERT_TRUE(eventually([&] { return body_size(col, 0) == 42; }));
    OnlineHarness h(col);
    std::vector<std::unique_ptr<PeerClient>> subs;
    for (int i = 0; i < 20; i++)
        subs.push_back(h.subscriber("sub " + std::to_string(i), 100 + i));
    const uint64_t uid0 = uid_of("sub 0");
    PeerId first{};
    iol_get_peer_id(&first, h.ui, uid0);
    ASSERT_EQ(first.uid, uid0);

    Gate gate;
    gate.close_on(h.ui);
    for (int i = 0; i < 998; i++)
        ASSERT_EQ(iol_send(h.ui, filler()), 0);
    // The cycle for 20 subscribers takes one slot, the reply of a pool worker the last one.
    ASSERT_TRUE(online_cycle(h.o, 42000));
    const Bytes late = probe_reply(77);
    ASSERT_EQ(iol_send(h.ui, IOMessage{new_msg(MSG_RESPONSE, late.substr(5)), IOM_SEND, first}),
              0);
    IOMessage extra = filler();
    EXPECT_EQ(iol_send(h.ui, extra), -1);
    gate.release();

    for (size_t i = 0; i < subs.size(); i++) {
        EXPECT_EQ(subs[i]->next(), push(42000, be(aid, 8) + Bytes(34, '\0'))) << i;
    }
    EXPECT_EQ(subs[0]->next(), late);
    EXPECT_EQ(h.o->refused.load(), 0u);
}

TEST(OnlineLoop, CycleForTwentySubscribersTakesOneRingSlot) {
    RunResult r = in_child(cycle_takes_one_slot);
    EXPECT_CHILD_OK(r);
}

// A ring that cannot take the cycle's command drops that cycle, counted and logged; the next
// one pushes again.
void refused_cycle() {
    OnlineHarness h(nullptr);
    auto sub = h.subscriber("only", 3);
    Gate gate;
    gate.close_on(h.ui);
    while (iol_send(h.ui, filler()) == 0) {
    }
    EXPECT_FALSE(online_cycle(h.o, 1000));
    EXPECT_EQ(h.o->refused.load(), 1u);
    gate.release();
    EXPECT_TRUE(logged("WARN   Online push for 1 subscribers dropped (1 so far): the DB-UI "
                       "loop is busy.\n"));
    ASSERT_TRUE(eventually([&] { return online_cycle(h.o, 2000); }));
    // Without a collector, the time alone.
    EXPECT_EQ(sub->next(), push(2000));
}

TEST(OnlineLoop, RefusedCycleIsDroppedAndTheNextPushes) {
    RunResult r = in_child(refused_cycle);
    EXPECT_CHILD_OK(r);
}

// A Database without an online service refuses ONLINE DATA with status 2; so does every
// Database when the argument is missing.
void without_online_service() {
    OnlineHarness h(nullptr);
    h.ctx->online = nullptr;
    auto c = h.connect("client");
    // Status 2 for RID 11, written out by hand.
    const Bytes refused("\x08\x00\x00\x00\x12"
                        "\x00\x00\x00\x00\x00\x00\x00\x0B"
                        "\x00\x00\x00\x00\x00\x00\x00\x03"
                        "\x00\x02",
                        23);
    ASSERT_TRUE(c->send({online_query(11, 1)}));
    EXPECT_EQ(c->next(), refused);
    EXPECT_TRUE(logged("ERROR  Unsupported push data!\n"));
    // The connection is served on, and its close touches no service.
    ASSERT_TRUE(c->send({probe(12)}));
    EXPECT_EQ(c->next(), probe_reply(12));
    c->close_now();
    EXPECT_TRUE(logged("destroyed.\n"));
}

TEST(OnlineLoop, WithoutOnlineServiceTheQueryGetsStatus2) {
    RunResult r = in_child(without_online_service);
    EXPECT_CHILD_OK(r);
}

} // namespace
