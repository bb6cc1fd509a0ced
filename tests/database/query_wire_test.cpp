// The data queries over loopback: two agents send symbols, key/value samples and root calls
// with parameter entries to a Database started by `korvane start`; a graphical client runs
// SYMBOLS, KV METRICS, ROOT CALLS, ROOT CALL EXECUTION STACK and EXTENSIONS and gets each
// reply as written out below. The store is new, so its symbol ids, keys and locators are
// known in advance.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "database/agent_wire.h"
#include "database/db_server.h"
#include "database/peer_client.h"
#include "database/query_stack.h"
#include "database/query_symbols.h"
#include "lib/agent_type.h"
#include "server/reply.h"

namespace {

constexpr uint64_t kStarted = utc_time(8, 0);
const Bytes kManagerAnswer("\x01\x00\x00\x00\x08\x00MANAGER", 13);
const Bytes kDatabaseAnswer("\x01\x00\x00\x00\x0B"
                            "DATABASE\x30\x06\x00",
                            16);

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
    std::unique_ptr<PeerClient> client() {
        auto c = std::make_unique<PeerClient>(port);
        EXPECT_TRUE(c->send({ui_hello("query wire test")}));
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

} // namespace
