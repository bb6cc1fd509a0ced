// Every query that walks hour files runs, in-process, under a small test-only bound on the
// hour files one request may open: the walks share it across the request's agents, and a
// request that reaches it answers with what the files it read gave, status 4, and says so in
// the log. Hour files past the bound are made unreadable: had one been opened, the request
// would fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "database/agent_wire.h"
#include "database/query_exceptions.h"
#include "database/query_flame.h"
#include "database/query_index.h"
#include "database/query_reply.h"
#include "database/query_rootcalls.h"
#include "database/query_store.h"
#include "database/store/walk.h"
#include "tests/lib/log_capture.h"

namespace {

constexpr uint64_t kAgentA = kAgent;
constexpr uint64_t kAgentB = kAgent + 0x100;
const uint64_t kHour = at_time(0, 10, 0, 0);
const uint64_t kFrom = kHour;
const uint64_t kTo = kHour + 3 * HOUR_MS - 1;
constexpr uint32_t kThrown = 7;

// The bound on hour files while this lives.
class WalkBound {
public:
    explicit WalkBound(uint32_t files) {
        setenv(DBS_WALK_FILES_ENV, std::to_string(files).c_str(), 1);
    }
    ~WalkBound() { unsetenv(DBS_WALK_FILES_ENV); }
    WalkBound(const WalkBound &) = delete;
    WalkBound &operator=(const WalkBound &) = delete;
};

msg *root_calls_body(dbs *, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    return dbq_root_calls(nullptr, rid, qid, args, len);
}

std::string ids(const std::vector<uint64_t> &agents) {
    std::string s;
    for (uint64_t a : agents)
        s += be(a, 8);
    return s;
}

std::string span() {
    return be(kFrom, 8) + be(kTo, 8);
}

std::string root_calls_request(const std::vector<uint64_t> &agents) {
    std::string s = be(0, 4) + be(0, 4) + be(0, 4) + be(0, 4) + be(agents.size(), 2);
    for (uint64_t a : agents)
        s += be(a, 8) + be(kFrom, 8) + be(kTo, 8);
    return s;
}

std::string top_request(uint16_t mode, const std::vector<uint64_t> &agents) {
    return be(mode, 2) + span() + be(0, 4) + be(0, 4) + be(agents.size(), 2) + ids(agents);
}

struct walking_query {
    const char *name; // as the log names it
    query_body body;
    uint64_t qid;
    std::string request;
    uint32_t bound;
};

// Agent A has root calls at 10:05 and 11:05, agent B at 10:20, and B's hour file of 11:00
// cannot be read. Over 10:00 to 12:59 for A and then B, a bound of 3 files is reached in B
// (A opens two, B one); OCCURRENCES, of B alone, reaches a bound of 1.
const std::vector<uint64_t> kBoth = {kAgentA, kAgentB};
const walking_query kQueries[] = {
    {"ROOT CALLS", root_calls_body, DBQ_ROOT_CALLS, root_calls_request(kBoth), 3},
    {"TOP EXCEPTIONS", dbq_top_exceptions_run, DBQ_TOP_EXCEPTIONS, top_request(0, kBoth), 3},
    {"TOP EXCEPTIONS", dbq_top_exceptions_run, DBQ_TOP_EXCEPTIONS, top_request(1, kBoth), 3},
    {"EXCEPTIONS OCCURRENCES", dbq_exceptions_occurrences_run, DBQ_EXCEPTIONS_OCCURRENCES,
     span() + be(kAgentB, 8) + be(kThrown, 4), 1},
    {"INDEX", dbq_index_run, DBQ_INDEX, be(3, 4) + span() + ids(kBoth), 3},
    {"CALLS GRID", dbq_calls_grid_run, DBQ_CALLS_GRID,
     be(2, 4) + be(100, 4) + span() + be(2, 4) + ids(kBoth), 3},
    {"FLAME GRAPH", dbq_flame_graph_run, DBQ_FLAME_GRAPH, span() + ids(kBoth), 3},
};

class WalkBudget : public QueryStore {
protected:
    void SetUp() override {
        QueryStore::SetUp();
        add_agent(kAgentA);
        add_agent(kAgentB);
        thrown(a_, kHour + 5 * 60000, 50);
        thrown(a_, kHour + HOUR_MS + 5 * 60000, 150);
        thrown(b_, kHour + 20 * 60000, 250);
        unreadable_hour(kAgentB, kHour + HOUR_MS);
    }

    // A root call ending at t that throws, with a child that throws too.
    void thrown(test_agent &agent, uint64_t t, uint32_t dur) {
        store(agent, qcall(t, 0, 0, 1, 1, dur, kThrown, dur / 5),
              {qcall(t - 1, 1, 1, 2, 2, dur / 2, kThrown)});
    }

    // Makes B's unreadable hour go away, so that nothing stands past what was read.
    static void readable() {
        char path[RCALL_PATH_MAX];
        const uint64_t t = kHour + HOUR_MS;
        rcall_path(path, kAgentB, static_cast<uint32_t>(t / DAY_MS),
                   static_cast<uint32_t>(t % DAY_MS / HOUR_MS), "");
        ASSERT_EQ(rmdir(path), 0);
    }

    test_agent a_{kAgentA}, b_{kAgentB};
};

// What running the query logs at log level 1.
std::string logged(const walking_query &q) {
    return run_logged([&] {
               free(q.body(nullptr, 1, q.qid, reinterpret_cast<const uint8_t *>(q.request.data()),
                           static_cast<uint32_t>(q.request.size())));
           })
        .lines;
}

std::string cut_line(const walking_query &q) {
    return "WARN   " + std::string(q.name) + ": " + std::to_string(q.bound) +
           " hour files scanned, as many as one request may: the reply holds what they gave.\n";
}

// Cut at the bound: status 4, the log line, and the data of the files read, which is what
// the same request gives once nothing lies past them, with exactly as many files as the
// bound: status 1 and no line.
TEST_F(WalkBudget, EveryWalkingQueryIsCutAtTheBound) {
    std::vector<QueryReply> cut;
    for (const walking_query &q : kQueries) {
        SCOPED_TRACE(q.name);
        WalkBound bound(q.bound);
        const QueryReply r = run_body(q.body, nullptr, q.qid, q.request);
        ASSERT_TRUE(r.present);
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_EQ(logged(q), cut_line(q));
        cut.push_back(r);
    }
    readable();
    for (size_t i = 0; i < std::size(kQueries); i++) {
        const walking_query &q = kQueries[i];
        SCOPED_TRACE(q.name);
        WalkBound bound(q.bound);
        const QueryReply r = run_body(q.body, nullptr, q.qid, q.request);
        ASSERT_TRUE(r.present);
        EXPECT_EQ(r.status, QRESP_OK);
        EXPECT_FALSE(r.data.empty());
        EXPECT_EQ(cut[i].data, r.data);
        EXPECT_EQ(logged(q), "");
    }
}

// Without the test's bound a request opens the unreadable hour and fails: the bound, not
// something else, kept it closed.
TEST_F(WalkBudget, UnboundedTheUnreadableHourIsOpened) {
    for (const walking_query &q : kQueries) {
        SCOPED_TRACE(q.name);
        EXPECT_FALSE(run_body(q.body, nullptr, q.qid, q.request).present);
    }
}

// Agents after the one the walks were cut in are not read, not even their first hour.
TEST_F(WalkBudget, AgentsAfterTheCutAreNotRead) {
    unreadable_hour(kAgentA, kHour);
    const std::vector<uint64_t> b_then_a = {kAgentB, kAgentA};
    const walking_query queries[] = {
        {"ROOT CALLS", root_calls_body, DBQ_ROOT_CALLS, root_calls_request(b_then_a), 1},
        {"TOP EXCEPTIONS", dbq_top_exceptions_run, DBQ_TOP_EXCEPTIONS, top_request(1, b_then_a), 1},
        {"INDEX", dbq_index_run, DBQ_INDEX, be(3, 4) + span() + ids(b_then_a), 1},
        {"CALLS GRID", dbq_calls_grid_run, DBQ_CALLS_GRID,
         be(2, 4) + be(100, 4) + span() + be(2, 4) + ids(b_then_a), 1},
        {"FLAME GRAPH", dbq_flame_graph_run, DBQ_FLAME_GRAPH, span() + ids(b_then_a), 1},
    };
    for (const walking_query &q : queries) {
        SCOPED_TRACE(q.name);
        WalkBound bound(q.bound);
        const QueryReply r = run_body(q.body, nullptr, q.qid, q.request);
        ASSERT_TRUE(r.present);
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_FALSE(r.data.empty());
    }
    // A's grid is left out: the reply holds B's alone.
    WalkBound bound(1);
    const QueryReply grid =
        run_body(dbq_calls_grid_run, nullptr, DBQ_CALLS_GRID, queries[3].request);
    EXPECT_EQ(grid.data.size(), 8 + 4 * GRIDQ_CELL_LEN);
    EXPECT_EQ(grid.data.substr(0, 8), be(kAgentB, 8));
}

} // namespace
