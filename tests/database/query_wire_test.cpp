// The data queries over loopback: two agents send symbols, key/value samples and root calls
// with parameter entries to a Database started by `korvane start`; a graphical client runs
// SYMBOLS, KV METRICS, ROOT CALLS, ROOT CALL EXECUTION STACK and EXTENSIONS, then TOP
// EXCEPTIONS, EXCEPTIONS OCCURRENCES, INDEX, CALLS GRID and FLAME GRAPH, and gets each reply
// as written out below. The store is new, so its symbol ids, keys and locators are known in
// advance.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "database/agent_wire.h"
#include "database/db_server.h"
#include "database/peer_client.h"
#include "database/query_exceptions.h"
#include "database/query_flame.h"
#include "database/query_index.h"
#include "database/query_stack.h"
#include "database/query_symbols.h"
#include "database/store/walk.h"
#include "lib/agent_type.h"
#include "server/reply.h"

namespace {

constexpr uint64_t kStarted = utc_time(8, 0);

// The agents' own symbol ids, and the ids the new store gives the names in the order the
// first agent sends them (each name takes one 16-byte record).
enum : uint32_t { SHOP = 10, CART = 11, RUN = 20, LOAD = 21, SAVE = 22, MAIN = 30, HEAP = 40 };

Bytes agent_symbols() {
    return AgentData()
        .sym(AREC_SYM_CLASS, SHOP, "app.Shop")
        .sym(AREC_SYM_CLASS, CART, "app.Cart")
        .sym(AREC_SYM_METHOD, RUN, "run")
        .sym(AREC_SYM_METHOD, LOAD, "load")
        .sym(AREC_SYM_METHOD, SAVE, "save")
        .sym(AREC_SYM_THREAD, MAIN, "main")
        .sym(AREC_SYM_KEY, HEAP, "mem\x1Fheap")
        .message();
}

// An entry's data as a call with flags 0x02 carries it: u16 length, then the pairs.
Bytes pairs(const Bytes &list) {
    return be(list.size(), 2) + list;
}

// One root call at 10:00 of March 1st: three calls, the first and third with entries, and
// the root with one.
Bytes root_call_message() {
    const uint64_t t = utc_time(10, 0);
    const uint64_t key = uint64_t{7} << 44 | t;
    return AgentData()
        .call(Call{CALL_F_PARAMS, key, SHOP, LOAD, 1, 1, t + 1, 0x0A0B0C, 5, pairs("k1\x1Ev1")})
        .call(Call{0, key, CART, SAVE, 2, 2, t + 2, 0, 3, ""})
        .call(Call{CALL_F_PARAMS, key, CART, LOAD, 3, 1, t + 10, 0, 20, pairs("k3\x1Ev3")})
        .call(Call{CALL_F_ROOT | CALL_F_PARAMS, key, SHOP, RUN, 0, 0, t, 0, 50,
                   be(MAIN, 4) + pairs("user\x1E"
                                       "ann")})
        .message();
}

// Key/value samples of day 19783 (300) and day 19785 (201), a second apart; the 502nd, of
// day 19784, makes the stage rotate and so stays in the new stage, out of the day files.
constexpr uint32_t kDay = 19783;
uint64_t sample_time(uint32_t day, uint64_t i) {
    return uint64_t{day} * DAY_MS + 500 + i * 1000;
}
Bytes kv_message() {
    AgentData d;
    for (uint64_t i = 0; i < 300; i++)
        d.kv(HEAP, sample_time(kDay, i), i * 7);
    for (uint64_t i = 0; i < 201; i++)
        d.kv(HEAP, sample_time(kDay + 2, i), 1000000 + i);
    d.kv(HEAP, sample_time(kDay + 1, 0), 99);
    return d.message();
}
Bytes day_samples(uint32_t day, uint64_t n, uint64_t first_value, uint64_t step) {
    Bytes s;
    for (uint64_t i = 0; i < n; i++)
        s += be(sample_time(day, i), 8) + be(first_value + i * step, 8);
    return s;
}

Bytes query(uint64_t rid, uint64_t qid, const Bytes &args) {
    return wire_message(MSG_DB_QUERY, be(rid, 8) + be(qid, 8) + args);
}
Bytes reply(uint64_t rid, uint64_t qid, uint16_t status, const Bytes &data = "") {
    return wire_message(MSG_RESPONSE, be(rid, 8) + be(qid, 8) + be(status, 2) + data);
}

// March 1st, hour 10: the rcall_key of the first root call of an hour file, its file id.
const Bytes kKey = unhex("4D47500000000000");
const Bytes kFileId = unhex("0009A8EA");

// The three calls besides the root, as the stack and the store give them back: TSTAMP,
// locator (entry offset << 44 | block offset), file id, class, method, exception, order,
// aux, duration, depth, flags.
const Bytes kStackData = unhex("0003"
                               "0000018DF974D506 0000000000000000 0009A8EA"
                               "00000001 00000002 00000000 00000001 000A0B0C 00000005 0001 0002"
                               "0000018DF974D505 0000000000000000 0009A8EA"
                               "00000002 00000003 00000000 00000002 00000000 00000003 0002 0000"
                               "0000018DF974D51E 0000D00000000000 0009A8EA"
                               "00000002 00000002 00000000 00000003 00000000 00000014 0001 0002");

// A ROOT CALLS record of the root call with its entry: agent, key, N, thread, exceptions,
// N, the root's record, L and the entry.
Bytes root_record(uint64_t agent) {
    return be(agent, 8) + kKey +
           unhex("0003 00000001 0000 0003"
                 "0000018DF974D532 0001A00000000000 0009A8EA"
                 "00000001 00000001 00000000 00000000 00000000 00000032 0000 0003"
                 "000A 0008") +
           "user\x1E"
           "ann";
}

class QueryWireTest : public DatabaseServer {
protected:
    std::unique_ptr<PeerClient> agent(const Bytes &identity) {
        auto c = std::make_unique<PeerClient>(port);
        EXPECT_TRUE(c->send({agent_hello(be(kStarted, 8) + identity)}));
        EXPECT_EQ(c->next(), kManagerAnswer);
        return c;
    }
    // A graphical client; clients of other names are other users, connected side by side.
    std::unique_ptr<PeerClient> client(const std::string &name = "query wire test") {
        auto c = std::make_unique<PeerClient>(port);
        EXPECT_TRUE(c->send({ui_hello(name)}));
        EXPECT_EQ(c->next(), kDatabaseAnswer);
        return c;
    }
    // Sends one query and waits (bounded) until its reply is `want`; the last reply.
    Bytes ask_until(PeerClient &c, const Bytes &q, const Bytes &want) {
        Bytes got;
        eventually(
            [&] {
                EXPECT_TRUE(c.send({q}));
                got = c.next().value_or("");
                return got == want;
            },
            10);
        return got;
    }
};

TEST_F(QueryWireTest, EveryQueryAnswersByteForByte) {
    start();
    const Bytes id_x = identity_bytes(AGENT_TYPE_JVM, "wire-x");
    const Bytes id_y = identity_bytes(AGENT_TYPE_JVM, "wire-y");
    const uint64_t x = agent_id_of(as_bytes(id_x)), y = agent_id_of(as_bytes(id_y));
    const uint64_t a = std::min(x, y), b = std::max(x, y);
    auto ui = client();

    // The first agent's names get the store's first ids; the second sends the same names.
    auto agent_x = agent(id_x);
    ASSERT_TRUE(agent_x->send({agent_symbols()}));
    const Bytes classes = Bytes("\x02\x00\x00\x00\x01\x00\x08"
                                "app.Shop",
                                15) +
                          Bytes("\x02\x00\x00\x00\x02\x00\x08"
                                "app.Cart",
                                15);
    EXPECT_EQ(ask_until(*ui, query(1, DBQ_SYMBOLS, Bytes("\x01\x02\x00\x01.", 5)),
                        reply(1, DBQ_SYMBOLS, QRESP_OK, classes)),
              reply(1, DBQ_SYMBOLS, QRESP_OK, classes));
    auto agent_y = agent(id_y);
    ASSERT_TRUE(agent_y->send({agent_symbols()}));
    ASSERT_TRUE(agent_x->send({root_call_message(), kv_message()}));
    ASSERT_TRUE(agent_y->send({root_call_message()}));

    // SYMBOLS by ids: an unknown id is left out.
    ASSERT_TRUE(ui->send({query(2, DBQ_SYMBOLS,
                                Bytes("\x02\x00\x03"
                                      "\x02\x00\x00\x00\x01"
                                      "\x02\x00\x0F\x42\x3F"
                                      "\x03\x00\x00\x00\x03",
                                      18))}));
    EXPECT_EQ(ui->next(), reply(2, DBQ_SYMBOLS, QRESP_OK,
                                Bytes("\x02\x00\x00\x00\x01\x00\x08"
                                      "app.Shop"
                                      "\x03\x00\x00\x00\x03\x00\x04"
                                      "save",
                                      26)));

    // ROOT CALLS with the roots' entries, once the root calls are stored.
    for (uint64_t agent_id : {x, y}) {
        const Bytes rc = query(3, DBQ_ROOT_CALLS,
                               be(RC_F_ROOT_ENTRY, 4) + be(0, 4) + be(0, 4) + be(0, 4) + be(1, 2) +
                                   be(agent_id, 8) + be(kMar1, 8) + be(kMar1 + DAY_MS - 1, 8));
        EXPECT_EQ(ask_until(*ui, rc, reply(3, DBQ_ROOT_CALLS, QRESP_OK, root_record(agent_id))),
                  reply(3, DBQ_ROOT_CALLS, QRESP_OK, root_record(agent_id)));
    }

    // The stack of the root call: its count and three records, 146 bytes.
    ASSERT_EQ(kStackData.size(), 146u);
    ASSERT_TRUE(ui->send({query(4, DBQ_ROOT_CALL_EXECUTION_STACK, be(x, 8) + kKey + be(3, 2))}));
    EXPECT_EQ(ui->next(), reply(4, DBQ_ROOT_CALL_EXECUTION_STACK, QRESP_OK, kStackData));
    ASSERT_TRUE(ui->send({query(5, DBQ_ROOT_CALL_EXECUTION_STACK, be(x, 8) + kKey + be(2, 2))}));
    EXPECT_EQ(ui->next(), reply(5, DBQ_ROOT_CALL_EXECUTION_STACK, QRESP_ERROR));

    // EXTENSIONS for agents B, A, B: A's entry first, then B's two in file order.
    const Bytes first = unhex("0000000000000000") + kFileId;
    const Bytes third = unhex("0000D00000000000") + kFileId;
    ASSERT_TRUE(ui->send(
        {query(6, DBQ_EXTENSIONS, be(b, 8) + third + be(a, 8) + first + be(b, 8) + first)}));
    const Bytes k1 = unhex("0007 0005") + "k1\x1Ev1", k3 = unhex("0007 0005") + "k3\x1Ev3";
    EXPECT_EQ(ui->next(),
              reply(6, DBQ_EXTENSIONS, QRESP_OK,
                    be(a, 8) + first + k1 + be(b, 8) + first + k1 + be(b, 8) + third + k3));

    // KV METRICS over three days, the middle one without a day file, once the maintainer has
    // moved the rotated stage.
    const Bytes kv = query(7, DBQ_KV_METRICS,
                           be(uint64_t{kDay} * DAY_MS, 8) + be(uint64_t{kDay + 3} * DAY_MS - 1, 8) +
                               be(8, 2) + "mem\x1Fheap" + be(x, 8));
    const Bytes d0 = day_samples(kDay, 300, 0, 7), d2 = day_samples(kDay + 2, 201, 1000000, 1);
    const Bytes kv_reply = reply(7, DBQ_KV_METRICS, QRESP_OK,
                                 be(x, 8) + be(4800, 8) + d0 + be(x, 8) + be(3216, 8) + d2);
    const Bytes got = ask_until(*ui, kv, kv_reply);
    EXPECT_EQ(got.size(), kv_reply.size());
    EXPECT_TRUE(got == kv_reply) << "the samples differ";
    ASSERT_TRUE(
        ui->send({query(8, DBQ_KV_METRICS, be(0, 8) + be(1, 8) + be(3, 2) + "cpu" + be(x, 8))}));
    EXPECT_EQ(ui->next(), reply(8, DBQ_KV_METRICS, QRESP_NOT_FOUND));
    EXPECT_TRUE(logged("WARN   Unable to find KV key [cpu].\n"));
}

// ---- the exception, chart and flame graph queries ---------------------------------------

// Seven class names take the store's class ids 1 to 7 (the seventh, C7, is the exception
// thrown below), four method names ids 1 to 4; the agents use ids of their own.
Bytes chart_symbols() {
    AgentData d;
    for (uint32_t i = 1; i <= 7; i++)
        d.sym(AREC_SYM_CLASS, 100 + i, "app.C" + std::to_string(i));
    for (uint32_t i = 1; i <= 4; i++)
        d.sym(AREC_SYM_METHOD, 200 + i, "m" + std::to_string(i));
    return d.sym(AREC_SYM_THREAD, MAIN, "main").message();
}

// A call ending at `t`, of the store's class and method ids (sent as the agent's), throwing
// the store's class `exception` when that is not 0; the root's key carries its start.
struct ChartCall {
    uint64_t t;
    uint32_t cls, method;
    uint32_t corder = 0;
    uint16_t sdepth = 0;
    uint32_t dur = 10;
    uint32_t aux = 0;
    uint32_t exception = 0;

    Call on_the_wire(uint64_t key, bool root) const {
        Call c{static_cast<uint16_t>((root ? CALL_F_ROOT : 0) | (exception ? CALL_F_EXC : 0)),
               key,
               100 + cls,
               200 + method,
               corder,
               sdepth,
               t - dur,
               aux,
               dur,
               ""};
        if (root)
            c.tail += be(MAIN, 4);
        if (exception != 0)
            c.tail += be(100 + exception, 4);
        return c;
    }
};

// One root call: its calls, then the root.
Bytes root_call(uint64_t seq, const ChartCall &root, const std::vector<ChartCall> &calls = {}) {
    const uint64_t key = seq << 44 | (root.t - root.dur);
    AgentData d;
    for (const ChartCall &c : calls)
        d.call(c.on_the_wire(key, false));
    return d.call(root.on_the_wire(key, true)).message();
}

TEST_F(QueryWireTest, ExceptionChartAndFlameQueriesAnswerByteForByte) {
    start();
    const Bytes id_x = identity_bytes(AGENT_TYPE_JVM, "chart-x");
    const Bytes id_y = identity_bytes(AGENT_TYPE_JVM, "chart-y");
    const uint64_t x = agent_id_of(as_bytes(id_x)), y = agent_id_of(as_bytes(id_y));
    auto ui = client();
    auto agent_x = agent(id_x);
    ASSERT_TRUE(agent_x->send({chart_symbols()}));
    auto agent_y = agent(id_y);
    ASSERT_TRUE(agent_y->send({chart_symbols()}));

    // 10:00, TOP EXCEPTIONS: a root throwing C7 whose only child throws C7 too.
    const uint64_t top_t = utc_time(10, 0, 1);
    // 10:30, OCCURRENCES of C7 at 1000, 1500 and 2100 ms (a root and its calls), then 1200 ms.
    const uint64_t occ = utc_time(10, 30);
    // 11:10, INDEX: DUR 200 and AUX 50.
    // 12:00, CALLS GRID: DUR 50 at 12:10 and 5000 at 12:40 (X), 150 at 12:20 (Y).
    // 13:00, FLAME GRAPH: P -> Q -> R and P -> Q -> S with P = (C3, m1), Q = (C4, m2),
    // R = (C5, m3), S = (C6, m4).
    auto path = [](uint64_t t, uint32_t leaf_cls, uint32_t leaf_method, uint32_t leaf_dur) {
        return std::vector<ChartCall>{{t - 1, 4, 2, 1, 1, 50},
                                      {t - 2, leaf_cls, leaf_method, 2, 2, leaf_dur}};
    };
    const uint64_t p1 = utc_time(13, 10), p2 = utc_time(13, 20);
    ASSERT_TRUE(agent_x->send({
        root_call(1, {top_t, 1, 1, 0, 0, 10, 0, 7}, {{top_t - 1, 2, 2, 1, 1, 5, 0, 7}}),
        root_call(2, {occ + 1000, 1, 1, 0, 0, 10, 0, 7},
                  {{occ + 1500, 2, 2, 1, 1, 1, 0, 7}, {occ + 2100, 2, 2, 2, 1, 1, 0, 7}}),
        root_call(3, {occ + 1200, 1, 1, 0, 0, 10, 0, 7}),
        root_call(4, {utc_time(11, 10), 1, 1, 0, 0, 200, 50}),
        root_call(5, {utc_time(12, 10), 1, 1, 0, 0, 50}),
        root_call(6, {utc_time(12, 40), 1, 1, 0, 0, 5000, 1000}),
        root_call(7, {p1, 3, 1, 0, 0, 100}, path(p1, 5, 3, 20)),
        root_call(8, {p2, 3, 1, 0, 0, 100}, path(p2, 6, 4, 30)),
    }));
    ASSERT_TRUE(agent_y->send({root_call(1, {utc_time(12, 20), 1, 1, 0, 0, 150})}));

    // TOP EXCEPTIONS, modes 0 and 1, over 10:00 to 10:29: class 7 counted twice, once by
    // the root; then once, at the child.
    auto top = [&](uint16_t mode) {
        return query(10 + mode, DBQ_TOP_EXCEPTIONS,
                     be(mode, 2) + be(utc_time(10, 0), 8) + be(utc_time(10, 30) - 1, 8) + be(0, 4) +
                         be(0, 4) + be(1, 2) + be(x, 8));
    };
    const Bytes top0 =
        reply(10, DBQ_TOP_EXCEPTIONS, QRESP_OK, be(x, 8) + unhex("00000007 00000002 00000001"));
    EXPECT_EQ(ask_until(*ui, top(0), top0), top0);
    ASSERT_TRUE(ui->send({top(1)}));
    EXPECT_EQ(ui->next(), reply(11, DBQ_TOP_EXCEPTIONS, QRESP_OK,
                                be(x, 8) + unhex("00000007 00000001 00000000")));

    // EXCEPTIONS OCCURRENCES of class 7 over 10:30 to 10:59: {1000, 2}, {2000, 1}, {1000, 1}.
    const Bytes occ_q = query(12, DBQ_EXCEPTIONS_OCCURRENCES,
                              be(occ, 8) + be(utc_time(11, 0) - 1, 8) + be(x, 8) + be(7, 4));
    const Bytes occ_reply = reply(12, DBQ_EXCEPTIONS_OCCURRENCES, QRESP_OK,
                                  be(occ + 1000, 8) + be(2, 4) + be(occ + 2000, 8) + be(1, 4) +
                                      be(occ + 1000, 8) + be(1, 4));
    EXPECT_EQ(ask_until(*ui, occ_q, occ_reply), occ_reply);

    // INDEX, n = 2 over 11:00 to 11:59: w = 1,799,999 ms; the root in the first cell, 75 %.
    const uint64_t h11 = utc_time(11, 0), w = 1799999;
    const Bytes index_q =
        query(13, DBQ_INDEX, be(2, 4) + be(h11, 8) + be(utc_time(12, 0) - 1, 8) + be(x, 8));
    const Bytes index_reply =
        reply(13, DBQ_INDEX, QRESP_OK,
              be(h11, 8) + be(h11 + w - 1, 8) +
                  unhex("0000000000000001 0000000000000000"
                        "000000000000004B") +
                  be(h11 + w, 8) + be(utc_time(12, 0) - 1, 8) + Bytes(24, '\0'));
    EXPECT_EQ(ask_until(*ui, index_q, index_reply), index_reply);

    // CALLS GRID, n = 2 and dw = 100 over 12:00 to 12:59 for X and Y: rows [0, 99] and
    // [100, 0xFFFFFF]; each cell: time start and end, duration low and high, root calls, with
    // exceptions, sums of DUR and AUX, share.
    const uint64_t h12 = utc_time(12, 0), h13 = utc_time(13, 0);
    auto cell = [&](uint32_t row, uint32_t col, const Bytes &counts) {
        const uint64_t start = h12 + col * w, end = col == 0 ? h12 + w - 1 : h13 - 1;
        return be(start, 8) + be(end, 8) +
               (row == 0 ? unhex("00000000 00000063") : unhex("00000064 00FFFFFF")) + counts;
    };
    const Bytes none(40, '\0');
    auto counts = [](uint64_t roots, uint64_t dur, uint64_t aux, uint64_t share) {
        return be(roots, 8) + be(0, 8) + be(dur, 8) + be(aux, 8) + be(share, 8);
    };
    const Bytes grid_q =
        query(14, DBQ_CALLS_GRID,
              be(2, 4) + be(100, 4) + be(h12, 8) + be(h13 - 1, 8) + be(2, 4) + be(x, 8) + be(y, 8));
    const Bytes grid_reply =
        reply(14, DBQ_CALLS_GRID, QRESP_OK,
              be(x, 8) + cell(0, 0, counts(1, 50, 0, 100)) + cell(0, 1, none) + cell(1, 0, none) +
                  cell(1, 1, counts(1, 5000, 1000, 80)) + be(y, 8) + cell(0, 0, none) +
                  cell(0, 1, none) + cell(1, 0, counts(1, 150, 0, 100)) + cell(1, 1, none));
    EXPECT_EQ(ask_until(*ui, grid_q, grid_reply), grid_reply);

    // FLAME GRAPH over 13:00 to 13:59: the graph root, P, Q, R, S. A record: zero, parent,
    // sums of AUX and DUR, class, method, leaf, inner and exception calls, id, depth.
    const Bytes flame_q =
        query(15, DBQ_FLAME_GRAPH, be(h13, 8) + be(utc_time(14, 0) - 1, 8) + be(y, 8) + be(x, 8));
    const Bytes flame_reply =
        reply(15, DBQ_FLAME_GRAPH, QRESP_OK,
              unhex("0000000000000000 00000000 0000000000000000 00000000000000C8"
                    "00000000 00000000 00000000 00000000 00000000 00000000 0000"
                    "0000000000000000 00000000 0000000000000000 00000000000000C8"
                    "00000003 00000001 00000000 00000002 00000000 00000001 0001"
                    "0000000000000000 00000001 0000000000000000 0000000000000064"
                    "00000004 00000002 00000000 00000002 00000000 00000002 0002"
                    "0000000000000000 00000002 0000000000000000 0000000000000014"
                    "00000005 00000003 00000001 00000000 00000000 00000003 0003"
                    "0000000000000000 00000002 0000000000000000 000000000000001E"
                    "00000006 00000004 00000001 00000000 00000000 00000004 0003"));
    ASSERT_EQ(flame_reply.size(), 5u + 18 + 5 * FGRAPH_RECORD_LEN);
    EXPECT_EQ(ask_until(*ui, flame_q, flame_reply), flame_reply);

    // Refusals travel as status 2: CALLS GRID announcing 2^29 agents, INDEX of 419,430
    // cells.
    ASSERT_TRUE(ui->send(
        {query(16, DBQ_CALLS_GRID,
               be(2, 4) + be(100, 4) + be(h12, 8) + be(h13 - 1, 8) + be(1u << 29, 4) + be(x, 8))}));
    EXPECT_EQ(ui->next(), reply(16, DBQ_CALLS_GRID, QRESP_ERROR));
    ASSERT_TRUE(
        ui->send({query(17, DBQ_INDEX, be(419430, 4) + be(0, 8) + be(UINT64_MAX, 8) + be(x, 8))}));
    EXPECT_EQ(ui->next(), reply(17, DBQ_INDEX, QRESP_ERROR));
}

// ---- the bound on hour files -------------------------------------------------------------

// Under a test-only bound of 2 hour files per request, every walking query over an agent's
// three hours is cut: status 4 with what the first two gave, and a WARN line naming it. The
// requests do not hold the pool: another client sending a query after them is answered.
TEST_F(QueryWireTest, WalkingQueriesAreCutAtTheBoundWhileOthersAreAnswered) {
    setenv(DBS_WALK_FILES_ENV, "2", 1);
    start();
    unsetenv(DBS_WALK_FILES_ENV);
    const Bytes id_x = identity_bytes(AGENT_TYPE_JVM, "bound-x");
    const uint64_t x = agent_id_of(as_bytes(id_x));
    auto agent_x = agent(id_x);
    ASSERT_TRUE(agent_x->send({chart_symbols()}));
    for (uint64_t h : {10, 11, 12})
        ASSERT_TRUE(agent_x->send({root_call(h, {utc_time(h, 10), 1, 1, 0, 0, 10, 0, 7})}));
    ASSERT_EQ(stored_eventually(x, 3).size(), 3u);

    const Bytes span = be(utc_time(10, 0), 8) + be(utc_time(13, 0) - 1, 8);
    auto top = [&](uint16_t mode) {
        return be(mode, 2) + span + be(0, 4) + be(0, 4) + be(1, 2) + be(x, 8);
    };
    const struct {
        const char *name;
        uint64_t qid;
        Bytes args;
    } walking[] = {
        {"ROOT CALLS", DBQ_ROOT_CALLS,
         be(0, 4) + be(0, 4) + be(0, 4) + be(0, 4) + be(1, 2) + be(x, 8) + span},
        {"TOP EXCEPTIONS", DBQ_TOP_EXCEPTIONS, top(0)},
        {"TOP EXCEPTIONS", DBQ_TOP_EXCEPTIONS, top(1)},
        {"EXCEPTIONS OCCURRENCES", DBQ_EXCEPTIONS_OCCURRENCES, span + be(x, 8) + be(7, 4)},
        {"INDEX", DBQ_INDEX, be(3, 4) + span + be(x, 8)},
        {"CALLS GRID", DBQ_CALLS_GRID, be(2, 4) + be(100, 4) + span + be(1, 4) + be(x, 8)},
        {"FLAME GRAPH", DBQ_FLAME_GRAPH, span + be(x, 8)},
    };
    auto heavy = client(), other = client("another user");
    std::vector<Bytes> batch;
    for (size_t i = 0; i < std::size(walking); i++)
        batch.push_back(query(100 + i, walking[i].qid, walking[i].args));
    ASSERT_TRUE(heavy->send(batch));
    ASSERT_TRUE(other->send({query(1, DBQ_SYMBOLS, Bytes("\x02\x00\x01\x02\x00\x00\x00\x01", 8))}));
    EXPECT_EQ(other->next(), reply(1, DBQ_SYMBOLS, QRESP_OK,
                                   Bytes("\x02\x00\x00\x00\x01\x00\x06"
                                         "app.C1",
                                         13)));

    // The replies come as their workers finish; each is found by its request id.
    std::map<uint64_t, Bytes> replies;
    for (size_t i = 0; i < std::size(walking); i++) {
        const Bytes r = heavy->next().value_or("");
        ASSERT_GE(r.size(), 23u);
        replies[from_be(r, 5, 8)] = r;
    }
    for (size_t i = 0; i < std::size(walking); i++) {
        SCOPED_TRACE(walking[i].name);
        const Bytes &r = replies[100 + i];
        ASSERT_GE(r.size(), 23u);
        EXPECT_EQ(from_be(r, 13, 8), walking[i].qid);
        EXPECT_EQ(from_be(r, 21, 2), QRESP_PARTIAL);
        EXPECT_GT(r.size(), 23u) << "the first two hours gave data";
        EXPECT_TRUE(logged("WARN   " + std::string(walking[i].name) +
                           ": 2 hour files scanned, as many as one request may: the reply "
                           "holds what they gave.\n"));
    }
}

} // namespace
