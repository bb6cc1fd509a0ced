// The online service without a loop: the subscriber table and its count, the split of a
// large body into push messages, and the 16-bit fields of the status records.
#include <gtest/gtest.h>

#include <cstring>

#include "database/collector_status.h"
#include "database/collector_support.h"
#include "database/online.h"

namespace {

// A status record by hand: agent id, 32 bytes of counters, m and m age entries.
std::string rec(uint64_t aid, uint16_t m) {
    std::string r = be(aid, 8) + std::string(32, '\0') + be(m, 2);
    for (uint16_t i = 0; i < m; i++)
        r += be(i + 1u, 2) + be(0, 2) + be(1, 2);
    return r;
}

std::vector<std::string> split(uint64_t now, const std::string &recs, uint32_t max_data) {
    std::vector<std::string> out;
    for (msg *m : online_split(now, reinterpret_cast<const uint8_t *>(recs.data()), recs.size(),
                               max_data)) {
        out.emplace_back(reinterpret_cast<const char *>(m), msg_size(m));
        free(m);
    }
    return out;
}

std::string push(uint64_t now, const std::string &recs) {
    return wire_message(MSG_PUSH, be(now, 8) + recs);
}

TEST(OnlineSplit, BodiesAreCutAtWholeRecordsEachPartWithThePushTime) {
    const uint64_t t = 1700000000000;
    const std::string a = rec(0xA, 0), b = rec(0xB, 1), c = rec(0xC, 0);
    // No record: the time alone, written out by hand.
    EXPECT_EQ(split(t, "", MSG_MAX_DATA),
              std::vector<std::string>{unhex("07 00000008 0000018BCFE56800")});
    const struct {
        const char *name;
        uint32_t max_data;
        std::vector<std::string> want;
    } rows[] = {
        {"all in one", MSG_MAX_DATA, {push(t, a + b + c)}},
        {"exactly the bound", 8 + 42 + 48, {push(t, a + b), push(t, c)}},
        {"one byte short of two", 8 + 42 + 47, {push(t, a), push(t, b), push(t, c)}},
        {"records above the bound go alone", 8 + 10, {push(t, a), push(t, b), push(t, c)}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(split(t, a + b + c, row.max_data), row.want) << row.name;
}

PeerId peer(uint64_t uid, uint64_t cid) {
    return PeerId{uid, cid, 0, PT_DB_UI};
}

std::vector<uint64_t> active_uids(odb *o) {
    std::vector<uint64_t> out;
    for (const online_subscriber &s : o->subscribers)
        if (s.active != 0)
            out.push_back(s.uid);
    return out;
}

// Steps applied in order to one table: each step's result, the count and who is subscribed.
TEST(OnlineSubscriptions, TableAndCountFollowSubscribesAndEnds) {
    odb *o = online_create();
    enum Op { SUB, UNSUB };
    const struct {
        const char *name;
        Op op;
        PeerId who;
        uint64_t rid;
        int result;
        std::vector<uint64_t> active;
        size_t entries;
    } steps[] = {
        {"first subscriber", SUB, peer(1, 10), 5, 0, {1}, 1},
        {"repeat with a request id", SUB, peer(1, 10), 6, -1, {1}, 1},
        {"second with request id 0", SUB, peer(2, 20), 0, 0, {1, 2}, 2},
        {"its repeat renews the entry", SUB, peer(2, 20), 0, 0, {1, 2}, 2},
        {"another connection's end", UNSUB, peer(1, 11), 0, 0, {1, 2}, 2},
        {"the first ends", UNSUB, peer(1, 10), 0, 0, {2}, 2},
        {"ends twice", UNSUB, peer(1, 10), 0, 0, {2}, 2},
        {"a newcomer takes the free entry", SUB, peer(3, 30), 7, 0, {3, 2}, 2},
        {"the second ends", UNSUB, peer(2, 20), 0, 0, {3}, 2},
        {"the last ends", UNSUB, peer(3, 30), 0, 0, {}, 2},
    };
    for (const auto &s : steps) {
        const int rc = s.op == SUB ? online_subscribe(o, s.rid, s.who)
                                   : (online_unsubscribe(o, s.who), 0);
        EXPECT_EQ(rc, s.result) << s.name;
        EXPECT_EQ(active_uids(o), s.active) << s.name;
        EXPECT_EQ(o->active, s.active.size()) << s.name;
        EXPECT_EQ(o->subscribers.size(), s.entries) << s.name;
    }
    online_free(o);
}

// Repeats with request id 0 past the range of a 16-bit count leave one subscription, which
// one end removes; and more subscribers than a 16-bit count are counted.
TEST(OnlineSubscriptions, CountsHoldPast65536) {
    odb *o = online_create();
    for (uint32_t i = 0; i < 70000; i++)
        ASSERT_EQ(online_subscribe(o, 0, peer(9, 90)), 0);
    EXPECT_EQ(o->active, 1u);
    online_unsubscribe(o, peer(9, 90));
    EXPECT_EQ(o->active, 0u);
    for (uint64_t uid = 1; uid <= 70000; uid++)
        ASSERT_EQ(online_subscribe(o, uid, peer(uid, uid)), 0);
    EXPECT_EQ(o->active, 70000u);
    EXPECT_EQ(o->subscribers.size(), 70000u);
    online_free(o);
}

// With nobody subscribed a cycle builds nothing, whatever the collector holds.
TEST(OnlineSubscriptions, CycleWithoutSubscribersBuildsNothing) {
    odb *o = online_create();
    EXPECT_FALSE(online_cycle(o, 5000));
    EXPECT_EQ(o->cycles.load(), 0u);
    online_free(o);
}

class OnlineStatusTest : public CollectorTest {};

// 70,000 root calls begun in the same second, all still open, one of them with an exception
// call: the age entry shows 65,535 open roots rather than the count's low 16 bits.
TEST_F(OnlineStatusTest, OpenRootsOfOneSecondSaturateAt65535) {
    const uint64_t aid = add_agent("busy");
    const uint64_t begun = utc_time(9, 0, 0);
    AgentData d;
    d.sym(AREC_SYM_CLASS, 5, "C").sym(AREC_SYM_METHOD, 6, "m");
    d.call(Call{CALL_F_EXC, uint64_t{1} << 44 | begun, 5, 6, 0, 0, begun, 0, 0, be(5, 4)});
    for (uint64_t k = 2; k <= 70000; k++)
        d.call(Call{0, k << 44 | (begun + k % 1000), 5, 6, 0, 0, begun, 0, 0, ""});
    start();
    send(aid, d.message());
    drain();
    bbuf *buf = nullptr;
    collector_dump_status(begun + 2999, &buf, col_);
    ASSERT_NE(buf, nullptr);
    const std::string got(reinterpret_cast<const char *>(bbuf_data(buf)), bbuf_position(buf));
    free(buf);
    // Two seconds old: bucket 3, one exception root, 65,535 open roots.
    EXPECT_EQ(got, be(aid, 8) + std::string(32, '\0') + unhex("0001 0003 0001 FFFF"));
    EXPECT_EQ(collector_status_rec_size(reinterpret_cast<const uint8_t *>(got.data()),
                                        got.size()),
              got.size());
    EXPECT_EQ(collector_status_rec_size(reinterpret_cast<const uint8_t *>(got.data()),
                                        got.size() - 1),
              0u);
}

} // namespace
