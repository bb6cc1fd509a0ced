// The Database role as the frame runs it, in one test process: opened on a store of its own,
// its pool and loops set up by the server, an agent served through the role's context alone.
// The threads it starts are never joined, so each case runs in a forked child.
#include <gtest/gtest.h>

#include <memory>
#include <sys/resource.h>
#include <thread>

#include "database/agent_peer.h"
#include "database/client_peer.h"
#include "database/collector.h"
#include "database/database_ctx.h"
#include "database/database_role.h"
#include "database/peer_client.h"
#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "database/store/kv.h"
#include "database/store/rcall.h"
#include "server/loop_harness.h"
#include "server/runtime.h"
#include "server/server.h"

namespace {


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

// The agent's loop hands the hello to the agent's collector worker, which registers it in
// the role's store and answers; its data goes to the role's collector.
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
        EXPECT_EQ(o.ctx()->agents.load(), 1u);
        ASSERT_TRUE(c.send({AgentData().sym(AREC_SYM_CLASS, 1, "InProcess").message()}));
        EXPECT_TRUE(eventually(
            [&] { return dbs_symbol_find(o.ctx()->db, SYM_CLASS, "InProcess", 9) != 0; }));
        c.close_now();
        EXPECT_TRUE(eventually([&] { return o.ctx()->agents.load() == 0; }));
    });
    EXPECT_CHILD_OK(res);
}

// Quiescing keeps what was accepted: with the agent's worker held up, its frames wait in the
// worker's queue when the stop begins; they are all stored before the workers end, the
// agent's files are closed, and a hello that comes afterwards is refused.
TEST(DatabaseRole, QuiesceStoresWhatWasQueuedAndRefusesNewAgents) {
    TempDir dir;
    RunResult res = in_child([&] {
        OpenRole &o = *new OpenRole(dir.path());
        ASSERT_EQ(server_start(&o.rt.server), 0);
        const Bytes identity = identity_bytes(AGENT_TYPE_JVM, "stopping");
        const uint64_t aid = agent_id_of(as_bytes(identity));
        PeerClient c(o.port);
        ASSERT_TRUE(c.send({agent_hello(be(1, 8) + identity)}));
        ASSERT_EQ(c.next(), kManagerAnswer);
        collector *col = o.ctx()->collector;
        ThreadGate gate;
        ASSERT_EQ(collector_call(
                      col, aid, [](void *g, bool) { static_cast<ThreadGate *>(g)->pass(); }, &gate),
                  0);
        gate.wait_entered();
        // A root call at 10:00 and 100 samples, in frames of their own.
        const uint64_t t = 19783ull * DAY_MS + 10 * HOUR_MS;
        const uint64_t root_key = uint64_t{1} << 44 | t;
        AgentData symbols;
        symbols.sym(AREC_SYM_CLASS, 1, "Shop").sym(AREC_SYM_METHOD, 1, "buy");
        symbols.sym(AREC_SYM_THREAD, 1, "main").sym(AREC_SYM_KEY, 1, "heap");
        std::vector<Bytes> messages{
            symbols.message(), AgentData()
                                   .call(Call{0, root_key, 1, 1, 1, 1, t, 0, 1, ""})
                                   .call(Call{CALL_F_ROOT, root_key, 1, 1, 0, 0, t, 0, 5, be(1, 4)})
                                   .message()};
        for (uint64_t i = 0; i < 100; i++)
            messages.push_back(AgentData().kv(1, t + i, i).message());
        uint64_t bytes = 0;
        for (const Bytes &m : messages) {
            ASSERT_TRUE(c.send({m}));
            bytes += m.size();
        }
        collector_worker *cw = &col->workers[aid % col->n];
        ASSERT_TRUE(eventually([&] { return cw->queued.load() == bytes; }));
        std::thread stop([&] { o.r->quiesce(o.r, &o.rt); });
        ASSERT_TRUE(eventually([&] { return !o.ctx()->accepting.load(); }));
        gate.release();
        stop.join();

        EXPECT_EQ(count_of(child_log(), "INFO   Database quiesced"), 1u);
        dbs_agent *a = dbs_agent_find(o.ctx()->db, aid);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->kv.stage_fd, -1) << "the stage is closed";
        EXPECT_EQ(dbs_agent_mc_open_hours(a), 0u) << "the hour files are closed";
        char path[96];
        snprintf(path, sizeof path, "storage.db/data/%016lX/kv/stages/stage", aid);
        EXPECT_EQ(read_file(path).size(), 100 * sizeof(kv_stage_rec));
        rcall_path(path, aid, static_cast<uint32_t>(t / DAY_MS), 10, "");
        EXPECT_EQ(read_file(path).size(), sizeof(RootCall) + sizeof(call_record));

        PeerClient late(o.port);
        ASSERT_TRUE(late.send({agent_hello(be(1, 8) + identity_bytes(AGENT_TYPE_JVM, "late"))}));
        EXPECT_TRUE(late.closed_by_server());
        EXPECT_NE(child_log().find("refused: the Database is stopping."), std::string::npos);
        o.r->close(o.r, &o.rt);
    });
    EXPECT_CHILD_OK(res);
}

// Each agent may hold DBAGENT_DESCRIPTORS descriptors; under a soft limit of 320 (less the
// reserve of 256) that makes room for 8 agents, and the ninth is refused with a WARN.
TEST(DatabaseRole, DescriptorBudgetRefusesTheNextAgent) {
    EXPECT_EQ(dbagent_budget(1024), (1024 - 256) / 8);
    EXPECT_EQ(dbagent_budget(20000), (20000 - 2500) / 8);
    EXPECT_EQ(dbagent_budget(200), 0u);
    TempDir dir;
    RunResult res = in_child([&] {
        rlimit lim{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
        lim.rlim_cur = 320;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
        OpenRole &o = *new OpenRole(dir.path());
        ASSERT_EQ(server_start(&o.rt.server), 0);
        const uint64_t budget = dbagent_budget(320);
        ASSERT_EQ(budget, 8u);
        std::vector<std::unique_ptr<PeerClient>> agents;
        for (uint64_t i = 0; i < budget; i++) {
            agents.push_back(std::make_unique<PeerClient>(o.port));
            const Bytes id = identity_bytes(AGENT_TYPE_JVM, "budget-" + std::to_string(i));
            ASSERT_TRUE(agents.back()->send({agent_hello(be(1, 8) + id)}));
            ASSERT_EQ(agents.back()->next(), kManagerAnswer) << i;
        }
        const Bytes extra = identity_bytes(AGENT_TYPE_JVM, "one-too-many");
        PeerClient refused(o.port);
        ASSERT_TRUE(refused.send({agent_hello(be(1, 8) + extra)}));
        EXPECT_TRUE(refused.closed_by_server());
        char line[256];
        snprintf(line, sizeof line,
                 "WARN   Agent [%016lX] refused: 8 agents are connected, as many as a descriptor "
                 "limit of 320 allows (8 each, 256 kept for clients, files and the store).\n",
                 agent_id_of(as_bytes(extra)));
        EXPECT_NE(child_log().find(line), std::string::npos) << child_log();
        // A place freed is taken again.
        agents.pop_back();
        ASSERT_TRUE(eventually([&] { return o.ctx()->agents.load() == budget - 1; }));
        PeerClient again(o.port);
        ASSERT_TRUE(again.send({agent_hello(be(1, 8) + extra)}));
        EXPECT_EQ(again.next(), kManagerAnswer);
    });
    EXPECT_CHILD_OK(res);
}

// Registering agents works off the loop thread: while 1,000 agents say hello one after
// another (each answered, then gone), an agent already connected streams a root call and a
// sample between every fifth hello, and every one of them is stored.
TEST(DatabaseRole, RegistrationsLeaveAStreamingAgentWhole) {
    TempDir dir;
    RunResult res = in_child([&] {
        OpenRole &o = *new OpenRole(dir.path());
        ASSERT_EQ(server_start(&o.rt.server), 0);
        const Bytes identity = identity_bytes(AGENT_TYPE_JVM, "streaming");
        const uint64_t aid = agent_id_of(as_bytes(identity));
        PeerClient streamer(o.port);
        ASSERT_TRUE(streamer.send({agent_hello(be(1, 8) + identity)}));
        ASSERT_EQ(streamer.next(), kManagerAnswer);
        AgentData symbols;
        symbols.sym(AREC_SYM_CLASS, 1, "Shop").sym(AREC_SYM_METHOD, 1, "buy");
        symbols.sym(AREC_SYM_THREAD, 1, "main").sym(AREC_SYM_KEY, 1, "heap");
        ASSERT_TRUE(streamer.send({symbols.message()}));
        const uint64_t t = 19783ull * DAY_MS + 10 * HOUR_MS;
        const uint64_t agents = 1000, every = 5, streamed = agents / every;
        for (uint64_t i = 0; i < agents; i++) {
            // A hello and its answer are small: a small compression area keeps a thousand
            // clients cheap under the sanitizers.
            PeerClient c(o.port, 1 << 16);
            const Bytes id = identity_bytes(AGENT_TYPE_JVM, "joining-" + std::to_string(i));
            ASSERT_TRUE(c.send({agent_hello(be(1, 8) + id)}));
            ASSERT_EQ(c.next(), kManagerAnswer) << i;
            c.close_now();
            if (i % every != 0)
                continue;
            const uint64_t at = t + i * 1000;
            const uint64_t key = (i + 1) << 44 | at;
            ASSERT_TRUE(streamer.send({AgentData()
                                           .call(Call{0, key, 1, 1, 1, 1, at, 0, 1, ""})
                                           .call(Call{CALL_F_ROOT, key, 1, 1, 0, 0, at, 0, 5,
                                                      be(1, 4)})
                                           .kv(1, at, i)
                                           .message()}));
        }
        char hour[96];
        rcall_path(hour, aid, static_cast<uint32_t>(t / DAY_MS), 10, "");
        const uint64_t root_bytes = streamed * (sizeof(RootCall) + sizeof(call_record));
        EXPECT_TRUE(eventually([&] { return read_file(hour).size() == root_bytes; }, 10))
            << read_file(hour).size() << " of " << root_bytes << " bytes of root calls";
        char stage[96];
        snprintf(stage, sizeof stage, "storage.db/data/%016lX/kv/stages/stage", aid);
        EXPECT_TRUE(eventually(
            [&] { return read_file(stage).size() == streamed * sizeof(kv_stage_rec); }, 10))
            << read_file(stage).size();
        EXPECT_EQ(count_of(child_log(), "dropped"), 0u) << child_log();
        EXPECT_EQ(count_of(child_log(), "lost"), 0u) << child_log();
        EXPECT_TRUE(eventually([&] { return o.ctx()->agents.load() == 1; }, 10));
    });
    EXPECT_CHILD_OK(res);
}

} // namespace
