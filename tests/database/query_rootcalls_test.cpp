#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "database/query_reply.h"
#include "database/query_rootcalls.h"
#include "database/store/rcall_support.h"
#include "database/store/stored_rcall.h"
#include "database/store/symbols.h"
#include "database/store/walk.h"
#include "lib/log.h"
#include "server/reply.h"
#include "tests/lib/log_capture.h"

namespace {

constexpr uint64_t kRid = 0x1122334455667788;
constexpr uint64_t kAgentB = kAgent + 1;
const uint64_t kHour = at_time(0, 10, 0, 0);

// ---- request bytes ----

std::string be(uint64_t v, int bytes) {
    std::string s;
    for (int i = bytes - 1; i >= 0; i--)
        s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
}
std::string be16(uint64_t v) {
    return be(v, 2);
}
std::string be32(uint64_t v) {
    return be(v, 4);
}

std::string head(uint32_t flags, uint32_t min_dur = 0, uint32_t max_dur = 0,
                 uint32_t max_records = 0) {
    return be32(flags) + be32(min_dur) + be32(max_dur) + be32(max_records);
}

std::string pat(uint16_t kind, const std::string &text) {
    return be16(kind) + be16(text.size()) + text;
}

struct agent_range {
    uint64_t id, from, to;
};

std::string agents(const std::vector<agent_range> &list) {
    std::string s = be16(list.size());
    for (const agent_range &a : list)
        s += be(a.id, 8) + be(a.from, 8) + be(a.to, 8);
    return s;
}

std::string both_agents() {
    return agents({{kAgent, 0, UINT64_MAX}, {kAgentB, 0, UINT64_MAX}});
}

// ---- the reply ----

struct reply {
    bool present = false;
    uint64_t rid = 0, qid = 0;
    uint16_t status = 0;
    std::string data;
};

reply run_query(const std::string &request) {
    msg *m = dbq_root_calls(nullptr, kRid, DBQ_ROOT_CALLS,
                            reinterpret_cast<const uint8_t *>(request.data()),
                            static_cast<uint32_t>(request.size()));
    reply r;
    if (m == nullptr)
        return r;
    const std::string bytes(reinterpret_cast<const char *>(m), msg_size(m));
    free(m);
    EXPECT_EQ(bytes[0], MSG_RESPONSE);
    EXPECT_EQ(bytes.substr(1, 4), be32(bytes.size() - 5));
    auto get = [&](size_t at, int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; i++)
            v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
        return v;
    };
    r.present = true;
    r.rid = get(5, 8);
    r.qid = get(13, 8);
    r.status = static_cast<uint16_t>(get(21, 2));
    r.data = bytes.substr(23);
    return r;
}

// ---- the fixture store ----

// A stored root call as the record of a reply shows it: what the walk hands out for it.
struct stored_root {
    uint64_t agent;
    rcall_key key;
    uint16_t count;
    uint32_t thread;
    uint16_t exceptions;
    call_record root; // host order
    std::string entry;
};

int note_root(void *ctx, rcall_key key, uint16_t count, const rcall *rc, const uint8_t *entry,
              uint16_t length) {
    auto *out = static_cast<std::vector<stored_root> *>(ctx);
    out->push_back({0, key, count, rc->thread, rc->exceptions, *rc->root,
                    entry ? std::string(reinterpret_cast<const char *>(entry), length) : ""});
    return 0;
}

std::string record_bytes(const stored_root &s, bool with_entry) {
    call_record root = s.root;
    call_record_swap(&root);
    const std::string entry = with_entry ? s.entry : "";
    return be(s.agent, 8) + be(s.key, 8) + be16(s.count) + be32(s.thread) + be16(s.exceptions) +
           be16(s.count) + std::string(reinterpret_cast<const char *>(&root), sizeof root) +
           be16(entry.size()) + entry;
}

// Two agents' root calls in hour 10 of day 0, named a1..a5 and b1, b2 by their order:
//
//   root  ms    class   method  DUR       exc  root entry             entries of other calls
//   a1    1000  Main    run     100       0    -                      -
//   a2    2000  Worker  handle  500       1    user=alice, role=admin -
//   a3    3000  Thing   get     1000      0    -                      call 1: sql=select 1
//   a4    4000  Main    handle  50        2    user=bob               call 0: sql=update
//   a5    5000  Worker  run     0xFFFFFF  0    text "boom" only       -
//   b1    3004  Main    run     10        0    -                      -
//   b2    3008  Main    run     10        0    -                      -
class RootCallsQuery : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(storage_create_db(), 0);
        dbs *db = dbs_open();
        ASSERT_NE(db, nullptr);
        for (const char *name :
             {"java.lang.Object", "org.app.Main", "org.app.Worker", "com.other.Thing"})
            cls_[name] = dbs_symbol_store(db, SYM_CLASS, static_cast<uint16_t>(strlen(name)), name);
        for (const char *name : {"get", "handle", "run"})
            mth_[name] =
                dbs_symbol_store(db, SYM_METHOD, static_cast<uint16_t>(strlen(name)), name);
        dbs_close(db);
        ASSERT_NE(cls_["org.app.Worker"], mth_["run"]) << "ids must not pass for each other";
        for (uint64_t id : {kAgent, kAgentB})
            ASSERT_EQ(sys_mkdirs((agent_dir(id) + "/mc").c_str()), 0);

        store(a_, 1000, "org.app.Main", "run", 100, 0, "");
        store(a_, 2000, "org.app.Worker", "handle", 500, 1,
              kv_data("user\x1e"
                      "alice\x1erole\x1e"
                      "admin"));
        store(a_, 3000, "com.other.Thing", "get", 1000, 0, "", 1, kv_data("sql\x1eselect 1"));
        store(a_, 4000, "org.app.Main", "handle", 50, 2,
              kv_data("user\x1e"
                      "bob"),
              0, kv_data("sql\x1eupdate"));
        store(a_, 5000, "org.app.Worker", "run", 0xFFFFFF, 0, be16(4) + "boom", -1, "",
              CALL_F_EXC_TEXT);
        store(b_, 3004, "org.app.Main", "run", 10, 0, "");
        store(b_, 3008, "org.app.Main", "run", 10, 0, "");
        learn_roots(kAgent, "a");
        learn_roots(kAgentB, "b");
    }

    // A root call of two calls at kHour + ms; `call_entry` goes to call `call_index` when
    // that is not negative. The root's entry is a key/value list unless `root_flag` says
    // otherwise.
    void store(test_agent &agent, uint64_t ms, const char *cls, const char *method, uint32_t dur,
               uint16_t exceptions, const std::string &root_entry, int call_index = -1,
               const std::string &call_entry = "", uint16_t root_flag = CALL_F_PARAMS) {
        const uint64_t t = kHour + ms;
        std::vector<call_record> calls = {rec(t - 2, 1, 1), rec(t - 1, 2, 2),
                                          rec(t, 0, 0, CALL_F_ROOT, cls_[cls], mth_[method], dur)};
        std::vector<test_entry> entries;
        if (call_index >= 0) {
            calls[call_index].flags |= CALL_F_PARAMS;
            entries.push_back({static_cast<uint16_t>(call_index), call_entry});
        }
        if (!root_entry.empty()) {
            calls[2].flags |= root_flag;
            entries.push_back({2, root_entry});
        }
        ASSERT_EQ(save_rcall(&agent.a, calls, entries, static_cast<uint32_t>(ms), exceptions), 0);
    }

    // Names the agent's stored root calls by prefix and position, as the walk sees them.
    void learn_roots(uint64_t agent, const std::string &prefix) {
        std::vector<stored_root> found;
        const uint64_t range[2] = {0, UINT64_MAX};
        dbs_rcall_foreach(agent, range, &found, note_root, true);
        for (size_t i = 0; i < found.size(); i++) {
            found[i].agent = agent;
            roots_[prefix + std::to_string(i + 1)] = found[i];
        }
    }

    // The reply data expected for records named like "a2" (L = 0) or "a2+" (with its entry).
    std::string expected(const std::vector<std::string> &names) {
        std::string data;
        for (const std::string &n : names) {
            const bool with_entry = n.back() == '+';
            const std::string name = with_entry ? n.substr(0, n.size() - 1) : n;
            EXPECT_TRUE(roots_.count(name)) << name;
            data += record_bytes(roots_[name], with_entry);
        }
        return data;
    }

    test_agent a_{kAgent}, b_{kAgentB};
    std::map<std::string, uint32_t> cls_, mth_;
    std::map<std::string, stored_root> roots_;
};

const std::vector<std::string> kAll = {"a1", "a2", "a3", "a4", "a5", "b1", "b2"};

TEST_F(RootCallsQuery, RequestsAgainstTheFixtureStore) {
    const uint32_t worker = cls_["org.app.Worker"], thing = cls_["com.other.Thing"];
    const uint32_t run = mth_["run"];
    const std::string long_text(257, 'x');
    const struct {
        const char *name;
        std::string request;
        std::vector<std::string> records; // empty with `refused`
        const char *log = "";             // expected in the log (level 2)
        bool refused = false;
    } cases[] = {
        // Filters on the root.
        {"no filters: maximum 0 takes every duration", head(0) + both_agents(), kAll},
        {"root entries",
         head(RC_F_ROOT_ENTRY) + both_agents(),
         {"a1", "a2+", "a3", "a4+", "a5+", "b1", "b2"}},
        {"duration bounds are inclusive", head(0, 500, 1000) + both_agents(), {"a2", "a3"}},
        {"minimum at the largest duration", head(0, 0xFFFFFF) + both_agents(), {"a5"}},
        {"class id", head(RC_F_CLASS_ID) + be32(worker) + both_agents(), {"a2", "a5"}},
        {"method id", head(RC_F_METHOD_ID) + be32(run) + both_agents(), {"a1", "a5", "b1", "b2"}},
        {"class and method id",
         head(RC_F_CLASS_ID | RC_F_METHOD_ID) + be32(worker) + be32(run) + both_agents(),
         {"a5"}},
        {"class id 0 tests nothing", head(RC_F_CLASS_ID) + be32(0) + both_agents(), kAll},
        {"exceptions only, its u32 unused",
         head(RC_F_EXCEPTIONS) + be32(77) + both_agents(),
         {"a2", "a4"}},
        {"unknown flag bits are ignored", head(0x100 | 0x400 | 0x80000000) + both_agents(), kAll},
        // Name patterns, evaluated on the symbols.
        {"class pattern, substring",
         head(RC_F_CLASS_PATTERN) + pat(1, "app") + both_agents(),
         {"a1", "a2", "a4", "a5", "b1", "b2"}},
        {"class pattern, exact",
         head(RC_F_CLASS_PATTERN) + pat(2, "org.app.Main") + both_agents(),
         {"a1", "a4", "b1", "b2"}},
        {"class pattern, expression",
         head(RC_F_CLASS_PATTERN) + pat(3, "^com\\.") + both_agents(),
         {"a3"}},
        {"class pattern matching no class",
         head(RC_F_CLASS_PATTERN) + pat(2, "org.app") + both_agents(),
         {}},
        {"method pattern",
         head(RC_F_METHOD_PATTERN) + pat(2, "handle") + both_agents(),
         {"a2", "a4"}},
        {"class and method patterns",
         head(RC_F_CLASS_PATTERN | RC_F_METHOD_PATTERN) + pat(1, "Worker") + pat(3, "^r") +
             both_agents(),
         {"a5"}},
        // Key/value patterns on the root's own entry.
        {"key pattern", head(RC_F_KEY_PATTERN) + pat(2, "user") + both_agents(), {"a2+", "a4+"}},
        {"value pattern", head(RC_F_VALUE_PATTERN) + pat(1, "ali") + both_agents(), {"a2+"}},
        {"key and value of one pair",
         head(RC_F_KEY_PATTERN | RC_F_VALUE_PATTERN) + pat(2, "role") + pat(2, "admin") +
             both_agents(),
         {"a2+"},
         "DEBUG  KEY=role |||||||| VAL=admin\n"},
        {"key and value of different pairs",
         head(RC_F_KEY_PATTERN | RC_F_VALUE_PATTERN) + pat(2, "user") + pat(2, "admin") +
             both_agents(),
         {}},
        {"key pattern against a text-only entry",
         head(RC_F_KEY_PATTERN) + pat(1, "boom") + both_agents(),
         {}},
        // Key/value patterns on any call.
        {"any call, key",
         head(RC_F_ALL_CALLS | RC_F_KEY_PATTERN) + pat(2, "sql") + both_agents(),
         {"a3", "a4+"}},
        {"any call, value",
         head(RC_F_ALL_CALLS | RC_F_VALUE_PATTERN) + pat(1, "update") + both_agents(),
         {"a4+"}},
        {"any call, a root outside the bounds after one without a match",
         head(RC_F_ALL_CALLS | RC_F_KEY_PATTERN, 0, 600) + pat(2, "sql") + both_agents(),
         {"a4+"}},
        {"any call, exceptions only",
         head(RC_F_ALL_CALLS | RC_F_EXCEPTIONS | RC_F_KEY_PATTERN) + be32(0) + pat(2, "sql") +
             both_agents(),
         {"a4+"}},
        {"any call, class id",
         head(RC_F_ALL_CALLS | RC_F_CLASS_ID | RC_F_KEY_PATTERN) + be32(thing) + pat(2, "sql") +
             both_agents(),
         {"a3"}},
        {"any call, the root's own entry matching",
         head(RC_F_ALL_CALLS | RC_F_KEY_PATTERN) + pat(2, "role") + both_agents(),
         {"a2+"}},
        {"flag 0x02 without a key/value pattern", head(RC_F_ALL_CALLS) + both_agents(), kAll},
        // Agents and ranges.
        {"agents in request order, each with its range",
         head(0) + agents({{kAgentB, 0, UINT64_MAX}, {kAgent, kHour + 2000, kHour + 3000}}),
         {"b1", "b2", "a2", "a3"}},
        {"agent without data", head(0) + agents({{kAgent + 5, 0, UINT64_MAX}}), {}},
        {"from 2000 with to 0 finds nothing", head(0) + agents({{kAgent, 2000, 0}}), {}},
        {"bytes after the last agent are ignored", head(0) + both_agents() + "junk", kAll},
        // The record limit and its time cut-off: the limit's own record and then only
        // records no later than it (times compared with their low 3 bits cleared).
        {"record limit",
         head(0, 0, 0, 2) + both_agents(),
         {"a1", "a2", "a3", "b1"},
         "DEBUG  Max number of records reached: 4 of 2\n"},
        {"record limit of 7 is not reached", head(0, 0, 0, 7) + both_agents(), kAll},
        // Refusals.
        {"15 bytes", head(0).substr(0, 15), {}, "ERROR  Invalid request!\n", true},
        {"class id flag without the id",
         head(RC_F_CLASS_ID),
         {},
         "ERROR  Invalid request!\n",
         true},
        {"no agent count", head(0), {}, "ERROR  Invalid request!\n", true},
        {"pattern head cut short",
         head(RC_F_CLASS_PATTERN) + be16(1),
         {},
         "ERROR  Invalid request!\n",
         true},
        {"pattern kind 0",
         head(RC_F_CLASS_PATTERN) + pat(0, "a") + both_agents(),
         {},
         "ERROR  Invalid request!\n",
         true},
        {"pattern kind 4",
         head(RC_F_KEY_PATTERN) + pat(4, "a") + both_agents(),
         {},
         "ERROR  Invalid request!\n",
         true},
        {"pattern of 257 bytes",
         head(RC_F_METHOD_PATTERN) + pat(1, long_text) + both_agents(),
         {},
         "ERROR  Invalid request!\n",
         true},
        {"pattern longer than the request",
         head(RC_F_CLASS_PATTERN) + be16(1) + be16(10) + "abc",
         {},
         "ERROR  Invalid request!\n",
         true},
        {"expression that does not compile",
         head(RC_F_VALUE_PATTERN) + pat(3, "(") + both_agents(),
         {},
         "ERROR  Invalid request!\n",
         true},
        {"no agents",
         head(0) + be16(0),
         {},
         "ERROR  No agents specified!\nERROR  Invalid request!\n",
         true},
        {"fewer agent entries than counted",
         head(0) + be16(2) + agents({{kAgent, 0, 1}}).substr(2),
         {},
         "ERROR  Invalid request!\n",
         true},
        {"from after to",
         head(0) + agents({{kAgent, 2000, 1000}}),
         {},
         "ERROR  Invalid time range!\nERROR  Invalid request!\n",
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        reply r = run_query(c.request);
        if (c.refused) {
            EXPECT_FALSE(r.present);
        } else {
            ASSERT_TRUE(r.present);
            EXPECT_EQ(r.rid, kRid);
            EXPECT_EQ(r.qid, DBQ_ROOT_CALLS);
            EXPECT_EQ(r.status, QRESP_OK);
            EXPECT_EQ(r.data, expected(c.records));
        }
        if (*c.log != '\0') {
            Logged log = run_logged([&] {
                log_level.store(2);
                run_query(c.request);
            });
            EXPECT_NE(log.lines.find(c.log), std::string::npos) << log.lines;
        }
    }
}

TEST_F(RootCallsQuery, RecordLimitCutsOffByTime) {
    // A second agent's root call at 3004 ms agrees with the last record at 3000 ms once the
    // low 3 bits are cleared; one at 3008 ms is later.
    reply r = run_query(head(0, 0, 0, 2) + agents({{kAgent, 0, UINT64_MAX},
                                                   {kAgentB, kHour + 3004, kHour + 3004},
                                                   {kAgentB, kHour + 3008, kHour + 3008}}));
    EXPECT_EQ(r.status, QRESP_OK);
    EXPECT_EQ(r.data, expected({"a1", "a2", "a3", "b1"}));
    Logged log = run_logged([&] {
        log_level.store(2);
        run_query(head(0, 0, 0, 2) + agents({{kAgent, 0, UINT64_MAX}}));
    });
    EXPECT_NE(log.lines.find("DEBUG  Max number of records reached: 3 of 2\n"), std::string::npos)
        << log.lines;
}

// Once nothing more can be added, the walk goes no further: the hour after the records,
// of either agent, is unreadable and would fail the request were it opened. A request that
// has not reached its limit does open it, and fails.
TEST_F(RootCallsQuery, ReachedLimitEndsTheWalkAcrossHoursAndAgents) {
    for (uint64_t id : {kAgent, kAgentB}) {
        char path[RCALL_PATH_MAX];
        rcall_path(path, id, static_cast<uint32_t>(kHour / DAY_MS), 11, "");
        ASSERT_EQ(sys_mkdirs(path), 0);
    }
    const uint64_t hour_end = kHour + HOUR_MS - 1;
    const std::string one_room = expected({"a1", "a2+"});
    const struct {
        const char *name;
        std::string request;
        uint64_t room; // reply data bytes a message carries; 0: no smaller limit
        uint16_t status;
        std::vector<std::string> records; // empty with `refused`
        bool refused = false;
    } cases[] = {
        {"limit within the first agent's hour",
         head(0, 0, 0, 2) + agents({{kAgent, 0, UINT64_MAX}}),
         0,
         QRESP_OK,
         {"a1", "a2", "a3"}},
        {"next agent's root calls up to the last record",
         head(0, 0, 0, 2) + agents({{kAgent, kHour, hour_end}, {kAgentB, 0, UINT64_MAX}}),
         0,
         QRESP_OK,
         {"a1", "a2", "a3", "b1"}},
        {"next agent's range after the last record",
         head(0, 0, 0, 2) +
             agents({{kAgent, kHour, hour_end}, {kAgentB, hour_end + 1, UINT64_MAX}}),
         0,
         QRESP_OK,
         {"a1", "a2", "a3"}},
        {"limit of the search in all calls",
         head(RC_F_ALL_CALLS | RC_F_KEY_PATTERN, 0, 0, 1) + pat(1, "s") + both_agents(),
         0,
         QRESP_OK,
         {"a2+", "a3"}},
        {"reply cut at the message limit",
         head(RC_F_ROOT_ENTRY) + both_agents(),
         one_room.size(),
         QRESP_PARTIAL,
         {"a1", "a2+"}},
        {"limit not reached", head(0, 0, 0, 7) + both_agents(), 0, QRESP_OK, {}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<MessageLimit> limit;
        if (c.room != 0)
            limit = std::make_unique<MessageLimit>(limit_for_data(c.room));
        reply r = run_query(c.request);
        EXPECT_EQ(r.present, !c.refused);
        if (!r.present)
            continue;
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.data, expected(c.records));
    }
}

// The limit counts whole records with their entries; under a smaller message limit the
// reply keeps those that fit and nothing after the first that does not.
TEST_F(RootCallsQuery, ReplyIsCutAtWholeRecords) {
    const std::string two = expected({"a1", "a2+"});
    for (uint64_t room : {two.size(), two.size() + expected({"a3"}).size() - 1}) {
        MessageLimit limit(limit_for_data(room));
        reply r = run_query(head(RC_F_ROOT_ENTRY) + both_agents());
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_EQ(r.data, two);
    }
}

TEST_F(RootCallsQuery, UnreadableSymbolFileRefusesNamePatterns) {
    ASSERT_EQ(unlink(symbols_path(SYM_CLASS)), 0);
    EXPECT_FALSE(run_query(head(RC_F_CLASS_PATTERN) + pat(1, "a") + both_agents()).present);
    reply r = run_query(head(RC_F_METHOD_PATTERN) + pat(2, "get") + both_agents());
    EXPECT_EQ(r.data, expected({"a3"})) << "the method file is still readable";
}

// One root call with every field chosen, its reply written out by hand.
TEST_F(StoreTest, RootCallsReplyBytes) {
    test_agent agent;
    const uint64_t t = at_time(0, 10, 0, 1);
    call_record root = rec(t, 0, 0, CALL_F_ROOT | CALL_F_PARAMS, 0x21, 0x22, 0x30);
    ASSERT_EQ(save_rcall(&agent.a, {rec(t - 5, 1, 1), root}, {{1, kv_data("k\x1ev")}}, 0x0A0B0C0D),
              0);
    reply r = run_query(head(RC_F_ROOT_ENTRY) + agents({{kAgent, t, t}}));
    ASSERT_TRUE(r.present);
    const std::string expected_hex = "00C0FFEE12345678" // agent id
                                     "4D47500000000000" // key: day 19783, hour 10, offset 0
                                     "0001"
                                     "0A0B0C0D"
                                     "0000"
                                     "0001" // N, thread, exceptions, N
                                     "0000018DF974D8E8"
                                     "0000000000000000"
                                     "0009A8EA" // TSTAMP, locator, file id
                                     "00000021"
                                     "00000022"
                                     "00000000" // class, method, exception
                                     "00000000"
                                     "00000000"
                                     "00000030" // order, aux, duration
                                     "0000"
                                     "0003" // depth, flags
                                     "0005"
                                     "00036B1E76"; // L, the entry
    std::string hex;
    for (unsigned char ch : r.data) {
        char b[3];
        snprintf(b, sizeof b, "%02X", ch);
        hex += b;
    }
    EXPECT_EQ(r.status, QRESP_OK);
    EXPECT_EQ(hex, expected_hex);
}

TEST_F(StoreTest, RootCallsReplyStopsAtWhatOneMessageCarries) {
    // 300 root calls whose root entries take 65535 bytes each; the 256th record would pass
    // the size of one reply. A small record of a later hour must not follow the cut either.
    test_agent agent;
    const std::string entry = kv_data("k\x1e" + std::string(65531, 'v'));
    ASSERT_EQ(entry.size(), 65535u);
    for (uint64_t i = 0; i < 300; i++)
        ASSERT_EQ(
            save_rcall(&agent.a, {rec(kHour + i, 0, 0, CALL_F_ROOT | CALL_F_PARAMS)}, {{0, entry}}),
            0);
    ASSERT_EQ(save_rcall(&agent.a, {rec(kHour + HOUR_MS, 0, 0, CALL_F_ROOT)}), 0);
    Logged log = run_logged([&] {
        reply r = run_query(head(RC_F_ROOT_ENTRY) + agents({{kAgent, 0, UINT64_MAX}}));
        printf("%u %zu", r.status, r.data.size());
    });
    const size_t record = RC_RECORD_SIZE + 65535;
    EXPECT_EQ(log.out, "4 " + std::to_string(255 * record));
    EXPECT_LE(255 * record, QRESP_MAX_DATA);
    EXPECT_GT(256 * record, QRESP_MAX_DATA);
    EXPECT_NE(log.lines.find("WARN   Payload limit reached.\n"), std::string::npos);
}

} // namespace
