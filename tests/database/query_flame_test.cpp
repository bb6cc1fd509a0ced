// FLAME GRAPH runs in-process on root calls stored by the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/agent_wire.h"
#include "database/query_flame.h"
#include "database/query_reply.h"
#include "database/query_store.h"
#include "lib/log.h"
#include "tests/lib/log_capture.h"

namespace {

constexpr uint64_t kAgentA = kAgent;
constexpr uint64_t kAgentB = kAgent + 0x100;
constexpr uint64_t kNoIdentity = kAgent + 0x200;
const uint64_t kHour = at_time(0, 10, 0, 0);
const uint64_t kTo = kHour + HOUR_MS - 1;

std::string flame_request(uint64_t from, uint64_t to, const std::vector<uint64_t> &agents) {
    std::string s = be(from, 8) + be(to, 8);
    for (uint64_t a : agents)
        s += be(a, 8);
    return s;
}

struct node_rec {
    uint32_t id, parent;
    uint16_t depth;
    uint32_t cls, method;
    uint64_t aux, dur;
    uint32_t leaf, inner, exceptions = 0;

    std::string bytes() const {
        return be(0, 8) + be(parent, 4) + be(aux, 8) + be(dur, 8) + be(cls, 4) + be(method, 4) +
               be(leaf, 4) + be(inner, 4) + be(exceptions, 4) + be(id, 4) + be(depth, 2);
    }
};

std::string records(const std::vector<node_rec> &nodes) {
    std::string s;
    for (const node_rec &n : nodes)
        s += n.bytes();
    return s;
}

// Symbols of the paths: class and method of each name are the same number.
enum : uint32_t { P = 1, Q = 2, R = 3, S = 4, T = 5 };

class FlameQuery : public QueryStore {
protected:
    void SetUp() override {
        QueryStore::SetUp();
        add_agent(kAgentA);
        add_agent(kAgentB);
        add_agent(kNoIdentity, false);
    }

    QueryReply flame(const std::string &request) {
        return run_body(dbq_flame_graph_run, nullptr, DBQ_FLAME_GRAPH, request);
    }

    // A root call at kHour + ms along `path` (root first), each call the only child of the
    // one before; DUR 100, 50, 20 ... by depth, AUX a tenth of it, `exception` thrown by the
    // root.
    void path(test_agent &agent, uint64_t ms, const std::vector<uint32_t> &names,
              uint32_t exception = 0) {
        const uint64_t t = kHour + ms;
        std::vector<call_record> calls;
        for (uint32_t i = 1; i < names.size(); i++) {
            const uint32_t dur = kDur[i];
            calls.push_back(
                qcall(t - i, i, static_cast<uint16_t>(i), names[i], names[i], dur, 0, dur / 10));
        }
        store(agent, qcall(t, 0, 0, names[0], names[0], kDur[0], exception, kDur[0] / 10), calls);
    }
    static constexpr uint32_t kDur[] = {100, 50, 20, 10};

    test_agent a_{kAgentA}, b_{kAgentB}, none_{kNoIdentity};
};

TEST_F(FlameQuery, TwoPathsMergeUnderOneRoot) {
    path(a_, 1000, {P, Q, R});
    path(a_, 2000, {P, Q, S});
    const std::string five = records({
        {0, 0, 0, 0, 0, 20, 200, 0, 0},
        {1, 0, 1, P, P, 20, 200, 0, 2},
        {2, 1, 2, Q, Q, 10, 100, 0, 2},
        {3, 2, 3, R, R, 2, 20, 1, 0},
        {4, 2, 3, S, S, 2, 20, 1, 0},
    });
    const QueryReply r = flame(flame_request(kHour, kTo, {kAgentA}));
    EXPECT_EQ(r.status, QRESP_OK);
    EXPECT_EQ(r.data, five);
    // The same paths at a second agent fall into the same nodes; an agent without an identity
    // file adds nothing.
    path(b_, 1000, {P, Q, R});
    path(none_, 1000, {P, Q, R});
    EXPECT_EQ(flame(flame_request(kHour, kTo, {kAgentA, kNoIdentity, kAgentB})).data,
              records({
                  {0, 0, 0, 0, 0, 30, 300, 0, 0},
                  {1, 0, 1, P, P, 30, 300, 0, 3},
                  {2, 1, 2, Q, Q, 15, 150, 0, 3},
                  {3, 2, 3, R, R, 4, 40, 2, 0},
                  {4, 2, 3, S, S, 2, 20, 1, 0},
              }));
    EXPECT_EQ(flame(flame_request(kHour, kTo, {kNoIdentity})).data, "");
}

TEST_F(FlameQuery, FirstLevelAndGraphRoot) {
    // A root call alone; a root throwing, with one child; another root of class P alone.
    path(a_, 1000, {T});
    path(a_, 2000, {P, Q}, 9);
    path(a_, 3000, {P});
    const QueryReply r = flame(flame_request(kHour, kTo, {kAgentA}));
    EXPECT_EQ(r.data, records({
                          {0, 0, 0, 0, 0, 30, 300, 0, 0, 1},
                          {1, 0, 1, T, T, 10, 100, 1, 0},
                          {2, 0, 1, P, P, 20, 200, 1, 1, 1},
                          {3, 2, 2, Q, Q, 5, 50, 1, 0},
                      }));
}

TEST_F(FlameQuery, Requests) {
    path(a_, 1000, {P});
    const std::string one =
        records({{0, 0, 0, 0, 0, 10, 100, 0, 0}, {1, 0, 1, P, P, 10, 100, 1, 0}});
    const struct {
        const char *name;
        std::string request;
        std::string data;
        bool refused = false;
    } cases[] = {
        {"one agent", flame_request(kHour, kTo, {kAgentA}), one},
        {"to = 2^64 - 1", flame_request(0, UINT64_MAX, {kAgentA}), one},
        {"16 bytes: no agent", flame_request(kHour, kTo, {}), ""},
        {"an unknown agent", flame_request(kHour, kTo, {kAgent + 9}), ""},
        {"from after to", flame_request(kTo, kHour, {kAgentA}), ""},
        {"8 bytes", flame_request(kHour, kTo, {}).substr(0, 8), "", true},
        {"15 bytes", flame_request(kHour, kTo, {}).substr(0, 15), "", true},
        {"20 bytes", flame_request(kHour, kTo, {}) + "abcd", "", true},
        {"25 bytes", flame_request(kHour, kTo, {kAgentA}) + "a", "", true},
        {"65,536 agents", flame_request(kHour, kTo, std::vector<uint64_t>(65536, kAgentA)), "",
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QueryReply r = flame(c.request);
        EXPECT_EQ(r.present, !c.refused);
        if (r.present) {
            EXPECT_EQ(r.status, QRESP_OK);
            EXPECT_EQ(r.data, c.data);
        }
    }
    Logged l = run_logged([&] {
        log_level.store(2);
        flame(flame_request(kHour, kTo, {}).substr(0, 8));
        flame(flame_request(kHour, kTo, {kAgent + 9}));
    });
    EXPECT_NE(l.lines.find("ERROR  Invalid request!\n"), std::string::npos) << l.lines;
    EXPECT_NE(l.lines.find("DEBUG  No nodes found!\n"), std::string::npos) << l.lines;
}

// A graph that reaches what a reply carries makes no more nodes but still adds to those it
// has: here P's second path comes after T, so S is not made while P counts both calls; the
// graph root sums every root call.
TEST_F(FlameQuery, CutWhereALaterTreeBranchesOffAnEarlyNode) {
    path(a_, 1000, {P, Q});
    path(a_, 2000, {T});
    path(a_, 3000, {P, S});
    const std::string request = flame_request(kHour, kTo, {kAgentA});
    const std::string kept = records({
        {0, 0, 0, 0, 0, 30, 300, 0, 0},
        {1, 0, 1, P, P, 20, 200, 0, 2},
        {2, 1, 2, Q, Q, 5, 50, 1, 0},
        {3, 0, 1, T, T, 10, 100, 1, 0},
    });
    Logged l = run_logged([&] {
        MessageLimit limit(limit_for_data(4 * FGRAPH_RECORD_LEN + FGRAPH_RECORD_LEN - 1));
        const QueryReply r = flame(request);
        printf("%u %d", r.status, r.data == kept);
    });
    EXPECT_EQ(l.out, "4 1");
    EXPECT_NE(
        l.lines.find("WARN   Response size limit exceeded. The response will be truncated.\n"),
        std::string::npos)
        << l.lines;
    // With room for one more record, the graph is whole: S comes after Q, under P.
    MessageLimit limit(limit_for_data(5 * FGRAPH_RECORD_LEN));
    const QueryReply r = flame(request);
    EXPECT_EQ(r.status, QRESP_OK);
    EXPECT_EQ(r.data.size(), 5 * FGRAPH_RECORD_LEN);
    EXPECT_EQ(r.data.substr(3 * FGRAPH_RECORD_LEN, FGRAPH_RECORD_LEN),
              (node_rec{4, 1, 2, S, S, 5, 50, 1, 0}).bytes());
}

// At the real limit: eight roots of 40,000 calls each make 320,008 nodes, of which the
// reply carries the first 310,687 with the graph root.
TEST_F(FlameQuery, CutAtWhatOneReplyCarries) {
    for (uint32_t r = 0; r < 8; r++) {
        const uint64_t t = kHour + 1000 * (r + 1);
        std::vector<call_record> calls;
        for (uint32_t i = 0; i < MAX_RCALL_CALLS; i++)
            calls.push_back(qcall(t - 1, i + 1, 1, 1000 + i, 7, 1));
        store(a_, qcall(t, 0, 0, 100 + r, 7, 2), calls);
    }
    EXPECT_EQ(dbq_flame_graph_max_nodes(), 310687u);
    const QueryReply r = flame(flame_request(kHour, kTo, {kAgentA}));
    EXPECT_EQ(r.status, QRESP_PARTIAL);
    ASSERT_EQ(r.data.size(), 310688u * FGRAPH_RECORD_LEN);
    EXPECT_EQ(r.data.substr(0, FGRAPH_RECORD_LEN), (node_rec{0, 0, 0, 0, 0, 0, 16, 0, 0}).bytes());
    // Each tree's nodes follow the last tree's, so the records come in id order.
    bool in_order = true;
    for (uint32_t i = 0; i < 310688 && in_order; i++)
        in_order = from_be(r.data, size_t{i} * FGRAPH_RECORD_LEN + 48, 4) == i;
    EXPECT_TRUE(in_order);
}

// A 40,000-call chain gives 40,001 nodes one under the other.
TEST_F(FlameQuery, TheDeepestChain) {
    const uint64_t t = kHour + 100000;
    store(a_, qcall(t, 0, 0, 1, 1, 10), chain_calls(t, MAX_RCALL_CALLS, 2));
    const QueryReply r = flame(flame_request(kHour, kTo, {kAgentA}));
    EXPECT_EQ(r.status, QRESP_OK);
    ASSERT_EQ(r.data.size(), (MAX_RCALL_CALLS + 2) * FGRAPH_RECORD_LEN);
    EXPECT_EQ(r.data.substr(r.data.size() - FGRAPH_RECORD_LEN),
              (node_rec{MAX_RCALL_CALLS + 1, MAX_RCALL_CALLS, MAX_RCALL_CALLS + 1, 2,
                        MAX_RCALL_CALLS, 0, 1, 1, 0})
                  .bytes());
}

TEST_F(FlameQuery, UnreadableFilesFailTheRequest) {
    path(a_, 1000, {P, Q});
    const std::string request = flame_request(kHour, kTo, {kAgentA});
    ASSERT_TRUE(flame(request).present);
    Logged l = run_logged([&] {
        NoFreeDescriptors none;
        printf("%d", flame(request).present);
    });
    EXPECT_EQ(l.out, "0");
    EXPECT_NE(l.lines.find("Too many open files"), std::string::npos) << l.lines;
    unreadable_hour(kAgentB, kHour);
    EXPECT_FALSE(flame(flame_request(kHour, kTo, {kAgentA, kAgentB})).present);
}

} // namespace
