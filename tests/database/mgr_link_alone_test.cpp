// A Database-only server whose Manager does not listen: it serves its agents all the same,
// while its link dials the Manager with a growing pause.
#include <gtest/gtest.h>

#include <chrono>

#include "database/agent_wire.h"
#include "database/db_server.h"
#include "database/peer_client.h"
#include "lib/agent_type.h"

namespace {

using steady = std::chrono::steady_clock;

class MgrLinkServerNoManager : public DatabaseServer {};

TEST_F(MgrLinkServerNoManager, DialsWithAGrowingPauseAndStoresRootCalls) {
    const std::string attempt = "INFO   Connecting to the manager [";
    const steady::time_point before = steady::now();
    start();

    // The first attempt follows a pause of 2 units of one second, the second 4 more.
    ASSERT_TRUE(eventually([&] { return count_of(log(), attempt) >= 1; }, 10)) << log();
    const double first = std::chrono::duration<double>(steady::now() - before).count();
    ASSERT_TRUE(eventually([&] { return count_of(log(), attempt) >= 2; }, 15)) << log();
    const double second = std::chrono::duration<double>(steady::now() - before).count();
    EXPECT_GE(first, 2.0);
    EXPECT_LT(first, 6.0);
    EXPECT_GE(second, 6.0);
    EXPECT_LT(second, 14.0);

    // Meanwhile its agents are served.
    const Bytes identity = identity_bytes(AGENT_TYPE_JVM, "alone");
    const uint64_t aid = agent_id_of(as_bytes(identity));
    PeerClient agent(port);
    ASSERT_TRUE(agent.send({agent_hello(be(utc_time(8, 0), 8) + identity)}));
    ASSERT_TRUE(agent.next().has_value());
    const uint64_t at = utc_time(10, 0);
    ASSERT_TRUE(agent.send({AgentData()
                                .sym(AREC_SYM_CLASS, 1, "com.example.Shop")
                                .sym(AREC_SYM_METHOD, 1, "checkout")
                                .sym(AREC_SYM_THREAD, 1, "http-1")
                                .message(),
                            AgentData()
                                .call(Call{CALL_F_ROOT, 1ull << 44 | at, 1, 1, 0, 0, at, 0, 120,
                                           be(1, 4)})
                                .message()}));
    EXPECT_EQ(stored_eventually(aid, 1).size(), 1u);
    EXPECT_LT(log().find("INFO   Manager connector started."), log().find(attempt));
    EXPECT_EQ(count_of(log(), "Manager connection established."), 0u);
}

} // namespace
