// Online pushes at a running Database (`korvane start`, push period shortened): a subscribed
// client's pushes carry the time and one status record per agent, compared with bytes
// written out by hand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "database/client_peer.h"
#include "database/db_server.h"
#include "database/online.h"
#include "database/peer_client.h"
#include "lib/agent_type.h"
#include "server/frame_bytes.h"

namespace {

constexpr uint64_t kStarted = utc_time(8, 0);

uint64_t wall_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

class OnlineServerTest : public DatabaseServer {
protected:
    void SetUp() override {
        DatabaseServer::SetUp();
        setenv(ONLINE_PERIOD_ENV, "200", 1);
    }
    void TearDown() override {
        DatabaseServer::TearDown();
        unsetenv(ONLINE_PERIOD_ENV);
    }
    // An agent connected with its hello answered; its id in *aid.
    std::unique_ptr<PeerClient> agent(const std::string &label, uint64_t *aid) const {
        const Bytes identity = identity_bytes(AGENT_TYPE_JVM, label);
        *aid = agent_id_of(as_bytes(identity));
        auto c = std::make_unique<PeerClient>(port);
        EXPECT_TRUE(c->send({agent_hello(be(kStarted, 8) + identity)}));
        EXPECT_EQ(c->next(), kManagerAnswer);
        return c;
    }
};

TEST_F(OnlineServerTest, PushCarriesEachAgentsCountersAndOpenRootsByAge) {
    start();
    EXPECT_TRUE(logged("INFO   Online subsystem started.\n"));
    PeerClient ui(port);
    ASSERT_TRUE(ui.send({ui_hello("online client")}));
    ASSERT_EQ(ui.next(), kDatabaseAnswer);
    const uint64_t before = wall_ms() / 1000 * 1000;
    ASSERT_TRUE(ui.send({wire_message(MSG_DB_QUERY, be(31, 8) + be(QID_ONLINE_DATA, 8) + be(1, 4))}));
    ASSERT_EQ(ui.next(), wire_message(MSG_RESPONSE,
                                      be(31, 8) + be(QID_ONLINE_DATA, 8) + be(1, 2) + be(31, 8)));

    // No agent yet: the time alone, a whole second no earlier than the subscription.
    const std::optional<Bytes> first = ui.next();
    ASSERT_TRUE(first.has_value());
    ASSERT_EQ(first->size(), 13u);
    EXPECT_EQ(first->substr(0, 5), unhex("07 00000008"));
    const uint64_t t0 = from_be(*first, 5, 8);
    EXPECT_EQ(t0 % 1000, 0u);
    EXPECT_GE(t0, before);
    EXPECT_LE(t0, wall_ms());

    // Agent A: symbols, a thread-count sample, three complete root calls (the second with an
    // exception call) and calls of three roots still open, begun 0.5 s, 4.5 s (with an
    // exception call) and 4.6 s before the whole second s.
    uint64_t a = 0, b = 0;
    auto agent_a = agent("online-a", &a);
    const uint64_t s = wall_ms() / 1000 * 1000;
    const std::string exc = be(5, 4);
    AgentData d;
    d.sym(AREC_SYM_CLASS, 5, "C")
        .sym(AREC_SYM_METHOD, 6, "m")
        .sym(AREC_SYM_THREAD, 1, "main")
        .sym(AREC_SYM_KEY, 1, "JVM\x1Fthreads\x1F" "count")
        .kv(1, s - 3000, 0x100000021);
    for (uint64_t k = 1; k <= 3; k++) {
        const uint64_t key = k << 44 | (s - 10000 * k);
        if (k == 2)
            d.call(Call{CALL_F_EXC, key, 5, 6, 1, 1, s - 10000 * k, 0, 1, exc});
        d.call(Call{CALL_F_ROOT, key, 5, 6, 0, 0, s - 10000 * k, 0, 5, be(1, 4)});
    }
    d.call(Call{0, uint64_t{4} << 44 | (s - 500), 5, 6, 1, 1, s, 0, 1, ""});
    d.call(Call{CALL_F_EXC, uint64_t{5} << 44 | (s - 4500), 5, 6, 1, 1, s, 0, 1, exc});
    d.call(Call{0, uint64_t{6} << 44 | (s - 4600), 5, 6, 1, 1, s, 0, 1, ""});
    ASSERT_TRUE(agent_a->send({d.message()}));
    ASSERT_TRUE(read_by_server(agent_a->fd()));
    // Agent B: one message and nothing more.
    auto agent_b = agent("online-b", &b);
    ASSERT_TRUE(agent_b->send({AgentData().sym(AREC_SYM_THREAD, 1, "worker").message()}));
    ASSERT_TRUE(read_by_server(agent_b->fd()));

    // A's record at push time t: root calls s - 0.5 s old are j = (t - s) / 1000 whole seconds
    // old (bucket j + 1), those 4.5 s and 4.6 s old j + 4 (bucket j + 5).
    auto record_a = [&](uint64_t t) {
        const uint64_t j = (t - s) / 1000;
        return be(a, 8) + be(1, 8) + be(3, 8) + be(s - 3000, 8) + be(0x21, 8) + be(2, 2) +
               be(j + 1, 2) + be(0, 2) + be(1, 2) + be(j + 5, 2) + be(1, 2) + be(2, 2);
    };
    const Bytes record_b = be(b, 8) + Bytes(34, '\0');
    // Workers by agent id modulo 4 in order; A came first if they share one.
    const bool a_first = a % 4 <= b % 4;
    Bytes last, want;
    const bool seen = eventually(
        [&] {
            const std::optional<Bytes> m = ui.next();
            if (!m || m->size() < 13)
                return false;
            last = *m;
            const uint64_t t = from_be(last, 5, 8);
            const Bytes recs = a_first ? record_a(t) + record_b : record_b + record_a(t);
            want = wire_message(MSG_PUSH, be(t, 8) + recs);
            return t >= s && last == want;
        },
        10);
    EXPECT_TRUE(seen) << "last push:\n" << hex(last) << "\nwanted:\n" << hex(want);
    EXPECT_EQ(log().find("Message queue full!"), std::string::npos);
}

} // namespace
