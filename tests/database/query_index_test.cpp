// INDEX and CALLS GRID run in-process on root calls stored by the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/agent_wire.h"
#include "database/query_index.h"
#include "database/query_reply.h"
#include "database/query_store.h"
#include "lib/log.h"
#include "tests/lib/log_capture.h"

namespace {

constexpr uint64_t kAgentA = kAgent;
constexpr uint64_t kAgentB = kAgent + 0x100;
const uint64_t kHour = at_time(0, 10, 0, 0);

std::string agents_bytes(const std::vector<uint64_t> &agents) {
    std::string s;
    for (uint64_t a : agents)
        s += be(a, 8);
    return s;
}

std::string index_request(uint32_t n, uint64_t from, uint64_t to,
                          const std::vector<uint64_t> &agents) {
    return be(n, 4) + be(from, 8) + be(to, 8) + agents_bytes(agents);
}

std::string index_cell(uint64_t start, uint64_t end, uint64_t roots, uint64_t with_exc,
                       uint64_t share) {
    return be(start, 8) + be(end, 8) + be(roots, 8) + be(with_exc, 8) + be(share, 8);
}

std::string grid_request(uint32_t n, uint32_t dw, uint64_t from, uint64_t to,
                         const std::vector<uint64_t> &agents, uint32_t k_field = UINT32_MAX) {
    const uint32_t k = k_field != UINT32_MAX ? k_field : static_cast<uint32_t>(agents.size());
    return be(n, 4) + be(dw, 4) + be(from, 8) + be(to, 8) + be(k, 4) + agents_bytes(agents);
}

struct grid_cell {
    uint64_t start, end;
    uint32_t low, high;
    uint64_t roots = 0, with_exc = 0, sum_dur = 0, sum_aux = 0, share = 0;

    std::string bytes() const {
        return be(start, 8) + be(end, 8) + be(low, 4) + be(high, 4) + be(roots, 8) +
               be(with_exc, 8) + be(sum_dur, 8) + be(sum_aux, 8) + be(share, 8);
    }
};

// One agent's part of a grid reply, from its cells row by row.
std::string grid_bytes(uint64_t agent, const std::vector<grid_cell> &cells) {
    std::string s = be(agent, 8);
    for (const grid_cell &c : cells)
        s += c.bytes();
    return s;
}

class IndexQueries : public QueryStore {
protected:
    void SetUp() override {
        QueryStore::SetUp();
        add_agent(kAgentA);
        add_agent(kAgentB);
    }

    QueryReply index(const std::string &request) {
        return run_body(dbq_index_run, nullptr, DBQ_INDEX, request);
    }
    QueryReply grid(const std::string &request) {
        return run_body(dbq_calls_grid_run, nullptr, DBQ_CALLS_GRID, request);
    }
    // A root call at t with its DUR and AUX, and a child throwing when `exception`.
    void root_at(test_agent &agent, uint64_t t, uint32_t dur, uint32_t aux = 0,
                 bool exception = false) {
        store(agent, qcall(t, 0, 0, 1, 1, dur, 0, aux),
              {qcall(t - 1, 1, 1, 2, 2, 1, exception ? 5 : 0)});
    }

    test_agent a_{kAgentA}, b_{kAgentB};
};

// ---- INDEX ------------------------------------------------------------------------------

TEST_F(IndexQueries, IndexRequests) {
    // In day 0 of the epoch: roots at 1, 9 and 10 ms (A) and 4 ms (B, with an exception).
    root_at(a_, 1, 200, 50);
    root_at(a_, 9, 100);
    root_at(a_, 10, 0);
    root_at(b_, 4, 10, 0, true);
    const struct {
        const char *name;
        std::string request;
        std::string data; // empty: refused
        const char *log = "ERROR  Invalid request!\n";
    } cases[] = {
        {"n = 1: one cell over the whole range", index_request(1, 0, 10, {kAgentA, kAgentB}),
         index_cell(0, 10, 4, 1, 68)},
        {"n = 3 over 0..10: the last cell takes the remainder",
         index_request(3, 0, 10, {kAgentA, kAgentB}),
         index_cell(0, 2, 1, 0, 75) + index_cell(3, 5, 1, 1, 100) + index_cell(6, 10, 2, 0, 50)},
        {"agents sum into the same cells", index_request(3, 0, 10, {kAgentA, kAgentA}),
         index_cell(0, 2, 2, 0, 75) + index_cell(3, 5, 0, 0, 0) + index_cell(6, 10, 4, 0, 50)},
        {"an unknown agent gives zero counts", index_request(2, 0, 10, {kAgent + 9}),
         index_cell(0, 4, 0, 0, 0) + index_cell(5, 10, 0, 0, 0)},
        {"to = 2^64 - 1", index_request(1, 0, UINT64_MAX, {kAgentA}),
         index_cell(0, UINT64_MAX, 3, 0, 58)},
        {"w = 0: 0..2 in 3 cells", index_request(3, 0, 2, {kAgentA}), ""},
        {"n = 0", index_request(0, 0, 10, {kAgentA}), ""},
        {"20 bytes: no agent", index_request(1, 0, 10, {}), ""},
        {"27 bytes", index_request(1, 0, 10, {kAgentA}).substr(0, 27), ""},
        {"29 bytes", index_request(1, 0, 10, {kAgentA}) + "x", ""},
        {"19 bytes", index_request(1, 0, 10, {}).substr(0, 19), ""},
        {"from after to", index_request(1, 10, 0, {kAgentA}), "", "ERROR  Invalid time range!\n"},
        {"more cells than a reply carries", index_request(419430, 0, UINT64_MAX, {kAgentA}), "",
         "ERROR  Too many cells: 419430, at most 419429.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QueryReply r = index(c.request);
        EXPECT_EQ(r.present, !c.data.empty());
        if (r.present) {
            EXPECT_EQ(r.status, QRESP_OK);
            EXPECT_EQ(r.data, c.data);
        }
        if (!r.present) {
            Logged l = run_logged([&] { index(c.request); });
            EXPECT_NE(l.lines.find(c.log), std::string::npos) << l.lines;
        }
    }
    EXPECT_EQ(dbq_index_max_cells(), 419429u);
}

TEST_F(IndexQueries, IndexAtItsLargestCellCount) {
    root_at(a_, kHour, 200, 50);
    const QueryReply r = index(index_request(419429, 0, UINT64_MAX, {kAgentA}));
    ASSERT_EQ(r.status, QRESP_OK);
    ASSERT_EQ(r.data.size(), 419429u * INDEXQ_CELL_LEN);
    // w = (2^64 - 1) / 419429; the root lies in cell 0.
    const uint64_t w = UINT64_MAX / 419429;
    EXPECT_EQ(r.data.substr(0, INDEXQ_CELL_LEN), index_cell(0, w - 1, 1, 0, 75));
    EXPECT_EQ(r.data.substr(r.data.size() - INDEXQ_CELL_LEN),
              index_cell(419428 * w, UINT64_MAX, 0, 0, 0));
}

TEST_F(IndexQueries, MeanShareOfACell) {
    const struct {
        const char *name;
        std::vector<std::pair<uint32_t, uint32_t>> dur_aux;
        uint64_t share;
    } cases[] = {
        {"DUR 200, AUX 50", {{200, 50}}, 75},
        {"DUR 0 adds 0", {{200, 50}, {0, 0}}, 37},
        {"AUX above DUR adds 0", {{200, 50}, {100, 300}}, 37},
        {"AUX above DUR alone", {{1, 0xFFFFFF}}, 0},
        // The running mean truncates to 54 where the sum over the count would give 55.
        {"a running mean", {{2, 0}, {1, 0}, {5, 2}, {5, 0}, {2, 2}, {4, 3}, {6, 6}}, 54},
    };
    uint64_t from = kHour;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t to = from + 999;
        uint64_t t = from;
        for (const auto &[dur, aux] : c.dur_aux)
            root_at(a_, t++, dur, aux);
        const QueryReply r = index(index_request(1, from, to, {kAgentA}));
        EXPECT_EQ(r.data, index_cell(from, to, c.dur_aux.size(), 0, c.share));
        const QueryReply g = grid(grid_request(1, 100, from, to, {kAgentA}));
        ASSERT_EQ(g.data.size(), 8u + GRIDQ_CELL_LEN);
        EXPECT_EQ(from_be(g.data, 8 + 56, 8), c.share);
        from += 1000;
    }
}

TEST_F(IndexQueries, IndexLogsItsRange) {
    root_at(a_, kHour, 200, 50);
    Logged l = run_logged([&] {
        setenv("TZ", "UTC", 1);
        tzset();
        log_level.store(2);
        index(index_request(2, kHour, kHour + HOUR_MS - 1, {kAgentA}));
    });
    EXPECT_NE(l.lines.find("DEBUG  Finding rcalls for TF=03/01/24 10:00:00 TT=03/01/24 10:59:59\n"),
              std::string::npos)
        << l.lines;
}

// ---- CALLS GRID -------------------------------------------------------------------------

TEST_F(IndexQueries, GridOfTwoAgents) {
    // n = 2, dw = 100 over one hour: rows [0, 99] and [100, 0xFFFFFF], two time columns.
    const uint64_t to = kHour + HOUR_MS - 1, tw = (to - kHour) / 2;
    root_at(a_, kHour + 10, 50, 25, true);
    root_at(a_, kHour + 20, 99, 0);
    root_at(a_, kHour + tw + 5, 5000, 1000);
    root_at(b_, kHour + 30, 150, 0);
    const std::vector<grid_cell> empty = {{kHour, kHour + tw - 1, 0, 99},
                                          {kHour + tw, to, 0, 99},
                                          {kHour, kHour + tw - 1, 100, 0xFFFFFF},
                                          {kHour + tw, to, 100, 0xFFFFFF}};
    std::vector<grid_cell> a = empty, b = empty;
    a[0].roots = 2, a[0].with_exc = 1, a[0].sum_dur = 149, a[0].sum_aux = 25, a[0].share = 75;
    a[3].roots = 1, a[3].sum_dur = 5000, a[3].sum_aux = 1000, a[3].share = 80;
    b[2].roots = 1, b[2].sum_dur = 150, b[2].share = 100;
    const QueryReply r = grid(grid_request(2, 100, kHour, to, {kAgentA, kAgentB}));
    EXPECT_EQ(r.status, QRESP_OK);
    EXPECT_EQ(r.data, grid_bytes(kAgentA, a) + grid_bytes(kAgentB, b));
    // The second agent's grid holds none of the first one's counts, in either order.
    const QueryReply swapped = grid(grid_request(2, 100, kHour, to, {kAgentB, kAgentA}));
    EXPECT_EQ(swapped.data, grid_bytes(kAgentB, b) + grid_bytes(kAgentA, a));
    // An unknown agent: every cell with its bounds and zero counts.
    EXPECT_EQ(grid(grid_request(2, 100, kHour, to, {kAgent + 9})).data,
              grid_bytes(kAgent + 9, empty));
    // n = 10 and 3 agents: 3 x 6408 bytes.
    EXPECT_EQ(grid(grid_request(10, 100, kHour, to, {kAgentA, kAgentB, kAgentA})).data.size(),
              3u * 6408);
}

TEST_F(IndexQueries, GridRequests) {
    root_at(a_, kHour + 10, 50);
    const uint64_t to = kHour + HOUR_MS - 1;
    const std::string one = grid_request(1, 100, kHour, to, {kAgentA});
    const std::string one_reply = grid_bytes(kAgentA, {{kHour, to, 0, 0xFFFFFF, 1, 0, 50, 0, 100}});
    const struct {
        const char *name;
        std::string request;
        std::string data; // empty: refused
        const char *log = "ERROR  Invalid request.\n";
    } cases[] = {
        {"n = 1", one, one_reply},
        {"bytes after the agents are ignored", one + "xyz", one_reply},
        {"35 bytes", one.substr(0, 35), ""},
        {"n = 0", grid_request(0, 100, kHour, to, {kAgentA}), ""},
        {"k = 0", grid_request(1, 100, kHour, to, {kAgentA}, 0), ""},
        {"dw = 0", grid_request(1, 0, kHour, to, {kAgentA}), ""},
        {"2 agents announced, room for 1", grid_request(1, 100, kHour, to, {kAgentA}, 2), ""},
        {"k = 2^29 wraps 28 + 8k in 32 bits", grid_request(1, 100, kHour, to, {kAgentA}, 1u << 29),
         ""},
        {"tw = 0", grid_request(3, 100, 0, 2, {kAgentA}), ""},
        {"from after to", grid_request(1, 100, to, kHour, {kAgentA}), "",
         "ERROR  Invalid time range!\n"},
        {"n = 512: a grid larger than a reply", grid_request(512, 100, 0, UINT64_MAX, {kAgentA}),
         "", "ERROR  Too many cells: 512 x 512, at most 511 x 511.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QueryReply r = grid(c.request);
        EXPECT_EQ(r.present, !c.data.empty());
        if (r.present) {
            EXPECT_EQ(r.status, QRESP_OK);
            EXPECT_EQ(r.data, c.data);
        }
        if (!r.present) {
            Logged l = run_logged([&] { grid(c.request); });
            EXPECT_NE(l.lines.find(c.log), std::string::npos) << l.lines;
        }
    }
    EXPECT_EQ(dbq_calls_grid_max_n(), 511u);
    // The largest grid fits one reply.
    const QueryReply big = grid(grid_request(511, 100, 0, UINT64_MAX, {kAgentA}));
    EXPECT_EQ(big.status, QRESP_OK);
    EXPECT_EQ(big.data.size(), 8u + GRIDQ_CELL_LEN * 511 * 511);
}

// Row bounds past 32 bits saturate instead of wrapping: with dw = 2^24, row 255 ends at
// 0xFFFFFFFF and row 256 would otherwise read [0, 0xFFFFFF].
TEST_F(IndexQueries, GridRowBoundsSaturate) {
    root_at(a_, kHour, 0xFFFFFF);
    const uint32_t n = 258, dw = 1u << 24;
    const QueryReply r = grid(grid_request(n, dw, kHour, kHour + n, {kAgentA}));
    ASSERT_EQ(r.data.size(), 8u + GRIDQ_CELL_LEN * n * n);
    auto bounds = [&](uint32_t row) {
        const size_t at = 8 + size_t{row} * n * GRIDQ_CELL_LEN;
        return std::make_pair(from_be(r.data, at + 16, 4), from_be(r.data, at + 20, 4));
    };
    using bound = std::pair<uint64_t, uint64_t>;
    EXPECT_EQ(bounds(0), bound(0, 0xFFFFFF));
    EXPECT_EQ(bounds(254), bound(254u << 24, (255u << 24) - 1));
    EXPECT_EQ(bounds(255), bound(0xFF000000, 0xFFFFFFFF));
    EXPECT_EQ(bounds(256), bound(0xFFFFFFFF, 0xFFFFFFFF));
    EXPECT_EQ(bounds(257), bound(0xFFFFFFFF, 0xFFFFFF));
    // The root, DUR 0xFFFFFF, counts in row 0.
    EXPECT_EQ(from_be(r.data, 8 + 24, 8), 1u);
}

// Agents whose grids no longer fit are left out without being read (B's unreadable hour
// would fail the request).
TEST_F(IndexQueries, GridCutAtWholeAgents) {
    root_at(a_, kHour + 10, 50);
    unreadable_hour(kAgentB, kHour);
    const uint64_t to = kHour + HOUR_MS - 1;
    const std::string request = grid_request(2, 100, kHour, to, {kAgentA, kAgentA, kAgentB});
    EXPECT_FALSE(grid(request).present);
    const uint64_t one = 8 + 4 * GRIDQ_CELL_LEN;
    for (uint64_t room : {2 * one, 3 * one - 1}) {
        MessageLimit limit(limit_for_data(room));
        const QueryReply r = grid(request);
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        ASSERT_EQ(r.data.size(), 2 * one);
        EXPECT_EQ(r.data.substr(0, one), r.data.substr(one));
    }
}

// ---- failed reads -----------------------------------------------------------------------

TEST_F(IndexQueries, UnreadableFilesFailTheRequest) {
    root_at(a_, kHour + 10, 50);
    const uint64_t to = kHour + HOUR_MS - 1;
    const std::string idx = index_request(2, kHour, to, {kAgentA});
    const std::string grd = grid_request(2, 100, kHour, to, {kAgentA});
    ASSERT_TRUE(index(idx).present);
    ASSERT_TRUE(grid(grd).present);
    Logged l = run_logged([&] {
        NoFreeDescriptors none;
        printf("%d %d", index(idx).present, grid(grd).present);
    });
    EXPECT_EQ(l.out, "0 0");
    EXPECT_NE(l.lines.find("Too many open files"), std::string::npos) << l.lines;
}

} // namespace
