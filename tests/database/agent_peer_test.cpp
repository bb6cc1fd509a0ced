// Agents at a running Database server (`korvane start`), over real loopback connections.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "database/agent_collector.h"
#include "database/agent_peer.h"
#include "database/db_server.h"
#include "database/peer_client.h"
#include "database/store/agents.h"
#include "database/store/symbols.h"

namespace {

// 2024-03-01 10:00:00 UTC.
constexpr uint64_t kRootTime = utc_time(10, 0);
// 2024-03-01 09:00:00 UTC: when the agents say they started.
constexpr uint64_t kStarted = utc_time(9, 0);

// The accepted agent's answer: a type-1 message with a zero byte and "MANAGER".

struct Agent {
    Bytes identity;
    uint64_t aid;

    explicit Agent(const std::string &label)
        : identity(identity_bytes(AGENT_TYPE_JVM, label)), aid(agent_id_of(as_bytes(identity))) {}

    Bytes hello(const Bytes &extra = "") const {
        return agent_hello(be(kStarted, 8) + identity + extra);
    }
    std::string dir() const {
        char name[17];
        snprintf(name, sizeof name, "%016lX", aid);
        return std::string("/storage.db/data/") + name;
    }
};

// The names an agent gives its classes, methods and threads, under its own ids.
Bytes agent_symbols() {
    return AgentData()
        .sym(AREC_SYM_CLASS, 1, "com.example.Shop")
        .sym(AREC_SYM_METHOD, 1, "checkout")
        .sym(AREC_SYM_METHOD, 2, "price")
        .sym(AREC_SYM_THREAD, 1, "http-1")
        .message();
}

uint64_t root_key(uint64_t tag, uint64_t time = kRootTime) {
    return tag << 44 | time;
}

// A call inside root call `key` (method "price"), and the root itself ("checkout", thread 1).
Call inner_call(uint64_t key, uint32_t corder) {
    return Call{0, key, 1, 2, corder, 1, kRootTime + corder, 0, 1, ""};
}
Call root_call(uint64_t key) {
    return Call{CALL_F_ROOT, key, 1, 1, 0, 0, kRootTime, 0, 100, be(1, 4)};
}

class AgentPeerTest : public DatabaseServer {
protected:
    // Connects and says hello; the connection is answered and kept.
    std::unique_ptr<PeerClient> connect(const Agent &a) {
        auto c = std::make_unique<PeerClient>(port);
        EXPECT_TRUE(c->send({a.hello()}));
        EXPECT_EQ(c->next(), kManagerAnswer);
        return c;
    }
};

TEST_F(AgentPeerTest, HelloRegistersTheAgentAndIsAnswered) {
    start();
    const struct {
        const char *label;
        Bytes hello;
    } cases[] = {
        {"exactly-72", Agent("exactly-72").hello()},
        // Bytes behind the identity are ignored.
        {"with-more-bytes", Agent("with-more-bytes").hello("whatever follows")},
        // Kind, target, start time 2024-03-01 09:00:00 UTC, type 2 and the label.
        {"by-hand", Bytes("\x01\x00\x00\x00\x52"
                          "\0\0\0AGENTSE"
                          "\x00\x00\x01\x8D\xF9\x3D\xE6\x80"
                          "\x02"
                          "by-hand",
                          31) +
                        Bytes(56, '\0')},
    };
    for (const auto &c : cases) {
        const Agent a(c.label);
        PeerClient client(port);
        ASSERT_TRUE(client.send({c.hello}));
        // The answer frame: "KR", version, payload of 13 + 4 bytes, the header check (computed
        // by the server), the message, the trailer.
        Bytes frame(29, '\0');
        ASSERT_EQ(recv(client.fd(), frame.data(), frame.size(), MSG_WAITALL), 29) << c.label;
        EXPECT_EQ(frame.substr(0, 8), Bytes("KR\x30\x06\x00\x00\x00\x11", 8)) << c.label;
        EXPECT_EQ(frame.substr(12), kManagerAnswer + Bytes("\0\0\0\x0D", 4)) << c.label;

        EXPECT_EQ(read_file(env + a.dir() + "/korvane.id"), a.identity) << c.label;
        struct stat st {};
        EXPECT_EQ(stat((env + a.dir() + "/mc").c_str(), &st), 0) << c.label;
        // The start time in local time (the tests run in UTC).
        EXPECT_TRUE(logged("INFO   Authenticating agent [" + a.dir().substr(17) + ": " + c.label +
                           "] started at [03/01/24 09:00:00]...\n"))
            << c.label;
    }
}

TEST_F(AgentPeerTest, RefusedHellosCloseTheConnectionUnanswered) {
    const Agent blocked("blocked");
    // A file where the agent's directory belongs: the store cannot register the agent.
    write_file(env + blocked.dir(), "in the way");
    start();
    const struct {
        const char *name;
        Bytes hello;
        std::string line;
    } cases[] = {
        {"body of 71 bytes", agent_hello(Bytes(71, 'x')), "ERROR  Incorrect agent hello size.\n"},
        {"empty body", agent_hello(""), "ERROR  Incorrect agent hello size.\n"},
        {"not registered", blocked.hello(), "ERROR  Unable to add agent to the database!\n"},
    };
    for (const auto &c : cases) {
        PeerClient client(port);
        ASSERT_TRUE(client.send({c.hello}));
        EXPECT_TRUE(client.closed_by_server()) << c.name;
        EXPECT_TRUE(logged(c.line)) << c.name;
    }
}

TEST_F(AgentPeerTest, SecondConnectionOfAnAgentDropsTheFirst) {
    start();
    const Agent a("twice");
    auto first = connect(a);
    // Registered already: answered the same way.
    auto second = connect(a);
    EXPECT_TRUE(first->closed_by_server());
    EXPECT_TRUE(logged("WARN   IOL[DB-AG]: Client already connected. The existing connection will "
                       "be dropped.\n"));
    // The newer connection serves the agent.
    ASSERT_TRUE(
        second->send({agent_symbols(), AgentData().call(root_call(root_key(1))).message()}));
    EXPECT_EQ(stored_eventually(a.aid, 1).size(), 1u);
}

TEST_F(AgentPeerTest, DataSpreadOverFramesIsStored) {
    start();
    const Agent a("frames");
    auto c = connect(a);
    const uint64_t k1 = root_key(1), k2 = root_key(2, kRootTime + 500);
    ASSERT_TRUE(c->send({agent_symbols()}));
    ASSERT_TRUE(c->send({AgentData().call(inner_call(k1, 1)).call(inner_call(k1, 2)).message()}));
    // Two messages in one frame: the root of the first root call, then a whole second one.
    ASSERT_TRUE(c->send({AgentData().call(inner_call(k1, 3)).call(root_call(k1)).message(),
                         AgentData().call(inner_call(k2, 1)).call(root_call(k2)).message()}));

    const std::vector<seen_rcall> seen = stored_eventually(a.aid, 2);
    ASSERT_EQ(seen.size(), 2u);
    const uint32_t shop = symbol_id(SYM_CLASS, "com.example.Shop");
    const uint32_t checkout = symbol_id(SYM_METHOD, "checkout");
    const uint32_t price = symbol_id(SYM_METHOD, "price");
    ASSERT_NE(shop, 0u);
    ASSERT_NE(price, 0u);
    EXPECT_EQ(seen[0].thread, symbol_id(SYM_THREAD, "http-1"));
    EXPECT_EQ(seen[0].root.CLASS, shop);
    EXPECT_EQ(seen[0].root.METHOD, checkout);
    ASSERT_EQ(seen[0].calls.size(), 3u);
    for (uint32_t i = 0; i < 3; i++) {
        EXPECT_EQ(seen[0].calls[i].METHOD, price);
        EXPECT_EQ(seen[0].calls[i].CORDER, i + 1);
    }
    EXPECT_EQ(seen[1].calls.size(), 1u);
}

TEST_F(AgentPeerTest, DisconnectDiscardsTheRootCallInProgress) {
    start();
    const Agent a("leaves");
    const uint64_t done = root_key(1), cut = root_key(2);
    {
        auto c = connect(a);
        ASSERT_TRUE(c->send({agent_symbols(), AgentData()
                                                  .call(inner_call(done, 1))
                                                  .call(root_call(done))
                                                  .call(inner_call(cut, 1))
                                                  .call(inner_call(cut, 2))
                                                  .message()}));
        ASSERT_EQ(stored_eventually(a.aid, 1).size(), 1u);
    }
    // Back with the root of the root call it was in the middle of: its earlier calls went
    // with the old connection, so the root is stored alone.
    auto c = connect(a);
    ASSERT_TRUE(c->send({agent_symbols(), AgentData().call(root_call(cut)).message()}));
    const std::vector<seen_rcall> seen = stored_eventually(a.aid, 2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].calls.size(), 1u);
    EXPECT_EQ(seen[1].calls.size(), 0u);
}

// An agent directory without its identity file (a crash between the two) is not in the
// store's registry when it opens; the agent's hello repairs it and its data is stored.
TEST_F(AgentPeerTest, HelloRepairsAnAgentDirectoryMissingFromTheRegistry) {
    const Agent a("half-made");
    ASSERT_EQ(mkdir((env + a.dir()).c_str(), 0700), 0);
    start();
    auto c = connect(a);
    EXPECT_EQ(read_file(env + a.dir() + "/korvane.id"), a.identity);
    ASSERT_TRUE(c->send({agent_symbols(), AgentData().call(root_call(root_key(1))).message()}));
    EXPECT_EQ(stored_eventually(a.aid, 1).size(), 1u);
    EXPECT_EQ(log().find("has no store state"), std::string::npos);
}

// An agent that sends its first data in the same send as its hello, in a frame of its own:
// the hello is answered and the data stored.
TEST_F(AgentPeerTest, HelloAndFirstDataInOneSendAreBothHandled) {
    start();
    const Agent a("eager");
    PeerClient c(port);
    const uint64_t key = root_key(1);
    ASSERT_TRUE(c.send_raw(
        c.pack({a.hello()}) +
        c.pack({agent_symbols(), AgentData().call(inner_call(key, 1)).call(root_call(key)).message()})));
    EXPECT_EQ(c.next(), kManagerAnswer);
    const std::vector<seen_rcall> seen = stored_eventually(a.aid, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].calls.size(), 1u);
    EXPECT_EQ(log().find("Premature data"), std::string::npos);
}

// An agent that sends far faster than its collector worker stores: the server stops reading
// it while the worker is over its budget, so the service's memory stays within the budget
// and a margin, and every root call sent is stored.
TEST_F(AgentPeerTest, FastAgentIsSlowedDownAndLosesNothing) {
    // Under the address sanitizer freed blocks wait in a quarantine (256 MiB by default)
    // before their memory is used again; a small one lets the measure show what the server
    // holds.
    const std::string asan = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS",
           (asan + ":quarantine_size_mb=4:thread_local_quarantine_size_kb=64").c_str(), 1);
    // A worker budget below one frame: the agent is made to wait whenever a frame of it is
    // still queued when the next one arrives.
    constexpr uint64_t kBudgetKib = 256;
    setenv(COLLECTOR_BUDGET_ENV, std::to_string(kBudgetKib).c_str(), 1);
    start({"--debug"});
    unsetenv(COLLECTOR_BUDGET_ENV);
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    const Agent a("flood");
    auto c = connect(a);
    ASSERT_TRUE(c->send({agent_symbols()}));
    // One frame body of 1024 root calls of 20 calls each (about 800 KiB), sent again and again.
    constexpr uint32_t kRoots = 1024, kInner = 20, kFrames = 40;
    AgentData data;
    for (uint32_t r = 0; r < kRoots; r++) {
        const uint64_t key = root_key(r + 1);
        for (uint32_t i = 1; i <= kInner; i++)
            data.call(inner_call(key, i));
        data.call(root_call(key));
    }
    const Bytes body = data.message();
    const Bytes frame = c->pack({body});
    const uint64_t before_kib = service_kib("VmRSS");
    // On a busy machine the worker may keep up with the first frames: the agent goes on
    // sending, up to a bound, until it has been made to wait.
    constexpr uint32_t kMaxFrames = 8 * kFrames;
    const auto held = [&] {
        return log().find("waits for its collector worker.") != std::string::npos;
    };
    uint32_t frames = 0;
    while (frames < kFrames || (frames < kMaxFrames && (frames % 20 != 0 || !held()))) {
        ASSERT_TRUE(c->send_raw(frame)) << frames;
        frames++;
    }
    const uint64_t sent_mib = uint64_t{frames} * body.size() >> 20;

    stored_count n{};
    eventually([&] { return (n = count_stored(a.aid)).roots >= uint64_t{kRoots} * frames; }, 60);
    EXPECT_EQ(n.roots, uint64_t{kRoots} * frames);
    EXPECT_EQ(n.calls, uint64_t{kInner} * kRoots * frames);
    const uint64_t peak_mib = (service_kib("VmHWM") - before_kib) >> 10;
    // The budget of the agent's worker, a few frames in flight and the allocator's slack.
    constexpr uint64_t kBoundMib = (kBudgetKib >> 10) + 48;
    EXPECT_LT(peak_mib, kBoundMib) << sent_mib << " MiB sent";
    EXPECT_TRUE(logged("waits for its collector worker."));
    EXPECT_TRUE(logged("resumes sending."));
}

} // namespace

namespace {

// An agent that makes the collector hold what it can: class names under ids spread over the
// whole id space (a map page each), then 100,000 calls without roots, each of a root call
// of its own in one window and with a small parameter entry. The collector holds no more for
// it than its budget, says so in a WARN, and another agent's root calls are still stored.
TEST_F(AgentPeerTest, HostileAgentIsHeldToItsBudget) {
    const std::string asan = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS",
           (asan + ":quarantine_size_mb=4:thread_local_quarantine_size_kb=64").c_str(), 1);
    start();
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    const Agent honest("honest"), hostile("hostile");
    auto h = connect(honest);
    ASSERT_TRUE(h->send({agent_symbols()}));
    auto x = connect(hostile);
    const uint64_t before_kib = service_kib("VmRSS");
    AgentData symbols;
    for (uint32_t id = 1; id <= AGENT_SYMBOL_ID_MAX; id += 4096)
        symbols.sym(AREC_SYM_CLASS, id, "Hostile" + std::to_string(id));
    ASSERT_TRUE(x->send({symbols.message()}));
    constexpr uint32_t kCalls = 100000, kPerFrame = 10000;
    for (uint32_t n = 0; n < kCalls; n += kPerFrame) {
        AgentData d;
        for (uint32_t i = n; i < n + kPerFrame; i++)
            d.call(Call{CALL_F_PARAMS, root_key(i + 1), 1, 1, 1, 1, kRootTime, 0, 1, "abc"});
        ASSERT_TRUE(x->send({d.message()}));
    }
    ASSERT_TRUE(read_by_server(x->fd()));
    ASSERT_TRUE(logged("] is over its collector memory budget (", 30)) << log();

    AgentData d;
    for (uint64_t r = 0; r < 10; r++) {
        d.call(inner_call(root_key(r + 1), 1));
        d.call(root_call(root_key(r + 1)));
    }
    ASSERT_TRUE(h->send({d.message()}));
    stored_count n{};
    EXPECT_TRUE(eventually([&] { return (n = count_stored(honest.aid)).roots == 10; }, 30));
    EXPECT_EQ(n.calls, 10u);
    const uint64_t growth_mib = (service_kib("VmHWM") - before_kib) >> 10;
    EXPECT_LT(growth_mib, 64u);
}

} // namespace
