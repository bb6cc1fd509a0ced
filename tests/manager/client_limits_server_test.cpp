// What one graphical client, or a crowd of connections that have not logged in, may make a
// Standalone server hold: a client's requests are each answered or its connection is closed,
// and a storm of logins never holds back the requests of a client that has logged in.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "manager/mgr_queries.h"
#include "mgr_server.h"
#include "query_wire.h"

namespace {

struct Pipelined {
    const char *name;
    size_t per_frame; // queries packed into each frame
};

// Whatever the client does not get an answer for, it sees its connection end: it never waits
// on an open connection for an answer that will not come.
TEST(MgrClientLimitsServer, PipelinedQueriesAreEachAnsweredOrTheConnectionCloses) {
    constexpr uint64_t kQueries = 400;
    const Pipelined rows[] = {{"in one frame", kQueries}, {"a frame each", 1}};
    ManagerServer srv("standalone");
    srv.start({});
    for (const Pipelined &row : rows) {
        auto client = srv.admin();
        std::vector<Bytes> batch;
        for (uint64_t rid = 1; rid <= kQueries; rid++) {
            batch.push_back(mgr_query(rid, MQ_AGENTS_LIST));
            if (batch.size() == row.per_frame || rid == kQueries) {
                client->send(batch);
                batch.clear();
            }
        }
        std::set<uint64_t> answered;
        while (answered.size() < kQueries) {
            std::optional<Bytes> m = client->next();
            if (!m.has_value())
                break;
            if ((*m)[0] == static_cast<char>(MSG_AGENT_DATA))
                continue;
            ASSERT_EQ(m->size(), 5u + 18) << row.name;
            const uint64_t rid = from_be(*m, 5, 8);
            EXPECT_EQ(*m, mgr_reply(rid, MQ_AGENTS_LIST, 1)) << row.name;
            EXPECT_TRUE(answered.insert(rid).second) << row.name << ": answered twice " << rid;
        }
        if (answered.size() < kQueries) {
            EXPECT_TRUE(client->closed_by_server(0))
                << row.name << ": " << answered.size() << " answered, the connection still open";
            EXPECT_TRUE(srv.logged("sent more requests than may wait")) << row.name;
        }
    }
    // The server goes on serving.
    auto after = srv.admin();
    after->send({mgr_query(7, MQ_AGENTS_LIST)});
    EXPECT_EQ(next_reply(*after), mgr_reply(7, MQ_AGENTS_LIST, 1));
}

TEST(MgrClientLimitsServer, LoginStormLeavesALoggedInClientAnswered) {
    constexpr int kStorm = 600;
    constexpr uint64_t kQueries = 20;
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    ASSERT_GE(files.rlim_max, rlim_t{3 * kStorm}) << "the descriptor limit is too low";
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, 3 * kStorm);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);

    ManagerServer srv("standalone");
    srv.start({});
    auto admin = srv.admin();
    std::vector<std::unique_ptr<FrameClient>> storm;
    for (int i = 0; i < kStorm; i++) {
        storm.push_back(std::make_unique<FrameClient>(srv.port(), 1 << 16));
        ASSERT_TRUE(storm.back()->connected()) << i;
    }
    const Bytes wrong = storm[0]->pack({login_hello("admin", "wrong")});
    for (auto &c : storm)
        ASSERT_TRUE(c->send_raw(wrong));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (uint64_t rid = 1; rid <= kQueries; rid++)
        admin->send({mgr_query(rid, MQ_AGENTS_LIST)});
    std::set<uint64_t> answered;
    while (answered.size() < kQueries) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::optional<Bytes> m = admin->next(static_cast<int>(std::max<int64_t>(left.count(), 0)));
        ASSERT_TRUE(m.has_value())
            << answered.size() << " of " << kQueries << " answered within 5 s";
        if ((*m)[0] == static_cast<char>(MSG_AGENT_DATA))
            continue;
        const uint64_t rid = from_be(*m, 5, 8);
        EXPECT_EQ(*m, mgr_reply(rid, MQ_AGENTS_LIST, 1));
        answered.insert(rid);
    }
    // Every login of the storm ends with its connection closed, answered or not.
    for (size_t i = 0; i < storm.size(); i++)
        EXPECT_TRUE(storm[i]->closed_by_server(10000)) << i;
    EXPECT_EQ(srv.count("Connection granted"), 1u);
    // Most of the storm never reached the pool: the logins past the bound were refused.
    EXPECT_GT(srv.count("logins are being checked."), 0u);
}

} // namespace
