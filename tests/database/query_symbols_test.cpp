// SYMBOLS and KV METRICS run in-process on a store of the test's own making.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "database/agent_wire.h"
#include "database/query_reply.h"
#include "database/query_symbols.h"
#include "database/store/dbs.h"
#include "database/store/kv.h"
#include "database/store/store_dir.h"
#include "database/store/symbols.h"
#include "lib/files.h"
#include "lib/log.h"
#include "tests/lib/log_capture.h"

namespace {

constexpr uint64_t kAgentA = 0x00000000000000A1;
constexpr uint64_t kAgentB = 0x00000000000000B2;
// 2024-03-01 00:00:00 UTC.
constexpr uint32_t kDay = 19783;
constexpr uint64_t kT0 = kDay * DAY_MS;
const std::string kKey = "jvm\x1Fheap\x1Fused";

// A store with a few symbols of every type, opened for the queries.
class StoreQuery : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(storage_create_db(), 0);
        db_ = dbs_open();
        ASSERT_NE(db_, nullptr);
        for (const char *name :
             {"org.app.Main", "com.other.Thing", "org.app.Worker", "java.lang.Object"})
            ids_[name] = store(SYM_CLASS, name);
        for (const char *name : {"run", "get"})
            ids_[name] = store(SYM_METHOD, name);
        ids_["main"] = store(SYM_THREAD, "main");
        ids_[kKey] = store(SYM_KEY, kKey);
        ids_["abc"] = store(SYM_KEY, "abc");
        stop_maintainer(db_); // the lines of requests are read in forked children
    }
    void TearDown() override {
        dbs_close(db_);
        StoreDir::TearDown();
    }
    uint32_t store(uint32_t type, const std::string &name) {
        return dbs_symbol_store(db_, type, static_cast<uint16_t>(name.size()), name.data());
    }

    QueryReply symbols(const std::string &request) {
        return run_body(dbq_symbols_run, db_, DBQ_SYMBOLS, request);
    }
    QueryReply kv(const std::string &request) {
        return run_body(dbq_kv_metrics_run, db_, DBQ_KV_METRICS, request);
    }
    // The lines a request logs at `level`.
    std::string logged(const std::function<void()> &fn, uint32_t level = 2) {
        return run_logged([&] {
                   log_level.store(level);
                   fn();
               })
            .lines;
    }

    // A SYMBOLS reply item of a stored name.
    std::string item(uint32_t type, const std::string &name) {
        return be(type, 1) + be(ids_.at(name), 4) + be(name.size(), 2) + name;
    }

    dbs *db_ = nullptr;
    std::map<std::string, uint32_t> ids_;
};

// ---- SYMBOLS ---------------------------------------------------------------------------

std::string by_pattern(uint8_t type, const std::string &expression) {
    return be(SYMQ_BY_PATTERN, 1) + be(type, 1) + be(expression.size(), 2) + expression;
}

std::string by_ids(const std::vector<std::pair<uint8_t, uint32_t>> &pairs) {
    std::string s = be(SYMQ_BY_IDS, 1) + be(pairs.size(), 2);
    for (const auto &[type, id] : pairs)
        s += be(type, 1) + be(id, 4);
    return s;
}

TEST_F(StoreQuery, SymbolsRequests) {
    const uint32_t main_id = ids_["org.app.Main"], thing = ids_["com.other.Thing"];
    const struct {
        const char *name;
        std::string request;
        std::string data;
        bool refused = false;
        std::string log = ""; // expected among the lines at log level 2
    } cases[] = {
        {"classes whose names begin with the text, in id order", by_pattern(SYM_CLASS, "^org\\."),
         item(SYM_CLASS, "org.app.Main") + item(SYM_CLASS, "org.app.Worker"), false,
         "DEBUG  Searching for symbols by pattern of type 2\n"},
        {"names that do not match are logged", by_pattern(SYM_CLASS, "Thing$"),
         item(SYM_CLASS, "com.other.Thing"), false, "DEBUG  Symbol unmatched: java.lang.Object\n"},
        {"methods", by_pattern(SYM_METHOD, "."), item(SYM_METHOD, "run") + item(SYM_METHOD, "get")},
        {"threads", by_pattern(SYM_THREAD, "^main$"), item(SYM_THREAD, "main")},
        {"key names keep their separators", by_pattern(SYM_KEY, "heap"), item(SYM_KEY, kKey)},
        {"no match", by_pattern(SYM_CLASS, "^none"), ""},
        {"bytes after the expression are ignored", by_pattern(SYM_THREAD, "ai") + "junk",
         item(SYM_THREAD, "main")},
        {"2048-byte expression", by_pattern(SYM_CLASS, std::string(2048, 'x')), ""},
        {"pairs in request order, an unknown id left out",
         by_ids({{SYM_CLASS, thing}, {SYM_CLASS, 999999}, {SYM_CLASS, main_id}}),
         item(SYM_CLASS, "com.other.Thing") + item(SYM_CLASS, "org.app.Main"), false,
         "DEBUG  Searching for symbols by ids of size 3\nWARN   Symbol [999999] not found!\n"},
        {"pairs of several types",
         by_ids({{SYM_KEY, ids_["abc"]}, {SYM_THREAD, ids_["main"]}}) + "junk",
         item(SYM_KEY, "abc") + item(SYM_THREAD, "main")},
        // Refusals.
        {"2 bytes", std::string("\x02\x00", 2), "", true, "ERROR  Invalid request!\n"},
        {"pattern mode of 3 bytes", std::string("\x01\x02\x00", 3), "", true,
         "ERROR  Invalid request!\n"},
        {"expression shorter than announced", by_pattern(SYM_CLASS, "abcde").substr(0, 8), "", true,
         "ERROR  Invalid request!\n"},
        {"type 0", by_pattern(0, "a"), "", true, "FATAL  Invalid symbol type: 0\n"},
        {"type 5", by_pattern(5, "a"), "", true},
        {"type 9", by_pattern(9, "a"), "", true},
        {"unbalanced parenthesis", by_pattern(SYM_CLASS, "(org"), "", true,
         "ERROR  Pattern failure: (org : Unmatched ( or \\(.\nERROR  Invalid request!\n"},
        {"interval over the bound", by_pattern(SYM_CLASS, "a{1,32767}"), "", true,
         "ERROR  Invalid request!\n"},
        {"2049-byte expression", by_pattern(SYM_CLASS, std::string(2049, 'x')), "", true,
         "ERROR  Invalid request!\n"},
        {"no pairs", by_ids({}), "", true, "ERROR  Invalid request!\n"},
        {"fewer pairs than counted", by_ids({{SYM_CLASS, 1}, {SYM_CLASS, 2}}).substr(0, 12), "",
         true, "ERROR  Invalid request!\n"},
        {"a pair of type 9", by_ids({{SYM_CLASS, main_id}, {9, 1}}), "", true},
        {"mode 3", by_pattern(SYM_CLASS, "a").replace(0, 1, "\x03"), "", true,
         "ERROR  Invalid request!\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QueryReply r = symbols(c.request);
        EXPECT_EQ(r.present, !c.refused);
        if (!c.refused) {
            EXPECT_EQ(r.status, QRESP_OK);
            EXPECT_EQ(r.data, c.data);
        }
        if (!c.log.empty()) {
            const std::string lines = logged([&] { symbols(c.request); });
            EXPECT_NE(lines.find(c.log), std::string::npos) << lines;
        }
    }
}

TEST_F(StoreQuery, SymbolsFromAnUnreadableFileAreRefused) {
    ASSERT_EQ(unlink(symbols_path(SYM_METHOD)), 0);
    EXPECT_FALSE(symbols(by_pattern(SYM_METHOD, "run")).present);
    EXPECT_TRUE(symbols(by_ids({{SYM_METHOD, ids_["run"]}})).present) << "the map still serves";
    NoFreeDescriptors none;
    EXPECT_FALSE(symbols(by_pattern(SYM_CLASS, "a")).present);
}

// Under a smaller message limit the reply keeps the items that fit whole, status 4.
TEST_F(StoreQuery, SymbolsReplyIsCutAtWholeItems) {
    const std::string two = item(SYM_CLASS, "org.app.Main") + item(SYM_CLASS, "com.other.Thing");
    for (uint64_t room : {two.size(), two.size() + item(SYM_CLASS, "org.app.Worker").size() - 1}) {
        MessageLimit limit(limit_for_data(room));
        for (const std::string &request :
             {by_pattern(SYM_CLASS, "."), by_ids({{SYM_CLASS, ids_["org.app.Main"]},
                                                  {SYM_CLASS, ids_["com.other.Thing"]},
                                                  {SYM_CLASS, ids_["org.app.Worker"]}})}) {
            const QueryReply r = symbols(request);
            EXPECT_EQ(r.status, QRESP_PARTIAL);
            EXPECT_EQ(r.data, two);
        }
    }
    const std::string lines = logged(
        [&] {
            MessageLimit limit(limit_for_data(two.size()));
            symbols(by_pattern(SYM_CLASS, "."));
        },
        1);
    EXPECT_EQ(lines, "WARN   Payload limit reached.\n");
}

// ---- KV METRICS ------------------------------------------------------------------------

std::string day_path(uint64_t aid, uint32_t day, uint32_t key) {
    return agent_dir(aid) + "/kv/" + std::to_string(day) + "." + std::to_string(key);
}

// n samples of a day: times from the day's start a second apart, values from `seed`.
std::string samples(uint32_t day, size_t n, uint64_t seed = 0) {
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += be(uint64_t{day} * DAY_MS + i * 1000, 8) + be(seed + i, 8);
    return s;
}

std::string kv_request(uint64_t from, uint64_t to, const std::string &name,
                       const std::vector<uint64_t> &agents) {
    std::string s = be(from, 8) + be(to, 8) + be(name.size(), 2) + name;
    for (uint64_t a : agents)
        s += be(a, 8);
    return s;
}

std::string kv_item(uint64_t agent, const std::string &bytes) {
    return be(agent, 8) + be(bytes.size(), 8) + bytes;
}

class KvMetricsQuery : public StoreQuery {
protected:
    void SetUp() override {
        StoreQuery::SetUp();
        for (uint64_t a : {kAgentA, kAgentB})
            ASSERT_EQ(sys_mkdirs((agent_dir(a) + "/kv").c_str()), 0);
        key_ = ids_[kKey];
    }
    void day(uint64_t agent, uint32_t d, const std::string &bytes) {
        write_file(day_path(agent, d, key_), bytes);
    }
    QueryReply over(uint64_t from, uint64_t to, const std::vector<uint64_t> &agents) {
        return kv(kv_request(from, to, kKey, agents));
    }
    uint32_t key_ = 0;
};

TEST_F(KvMetricsQuery, Requests) {
    // Days 0 and 2 of the range have files, day 1 has none; another key's file is not read.
    const std::string a0 = samples(kDay, 3, 100), a2 = samples(kDay + 2, 2, 200);
    const std::string b0 = samples(kDay, 1, 300);
    day(kAgentA, kDay, a0);
    day(kAgentA, kDay + 2, a2);
    day(kAgentB, kDay, b0);
    write_file(day_path(kAgentA, kDay + 1, ids_["abc"]), samples(kDay + 1, 4));
    const uint64_t last = kT0 + 3 * DAY_MS - 1;
    std::string zero_ended = kKey + std::string("\0junk", 5);
    const struct {
        const char *name;
        std::string request;
        uint16_t status; // 0: refused
        std::string data;
        std::string log = "";
    } cases[] = {
        {"three days, the middle one without a file", kv_request(kT0, last, kKey, {kAgentA}),
         QRESP_OK, kv_item(kAgentA, a0) + kv_item(kAgentA, a2),
         "DEBUG  Key decoded [jvm\x1Fheap\x1Fused]\n"},
        {"agents in request order, each day file whole",
         kv_request(kT0 + 2 * DAY_MS + 5, last, kKey, {kAgentB, kAgentA, kAgentB}), QRESP_OK,
         kv_item(kAgentA, a2)},
        {"agents in request order over every day",
         kv_request(kT0 + 500, last, kKey, {kAgentB, kAgentA}), QRESP_OK,
         kv_item(kAgentB, b0) + kv_item(kAgentA, a0) + kv_item(kAgentA, a2)},
        {"the name ends at its first zero byte", kv_request(kT0, kT0, zero_ended, {kAgentB}),
         QRESP_OK, kv_item(kAgentB, b0)},
        {"an agent without files", kv_request(kT0, last, kKey, {0x77}), QRESP_OK, ""},
        {"a key with L = 3 and one agent (29 bytes)", kv_request(kT0, kT0, "abc", {kAgentA}),
         QRESP_OK, ""},
        {"65535 agents", kv_request(kT0, kT0, "abc", std::vector<uint64_t>(65535, 5)), QRESP_OK,
         ""},
        {"a key that is not stored", kv_request(kT0, last, "cpu", {kAgentA}), QRESP_NOT_FOUND, "",
         "WARN   Unable to find KV key [cpu].\n"},
        {"an unknown key shown safely in the log",
         kv_request(kT0, kT0, "bad\x01\x1B" + std::string(300, 'k'), {kAgentA}), QRESP_NOT_FOUND,
         "", "WARN   Unable to find KV key [bad\\x01\\x1B" + std::string(241, 'k') + "...].\n"},
        // A range that ends before it starts holds no day, not even the one both ends lie in;
        // a key that is not stored is still not found.
        {"from after to, within a day that has a file", kv_request(kT0 + 1, kT0, kKey, {kAgentA}),
         QRESP_OK, ""},
        {"from after to, days apart", kv_request(last, kT0, kKey, {kAgentA, kAgentB}), QRESP_OK,
         ""},
        {"from after to with a key that is not stored", kv_request(kT0 + 1, kT0, "cpu", {kAgentA}),
         QRESP_NOT_FOUND, "", "WARN   Unable to find KV key [cpu].\n"},
        // Refusals: silent for the lengths, logged for the rest.
        {"17 bytes", kv_request(kT0, kT0, "", {}).substr(0, 17), 0, ""},
        {"no agent (21 bytes)", kv_request(kT0, kT0, "abc", {}), 0, ""},
        {"the name runs to the end", kv_request(kT0, kT0, "abc", {}) + "x", 0, ""},
        {"ragged agents (30 bytes)", kv_request(kT0, kT0, "abc", {kAgentA}) + "x", 0, "",
         "DEBUG  Key decoded [abc]\n"},
        {"65536 agents", kv_request(kT0, kT0, "abc", std::vector<uint64_t>(65536, 5)), 0, "",
         "ERROR  Too many agents: 65536, at most 65535.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QueryReply r = kv(c.request);
        EXPECT_EQ(r.present, c.status != 0);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.data, c.data);
        if (!c.log.empty()) {
            const std::string lines = logged([&] { kv(c.request); });
            EXPECT_NE(lines.find(c.log), std::string::npos) << lines;
        }
    }
    // Lengths that are refused before the name is read log nothing.
    EXPECT_EQ(logged([&] { kv(kv_request(kT0, kT0, "abc", {})); }), "");
}

// A cut ends the walk of its agent only: a later agent's day that fits still joins, until
// no sample would.
TEST_F(KvMetricsQuery, CutAtWholeDaysEndsOnlyThatAgent) {
    const std::string a0 = samples(kDay, 100), a1 = samples(kDay + 1, 20);
    const std::string b0 = samples(kDay, 10), b1 = samples(kDay + 1, 1);
    day(kAgentA, kDay, a0);
    day(kAgentA, kDay + 1, a1);
    day(kAgentB, kDay, b0);
    day(kAgentB, kDay + 1, b1);
    const uint64_t to = kT0 + 2 * DAY_MS - 1;
    {
        // A's second day does not fit behind its first, B's first day does.
        MessageLimit limit(limit_for_data(kv_item(kAgentA, a0).size() + kv_item(0, b0).size() + 8));
        const QueryReply r = over(kT0, to, {kAgentA, kAgentB});
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_EQ(r.data, kv_item(kAgentA, a0) + kv_item(kAgentB, b0));
    }
    {
        // Once not even one sample fits, no further agent is walked.
        MessageLimit limit(limit_for_data(kv_item(kAgentA, a0).size() + 31));
        const QueryReply r = over(kT0, to, {kAgentA, kAgentB});
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_EQ(r.data, kv_item(kAgentA, a0));
    }
    const std::string lines = logged(
        [&] {
            MessageLimit limit(limit_for_data(kv_item(kAgentA, a0).size()));
            over(kT0, to, {kAgentA, kAgentB, kAgentA});
        },
        1);
    EXPECT_EQ(lines, "WARN   Payload limit reached.\n");
}

// After the cut a day file is opened but read only when its size fits the room left: a day
// file that cannot be read is no failure while it is too large to be sent.
TEST_F(KvMetricsQuery, AfterTheCutOnlyDaysThatFitAreRead) {
    const std::string a0 = samples(kDay, 20);
    day(kAgentA, kDay, a0);
    day(kAgentA, kDay + 1, a0);
    ASSERT_EQ(mkdir(day_path(kAgentB, kDay, key_).c_str(), 0700), 0);
    struct stat st;
    ASSERT_EQ(stat(day_path(kAgentB, kDay, key_).c_str(), &st), 0);
    ASSERT_GE(st.st_size, 32) << "the directory must look like two samples at least";
    {
        MessageLimit limit(limit_for_data(kv_item(kAgentA, a0).size() + 32));
        const QueryReply r = over(kT0, kT0 + DAY_MS, {kAgentA, kAgentB});
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_EQ(r.data, kv_item(kAgentA, a0));
    }
    // With room for it, it is read, which fails the request.
    EXPECT_FALSE(over(kT0, kT0, {kAgentA, kAgentB}).present);
}

// At the real limit: one reply carries 60 full days (276,480 bytes each) but not 61.
TEST_F(KvMetricsQuery, SixtyOfSixtyOneFullDaysFitOneReply) {
    for (uint32_t d = 0; d < 61; d++)
        day(kAgentA, kDay + d, std::string(KV_BULK_BYTES, static_cast<char>('A' + d % 26)));
    const QueryReply r = over(kT0, kT0 + 61 * DAY_MS - 1, {kAgentA});
    EXPECT_EQ(r.status, QRESP_PARTIAL);
    const size_t item = kv_item(kAgentA, std::string(KV_BULK_BYTES, 'A')).size();
    ASSERT_EQ(r.data.size(), 60 * item);
    for (uint32_t d = 0; d < 60; d++)
        EXPECT_EQ(r.data.substr(d * item, item),
                  kv_item(kAgentA, std::string(KV_BULK_BYTES, static_cast<char>('A' + d % 26))))
            << d;
    EXPECT_EQ(over(kT0, kT0 + 60 * DAY_MS - 1, {kAgentA}).status, QRESP_OK);
}

// A day file longer than one item carries is sent up to the bound, and the reply says it
// was cut.
TEST_F(KvMetricsQuery, LongerDayFileIsCutAndSaysSo) {
    const std::string big = samples(kDay, 300000 / 16 + 1).substr(0, 300000);
    day(kAgentA, kDay, big);
    day(kAgentB, kDay, samples(kDay, 2));
    const QueryReply r = over(kT0, kT0, {kAgentA, kAgentB});
    EXPECT_EQ(r.status, QRESP_PARTIAL);
    EXPECT_EQ(r.data,
              kv_item(kAgentA, big.substr(0, KV_BULK_BYTES)) + kv_item(kAgentB, samples(kDay, 2)));
    const std::string lines = logged([&] { over(kT0, kT0, {kAgentA}); }, 1);
    EXPECT_EQ(lines, "WARN   A KV day file of agent [00000000000000A1] holds more than 276480 "
                     "bytes; the rest is not sent.\n");
}

// A day file that is there but cannot be read fails the request rather than passing for a
// day without samples.
TEST_F(KvMetricsQuery, UnreadableDayFileIsAnError) {
    day(kAgentA, kDay, samples(kDay, 2));
    ASSERT_EQ(mkdir(day_path(kAgentA, kDay + 1, key_).c_str(), 0700), 0);
    EXPECT_FALSE(over(kT0, kT0 + DAY_MS, {kAgentA}).present);
    EXPECT_TRUE(over(kT0, kT0, {kAgentA}).present);
    NoFreeDescriptors none;
    EXPECT_FALSE(over(kT0, kT0, {kAgentA}).present);
}

} // namespace
