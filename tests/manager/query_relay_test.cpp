// The table of forwarded agent queries: what an answer matches, the bound per client, and
// the records that go with a client's or an agent's connection.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "manager/query_relay.h"

namespace {

const relay_conn kClient{0xC1, 1};
const relay_conn kAgent{0xA1, 7};

TEST(QueryRelay, AnAnswerMatchesItsQueryOnce) {
    query_relay r;
    ASSERT_EQ(relay_add(&r, kClient, relay_query{kAgent, 41, 9}), 0);
    struct Row {
        const char *name;
        relay_conn client;
        relay_query answer;
    };
    const Row misses[] = {
        {"another connection of the user", relay_conn{0xC1, 2}, relay_query{kAgent, 41, 9}},
        {"another user", relay_conn{0xC2, 1}, relay_query{kAgent, 41, 9}},
        {"another connection of the agent", kClient, relay_query{relay_conn{0xA1, 8}, 41, 9}},
        {"another agent", kClient, relay_query{relay_conn{0xA2, 7}, 41, 9}},
        {"another request id", kClient, relay_query{kAgent, 42, 9}},
        {"another query id", kClient, relay_query{kAgent, 41, 6}},
    };
    for (const Row &row : misses)
        EXPECT_FALSE(relay_take(&r, row.client, row.answer)) << row.name;
    EXPECT_TRUE(relay_take(&r, kClient, relay_query{kAgent, 41, 9}));
    EXPECT_FALSE(relay_take(&r, kClient, relay_query{kAgent, 41, 9}));
    EXPECT_TRUE(r.by_client.empty());
}

TEST(QueryRelay, EachOfTwoEqualQueriesTakesOneAnswer) {
    query_relay r;
    const relay_query q{kAgent, 5, 9};
    ASSERT_EQ(relay_add(&r, kClient, q), 0);
    ASSERT_EQ(relay_add(&r, kClient, q), 0);
    relay_remove(&r, kClient, q);
    EXPECT_EQ(relay_waiting(&r, kClient), 1u);
    EXPECT_TRUE(relay_take(&r, kClient, q));
    EXPECT_FALSE(relay_take(&r, kClient, q));
}

TEST(QueryRelay, BoundedPerClientAndFreedWithEitherConnection) {
    query_relay r;
    const relay_conn other_agent{0xA2, 3};
    const relay_conn other_client{0xC2, 4};
    for (uint64_t rid = 0; rid < RELAY_PER_CLIENT; rid++)
        ASSERT_EQ(relay_add(&r, kClient, relay_query{rid % 2 ? kAgent : other_agent, rid, 9}), 0);
    EXPECT_EQ(relay_add(&r, kClient, relay_query{kAgent, 1000, 9}), -1);
    // The bound is the client's own: another client is not held back by it.
    ASSERT_EQ(relay_add(&r, other_client, relay_query{kAgent, 1, 9}), 0);

    relay_agent_gone(&r, kAgent);
    EXPECT_EQ(relay_waiting(&r, kClient), RELAY_PER_CLIENT / 2);
    EXPECT_EQ(relay_waiting(&r, other_client), 0u);
    EXPECT_EQ(r.by_client.count(other_client), 0u);
    EXPECT_EQ(relay_add(&r, kClient, relay_query{kAgent, 1000, 9}), 0);
    EXPECT_TRUE(relay_take(&r, kClient, relay_query{other_agent, 0, 9}));

    relay_client_gone(&r, kClient);
    EXPECT_EQ(relay_waiting(&r, kClient), 0u);
    EXPECT_TRUE(r.by_client.empty());
}

// Workers add and take while the loops' close callbacks free: every answer of a live query is
// taken exactly once (TSan checks the locking).
TEST(QueryRelay, ConcurrentUse) {
    query_relay r;
    constexpr int kThreads = 4;
    constexpr uint64_t kRounds = 2000;
    std::vector<std::thread> threads;
    std::vector<uint64_t> taken(kThreads);
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&r, &taken, t] {
            const relay_conn client{0xC0 + static_cast<uint64_t>(t), 1};
            for (uint64_t rid = 0; rid < kRounds; rid++) {
                const relay_query q{kAgent, rid, 9};
                if (relay_add(&r, client, q) == 0 && relay_take(&r, client, q))
                    taken[static_cast<size_t>(t)]++;
            }
        });
    }
    std::thread closer([&r] {
        for (uint64_t i = 0; i < kRounds; i++)
            relay_agent_gone(&r, relay_conn{0xA9, i});
    });
    for (std::thread &t : threads)
        t.join();
    closer.join();
    for (uint64_t n : taken)
        EXPECT_EQ(n, kRounds);
    EXPECT_TRUE(r.by_client.empty());
}

} // namespace
