// What a running Database (`korvane start`) keeps: everything it has read from an agent
// survives `korvane stop` and a restart, and a store that cannot open its files for want of
// descriptors neither stores a root call out of its index's sight nor answers a query it
// could not read as if it had found nothing.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "database/agent_wire.h"
#include "database/db_server.h"
#include "database/peer_client.h"
#include "database/store/kv.h"
#include "lib/agent_type.h"
#include "server/reply.h"

namespace {

constexpr uint64_t kStarted = utc_time(8, 0);

// The agent's own ids.
enum : uint32_t { SHOP = 1, BUY = 1, MAIN = 1, HEAP = 1 };

Bytes agent_symbols() {
    return AgentData()
        .sym(AREC_SYM_CLASS, SHOP, "com.example.Shop")
        .sym(AREC_SYM_METHOD, BUY, "buy")
        .sym(AREC_SYM_THREAD, MAIN, "main")
        .sym(AREC_SYM_KEY, HEAP, "JVM\x1F"
                                 "heap")
        .message();
}

// Root call `tag` at `start`: `calls` calls, then its root.
void add_root_call(AgentData *d, uint64_t tag, uint64_t start, uint32_t calls) {
    const uint64_t key = tag << 44 | start;
    for (uint32_t i = 1; i <= calls; i++)
        d->call(Call{0, key, SHOP, BUY, i, 1, start + i, 0, 1, ""});
    d->call(Call{CALL_F_ROOT, key, SHOP, BUY, 0, 0, start, 0, 50, be(MAIN, 4)});
}

class DurabilityTest : public DatabaseServer {
protected:
    const Bytes identity = identity_bytes(AGENT_TYPE_JVM, "durable");
    const uint64_t aid = agent_id_of(as_bytes(identity));

    std::unique_ptr<PeerClient> connect_agent() {
        auto c = std::make_unique<PeerClient>(port);
        EXPECT_TRUE(c->send({agent_hello(be(kStarted, 8) + identity)}));
        EXPECT_EQ(c->next(), kManagerAnswer);
        return c;
    }
    // A client; without a compression area of its own, so that hundreds of them stay small.
    std::unique_ptr<PeerClient> connect_client(const std::string &name, int timeout_ms = 5000) {
        auto c = std::make_unique<PeerClient>(port, 0);
        if (!c->send({ui_hello(name)}) || c->next(timeout_ms) != kDatabaseAnswer)
            return nullptr;
        return c;
    }
    RootCallsReply root_calls(PeerClient *c, uint64_t rid, uint64_t from, uint64_t to) {
        EXPECT_TRUE(c->send({root_calls_query(rid, aid, from, to)}));
        const std::optional<Bytes> m = c->next(10000);
        return m ? read_root_calls(*m) : RootCallsReply{};
    }
};

// 1,000 root calls of 20 calls and 1,000 samples, all read by the server, then a stop: the
// quiesce stores what was still queued and closes the files, and after a restart the root
// calls are all found and the samples all in their day file.
TEST_F(DurabilityTest, CleanStopKeepsEverythingTheServerRead) {
    start();
    auto agent = connect_agent();
    ASSERT_TRUE(agent->send({agent_symbols()}));
    constexpr uint64_t kRoots = 1000, kSamples = 1000;
    const uint64_t first = utc_time(10, 0);
    for (uint64_t batch = 0; batch < kRoots / 100; batch++) {
        AgentData d;
        for (uint64_t r = batch * 100; r < (batch + 1) * 100; r++)
            add_root_call(&d, r + 1, first + r * 10, 20);
        ASSERT_TRUE(agent->send({d.message()}));
    }
    for (uint64_t batch = 0; batch < kSamples / 100; batch++) {
        AgentData d;
        for (uint64_t i = batch * 100; i < (batch + 1) * 100; i++)
            d.kv(HEAP, first + i * 1000, i);
        ASSERT_TRUE(agent->send({d.message()}));
    }
    ASSERT_TRUE(read_by_server(agent->fd()));
    stop();
    EXPECT_TRUE(logged("INFO   Database quiesced: agents' data stored and their files closed.\n"));
    EXPECT_EQ(log().find("not stored"), std::string::npos) << log();

    start();
    const uint32_t heap = symbol_id(SYM_KEY, "JVM\x1Fheap");
    ASSERT_NE(heap, 0u);
    const Bytes day = day_file(aid, static_cast<uint32_t>(first / DAY_MS), heap);
    ASSERT_EQ(day.size(), kSamples * sizeof(kv_sample));
    for (uint64_t i = 0; i < kSamples; i++)
        ASSERT_EQ(from_be(day, i * sizeof(kv_sample) + 8, 8), i) << i;
    const stored_count n = count_stored(aid);
    EXPECT_EQ(n.roots, kRoots);
    EXPECT_EQ(n.calls, kRoots * 20);
}

// Under a limit of 400 descriptors, with clients taking every descriptor left: a root call
// for a new hour cannot get its files and is refused (told in the agent's loss line, never
// stored without its index entry), and a query whose files cannot be opened answers status
// 2. Once descriptors are free, the root calls stored before are found again, before and
// after a restart, and the refused one is not.
TEST_F(DurabilityTest, NoDescriptorsLeftRefusesRootCallsAndFailsQueries) {
    start({}, 400);
    auto agent = connect_agent();
    ASSERT_TRUE(agent->send({agent_symbols()}));
    const uint64_t ten = utc_time(10, 0), eleven = utc_time(11, 0, 30);
    AgentData before;
    for (uint64_t r = 0; r < 5; r++)
        add_root_call(&before, r + 1, ten + r * 1000, 2);
    ASSERT_TRUE(agent->send({before.message()}));
    ASSERT_EQ(stored_eventually(aid, 5).size(), 5u);

    // Clients until the server takes no more; the last one answered stays for a query.
    std::vector<std::unique_ptr<PeerClient>> clients;
    while (clients.size() < 500) {
        auto c = connect_client("hog " + std::to_string(clients.size()), 1000);
        if (c == nullptr)
            break;
        clients.push_back(std::move(c));
    }
    ASSERT_FALSE(clients.empty());
    ASSERT_LT(clients.size(), 500u) << "the descriptor limit was never reached";
    AgentData late;
    add_root_call(&late, 99, eleven, 2);
    ASSERT_TRUE(agent->send({late.message()}));
    ASSERT_TRUE(logged("1 root calls and 0 samples lost (", 10)) << log();

    const RootCallsReply failed = root_calls(clients.back().get(), 1, ten, eleven + 60000);
    EXPECT_EQ(failed.status, QRESP_ERROR);
    EXPECT_TRUE(failed.rows.empty());

    // Descriptors come back: the minute around the refused root call has nothing, the hour
    // before it has its five.
    clients.resize(clients.size() / 2);
    PeerClient *q = clients.back().get();
    const RootCallsReply minute = root_calls(q, 2, eleven - 30000, eleven + 30000);
    EXPECT_EQ(minute.status, QRESP_OK);
    EXPECT_TRUE(minute.rows.empty());
    EXPECT_EQ(root_calls(q, 3, ten, ten + HOUR_MS - 1).rows.size(), 5u);

    clients.clear();
    agent->close_now();
    stop();
    start();
    auto client = connect_client("after restart");
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(root_calls(client.get(), 4, eleven - 30000, eleven + 30000).rows.empty());
    const RootCallsReply hour = root_calls(client.get(), 5, ten, ten + HOUR_MS - 1);
    EXPECT_EQ(hour.status, QRESP_OK);
    EXPECT_EQ(hour.rows.size(), 5u);
}

} // namespace
