// The Database role as the frame runs it, in one test process: opened on a store of its own,
// its pool and loops set up by the server, an agent served through the role's context alone.
// The threads it starts are never joined, so each case runs in a forked child.
#include <gtest/gtest.h>

#include "database/client_peer.h"
#include "database/collector.h"
#include "database/database_ctx.h"
#include "database/database_role.h"
#include "database/peer_client.h"
#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "server/loop_harness.h"
#include "server/runtime.h"
#include "server/server.h"

namespace {

const Bytes kManagerAnswer("\x01\x00\x00\x00\x08\x00MANAGER", 13);

// The Database role opened on a fresh store in `dir`, which becomes the working directory,
// its server on 127.0.0.1 and a port of the system's choice. Its threads are never joined,
// so it is made on the heap and outlives the test.
struct OpenRole {
    struct runtime rt {};
    role *r = nullptr;
    uint16_t port = 0;

    explicit OpenRole(const std::string &dir) {
        EXPECT_EQ(chdir(dir.c_str()), 0);
        EXPECT_EQ(database_role.init(), 0);
        rt.mode = MODE_DATABASE;
        rt.roles.items[rt.roles.n++] = database_role;
        r = &rt.roles.items[0];
        EXPECT_EQ(r->open(r, &rt), 0);
        sockaddr_in a = loopback(0);
        rt.server.addr = netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&a));
        EXPECT_EQ(init_server_socket(&rt.server, &rt.roles), 0);
        socklen_t len = sizeof a;
        getsockname(rt.server.connfd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    database_ctx *ctx() const { return static_cast<database_ctx *>(r->ctx); }
};

TEST(DatabaseRole, PoolAndLoopsOfItsTable) {
    TempDir dir;
    RunResult res = in_child([&] {
        OpenRole &o = *new OpenRole(dir.path());
        server &s = o.rt.server;
        ASSERT_NE(o.ctx(), nullptr);
        EXPECT_NE(o.ctx()->db, nullptr);
        EXPECT_NE(o.ctx()->collector, nullptr);
        EXPECT_EQ(o.ctx()->online, nullptr);
        EXPECT_EQ(s.mask, 0x12u);
        ASSERT_NE(s.dbui, nullptr);
        ASSERT_NE(s.dbagent, nullptr);
        EXPECT_EQ(s.dbui->ctx, o.ctx());
        EXPECT_EQ(s.dbagent->ctx, o.ctx());
        ASSERT_NE(s.dbui->pool, nullptr);
        EXPECT_STREQ(s.dbui->pool->name, "DatabasePool");
        // A worker more than one client may hold at once.
        EXPECT_EQ(s.dbui->pool->min, DBUI_CLIENT_TASKS + 1);
        EXPECT_EQ(s.dbui->pool->max, 30u);
        EXPECT_EQ(s.dbui->pool->tasks.capacity, 101u);
        EXPECT_EQ(s.dbagent->pool, nullptr);
        for (loop *l : {s.mgui, s.mgagent, s.mgdb})
            EXPECT_EQ(l, nullptr);
    });
    EXPECT_CHILD_OK(res);
}

// The agent's loop registers it in the role's store and queues its data to the role's
// collector, whose workers end when the role quiesces.
TEST(DatabaseRole, ServesAnAgentThroughItsContext) {
    TempDir dir;
    RunResult res = in_child([&] {
        OpenRole &o = *new OpenRole(dir.path());
        ASSERT_EQ(server_start(&o.rt.server), 0);
        const Bytes identity = identity_bytes(AGENT_TYPE_JVM, "in-process");
        const uint64_t aid = agent_id_of(as_bytes(identity));
        PeerClient c(o.port);
        ASSERT_TRUE(c.send({agent_hello(be(1, 8) + identity)}));
        EXPECT_EQ(c.next(), kManagerAnswer);
        EXPECT_NE(dbs_agent_find(o.ctx()->db, aid), nullptr);
        ASSERT_TRUE(c.send({AgentData().sym(AREC_SYM_CLASS, 1, "InProcess").message()}));
        EXPECT_TRUE(eventually(
            [&] { return dbs_symbol_find(o.ctx()->db, SYM_CLASS, "InProcess", 9) != 0; }));
        o.r->quiesce(o.r, &o.rt);
        EXPECT_FALSE(o.ctx()->collector->running.load());
        EXPECT_TRUE(eventually(
            [] { return count_of(child_log(), "INFO   Collector worker ended [0].\n") == 4; }, 10));
        // The workers that ended are joined; nothing is left queued for them.
        collector_stop(o.ctx()->collector);
    });
    EXPECT_CHILD_OK(res);
}

} // namespace
