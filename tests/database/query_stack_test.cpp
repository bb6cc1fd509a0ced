// ROOT CALL EXECUTION STACK and EXTENSIONS run in-process on root calls stored by the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "database/agent_wire.h"
#include "database/query_reply.h"
#include "database/query_stack.h"
#include "database/store/rcall_support.h"
#include "database/store/stored_rcall.h"
#include "database/store/walk.h"
#include "lib/log.h"
#include "tests/lib/log_capture.h"

namespace {

constexpr uint64_t kAgentA = kAgent;
constexpr uint64_t kAgentB = kAgent + 0x100;
const uint64_t kHour = at_time(0, 10, 0, 0);

// A call as the walks hand it out, with its own entry.
struct seen_call {
    rcall_key key;
    uint16_t count;
    call_record call; // host order, locator absolute, file id set
    std::string entry;
};

int note_call(void *ctx, const rcall_ref *ref, const rcall *, const call_record *call,
              const uint8_t *entry, uint16_t length) {
    static_cast<std::vector<seen_call> *>(ctx)->push_back(
        {ref->key, ref->count, *call,
         entry ? std::string(reinterpret_cast<const char *>(entry), length) : ""});
    return 0;
}

std::string record_bytes(call_record c) {
    call_record_swap(&c);
    return std::string(reinterpret_cast<const char *>(&c), sizeof c);
}

// Agents A and B with root calls of 3 and 1 calls besides the root in hour 10, and B one
// more in hour 11; several calls carry key/value entries.
class StackQuery : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(storage_create_db(), 0);
        for (uint64_t id : {kAgentA, kAgentB})
            ASSERT_EQ(sys_mkdirs((agent_dir(id) + "/mc").c_str()), 0);
        store(a_, kHour + 1000, 3,
              {{0, kv_data("a0\x1e"
                           "x")},
               {2, kv_data("a2\x1e"
                           "yy")}});
        store(a_, kHour + 2000, 1, {});
        store(b_, kHour + 1500, 1,
              {{0, kv_data("b0\x1e"
                           "zzz")},
               {1, kv_data("broot\x1e"
                           "1")}});
        store(b_, kHour + HOUR_MS + 10, 2,
              {{1, kv_data("b11\x1e"
                           "w")}});
        for (uint64_t id : {kAgentA, kAgentB}) {
            const uint64_t range[2] = {0, UINT64_MAX};
            dbs_rcall_foreach_call(id, range, &calls_[id], note_call);
        }
    }

    // A root call at `t` of n calls besides the root, with entries by call index (n is the
    // root).
    void store(test_agent &agent, uint64_t t, uint16_t n, const std::vector<test_entry> &entries) {
        std::vector<call_record> calls;
        for (uint16_t i = 0; i < n; i++)
            calls.push_back(rec(t - n + i, i + 1u, static_cast<uint16_t>(i + 1), 0, 7, 8 + i, i));
        calls.push_back(rec(t, 0, 0, CALL_F_ROOT, 7, 3, 100));
        for (const test_entry &e : entries)
            calls[e.call_index].flags |= CALL_F_PARAMS;
        ASSERT_EQ(save_rcall(&agent.a, calls, entries), 0);
    }

    // The calls of an agent as walked: the root calls one after another, each root last.
    const seen_call &call(uint64_t agent, size_t i) { return calls_.at(agent).at(i); }

    QueryReply stack(const std::string &request) {
        return run_body(dbq_rcall_execution_stack_run, nullptr, DBQ_ROOT_CALL_EXECUTION_STACK,
                        request);
    }
    QueryReply extensions(const std::string &request) {
        return run_body(dbq_extensions_run, nullptr, DBQ_EXTENSIONS, request);
    }

    test_agent a_{kAgentA}, b_{kAgentB};
    std::map<uint64_t, std::vector<seen_call>> calls_;
};

std::string stack_request(uint64_t agent, rcall_key key, uint16_t n) {
    return be(agent, 8) + be(key, 8) + be(n, 2);
}

// ---- EXECUTION STACK -------------------------------------------------------------------

TEST_F(StackQuery, ExecutionStackRequests) {
    const rcall_key key3 = call(kAgentA, 0).key, key1 = call(kAgentA, 4).key;
    ASSERT_EQ(call(kAgentA, 0).count, 3u);
    ASSERT_EQ(call(kAgentA, 4).count, 1u);
    const std::string three = be(3, 2) + record_bytes(call(kAgentA, 0).call) +
                              record_bytes(call(kAgentA, 1).call) +
                              record_bytes(call(kAgentA, 2).call);
    const struct {
        const char *name;
        std::string request;
        std::string data; // empty: refused
        std::string log = "";
    } cases[] = {
        {"3 calls: the count, then the records", stack_request(kAgentA, key3, 3), three},
        {"bytes after 18 are ignored", stack_request(kAgentA, key3, 3) + "xyz", three},
        {"1 call", stack_request(kAgentA, key1, 1), be(1, 2) + record_bytes(call(kAgentA, 4).call)},
        {"17 bytes", stack_request(kAgentA, key3, 3).substr(0, 17), "",
         "ERROR  Invalid arguments!\n"},
        {"N = 0", stack_request(kAgentA, key3, 0), ""},
        {"N = 40001", stack_request(kAgentA, key3, 40001), "", "ERROR  Invalid number of calls.\n"},
        {"N other than stored", stack_request(kAgentA, key3, 2), "",
         "WARN   Invalid calls count: 2 != 3.\n"},
        {"an offset inside a record", stack_request(kAgentA, key3 + sizeof(RootCall), 3), "",
         "WARN   No RootCall record at offset 96.\n"},
        {"an offset past the file", stack_request(kAgentA, key1 + 100000, 1), ""},
        {"an agent without the file", stack_request(kAgentA + 7, key3, 3), ""},
        {"an hour without a file", stack_request(kAgentA, key3 + (uint64_t{1} << 43), 3), ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QueryReply r = stack(c.request);
        EXPECT_EQ(r.present, !c.data.empty());
        if (r.present) {
            EXPECT_EQ(r.status, QRESP_OK);
            EXPECT_EQ(r.data, c.data);
        }
        if (!c.log.empty()) {
            Logged l = run_logged([&] { stack(c.request); });
            EXPECT_NE(l.lines.find(c.log), std::string::npos) << l.lines;
        }
    }
    EXPECT_EQ(three.size(), 146u);
}

TEST_F(StackQuery, ExecutionStackIsCutAtWholeRecords) {
    const seen_call &first = call(kAgentA, 0);
    for (uint64_t room : {2 + 2 * sizeof(call_record), 2 + 3 * sizeof(call_record) - 1}) {
        MessageLimit limit(limit_for_data(room));
        const QueryReply r = stack(stack_request(kAgentA, first.key, 3));
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_EQ(r.data,
                  be(2, 2) + record_bytes(first.call) + record_bytes(call(kAgentA, 1).call));
    }
    MessageLimit none(limit_for_data(1));
    const QueryReply r = stack(stack_request(kAgentA, first.key, 3));
    EXPECT_EQ(r.status, QRESP_PARTIAL);
    EXPECT_EQ(r.data, "");
}

// ---- EXTENSIONS ------------------------------------------------------------------------

std::string ref_bytes(uint64_t agent, uint64_t locator, uint32_t file_id) {
    return be(agent, 8) + be(locator, 8) + be(file_id, 4);
}
std::string ref_of(uint64_t agent, const seen_call &c) {
    return ref_bytes(agent, c.call.ext, c.call.file_id);
}
std::string item_of(uint64_t agent, const seen_call &c) {
    return ref_of(agent, c) + be(c.entry.size(), 2) + c.entry;
}

TEST_F(StackQuery, ExtensionsRequests) {
    // A's entries: calls 0 and 2 of its first root call; B's: call 0 and the root of its
    // first, call 1 of its second (hour 11).
    const seen_call &a0 = call(kAgentA, 0), &a2 = call(kAgentA, 2);
    const seen_call &b0 = call(kAgentB, 0), &broot = call(kAgentB, 1), &b11 = call(kAgentB, 3);
    ASSERT_EQ(a2.entry, kv_data("a2\x1e"
                                "yy"));
    ASSERT_EQ(broot.entry, kv_data("broot\x1e"
                                   "1"));
    ASSERT_EQ(b11.entry, kv_data("b11\x1e"
                                 "w"));
    const uint32_t hour10 = a0.call.file_id;
    const struct {
        const char *name;
        std::string request;
        std::string data;
        bool refused = false;
        std::string log = "";
    } cases[] = {
        {"agents B, A, B: A first, then B's in file order",
         ref_of(kAgentB, b11) + ref_of(kAgentA, a2) + ref_of(kAgentB, b0),
         item_of(kAgentA, a2) + item_of(kAgentB, b0) + item_of(kAgentB, b11)},
        {"within an agent by position, not by request order",
         ref_of(kAgentA, a2) + ref_of(kAgentB, broot) + ref_of(kAgentA, a0) + ref_of(kAgentB, b0),
         item_of(kAgentA, a0) + item_of(kAgentA, a2) + item_of(kAgentB, b0) +
             item_of(kAgentB, broot)},
        {"a reference named twice gives two items", ref_of(kAgentA, a2) + ref_of(kAgentA, a2),
         item_of(kAgentA, a2) + item_of(kAgentA, a2)},
        {"file id 5 (day 0) gives no item",
         ref_bytes(kAgentA, a0.call.ext, 5) + ref_of(kAgentA, a2), item_of(kAgentA, a2), false,
         "ERROR  Invalid extension decomposition!\n"},
        {"an hour without an .x file gives no item",
         ref_bytes(kAgentA, a0.call.ext, hour10 + 1) + ref_of(kAgentA, a0), item_of(kAgentA, a0)},
        {"another agent's entry is not found under this one",
         ref_bytes(kAgentA + 1, a0.call.ext, hour10), ""},
        {"an entry offset past its block gives no item",
         ref_bytes(kAgentA, a0.call.ext + (uint64_t{4000} << 44), hour10) + ref_of(kAgentB, b0),
         item_of(kAgentB, b0), false, "ERROR  Invalid extension local offset. Block size ["},
        {"0 bytes", "", "", true, "ERROR  Invalid arguments!\n"},
        {"19 bytes", ref_of(kAgentA, a0).substr(0, 19), "", true, "ERROR  Invalid arguments!\n"},
        {"30 bytes", ref_of(kAgentA, a0) + "0123456789", "", true, "ERROR  Invalid arguments!\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QueryReply r = extensions(c.request);
        EXPECT_EQ(r.present, !c.refused);
        if (r.present) {
            EXPECT_EQ(r.status, QRESP_OK);
            EXPECT_EQ(r.data, c.data);
        }
        if (!c.log.empty()) {
            Logged l = run_logged([&] { extensions(c.request); });
            EXPECT_NE(l.lines.find(c.log), std::string::npos) << l.lines;
        }
    }
}

TEST_F(StackQuery, ExtensionsAreCutAtWholeItems) {
    const seen_call &a0 = call(kAgentA, 0), &a2 = call(kAgentA, 2), &b0 = call(kAgentB, 0);
    const std::string request = ref_of(kAgentB, b0) + ref_of(kAgentA, a2) + ref_of(kAgentA, a0);
    const std::string two = item_of(kAgentA, a0) + item_of(kAgentA, a2);
    for (uint64_t room : {two.size(), two.size() + item_of(kAgentB, b0).size() - 1}) {
        MessageLimit limit(limit_for_data(room));
        const QueryReply r = extensions(request);
        EXPECT_EQ(r.status, QRESP_PARTIAL);
        EXPECT_EQ(r.data, two);
    }
}

// ---- failed reads ----------------------------------------------------------------------

// Files that cannot be opened for want of descriptors fail the request (status 2) instead
// of passing for root calls or entries that are not there.
TEST_F(StackQuery, NoDescriptorsLeftFailsTheRequest) {
    const seen_call &a0 = call(kAgentA, 0);
    const std::string ext = ref_of(kAgentA, a0) + ref_of(kAgentB, call(kAgentB, 0));
    const std::string stk = stack_request(kAgentA, a0.key, 3);
    ASSERT_TRUE(extensions(ext).present);
    ASSERT_TRUE(stack(stk).present);
    Logged l = run_logged([&] {
        NoFreeDescriptors none;
        printf("%d %d", extensions(ext).present, stack(stk).present);
    });
    EXPECT_EQ(l.out, "0 0");
    EXPECT_NE(l.lines.find(" Too many open files"), std::string::npos) << l.lines;
}

// An extension file that exists but cannot be read fails the request (status 2), where an
// entry it does not hold only leaves out its item: the answer must not pass a read failure
// off as entries that are not there.
TEST_F(StackQuery, ExtensionsThatCannotBeReadFailTheRequest) {
    const seen_call &a0 = call(kAgentA, 0), &b0 = call(kAgentB, 0);
    const std::string request = ref_of(kAgentA, a0) + ref_of(kAgentB, b0);
    char path[RCALL_PATH_MAX];
    rcall_path(path, kAgentA, a0.call.file_id >> 5, a0.call.file_id & 31, ".x");
    const std::string x = path;
    const std::string saved = read_file(x);
    const struct {
        const char *name;
        std::function<void()> harm;
        bool answered;
        std::string data;
        const char *log;
    } cases[] = {
        // A directory in its place opens, but every read of it fails.
        {"unreadable file",
         [&] {
             ASSERT_EQ(unlink(x.c_str()), 0);
             ASSERT_EQ(mkdir(x.c_str(), 0700), 0);
         },
         false, "", "pread Is a directory"},
        {"damaged block", [&] { write_file(x, std::string(12, '\xEE') + saved.substr(12)); }, true,
         item_of(kAgentB, b0), "ERROR  Extension data header corrupted.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        c.harm();
        Logged l = run_logged([&] {
            const QueryReply r = extensions(request);
            printf("%d %u %s", r.present, r.status, r.data == c.data ? "same" : "other");
        });
        EXPECT_EQ(l.out, c.answered ? "1 1 same" : "0 0 same");
        EXPECT_NE(l.lines.find(c.log), std::string::npos) << l.lines;
        std::filesystem::remove_all(x);
        write_file(x, saved);
    }
}

} // namespace
