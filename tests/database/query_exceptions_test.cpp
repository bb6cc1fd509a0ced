// TOP EXCEPTIONS and EXCEPTIONS OCCURRENCES run in-process on root calls stored by the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/agent_wire.h"
#include "database/query_exceptions.h"
#include "database/query_reply.h"
#include "database/query_store.h"
#include "lib/log.h"
#include "tests/lib/log_capture.h"

namespace {

constexpr uint64_t kAgentA = kAgent;
constexpr uint64_t kAgentB = kAgent + 0x100;
constexpr uint64_t kAgentC = kAgent + 0x200;
const uint64_t kHour = at_time(0, 10, 0, 0);
const uint64_t kRange = kHour + HOUR_MS - 1;

std::string top_request(uint16_t mode, uint64_t from, uint64_t to,
                        const std::vector<uint64_t> &agents, uint32_t min_dur = 0,
                        uint32_t max_dur = 0) {
    std::string s = be(mode, 2) + be(from, 8) + be(to, 8) + be(min_dur, 4) + be(max_dur, 4) +
                    be(agents.size(), 2);
    for (uint64_t a : agents)
        s += be(a, 8);
    return s;
}

std::string item(uint64_t agent, uint32_t cls, uint32_t count, uint32_t roots) {
    return be(agent, 8) + be(cls, 4) + be(count, 4) + be(roots, 4);
}

std::string occ_request(uint64_t from, uint64_t to, uint64_t agent, uint32_t cls) {
    return be(from, 8) + be(to, 8) + be(agent, 8) + be(cls, 4);
}

std::string run(uint64_t second_ms, uint32_t count) {
    return be(second_ms, 8) + be(count, 4);
}

class ExceptionQueries : public QueryStore {
protected:
    void SetUp() override {
        QueryStore::SetUp();
        for (uint64_t id : {kAgentA, kAgentB, kAgentC})
            add_agent(id);
    }

    QueryReply top(const std::string &request) {
        return run_body(dbq_top_exceptions_run, nullptr, DBQ_TOP_EXCEPTIONS, request);
    }
    QueryReply occurrences(const std::string &request) {
        return run_body(dbq_exceptions_occurrences_run, nullptr, DBQ_EXCEPTIONS_OCCURRENCES,
                        request);
    }
    // A root call at kHour + ms of class 1 that throws `root_exc` (0: none), its calls
    // throwing the classes of `child_exc` as the root's children.
    void thrown(test_agent &agent, uint64_t ms, uint32_t root_exc,
                const std::vector<uint32_t> &child_exc = {}, uint32_t dur = 10) {
        const uint64_t t = kHour + ms;
        std::vector<call_record> calls;
        for (uint32_t i = 0; i < child_exc.size(); i++)
            calls.push_back(qcall(t - 1, i + 1, 1, 2, 2, 1, child_exc[i]));
        store(agent, qcall(t, 0, 0, 1, 1, dur, root_exc), calls);
    }

    test_agent a_{kAgentA}, b_{kAgentB}, c_{kAgentC};
};

// ---- TOP EXCEPTIONS ---------------------------------------------------------------------

TEST_F(ExceptionQueries, TopRequests) {
    thrown(a_, 1000, 7);
    const std::string all = top_request(0, kHour, kRange, {kAgentA});
    const struct {
        const char *name;
        std::string request;
        std::string data; // NULL when "refused"
        bool refused = false;
        const char *log = "";
    } cases[] = {
        {"one agent", all, item(kAgentA, 7, 1, 1)},
        {"bytes after the agents are ignored", all + "xyz", item(kAgentA, 7, 1, 1)},
        {"27 bytes", all.substr(0, 27), "", true, "ERROR  Invalid request!\n"},
        {"2 agents announced, room for 1",
         top_request(0, kHour, kRange, {kAgentA, kAgentB}).substr(0, 36 + 7), "", true,
         "ERROR  Invalid request!\n"},
        {"no agents", top_request(0, kHour, kRange, {}), "", true,
         "ERROR  Invalid request! No agents.\n"},
        {"an unknown agent gives no items", top_request(1, kHour, kRange, {kAgent + 9}), ""},
        {"from after to finds nothing", top_request(0, kRange, kHour, {kAgentA}), ""},
        {"to = 2^64 - 1", top_request(0, 0, UINT64_MAX, {kAgentA}), item(kAgentA, 7, 1, 1)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QueryReply r = top(c.request);
        EXPECT_EQ(r.present, !c.refused);
        if (r.present) {
            EXPECT_EQ(r.status, QRESP_OK);
            EXPECT_EQ(r.data, c.data);
        }
        if (*c.log != '\0') {
            Logged l = run_logged([&] { top(c.request); });
            EXPECT_NE(l.lines.find(c.log), std::string::npos) << l.lines;
        }
    }
}

TEST_F(ExceptionQueries, TopCountsCallsOrOrigins) {
    // Agent A: a root throwing 7 whose child throws 7 too; a root throwing 7 whose child does
    // not throw; a root that does not throw, with a child throwing 5 whose own time lies past
    // the hour (mode 0 reads each call's own time).
    thrown(a_, 1000, 7, {7});
    thrown(a_, 2000, 7, {0});
    {
        const uint64_t t = kRange;
        store(a_, qcall(t, 0, 0, 1, 1),
              {qcall(t + 5, 1, 1, 2, 2, 1, 5), qcall(t - 1, 2, 1, 2, 2, 1, 5)});
    }
    // Agent B: root durations 500 and 100, both with a child throwing 3.
    thrown(b_, 1000, 0, {3}, 500);
    thrown(b_, 2000, 0, {3}, 100);
    const struct {
        const char *name;
        std::string request;
        std::string data;
    } cases[] = {
        {"mode 0: every exception call in the range",
         top_request(0, kHour, kRange, {kAgentA, kAgentB}),
         item(kAgentA, 7, 3, 2) + item(kAgentA, 5, 1, 0) + item(kAgentB, 3, 2, 0)},
        {"mode 1: each exception where it arises; equal counts by bucket",
         top_request(1, kHour, kRange, {kAgentA}), item(kAgentA, 5, 2, 0) + item(kAgentA, 7, 2, 1)},
        {"mode 1, the root and its only child throwing 7",
         top_request(1, kHour, kHour + 1000, {kAgentA}), item(kAgentA, 7, 1, 0)},
        {"mode 1, the root alone throwing 7", top_request(1, kHour + 1001, kHour + 2000, {kAgentA}),
         item(kAgentA, 7, 1, 1)},
        {"mode 1 with bounds 0..400", top_request(1, kHour, kRange, {kAgentB}, 0, 400),
         item(kAgentB, 3, 1, 0)},
        {"mode 1, maximum 0 is no bound", top_request(1, kHour, kRange, {kAgentB}, 0, 0),
         item(kAgentB, 3, 2, 0)},
        {"mode 1, minimum 101", top_request(1, kHour, kRange, {kAgentB}, 101, 0),
         item(kAgentB, 3, 1, 0)},
        {"mode 0 ignores the bounds", top_request(0, kHour, kRange, {kAgentB}, 0, 400),
         item(kAgentB, 3, 2, 0)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QueryReply r = top(c.request);
        EXPECT_EQ(r.status, QRESP_OK);
        EXPECT_EQ(r.data, c.data);
    }
}

TEST_F(ExceptionQueries, TopOrdersByCountThenLowerBucket) {
    // Classes 3, 13 and 23 share bucket 3; counts 5, 9, 9; class 4 has 9.
    const struct { uint32_t cls, count; } thrown_counts[] = {{4, 9}, {3, 5}, {23, 9}, {13, 9}};
    uint64_t ms = 1000;
    for (const auto &t : thrown_counts)
        for (uint32_t i = 0; i < t.count; i++)
            thrown(a_, ms++, 0, {t.cls});
    const QueryReply r = top(top_request(0, kHour, kRange, {kAgentA}));
    EXPECT_EQ(r.data, item(kAgentA, 13, 9, 0) + item(kAgentA, 23, 9, 0) + item(kAgentA, 4, 9, 0) +
                          item(kAgentA, 3, 5, 0));
}

TEST_F(ExceptionQueries, TopListsThirtyClassesAtMost) {
    // Class c is thrown c times: the one thrown once is left out.
    uint64_t ms = 1000;
    for (uint32_t cls = 1; cls <= 31; cls++)
        for (uint32_t i = 0; i < cls; i++)
            thrown(a_, ms++, 0, {cls});
    const QueryReply r = top(top_request(0, kHour, kRange, {kAgentA}));
    std::string want;
    for (uint32_t cls = 31; cls >= 2; cls--)
        want += item(kAgentA, cls, cls, 0);
    EXPECT_EQ(r.data, want);
    EXPECT_EQ(r.data.size(), TOPX_ITEMS * TOPX_ITEM_LEN);
}

TEST_F(ExceptionQueries, TopCutsAtWholeAgentLists) {
    // A and C have two items each, B none. After a cut no agent is walked: B's unreadable
    // hour would fail the request.
    thrown(a_, 1000, 0, {4, 5});
    thrown(a_, 1001, 0, {4});
    thrown(c_, 1000, 0, {6, 7});
    const std::string request = top_request(0, kHour, kRange, {kAgentA, kAgentC, kAgentB});
    const std::string a = item(kAgentA, 4, 2, 0) + item(kAgentA, 5, 1, 0);
    const std::string c = item(kAgentC, 6, 1, 0) + item(kAgentC, 7, 1, 0);
    const QueryReply whole = top(request);
    EXPECT_EQ(whole.status, QRESP_OK);
    EXPECT_EQ(whole.data, a + c);
    unreadable_hour(kAgentB, kHour);
    EXPECT_FALSE(top(request).present);
    const struct {
        uint64_t room;
        std::string data;
    } cases[] = {
        {a.size() + c.size(), a + c}, // no room left for B's items, if it had any
        {a.size() + c.size() - 1, a}, // room for one of C's items: C's list is left out
        {a.size() + TOPX_ITEM_LEN, a}, {a.size(), a}, {a.size() - 1, ""},
    };
    for (const auto &cut : cases) {
        SCOPED_TRACE(cut.room);
        MessageLimit limit(limit_for_data(cut.room));
        const QueryReply r = top(request);
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_EQ(r.data, cut.data);
    }
}

TEST_F(ExceptionQueries, TopLogsItsSteps) {
    thrown(a_, 1000, 7, {7});
    Logged l = run_logged([&] {
        log_level.store(2);
        top(top_request(0, kHour, kRange, {kAgentA}));
    });
    for (const char *line :
         {"DEBUG  Request decoded successfully.\n",
          "DEBUG  Handling errors for agent 00C0FFEE12345678\n", "DEBUG  TOP 0: 7 -> 2/1\n"})
        EXPECT_NE(l.lines.find(line), std::string::npos) << line << l.lines;
}

// A 40,000-call chain, every call throwing 9: mode 1 counts it once, at the deepest call.
TEST_F(ExceptionQueries, TopModeOneOverTheDeepestChain) {
    const uint64_t t = kHour + 100000;
    store(a_, qcall(t, 0, 0, 1, 1, 10, 9), chain_calls(t, MAX_RCALL_CALLS, 2, 9));
    EXPECT_EQ(top(top_request(1, kHour, kRange, {kAgentA})).data, item(kAgentA, 9, 1, 0));
    EXPECT_EQ(top(top_request(0, kHour, kRange, {kAgentA})).data,
              item(kAgentA, 9, MAX_RCALL_CALLS + 1, 1));
}

// ---- EXCEPTIONS OCCURRENCES -------------------------------------------------------------

// Occurrences of class 7 at 1000, 1500 and 2100 ms (a root and its calls), then 1200 ms
// (another root), and class 8 between them.
class Occurrences : public ExceptionQueries {
protected:
    void SetUp() override {
        ExceptionQueries::SetUp();
        store(a_, qcall(kHour + 1000, 0, 0, 1, 1, 10, 7),
              {qcall(kHour + 1500, 1, 1, 2, 2, 1, 7), qcall(kHour + 1700, 2, 1, 2, 2, 1, 8),
               qcall(kHour + 2100, 3, 1, 2, 2, 1, 7)});
        store(a_, qcall(kHour + 1200, 0, 0, 1, 1, 10, 7));
    }
    const std::string runs_ = run(kHour + 1000, 2) + run(kHour + 2000, 1) + run(kHour + 1000, 1);
};

TEST_F(Occurrences, Requests) {
    const std::string all = occ_request(kHour, kRange, kAgentA, 7);
    const struct {
        const char *name;
        std::string request;
        std::string data;
        bool refused = false;
    } cases[] = {
        {"runs in walk order", all, runs_},
        {"bytes after 28 are ignored", all + "xyz", runs_},
        {"another class", occ_request(kHour, kRange, kAgentA, 8), run(kHour + 1000, 1)},
        {"a range without occurrences", occ_request(kHour + 3000, kRange, kAgentA, 7), ""},
        {"each call's own time counts", occ_request(kHour, kHour + 1999, kAgentA, 7),
         run(kHour + 1000, 3)},
        {"an unknown agent", occ_request(kHour, kRange, kAgent + 9, 7), ""},
        {"to = 2^64 - 1", occ_request(0, UINT64_MAX, kAgentA, 7), runs_},
        {"27 bytes", all.substr(0, 27), "", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QueryReply r = occurrences(c.request);
        EXPECT_EQ(r.present, !c.refused);
        if (r.present) {
            EXPECT_EQ(r.status, QRESP_OK);
            EXPECT_EQ(r.data, c.data);
        }
    }
    Logged l = run_logged([&] {
        log_level.store(2);
        occurrences(all.substr(0, 27));
        occurrences(all);
    });
    EXPECT_NE(l.lines.find("ERROR  Invalid request.\n"), std::string::npos) << l.lines;
    EXPECT_NE(l.lines.find("DEBUG  Request decoded successfully.\n"), std::string::npos) << l.lines;
}

TEST_F(Occurrences, CutAtWholeRuns) {
    const std::string request = occ_request(kHour, kRange, kAgentA, 7);
    {
        MessageLimit exact(limit_for_data(runs_.size()));
        const QueryReply r = occurrences(request);
        EXPECT_EQ(r.status, QRESP_OK);
        EXPECT_EQ(r.data, runs_);
    }
    for (uint64_t room : {2 * EXCQ_RUN_LEN, 3 * EXCQ_RUN_LEN - 1}) {
        MessageLimit limit(limit_for_data(room));
        const QueryReply r = occurrences(request);
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_EQ(r.data, runs_.substr(0, 2 * EXCQ_RUN_LEN));
    }
}

// Once the reply is cut the walk goes no further: the next hour is unreadable and would fail
// the request were it opened. A reply that is cut only when the last run closes, after the
// walk, has opened it, and fails.
TEST_F(Occurrences, CutEndsTheWalk) {
    unreadable_hour(kAgentA, kHour + HOUR_MS);
    const std::string request = occ_request(kHour, kHour + 2 * HOUR_MS - 1, kAgentA, 7);
    {
        MessageLimit limit(limit_for_data(EXCQ_RUN_LEN));
        const QueryReply r = occurrences(request);
        ASSERT_TRUE(r.present);
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_EQ(r.data, runs_.substr(0, EXCQ_RUN_LEN));
    }
    MessageLimit limit(limit_for_data(2 * EXCQ_RUN_LEN));
    EXPECT_FALSE(occurrences(request).present);
}

// ---- failed reads -----------------------------------------------------------------------

// Files that cannot be read fail both queries (status 2) instead of passing for fewer
// exceptions.
TEST_F(ExceptionQueries, UnreadableFilesFailTheRequest) {
    thrown(a_, 1000, 7, {7});
    const std::string requests[] = {top_request(0, kHour, kRange, {kAgentA}),
                                    top_request(1, kHour, kRange, {kAgentA}),
                                    occ_request(kHour, kRange, kAgentA, 7)};
    auto answered = [&] {
        return std::to_string(top(requests[0]).present) + std::to_string(top(requests[1]).present) +
               std::to_string(occurrences(requests[2]).present);
    };
    ASSERT_EQ(answered(), "111");
    Logged l = run_logged([&] {
        NoFreeDescriptors none;
        printf("%s", answered().c_str());
    });
    EXPECT_EQ(l.out, "000");
    EXPECT_NE(l.lines.find("Too many open files"), std::string::npos) << l.lines;
    unreadable_hour(kAgentB, kHour);
    EXPECT_FALSE(top(top_request(0, kHour, kRange, {kAgentA, kAgentB})).present);
    EXPECT_FALSE(occurrences(occ_request(kHour, kRange, kAgentB, 7)).present);
}

} // namespace
