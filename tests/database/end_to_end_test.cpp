// An agent and a graphical client at one running Database: what the agent sends comes back
// from a ROOT CALLS query, and again after the server has been restarted on its store.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "database/agent_wire.h"
#include "database/db_server.h"
#include "database/peer_client.h"
#include "lib/agent_type.h"
#include "server/reply.h"

namespace {

constexpr uint64_t kStarted = utc_time(8, 0);

// The agent's own symbol ids.
enum : uint32_t { SHOP = 1, IO_ERROR = 2, CHECKOUT = 1, PRICE = 2, SHIP = 3 };
enum : uint32_t { HTTP_1 = 1, HTTP_2 = 2 };

Bytes agent_symbols() {
    return AgentData()
        .sym(AREC_SYM_CLASS, SHOP, "com.example.Shop")
        .sym(AREC_SYM_CLASS, IO_ERROR, "java.io.IOException")
        .sym(AREC_SYM_METHOD, CHECKOUT, "checkout")
        .sym(AREC_SYM_METHOD, PRICE, "price")
        .sym(AREC_SYM_METHOD, SHIP, "ship")
        .sym(AREC_SYM_THREAD, HTTP_1, "http-1")
        .sym(AREC_SYM_THREAD, HTTP_2, "http-2")
        .message();
}

// A root call as compared: end time, class, method, thread, duration, calls, exceptions,
// flags of the root.
using Summary =
    std::tuple<uint64_t, uint32_t, uint32_t, uint32_t, uint32_t, uint16_t, uint16_t, uint16_t>;

// One root call: its root's method, thread and duration, how many calls it holds and how
// many of them threw.
struct Sent {
    uint64_t start;
    uint32_t method;
    uint32_t thread;
    uint32_t dur;
    uint16_t calls;
    uint16_t thrown;
};

const Sent kSent[] = {
    {utc_time(10, 0), CHECKOUT, HTTP_1, 120, 0, 0},
    {utc_time(10, 5), CHECKOUT, HTTP_2, 3000, 5, 1},
    {utc_time(11, 30, 15), SHIP, HTTP_1, 75, 12, 3},
    {utc_time(23, 59, 59), PRICE, HTTP_2, 1, 1, 0},
};

// The calls of a root call, its root last; the first `thrown` calls carry an exception.
Bytes root_call_message(uint64_t tag, const Sent &s) {
    const uint64_t key = tag << 44 | s.start;
    AgentData d;
    for (uint16_t i = 0; i < s.calls; i++) {
        const bool threw = i < s.thrown;
        d.call(Call{threw ? CALL_F_EXC : uint16_t{0}, key, SHOP, PRICE, i + 1u, 1, s.start + i, 0,
                    1, threw ? be(IO_ERROR, 4) : ""});
    }
    d.call(Call{CALL_F_ROOT, key, SHOP, s.method, 0, 0, s.start, 0, s.dur, be(s.thread, 4)});
    return d.message();
}

class EndToEndTest : public DatabaseServer {
protected:
    const Bytes identity = identity_bytes(AGENT_TYPE_JVM, "end-to-end");
    const uint64_t aid = agent_id_of(as_bytes(identity));

    // The records of a ROOT CALLS query over the whole of March 1st, from a new client.
    RootCallsReply query(uint64_t rid) const {
        PeerClient c(port);
        EXPECT_TRUE(c.send({ui_hello("end-to-end client")}));
        EXPECT_EQ(c.next(), kDatabaseAnswer);
        EXPECT_TRUE(c.send({root_calls_query(rid, aid, kMar1, kMar1 + DAY_MS - 1)}));
        const std::optional<Bytes> m = c.next();
        return m ? read_root_calls(*m) : RootCallsReply{};
    }
    // Queries until all sent root calls come back (bounded).
    RootCallsReply query_all(uint64_t rid) const {
        RootCallsReply r;
        eventually([&] { return (r = query(rid)).rows.size() >= std::size(kSent); }, 10);
        return r;
    }
    // What each sent root call should look like in a reply, in time order.
    std::vector<Summary> expected() const {
        const std::map<uint32_t, uint32_t> methods{{CHECKOUT, symbol_id(SYM_METHOD, "checkout")},
                                                   {PRICE, symbol_id(SYM_METHOD, "price")},
                                                   {SHIP, symbol_id(SYM_METHOD, "ship")}};
        const std::map<uint32_t, uint32_t> threads{{HTTP_1, symbol_id(SYM_THREAD, "http-1")},
                                                   {HTTP_2, symbol_id(SYM_THREAD, "http-2")}};
        const uint32_t shop = symbol_id(SYM_CLASS, "com.example.Shop");
        std::vector<Summary> out;
        for (const Sent &s : kSent)
            out.emplace_back(s.start + s.dur, shop, methods.at(s.method), threads.at(s.thread),
                             s.dur, s.calls, s.thrown, CALL_F_ROOT);
        return out;
    }
    static std::vector<Summary> received(const RootCallsReply &r, uint64_t agent) {
        std::vector<Summary> out;
        for (const RootCallRow &row : r.rows) {
            EXPECT_EQ(row.agent, agent);
            out.emplace_back(row.time, row.cls, row.method, row.thread, row.dur, row.calls,
                             row.exceptions, row.flags);
        }
        return out;
    }
};

TEST_F(EndToEndTest, RootCallsSentByAnAgentAreQueriedBeforeAndAfterARestart) {
    start();
    PeerClient agent(port);
    ASSERT_TRUE(agent.send({agent_hello(be(kStarted, 8) + identity)}));
    ASSERT_EQ(agent.next(), kManagerAnswer);
    ASSERT_TRUE(agent.send({agent_symbols()}));
    // Two root calls in one frame, the others in frames of their own.
    ASSERT_TRUE(agent.send({root_call_message(1, kSent[0]), root_call_message(2, kSent[1])}));
    for (uint64_t i = 2; i < std::size(kSent); i++)
        ASSERT_TRUE(agent.send({root_call_message(i + 1, kSent[i])}));

    const RootCallsReply before = query_all(1);
    EXPECT_EQ(before.rid, 1u);
    EXPECT_EQ(before.status, QRESP_OK);
    ASSERT_NE(symbol_id(SYM_CLASS, "com.example.Shop"), 0u);
    EXPECT_EQ(received(before, aid), expected());

    agent.close_now();
    stop();
    const size_t servers = count_of(log(), "INFO   Server [");
    start();
    ASSERT_TRUE(eventually([&] { return count_of(log(), "INFO   Server [") > servers; }));
    const RootCallsReply after = query_all(2);
    EXPECT_EQ(after.rid, 2u);
    EXPECT_EQ(after.status, QRESP_OK);
    EXPECT_EQ(received(after, aid), expected());
}

} // namespace
